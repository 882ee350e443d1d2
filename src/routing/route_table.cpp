#include "routing/route_table.h"

#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <mutex>
#include <vector>

#include "support/helper_state.h"
#include "support/log.h"

namespace {

// The row of one bypass route, for creating and for deleting it alike: the
// delete must name exactly what the create made. Everything not set here
// keeps the system's defaults.
MIB_IPFORWARD_ROW2 BypassRouteRow(uint32_t destination, uint8_t prefixLength,
                                  const PhysicalRouteRecord& physical) {
  MIB_IPFORWARD_ROW2 row;
  InitializeIpForwardEntry(&row);
  row.InterfaceIndex = physical.InterfaceIndex;
  row.DestinationPrefix.Prefix.si_family = AF_INET;
  row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr = destination;
  row.DestinationPrefix.PrefixLength = prefixLength;
  row.NextHop.si_family = AF_INET;
  row.NextHop.Ipv4.sin_addr.s_addr = physical.Gateway;
  row.SitePrefixLength = 0;
  row.Metric = 1;
  // A static route made by the administrator (MIB_IPPROTO_NETMGMT); mingw
  // declares the field as an enum.
  row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(3);
  return row;
}

}  // namespace

void AddBypassRoute(uint32_t destination, uint8_t prefixLength) {
  // Held across the system call and the log write, so that the lookup, the
  // creation and the record are one step for the sniffer thread too.
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  const PhysicalRouteRecord& physical = HelperState.PhysicalRoute;
  if (physical.InterfaceIndex == 0 || physical.Gateway == 0) {
    LogLine(L"no physical default route captured; bypass route skipped");
    return;
  }
  if (HelperState.BypassRouteTable.count(destination) != 0) return;
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(destination, prefixLength, physical);
  const DWORD result = CreateIpForwardEntry2(&row);
  // A route that was already there counts as ours, so it goes again with ours.
  if (result == NO_ERROR || result == ERROR_OBJECT_ALREADY_EXISTS) {
    HelperState.BypassRouteTable.emplace(destination, prefixLength);
    return;
  }
  LogLine(L"CreateIpForwardEntry2 failed rc=" + std::to_wstring(result) + L" for " +
          FormatIPv4(destination) + L"/" + std::to_wstring(prefixLength));
}

void ClearBypassRoutes() {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  // PhysicalRoute changes only after a clear, so these rows match the ones
  // the routes were created with.
  for (const auto& [destination, prefixLength] : HelperState.BypassRouteTable) {
    const MIB_IPFORWARD_ROW2 row =
        BypassRouteRow(destination, prefixLength, HelperState.PhysicalRoute);
    DeleteIpForwardEntry2(&row);  // gone already, or its interface is: nothing to do
  }
  HelperState.BypassRouteTable.clear();
}

void InstallBypassRoutes() {
  std::vector<BypassNet> list;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    list = HelperState.BypassNetList;
  }
  if (list.empty()) return;
  // Without the lock between entries, so the sniffer's host routes interleave.
  for (const BypassNet& net : list) AddBypassRoute(net.Network, net.PrefixLength);
  size_t recorded = 0;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    recorded = HelperState.BypassRouteTable.size();
  }
  const PhysicalRouteRecord& physical = HelperState.PhysicalRoute;
  LogLine(L"bypass routes: " + std::to_wstring(recorded) + L"/" + std::to_wstring(list.size()) +
          L" installed via ifIndex=" + std::to_wstring(physical.InterfaceIndex) + L" gw=" +
          FormatIPv4(physical.Gateway));
}

std::wstring FormatIPv4(uint32_t address) {
  const uint32_t host = ntohl(address);
  return std::to_wstring(host >> 24) + L"." + std::to_wstring((host >> 16) & 0xFF) + L"." +
         std::to_wstring((host >> 8) & 0xFF) + L"." + std::to_wstring(host & 0xFF);
}

#include "routing/route_table.h"

#include <mutex>
#include <vector>

#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "support/helper_state.h"
#include "support/log.h"

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
  // Journaled first: a crash between the two then leaves no route that the
  // next start does not know of.
  JournalBypassRoute({physical.InterfaceIndex, destination, prefixLength, physical.Gateway});
  const MIB_IPFORWARD_ROW2 row =
      BypassRouteRow(physical.InterfaceIndex, destination, prefixLength, physical.Gateway);
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
  const PhysicalRouteRecord& physical = HelperState.PhysicalRoute;
  for (const auto& [destination, prefixLength] : HelperState.BypassRouteTable) {
    const MIB_IPFORWARD_ROW2 row =
        BypassRouteRow(physical.InterfaceIndex, destination, prefixLength, physical.Gateway);
    DeleteIpForwardEntry2(&row);  // gone already, or its interface is: nothing to do
  }
  HelperState.BypassRouteTable.clear();
  EmptyRouteJournal();
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

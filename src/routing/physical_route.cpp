#include "routing/physical_route.h"

#include <netioapi.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "support/log.h"

std::optional<std::vector<MIB_IPFORWARDROW>> ReadIPv4RouteTable() {
  ULONG size = 0;
  if (GetIpForwardTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
  if (!buffer) return std::nullopt;
  const ULONG allocated = size;
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.get());
  std::vector<MIB_IPFORWARDROW> rows;
  // No retry when the table grew in between: the caller sees an empty table.
  if (GetIpForwardTable(table, &size, FALSE) == NO_ERROR &&
      allocated >= offsetof(MIB_IPFORWARDTABLE, table)) {
    // Never trust the count beyond what the buffer can hold.
    const size_t fits =
        (allocated - offsetof(MIB_IPFORWARDTABLE, table)) / sizeof(MIB_IPFORWARDROW);
    rows.assign(table->table,
                table->table + (table->dwNumEntries < fits ? table->dwNumEntries : fits));
  }
  return rows;
}

uint32_t TunnelInterfaceIndex() {
  NET_LUID luid{};
  NET_IFINDEX index = 0;
  if (ConvertInterfaceAliasToLuid(HelperState.TunnelName, &luid) != NO_ERROR ||
      ConvertInterfaceLuidToIndex(&luid, &index) != NO_ERROR) {
    return 0;
  }
  return index;
}

PhysicalRouteRecord FindPhysicalDefaultRoute(const std::vector<MIB_IPFORWARDROW>& rows,
                                             uint32_t excludedInterface) {
  PhysicalRouteRecord found;
  DWORD bestMetric = 0xFFFFFFFF;
  for (const MIB_IPFORWARDROW& row : rows) {
    if (row.dwForwardDest != 0 || row.dwForwardMask != 0) continue;
    if (excludedInterface != 0 && row.dwForwardIfIndex == excludedInterface) continue;
    if (row.dwForwardMetric1 < bestMetric) {
      bestMetric = row.dwForwardMetric1;
      found.InterfaceIndex = row.dwForwardIfIndex;
      found.Gateway = row.dwForwardNextHop;
    }
  }
  return found;
}

void CapturePhysicalDefaultRoute() {
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    HelperState.PhysicalRoute = PhysicalRouteRecord{};
  }
  const std::optional<std::vector<MIB_IPFORWARDROW>> rows = ReadIPv4RouteTable();
  if (!rows) return;
  const PhysicalRouteRecord found = FindPhysicalDefaultRoute(*rows, TunnelInterfaceIndex());
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    HelperState.PhysicalRoute = found;
  }
  LogLine(L"physical default route: ifIndex=" + std::to_wstring(found.InterfaceIndex));
}

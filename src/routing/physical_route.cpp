#include "routing/physical_route.h"

#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "support/helper_state.h"
#include "support/log.h"

void CapturePhysicalDefaultRoute() {
  PhysicalRouteRecord& route = HelperState.PhysicalRoute;
  route = PhysicalRouteRecord{};

  ULONG size = 0;
  if (GetIpForwardTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return;
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
  if (!buffer) return;
  const ULONG allocated = size;
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.get());
  // No retry when the table grew in between: nothing is captured, and the
  // log line below says so with interface 0.
  if (GetIpForwardTable(table, &size, FALSE) == NO_ERROR &&
      allocated >= offsetof(MIB_IPFORWARDTABLE, table)) {
    // Never trust the count beyond what the buffer can hold.
    const size_t fits =
        (allocated - offsetof(MIB_IPFORWARDTABLE, table)) / sizeof(MIB_IPFORWARDROW);
    const size_t rows = table->dwNumEntries < fits ? table->dwNumEntries : fits;
    const MIB_IPFORWARDROW* row = table->table;
    DWORD bestMetric = 0xFFFFFFFF;
    for (size_t i = 0; i < rows; ++i, ++row) {
      if (row->dwForwardDest != 0 || row->dwForwardMask != 0) continue;
      if (row->dwForwardMetric1 < bestMetric) {
        bestMetric = row->dwForwardMetric1;
        route.InterfaceIndex = row->dwForwardIfIndex;
        route.Gateway = row->dwForwardNextHop;
      }
    }
  }
  LogLine(L"physical default route: ifIndex=" + std::to_wstring(route.InterfaceIndex));
}

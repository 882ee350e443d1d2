#include "routing/physical_route.h"

#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "routing/route_row.h"
#include "routing/route_store.h"
#include "support/log.h"

namespace {

uint8_t MaskLength(uint32_t mask) {
  uint8_t length = 0;
  for (uint32_t bits = ntohl(mask); bits & 0x80000000u; bits <<= 1) ++length;
  return length;
}

// Sizing and filling are two calls, and the table may grow in between:
// asked again with the size the second call gave, a few times. A table that
// still does not fit is unreadable, never empty: an empty one would read as
// a network that is gone. The size the last read needed, with room to grow,
// is offered first: a country-sized table is then copied once, not twice.
constexpr int kTableReadTries = 4;
std::atomic<ULONG> LastIPv4TableSize{0};

std::optional<std::vector<SystemRoute>> ReadIPv4Table() {
  const ULONG hint = LastIPv4TableSize.load();
  ULONG size = hint == 0 ? 0 : hint + hint / 8;
  if (size == 0) {
    const DWORD sized = GetIpForwardTable(nullptr, &size, FALSE);
    if (sized == ERROR_NO_DATA) return std::vector<SystemRoute>{};  // no routes at all
    if (sized != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
  }
  std::unique_ptr<BYTE[]> buffer;
  ULONG allocated = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  for (int tries = 0; tries < kTableReadTries && result == ERROR_INSUFFICIENT_BUFFER; ++tries) {
    buffer.reset(new (std::nothrow) BYTE[size]);
    if (!buffer) return std::nullopt;
    allocated = size;
    result = GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.get()), &size, FALSE);
  }
  if (result == ERROR_NO_DATA) return std::vector<SystemRoute>{};
  if (result != NO_ERROR || allocated < offsetof(MIB_IPFORWARDTABLE, table)) return std::nullopt;
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.get());
  std::vector<SystemRoute> rows;
  // Never trust the count beyond what the buffer can hold.
  const size_t fits = (allocated - offsetof(MIB_IPFORWARDTABLE, table)) / sizeof(MIB_IPFORWARDROW);
  const size_t count = table->dwNumEntries < fits ? table->dwNumEntries : fits;
  LastIPv4TableSize.store(static_cast<ULONG>(offsetof(MIB_IPFORWARDTABLE, table) +
                                             count * sizeof(MIB_IPFORWARDROW)));
  rows.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const MIB_IPFORWARDROW& row = table->table[i];
    rows.push_back({{IpAddress::FromIPv4(row.dwForwardDest), MaskLength(row.dwForwardMask)},
                    row.dwForwardIfIndex,
                    IpAddress::FromIPv4(row.dwForwardNextHop),
                    row.dwForwardMetric1});
  }
  return rows;
}

// What Windows adds to a route's own metric to rank it: its interface's. An
// interface that cannot be read (gone since the table was read, or IPv6 off
// on it) makes its routes unusable, never the best: the largest metric, which
// FindPhysicalDefaultRoute never takes.
constexpr uint64_t kUnusableMetric = 0xFFFFFFFF;
uint64_t InterfaceMetric(NET_IFINDEX index, std::map<NET_IFINDEX, uint64_t>& known) {
  const auto found = known.find(index);
  if (found != known.end()) return found->second;
  MIB_IPINTERFACE_ROW row{};
  row.Family = AF_INET6;
  row.InterfaceIndex = index;
  const uint64_t metric = GetIpInterfaceEntry(&row) == NO_ERROR ? row.Metric : kUnusableMetric;
  known.emplace(index, metric);
  return metric;
}

std::optional<std::vector<SystemRoute>> ReadIPv6Table() {
  MIB_IPFORWARD_TABLE2* table = nullptr;
  if (GetIpForwardTable2(AF_INET6, &table) != NO_ERROR || !table) return std::nullopt;
  std::vector<SystemRoute> rows;
  rows.reserve(table->NumEntries);
  std::map<NET_IFINDEX, uint64_t> interfaceMetrics;
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IPFORWARD_ROW2& row = table->Table[i];
    if (row.DestinationPrefix.Prefix.si_family != AF_INET6) continue;
    rows.push_back(
        {{FromSockaddr(row.DestinationPrefix.Prefix), row.DestinationPrefix.PrefixLength},
         row.InterfaceIndex,
         FromSockaddr(row.NextHop),
         uint64_t{row.Metric} + InterfaceMetric(row.InterfaceIndex, interfaceMetrics)});
  }
  FreeMibTable(table);
  return rows;
}

}  // namespace

std::optional<std::vector<SystemRoute>> ReadRouteTable(uint16_t family) {
  return family == kFamilyIPv6 ? ReadIPv6Table() : ReadIPv4Table();
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

DefaultRoute FindPhysicalDefaultRoute(const std::vector<SystemRoute>& rows,
                                      uint32_t excludedInterface, uint32_t currentInterface) {
  DefaultRoute found;
  uint64_t bestMetric = 0xFFFFFFFF;
  for (const SystemRoute& row : rows) {
    if (row.Prefix.Length != 0 || !row.Prefix.Destination.IsUnspecified()) continue;
    if (row.InterfaceIndex == 0) continue;
    if (excludedInterface != 0 && row.InterfaceIndex == excludedInterface) continue;
    // Among equal metrics the interface routes already use stays, else the
    // lowest index: the order of the table's rows never moves a route.
    const bool better =
        row.Metric < bestMetric ||
        (row.Metric == bestMetric && found.InterfaceIndex != currentInterface &&
         (row.InterfaceIndex == currentInterface || row.InterfaceIndex < found.InterfaceIndex));
    if (better) {
      bestMetric = row.Metric;
      found = {row.InterfaceIndex, row.NextHop};
    }
  }
  return found;
}

void CapturePhysicalDefaultRoute() {
  SetPhysicalRoute(kFamilyIPv4, {});
  SetPhysicalRoute(kFamilyIPv6, {});
  const uint32_t tunnel = TunnelInterfaceIndex();
  const std::optional<std::vector<SystemRoute>> rows = ReadRouteTable(kFamilyIPv4);
  if (!rows) LogLine(L"IPv4 route table unreadable; no physical default route");
  if (rows) {
    const DefaultRoute found = FindPhysicalDefaultRoute(*rows, tunnel, 0);
    SetPhysicalRoute(kFamilyIPv4, {found.InterfaceIndex, found.NextHop});
    LogLine(L"physical default route: ifIndex=" + std::to_wstring(found.InterfaceIndex));
  }
  const std::optional<std::vector<SystemRoute>> rows6 = ReadRouteTable(kFamilyIPv6);
  const DefaultRoute found6 =
      rows6 ? FindPhysicalDefaultRoute(*rows6, tunnel, 0) : DefaultRoute{};
  const NextHop physical6{found6.InterfaceIndex, found6.NextHop};
  if (!physical6.Captured() || !physical6.Gateway.IsIPv6()) {
    LogLine(L"no physical IPv6 default route");
    return;
  }
  SetPhysicalRoute(kFamilyIPv6, physical6);
  LogLine(L"physical IPv6 default route: ifIndex=" + std::to_wstring(physical6.InterfaceIndex) +
          L" gw=" + FormatAddress(physical6.Gateway));
}

std::optional<DefaultRoute> BestRouteTo(const IpAddress& destination) {
  SOCKADDR_INET to{};
  SetAddress(to, destination);
  MIB_IPFORWARD_ROW2 row{};
  SOCKADDR_INET source{};
  if (GetBestRoute2(nullptr, 0, nullptr, &to, 0, &row, &source) != NO_ERROR) return std::nullopt;
  return DefaultRoute{row.InterfaceIndex, FromSockaddr(row.NextHop)};
}

bool TunnelIsThePathTo(const IpAddress& destination) {
  // The adapter's index as last found: looking it up is two calls more on
  // the way of every new host route, and it changes only when the adapter
  // is made again, which a route through another interface reveals.
  static std::atomic<uint32_t> known{0};
  uint32_t tunnel = known.load();
  if (tunnel == 0) {
    tunnel = TunnelInterfaceIndex();
    known = tunnel;
    if (tunnel == 0) return true;
  }
  const std::optional<DefaultRoute> best = BestRouteTo(destination);
  if (!best || best->InterfaceIndex == tunnel) return true;
  tunnel = TunnelInterfaceIndex();
  known = tunnel;
  return tunnel == 0 || best->InterfaceIndex == tunnel;
}

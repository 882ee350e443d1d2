// The IP Helper stand-in's read-only views (test-bed only): the route table
// of both families, the best route to an address, interfaces by alias and
// LUID, and the TCP table. What they show is described in testbed/README.md.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "iphlpapi_standin_files.h"
#include "iphlpapi_standin_scenario.h"

extern "C" {
NETIO_STATUS WINAPI StandinGetIpForwardTable2(ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table);
VOID WINAPI StandinFreeMibTable(PVOID memory);
NETIO_STATUS WINAPI StandinGetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row);
NETIO_STATUS WINAPI StandinConvertInterfaceAliasToLuid(const WCHAR* alias, PNET_LUID luid);
NETIO_STATUS WINAPI StandinConvertInterfaceLuidToIndex(const NET_LUID* luid, PNET_IFINDEX index);
NETIO_STATUS WINAPI StandinConvertInterfaceIndexToLuid(NET_IFINDEX index, PNET_LUID luid);
NETIO_STATUS WINAPI StandinGetBestRoute2(NET_LUID* luid, NET_IFINDEX index,
                                         const SOCKADDR_INET* source,
                                         const SOCKADDR_INET* destination, ULONG options,
                                         PMIB_IPFORWARD_ROW2 best, SOCKADDR_INET* bestSource);
DWORD WINAPI StandinGetExtendedTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                                        TCP_TABLE_CLASS tableClass, ULONG reserved);
}

static_assert(std::is_same_v<decltype(&StandinGetIpForwardTable2), decltype(&GetIpForwardTable2)>);
static_assert(std::is_same_v<decltype(&StandinFreeMibTable), decltype(&FreeMibTable)>);
static_assert(
    std::is_same_v<decltype(&StandinGetIpInterfaceEntry), decltype(&GetIpInterfaceEntry)>);
static_assert(std::is_same_v<decltype(&StandinConvertInterfaceAliasToLuid),
                             decltype(&ConvertInterfaceAliasToLuid)>);
static_assert(std::is_same_v<decltype(&StandinConvertInterfaceLuidToIndex),
                             decltype(&ConvertInterfaceLuidToIndex)>);
static_assert(std::is_same_v<decltype(&StandinGetBestRoute2), decltype(&GetBestRoute2)>);
static_assert(std::is_same_v<decltype(&StandinConvertInterfaceIndexToLuid),
                             decltype(&ConvertInterfaceIndexToLuid)>);
static_assert(
    std::is_same_v<decltype(&StandinGetExtendedTcpTable), decltype(&GetExtendedTcpTable)>);

// The x64 Windows layouts of the records filled here.
static_assert(sizeof(NET_LUID) == 8);
static_assert(offsetof(MIB_IPFORWARD_TABLE2, Table) == 8);
static_assert(sizeof(MIB_IPFORWARD_TABLE2) == 112);
static_assert(offsetof(MIB_IPINTERFACE_ROW, Family) == 0);
static_assert(offsetof(MIB_IPINTERFACE_ROW, InterfaceLuid) == 8);
static_assert(offsetof(MIB_IPINTERFACE_ROW, InterfaceIndex) == 16);
static_assert(offsetof(MIB_IPINTERFACE_ROW, UseAutomaticMetric) == 44);
static_assert(offsetof(MIB_IPINTERFACE_ROW, Metric) == 148);
static_assert(offsetof(MIB_IPINTERFACE_ROW, Connected) == 156);
static_assert(sizeof(MIB_IPINTERFACE_ROW) == 168);
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwLocalAddr) == 4);
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwLocalPort) == 8);
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwRemoteAddr) == 12);
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwRemotePort) == 16);
static_assert(offsetof(MIB_TCPROW_OWNER_PID, dwOwningPid) == 20);
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == 24);
static_assert(offsetof(MIB_TCPTABLE_OWNER_PID, table) == 4);

namespace {

using standin::IpAddress;
using standin::LoadRoutes;
using standin::LoadScenario;
using standin::RouteRow;
using standin::Scenario;
using standin::StandinDirectory;
using standin::StandinLock;
using standin::TcpRow;

// The scenario and the created routes, the routes file read only when
// `withRoutes`; each failure already journaled by the loader.
DWORD LoadBoth(const std::wstring& dir, bool withRoutes, std::shared_ptr<const Scenario>* scenario,
               std::vector<RouteRow>* created, ADDRESS_FAMILY family = AF_UNSPEC) {
  DWORD rc = LoadScenario(dir, scenario);
  if (rc == NO_ERROR && withRoutes) rc = LoadRoutes(dir, **scenario, created, family);
  return rc;
}

DWORD ForwardTable2(const std::wstring& dir, ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table,
                    ULONG* count) {
  if (!table) return ERROR_INVALID_PARAMETER;
  *table = nullptr;
  if (family != AF_INET && family != AF_INET6 && family != AF_UNSPEC) {
    return ERROR_INVALID_PARAMETER;
  }
  std::shared_ptr<const Scenario> scenario;
  std::vector<RouteRow> created;
  const DWORD rc = LoadBoth(dir, true, &scenario, &created, family);
  if (rc != NO_ERROR) return rc;
  std::vector<RouteRow> rows;
  for (const ADDRESS_FAMILY one : {AF_INET, AF_INET6}) {
    if (family != AF_UNSPEC && family != one) continue;
    const std::vector<RouteRow> part = standin::TableRows(*scenario, created, one);
    rows.insert(rows.end(), part.begin(), part.end());
  }
  // Room for one row even when there is none, as a caller may look at it.
  const size_t bytes = offsetof(MIB_IPFORWARD_TABLE2, Table) +
                       std::max<size_t>(rows.size(), 1) * sizeof(MIB_IPFORWARD_ROW2);
  // FreeMibTable gives it back to the process heap.
  auto* result =
      static_cast<MIB_IPFORWARD_TABLE2*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
  if (!result) return ERROR_NOT_ENOUGH_MEMORY;
  result->NumEntries = static_cast<ULONG>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) standin::FillRow2(rows[i], &result->Table[i]);
  *table = result;
  *count = result->NumEntries;
  return NO_ERROR;
}

// Longest prefix first; among equal lengths the lowest sum of the route's
// and its interface's metric; then the first in table order.
const RouteRow* ChooseRoute(const Scenario& scenario, const std::vector<RouteRow>& rows,
                            const IpAddress& destination, DWORD onlyInterface) {
  const RouteRow* best = nullptr;
  ULONG64 bestMetric = 0;
  for (const RouteRow& row : rows) {
    if (onlyInterface != 0 && row.ifIndex != onlyInterface) continue;
    if (!standin::PrefixCovers(row.dest, row.length, destination)) continue;
    const ULONG64 metric =
        ULONG64{row.metric} + scenario.InterfaceMetricOf(row.ifIndex, destination.family);
    if (!best || row.length > best->length || (row.length == best->length && metric < bestMetric)) {
      best = &row;
      bestMetric = metric;
    }
  }
  return best;
}

DWORD BestRoute(const std::wstring& dir, DWORD onlyInterface, const IpAddress& destination,
                PMIB_IPFORWARD_ROW2 best, SOCKADDR_INET* bestSource, DWORD* chosenInterface) {
  std::shared_ptr<const Scenario> scenario;
  std::vector<RouteRow> created;
  DWORD rc = LoadScenario(dir, &scenario);
  if (rc == NO_ERROR) rc = standin::LoadRoutesCovering(dir, *scenario, destination, &created);
  if (rc != NO_ERROR) return rc;
  const std::vector<RouteRow> rows = standin::TableRows(*scenario, created, destination.family);
  const RouteRow* chosen = ChooseRoute(*scenario, rows, destination, onlyInterface);
  if (!chosen) return ERROR_NETWORK_UNREACHABLE;
  standin::FillRow2(*chosen, best);
  std::memset(bestSource, 0, sizeof(*bestSource));
  bestSource->si_family = destination.family;
  *chosenInterface = chosen->ifIndex;
  return NO_ERROR;
}

bool TcpRowLess(const TcpRow& a, const TcpRow& b) {
  const auto key = [](const TcpRow& row) {
    return std::make_tuple(ntohl(row.localAddr), ntohs(static_cast<u_short>(row.localPort)),
                           ntohl(row.remoteAddr), ntohs(static_cast<u_short>(row.remotePort)));
  };
  return key(a) < key(b);
}

DWORD TcpTable(const std::wstring& dir, PVOID table, PDWORD size, BOOL order, ULONG family,
               TCP_TABLE_CLASS tableClass, DWORD* count) {
  if (!size) return ERROR_INVALID_PARAMETER;
  const bool all = tableClass == TCP_TABLE_OWNER_PID_ALL;
  if (family != AF_INET || (!all && tableClass != TCP_TABLE_OWNER_PID_CONNECTIONS)) {
    return ERROR_NOT_SUPPORTED;
  }
  std::shared_ptr<const Scenario> scenario;
  const DWORD rc = LoadBoth(dir, false, &scenario, nullptr);
  if (rc != NO_ERROR) return rc;
  std::vector<TcpRow> rows;
  for (const TcpRow& row : scenario->tcpRows) {
    if (all || row.state != MIB_TCP_STATE_LISTEN) rows.push_back(row);
  }
  if (order) std::stable_sort(rows.begin(), rows.end(), TcpRowLess);
  *count = static_cast<DWORD>(rows.size());
  const DWORD needed = static_cast<DWORD>(offsetof(MIB_TCPTABLE_OWNER_PID, table) +
                                          rows.size() * sizeof(MIB_TCPROW_OWNER_PID));
  if (!table || *size < needed) {
    *size = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  auto* out = static_cast<MIB_TCPTABLE_OWNER_PID*>(table);
  out->dwNumEntries = *count;
  for (size_t i = 0; i < rows.size(); ++i) {
    MIB_TCPROW_OWNER_PID& row = out->table[i];
    row.dwState = rows[i].state;
    row.dwLocalAddr = rows[i].localAddr;
    row.dwLocalPort = rows[i].localPort;
    row.dwRemoteAddr = rows[i].remoteAddr;
    row.dwRemotePort = rows[i].remotePort;
    row.dwOwningPid = rows[i].pid;
  }
  return NO_ERROR;
}

}  // namespace

extern "C" {

NETIO_STATUS WINAPI StandinGetIpForwardTable2(ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table) {
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  StandinLock lock;
  if (lock.error() != NO_ERROR) return lock.error();
  ULONG rows = 0;
  const DWORD rc = ForwardTable2(dir, family, table, &rows);
  standin::AppendJournal(dir, "table2 family=" + std::to_string(family) +
                                  " rows=" + std::to_string(rows) + " rc=" + std::to_string(rc));
  return rc;
}

VOID WINAPI StandinFreeMibTable(PVOID memory) {
  if (memory) HeapFree(GetProcessHeap(), 0, memory);
}

// The caller names the interface by LUID or, when the LUID is zero, by
// index, as on Windows; every other field is written.
NETIO_STATUS WINAPI StandinGetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  if (!row || (row->Family != AF_INET && row->Family != AF_INET6)) {
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD ifIndex = row->InterfaceLuid.Value != 0
                            ? static_cast<DWORD>(row->InterfaceLuid.Info.NetLuidIndex)
                            : row->InterfaceIndex;
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  StandinLock lock;
  if (lock.error() != NO_ERROR) return lock.error();
  std::shared_ptr<const Scenario> scenario;
  const DWORD rc = LoadScenario(dir, &scenario);
  if (rc != NO_ERROR) return rc;
  if (const DWORD fault = scenario->InterfaceFaultOf(ifIndex, row->Family)) return fault;
  if (!scenario->Knows(ifIndex)) return ERROR_NOT_FOUND;
  const ADDRESS_FAMILY family = row->Family;
  std::memset(row, 0, sizeof(*row));
  row->Family = family;
  row->InterfaceLuid = standin::LuidOfIndex(ifIndex);
  row->InterfaceIndex = ifIndex;
  row->UseAutomaticMetric = FALSE;
  row->Metric = scenario->InterfaceMetricOf(ifIndex, family);
  row->Connected = scenario->IsDown(ifIndex) ? FALSE : TRUE;
  return NO_ERROR;
}

NETIO_STATUS WINAPI StandinConvertInterfaceAliasToLuid(const WCHAR* alias, PNET_LUID luid) {
  if (!luid) return ERROR_INVALID_PARAMETER;
  luid->Value = 0;
  if (!alias) return ERROR_INVALID_PARAMETER;
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  StandinLock lock;
  if (lock.error() != NO_ERROR) return lock.error();
  std::shared_ptr<const Scenario> scenario;
  const DWORD rc = LoadScenario(dir, &scenario);
  if (rc != NO_ERROR) return rc;
  for (const standin::InterfaceAlias& known : scenario->aliases) {
    // Windows compares aliases without regard to case.
    if (CompareStringOrdinal(alias, -1, known.name.c_str(), static_cast<int>(known.name.size()),
                             TRUE) == CSTR_EQUAL) {
      *luid = standin::LuidOfIndex(known.ifIndex);
      return NO_ERROR;
    }
  }
  return ERROR_INVALID_PARAMETER;
}

NETIO_STATUS WINAPI StandinConvertInterfaceLuidToIndex(const NET_LUID* luid, PNET_IFINDEX index) {
  if (!luid || !index) return ERROR_INVALID_PARAMETER;
  *index = static_cast<NET_IFINDEX>(luid->Info.NetLuidIndex);
  return *index != 0 ? NO_ERROR : ERROR_INVALID_PARAMETER;
}

// The scenario is not consulted, as for the other direction.
NETIO_STATUS WINAPI StandinConvertInterfaceIndexToLuid(NET_IFINDEX index, PNET_LUID luid) {
  if (!luid) return ERROR_INVALID_PARAMETER;
  luid->Value = 0;
  if (index == 0 || index > 0xFFFFFF) return ERROR_FILE_NOT_FOUND;
  *luid = standin::LuidOfIndex(index);
  return NO_ERROR;
}

// The source address and the sort options do not change the choice here.
NETIO_STATUS WINAPI StandinGetBestRoute2(NET_LUID* luid, NET_IFINDEX index, const SOCKADDR_INET*,
                                         const SOCKADDR_INET* destination, ULONG,
                                         PMIB_IPFORWARD_ROW2 best, SOCKADDR_INET* bestSource) {
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  StandinLock lock;
  if (lock.error() != NO_ERROR) return lock.error();
  IpAddress target;
  DWORD chosen = 0;
  DWORD rc = ERROR_INVALID_PARAMETER;
  std::string dest = "null";
  if (destination) dest = standin::FormatSockaddr(*destination);
  if (destination && best && bestSource && standin::FromSockaddr(*destination, &target)) {
    // As on Windows, a caller that names an interface gets a route on it.
    const DWORD only =
        luid && luid->Value != 0 ? static_cast<DWORD>(luid->Info.NetLuidIndex) : index;
    rc = BestRoute(dir, only, target, best, bestSource, &chosen);
  }
  standin::AppendJournal(dir, "best-route dest=" + dest + " if=" + std::to_string(chosen) +
                                  " rc=" + std::to_string(rc));
  return rc;
}

// Only the owner-PID tables of IPv4: what the helper asks for.
DWORD WINAPI StandinGetExtendedTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                                        TCP_TABLE_CLASS tableClass, ULONG) {
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  StandinLock lock;
  if (lock.error() != NO_ERROR) return lock.error();
  DWORD rows = 0;
  const DWORD rc = TcpTable(dir, table, size, order, family, tableClass, &rows);
  if (table) {
    standin::AppendJournal(dir,
                           "tcp-table rows=" + std::to_string(rows) + " rc=" + std::to_string(rc));
  }
  return rc;
}

}  // extern "C"

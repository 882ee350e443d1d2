// iphlpapi_standin: test-bed only, never shipped.
//
// Replaces the whole of iphlpapi.dll for a process that loads it from beside
// its executable (WINEDLLOVERRIDES=iphlpapi=n,b, or for a service the
// per-program AppDefaults override). Wine 8 has no InitializeIpForwardEntry,
// CreateIpForwardEntry2 or DeleteIpForwardEntry2 (calling one aborts the
// process), and its tables show the Linux host's routes, which a test can
// neither choose nor change. Everything here is driven and recorded by text
// files in the directory of this DLL itself, looked at on every call so a
// test may change them between calls (a parse is kept while its file stays
// the same):
//
//   iphlpapi-scenario.txt  the system: route, route6, service-route,
//                          service-route6, alias, interface, down, tcp; the
//                          faults: grow, create-fail, delete-fail,
//                          create-crash, create-crash-after; note-service
//   iphlpapi-routes.txt    the routes made by CreateIpForwardEntry2, one a
//                          line, "<ifindex> <dest>/<len> <nexthop> <metric>
//                          <protocol>", kept across processes so a route made
//                          by a killed process is still there
//   iphlpapi-journal.txt   one line per call (and per callback), with every
//                          field the caller set
//
// The formats, the journal's lines and what each function answers are in
// testbed/README.md, which is the reference; keep it in step.
//
// Files: this one has the route functions the helper had from the start;
// _tables.cpp the other reads, _notify.cpp the change notifications and
// their watcher thread, _scenario.cpp the model the files describe, _files.cpp
// the plumbing.

// The order matters: winsock2.h before windows.h, and ws2ipdef.h before
// iphlpapi.h, which declares the route records only once it has seen it.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "iphlpapi_standin_files.h"
#include "iphlpapi_standin_scenario.h"

// Defined under their own names and exported under the Windows ones by the
// .def file: the SDK headers already declare the Windows names (as imports in
// some SDKs), and the records are wanted from those headers, not retyped.
extern "C" {
DWORD WINAPI StandinGetIpForwardTable(PMIB_IPFORWARDTABLE table, PULONG size, BOOL order);
VOID WINAPI StandinInitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row);
NETIO_STATUS WINAPI StandinCreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row);
NETIO_STATUS WINAPI StandinDeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row);
}

static_assert(std::is_same_v<decltype(&StandinGetIpForwardTable), decltype(&GetIpForwardTable)>);
static_assert(std::is_same_v<decltype(&StandinInitializeIpForwardEntry),
                             decltype(&InitializeIpForwardEntry)>);
static_assert(
    std::is_same_v<decltype(&StandinCreateIpForwardEntry2), decltype(&CreateIpForwardEntry2)>);
static_assert(
    std::is_same_v<decltype(&StandinDeleteIpForwardEntry2), decltype(&DeleteIpForwardEntry2)>);

// The x64 Windows layouts the callers were compiled against.
static_assert(sizeof(MIB_IPFORWARDROW) == 56);
static_assert(offsetof(MIB_IPFORWARDTABLE, table) == 4);
static_assert(sizeof(SOCKADDR_INET) == 28);
static_assert(sizeof(IP_ADDRESS_PREFIX) == 32);
static_assert(offsetof(MIB_IPFORWARD_ROW2, InterfaceIndex) == 8);
static_assert(offsetof(MIB_IPFORWARD_ROW2, DestinationPrefix) == 12);
static_assert(offsetof(MIB_IPFORWARD_ROW2, NextHop) == 44);
static_assert(offsetof(MIB_IPFORWARD_ROW2, SitePrefixLength) == 72);
static_assert(offsetof(MIB_IPFORWARD_ROW2, Metric) == 84);
static_assert(offsetof(MIB_IPFORWARD_ROW2, Protocol) == 88);
static_assert(offsetof(MIB_IPFORWARD_ROW2, Loopback) == 92);
static_assert(offsetof(MIB_IPFORWARD_ROW2, Origin) == 100);
static_assert(sizeof(MIB_IPFORWARD_ROW2) == 104);

namespace {

using standin::FormatSockaddr;
using standin::FromSockaddr;
using standin::LoadRoutes;
using standin::LoadScenario;
using standin::PrefixFault;
using standin::RouteRow;
using standin::SameAddress;
using standin::Scenario;
using standin::StandinDirectory;
using standin::StandinLock;

constexpr UINT kCrashExitCode = 99;
constexpr DWORD kMaxExtraRows = 65535;  // what the host routes of 198.18.0.0/15 can name

// "defaults" when every field the caller is not meant to set still holds
// what InitializeIpForwardEntry put there, else the names of those that differ.
std::string OtherFields(const MIB_IPFORWARD_ROW2& row) {
  MIB_IPFORWARD_ROW2 defaults;
  standin::FillDefaults(&defaults);
  std::string changed;
  const auto check = [&changed](bool same, const char* name) {
    if (same) return;
    if (!changed.empty()) changed += ",";
    changed += name;
  };
  check(row.InterfaceLuid.Value == defaults.InterfaceLuid.Value, "InterfaceLuid");
  check(row.ValidLifetime == defaults.ValidLifetime, "ValidLifetime");
  check(row.PreferredLifetime == defaults.PreferredLifetime, "PreferredLifetime");
  check(row.Loopback == defaults.Loopback, "Loopback");
  check(row.AutoconfigureAddress == defaults.AutoconfigureAddress, "AutoconfigureAddress");
  check(row.Publish == defaults.Publish, "Publish");
  check(row.Immortal == defaults.Immortal, "Immortal");
  check(row.Age == defaults.Age, "Age");
  check(row.Origin == defaults.Origin, "Origin");
  return changed.empty() ? "defaults" : "changed:" + changed;
}

std::string DescribeRow(const MIB_IPFORWARD_ROW2& row) {
  // The interface the row names: by its LUID when that is set, as Windows.
  const DWORD ifIndex = row.InterfaceLuid.Value != 0
                            ? static_cast<DWORD>(row.InterfaceLuid.Info.NetLuidIndex)
                            : row.InterfaceIndex;
  return "if=" + std::to_string(ifIndex) + (row.InterfaceLuid.Value != 0 ? " by=luid" : "") +
         " dest=" + FormatSockaddr(row.DestinationPrefix.Prefix) + "/" +
         std::to_string(row.DestinationPrefix.PrefixLength) +
         " nexthop=" + FormatSockaddr(row.NextHop) +
         " site=" + std::to_string(row.SitePrefixLength) + " metric=" + std::to_string(row.Metric) +
         " protocol=" + std::to_string(static_cast<unsigned long>(row.Protocol)) +
         " other=" + OtherFields(row);
}

// The row as a route of the routes file; false unless both addresses are
// of one family (IPv4 or IPv6) and the prefix length fits it.
bool RouteOfRow(const MIB_IPFORWARD_ROW2& row, RouteRow* route) {
  if (!FromSockaddr(row.DestinationPrefix.Prefix, &route->dest) ||
      !FromSockaddr(row.NextHop, &route->nextHop) || route->dest.family != route->nextHop.family ||
      row.DestinationPrefix.PrefixLength > route->dest.MaxPrefixLength()) {
    return false;
  }
  // As Windows: the LUID names the interface when it is set, else the index.
  route->ifIndex = row.InterfaceLuid.Value != 0
                       ? static_cast<DWORD>(row.InterfaceLuid.Info.NetLuidIndex)
                       : row.InterfaceIndex;
  route->length = row.DestinationPrefix.PrefixLength;
  route->metric = row.Metric;
  route->protocol = static_cast<DWORD>(row.Protocol);
  route->publish = row.Publish != FALSE;
  return true;
}

bool MatchesFault(const PrefixFault& fault, const RouteRow& route) {
  return SameAddress(fault.dest, route.dest) && fault.length == route.length &&
         (fault.ifIndex == 0 || fault.ifIndex == route.ifIndex);
}

[[noreturn]] void Crash(const std::wstring& dir, const std::string& journalLine,
                        StandinLock* lock) {
  standin::AppendJournal(dir, journalLine);
  // Let go of the lock first, so the next process does not depend on how
  // Wine hands over an abandoned mutex.
  if (lock) lock->Release();
  TerminateProcess(GetCurrentProcess(), kCrashExitCode);
  ExitProcess(kCrashExitCode);
}

// Windows makes no unicast route to a multicast destination (224.0.0.0/4,
// ff00::/8) or to IPv4's reserved class E (240.0.0.0/4).
bool MulticastOrReserved(const RouteRow& route) {
  if (route.dest.family == AF_INET6) return route.dest.bytes[0] == 0xFF;
  return route.dest.bytes[0] >= 224;
}

DWORD CreateRoute(const std::wstring& dir, const Scenario& scenario, const RouteRow& route,
                  StandinLock* lock, const std::string& journalLine) {
  if (MulticastOrReserved(route)) return ERROR_INVALID_PARAMETER;
  // An interface that does not exist, or is gone, has no routes to add to:
  // nothing else is looked at.
  if (!scenario.Knows(route.ifIndex) || scenario.IsDown(route.ifIndex)) return ERROR_NOT_FOUND;
  for (const PrefixFault& fault : scenario.createCrashes) {
    if (MatchesFault(fault, route)) Crash(dir, journalLine + " rc=crash", lock);
  }
  for (const PrefixFault& fault : scenario.createFails) {
    if (SameAddress(fault.dest, route.dest) && fault.length == route.length) return fault.code;
  }
  const DWORD rc = standin::AddRoute(dir, scenario, route);
  for (const PrefixFault& fault : scenario.createCrashesAfter) {
    if (rc == NO_ERROR && MatchesFault(fault, route)) {
      Crash(dir, journalLine + " rc=crash-after", lock);
    }
  }
  return rc;
}

DWORD DeleteRoute(const std::wstring& dir, const Scenario& scenario, const RouteRow& route) {
  if (scenario.deleteFails) return scenario.deleteFailCode;
  return standin::RemoveRoute(dir, scenario, route);
}

enum class RouteChange { kCreate, kDelete };

// The stand-in's folder, which cannot change while it is loaded: looked up
// once in memory, where a call must cost next to nothing.
std::wstring Directory() {
  if (!standin::kInMemory) return StandinDirectory();
  static const std::wstring dir = StandinDirectory();
  return dir;
}

DWORD ChangeRoute(const MIB_IPFORWARD_ROW2* row, RouteChange change) {
  const std::wstring dir = Directory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  // In memory the route store's own mutex is the only lock needed.
  std::optional<StandinLock> lock;
  if (!standin::kInMemory) {
    lock.emplace();
    if (lock->error() != NO_ERROR) return lock->error();
  }
  std::string line = change == RouteChange::kCreate ? "create" : "delete";
  line += " pid=" + std::to_string(GetCurrentProcessId());
  if (!row) {
    standin::AppendJournal(dir, line + " row=null rc=" + std::to_string(ERROR_INVALID_PARAMETER));
    return ERROR_INVALID_PARAMETER;
  }
  if (!standin::kInMemory) line += " " + DescribeRow(*row);
  // Loaded first, as the noted services need it whatever the outcome.
  std::shared_ptr<const Scenario> scenario;
  const DWORD loaded = LoadScenario(dir, &scenario);
  RouteRow route;
  DWORD rc = ERROR_INVALID_PARAMETER;
  if (!RouteOfRow(*row, &route)) {
    rc = ERROR_INVALID_PARAMETER;
  } else if (loaded != NO_ERROR) {
    rc = loaded;
  } else if (change == RouteChange::kCreate) {
    rc = CreateRoute(dir, *scenario, route, lock ? &*lock : nullptr, line);
  } else {
    rc = DeleteRoute(dir, *scenario, route);
  }
  line += " rc=" + std::to_string(rc);
  if (rc == NO_ERROR) standin::NoteOwnRouteChange();
  if (change == RouteChange::kCreate && scenario && scenario->createDelayMs != 0) {
    Sleep(scenario->createDelayMs);
  }
  if (standin::kInMemory) return rc;
  if (scenario) {
    for (const std::string& service : scenario->notedServices) {
      line += " " + service + "=" + standin::ServiceStateText(service);
    }
    if (scenario->journalTimes) {
      LARGE_INTEGER now{}, frequency{};
      QueryPerformanceCounter(&now);
      QueryPerformanceFrequency(&frequency);
      const LONGLONG q = now.QuadPart, f = frequency.QuadPart;
      line += " t=" + std::to_string(q / f * 1000000 + q % f * 1000000 / f);
    }
  }
  standin::AppendJournal(dir, line);
  return rc;
}

DWORD FillTable(const std::wstring& dir, PMIB_IPFORWARDTABLE table, PULONG size, DWORD* rows) {
  *rows = 0;
  if (!size) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<const Scenario> scenario;
  DWORD rc = LoadScenario(dir, &scenario);
  if (rc != NO_ERROR) return rc;
  std::vector<RouteRow> created;
  rc = LoadRoutes(dir, *scenario, &created, AF_INET);
  if (rc != NO_ERROR) return rc;
  std::vector<RouteRow> all = standin::TableRows(*scenario, created, AF_INET);
  // Only a call that brings a buffer sees the extra rows: the table has
  // grown between the caller's sizing call and its filling call (once, or
  // again before every later call).
  static DWORD callsWithBuffer = 0;
  if (table) ++callsWithBuffer;
  const DWORD extra =
      table ? scenario->grow + scenario->growAlways * callsWithBuffer % (kMaxExtraRows + 1) : 0;
  *rows = static_cast<DWORD>(all.size()) + extra;
  if (*rows == 0) return ERROR_NO_DATA;
  const ULONG needed =
      static_cast<ULONG>(offsetof(MIB_IPFORWARDTABLE, table) + *rows * sizeof(MIB_IPFORWARDROW));
  if (!table || *size < needed) {
    *size = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  for (DWORD i = 1; i <= extra; ++i) {
    // Host routes in 198.18.0.0/15 (set aside for benchmarks), on-link: they
    // can never be taken for a default route.
    RouteRow host;
    const unsigned char bytes[4] = {198, static_cast<unsigned char>(18 + (i >> 16)),
                                    static_cast<unsigned char>(i >> 8),
                                    static_cast<unsigned char>(i)};
    std::memcpy(host.dest.bytes, bytes, sizeof(bytes));
    host.length = 32;
    host.mask = 0xFFFFFFFF;
    host.ifIndex = 1;
    host.metric = 256;
    all.push_back(host);
  }
  table->dwNumEntries = *rows;
  for (DWORD i = 0; i < *rows; ++i) {
    const RouteRow& route = all[i];
    MIB_IPFORWARDROW& out = table->table[i];
    std::memset(&out, 0, sizeof(out));
    std::memcpy(&out.dwForwardDest, route.dest.bytes, sizeof(out.dwForwardDest));
    out.dwForwardMask = route.mask;
    std::memcpy(&out.dwForwardNextHop, route.nextHop.bytes, sizeof(out.dwForwardNextHop));
    out.dwForwardIfIndex = route.ifIndex;
    out.dwForwardType =
        out.dwForwardNextHop == 0 ? MIB_IPROUTE_TYPE_DIRECT : MIB_IPROUTE_TYPE_INDIRECT;
    out.dwForwardProto = route.protocol;
    out.dwForwardMetric1 = route.metric;
    out.dwForwardMetric2 = MIB_IPROUTE_METRIC_UNUSED;
    out.dwForwardMetric3 = MIB_IPROUTE_METRIC_UNUSED;
    out.dwForwardMetric4 = MIB_IPROUTE_METRIC_UNUSED;
    out.dwForwardMetric5 = MIB_IPROUTE_METRIC_UNUSED;
  }
  return NO_ERROR;
}

}  // namespace

extern "C" {

// bOrder is ignored: the rows come in the scenario's order, which is what a
// test wants to control.
DWORD WINAPI StandinGetIpForwardTable(PMIB_IPFORWARDTABLE table, PULONG size, BOOL) {
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  StandinLock lock;
  if (lock.error() != NO_ERROR) return lock.error();
  DWORD rows = 0;
  const DWORD rc = FillTable(dir, table, size, &rows);
  standin::AppendJournal(dir, std::string("table buffer=") + (table ? "1" : "0") +
                                  " rows=" + std::to_string(rows) + " rc=" + std::to_string(rc));
  return rc;
}

VOID WINAPI StandinInitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row) {
  if (row) standin::FillDefaults(row);
}

NETIO_STATUS WINAPI StandinCreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  return ChangeRoute(row, RouteChange::kCreate);
}

NETIO_STATUS WINAPI StandinDeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  return ChangeRoute(row, RouteChange::kDelete);
}

}  // extern "C"

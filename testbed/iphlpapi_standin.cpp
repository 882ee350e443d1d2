// iphlpapi_standin: test-bed only, never shipped.
//
// Replaces the whole of iphlpapi.dll for a process that loads it from beside
// its executable (WINEDLLOVERRIDES=iphlpapi=n,b, or for a service the
// per-program AppDefaults override). Wine 8 has no InitializeIpForwardEntry,
// CreateIpForwardEntry2 or DeleteIpForwardEntry2 (calling one aborts the
// process), and its GetIpForwardTable shows the Linux host's routes, which a
// test can neither choose nor change. Everything here is driven and recorded
// by text files in the directory of this DLL itself, read afresh on every call
// so a test may change them between calls:
//
// iphlpapi-scenario.txt (optional; missing means no routes and no faults)
//   route <dest> <mask> <nexthop> <ifindex> <metric>
//                        a row of GetIpForwardTable, in table order; metric
//                        decimal or 0x-hex
//   grow <n>             a call with a buffer sees n more rows than a sizing
//                        call, so "size, then fill" fails with 122
//   create-fail <dest>/<len> <code>
//                        CreateIpForwardEntry2 for exactly that prefix
//                        returns <code> and creates nothing
//   delete-fail <code>   every DeleteIpForwardEntry2 returns <code>
//   create-crash <dest>/<len>
//                        CreateIpForwardEntry2 for that prefix journals
//                        rc=crash and ends the process with exit code 99
//   create-crash-after <dest>/<len>
//                        the same, but after the route is in the table: the
//                        caller dies before it learns that it made it
//   service-route <service> <dest> <mask> <nexthop> <ifindex> <metric>
//                        a row of GetIpForwardTable (after the route rows)
//                        that is there only while that Windows service
//                        exists, as a tunnel's own routes are
//   note-service <service>
//                        create and delete lines end with
//                        " <service>=<state>": the service's state at the
//                        call (absent, stopped, start-pending, stop-pending,
//                        running, or the number of another state)
//
// iphlpapi-routes.txt: the routes made by CreateIpForwardEntry2, one a line,
//   <ifindex> <dest>/<len> <nexthop> <metric> <protocol>
//   kept across processes, so a route made by a killed process is still there.
//
// iphlpapi-journal.txt: one line appended per call,
//   table buffer=<0|1> rows=<n> rc=<code>
//   create pid=<pid> if=<n> dest=<a.b.c.d>/<len> nexthop=<a.b.c.d> site=<n>
//          metric=<n> protocol=<n> other=<defaults|changed:Field,...> rc=<code>
//   delete ... (the same fields as create)
//   error <file> line <n>   a line of a file above was not understood; the
//                           call then fails with ERROR_INVALID_DATA (13)
//
// In every file '#' starts a comment, blank lines are ignored and lines may
// end in LF or CR LF. Addresses are dotted IPv4.

// The order matters: winsock2.h before windows.h, and ws2ipdef.h before
// iphlpapi.h, which declares the route records only once it has seen it.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "iphlpapi_standin_files.h"

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

using standin::AppendToFile;
using standin::FormatIPv4;
using standin::Line;
using standin::ParseIPv4;
using standin::ParsePrefix;
using standin::ParseUnsigned;
using standin::ReadWholeFile;
using standin::ReplaceWholeFile;
using standin::SplitLines;
using standin::StandinDirectory;
using standin::StandinLock;

constexpr wchar_t kScenarioFile[] = L"iphlpapi-scenario.txt";
constexpr wchar_t kRoutesFile[] = L"iphlpapi-routes.txt";
constexpr wchar_t kRoutesTempFile[] = L"iphlpapi-routes.txt.tmp";
constexpr wchar_t kJournalFile[] = L"iphlpapi-journal.txt";
constexpr DWORD kMaxGrowRows = 65536;
constexpr UINT kCrashExitCode = 99;

struct ScenarioRoute {
  DWORD dest;
  DWORD mask;
  DWORD nextHop;
  DWORD ifIndex;
  DWORD metric;
};

struct PrefixFault {
  DWORD dest;
  UINT8 length;
  DWORD code;
};

struct ServiceRoute {
  std::string service;
  ScenarioRoute route;
};

struct Scenario {
  std::vector<ScenarioRoute> routes;
  std::vector<ServiceRoute> serviceRoutes;
  std::vector<std::string> notedServices;
  DWORD grow = 0;
  std::vector<PrefixFault> createFails;
  std::vector<PrefixFault> createCrashes;
  std::vector<PrefixFault> createCrashesAfter;
  bool deleteFails = false;
  DWORD deleteFailCode = 0;
};

struct SystemRoute {
  DWORD ifIndex;
  DWORD dest;
  UINT8 length;
  DWORD nextHop;
  DWORD metric;
  DWORD protocol;
};

// dest, mask, next hop, interface index and metric from five words.
bool ParseRouteWords(const std::string* w, ScenarioRoute* route) {
  return ParseIPv4(w[0], &route->dest) && ParseIPv4(w[1], &route->mask) &&
         ParseIPv4(w[2], &route->nextHop) && ParseUnsigned(w[3], &route->ifIndex, false) &&
         ParseUnsigned(w[4], &route->metric, true);
}

bool ParseScenarioLine(const Line& line, Scenario* scenario) {
  const std::vector<std::string>& w = line.words;
  if (w[0] == "route" && w.size() == 6) {
    ScenarioRoute route{};
    if (!ParseRouteWords(&w[1], &route)) return false;
    scenario->routes.push_back(route);
    return true;
  }
  if (w[0] == "service-route" && w.size() == 7) {
    ServiceRoute route{w[1], {}};
    if (!ParseRouteWords(&w[2], &route.route)) return false;
    scenario->serviceRoutes.push_back(route);
    return true;
  }
  if (w[0] == "note-service" && w.size() == 2) {
    scenario->notedServices.push_back(w[1]);
    return true;
  }
  if (w[0] == "grow" && w.size() == 2) {
    return ParseUnsigned(w[1], &scenario->grow, false) && scenario->grow <= kMaxGrowRows;
  }
  if (w[0] == "create-fail" && w.size() == 3) {
    PrefixFault fault{};
    if (!ParsePrefix(w[1], &fault.dest, &fault.length) ||
        !ParseUnsigned(w[2], &fault.code, false)) {
      return false;
    }
    scenario->createFails.push_back(fault);
    return true;
  }
  if ((w[0] == "create-crash" || w[0] == "create-crash-after") && w.size() == 2) {
    PrefixFault fault{};
    if (!ParsePrefix(w[1], &fault.dest, &fault.length)) return false;
    (w[0] == "create-crash" ? scenario->createCrashes : scenario->createCrashesAfter)
        .push_back(fault);
    return true;
  }
  if (w[0] == "delete-fail" && w.size() == 2) {
    scenario->deleteFails = true;
    return ParseUnsigned(w[1], &scenario->deleteFailCode, false);
  }
  return false;
}

bool ParseRouteLine(const Line& line, SystemRoute* route) {
  const std::vector<std::string>& w = line.words;
  return w.size() == 5 && ParseUnsigned(w[0], &route->ifIndex, false) &&
         ParsePrefix(w[1], &route->dest, &route->length) && ParseIPv4(w[2], &route->nextHop) &&
         ParseUnsigned(w[3], &route->metric, true) && ParseUnsigned(w[4], &route->protocol, false);
}

// The current state of a Windows service, 0 when it does not exist.
DWORD ServiceState(const std::string& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return 0;
  SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const bool known = service && QueryServiceStatus(service, &status);
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return known ? status.dwCurrentState : 0;
}

std::string ServiceStateText(const std::string& name) {
  switch (const DWORD state = ServiceState(name)) {
    case 0:
      return "absent";
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start-pending";
    case SERVICE_STOP_PENDING:
      return "stop-pending";
    case SERVICE_RUNNING:
      return "running";
    default:
      return std::to_string(state);
  }
}

void AppendJournal(const std::wstring& dir, const std::string& line) {
  AppendToFile(dir + kJournalFile, line + "\n");
}

// A file that is not understood fails the call loudly rather than being
// half-used: it is a mistake in the test, not a condition to simulate.
DWORD ReportBadLine(const std::wstring& dir, const wchar_t* file, int number) {
  std::string name;
  for (const wchar_t* c = file; *c; ++c) name += static_cast<char>(*c);
  AppendJournal(dir, "error " + name + " line " + std::to_string(number));
  return ERROR_INVALID_DATA;
}

DWORD LoadScenario(const std::wstring& dir, Scenario* scenario) {
  std::string text;
  bool missing = false;
  const DWORD rc = ReadWholeFile(dir + kScenarioFile, &text, &missing);
  if (rc != NO_ERROR) return rc;
  for (const Line& line : SplitLines(text)) {
    if (!ParseScenarioLine(line, scenario)) return ReportBadLine(dir, kScenarioFile, line.number);
  }
  return NO_ERROR;
}

DWORD LoadRoutes(const std::wstring& dir, std::vector<SystemRoute>* routes) {
  std::string text;
  bool missing = false;
  const DWORD rc = ReadWholeFile(dir + kRoutesFile, &text, &missing);
  if (rc != NO_ERROR) return rc;
  for (const Line& line : SplitLines(text)) {
    SystemRoute route{};
    if (!ParseRouteLine(line, &route)) return ReportBadLine(dir, kRoutesFile, line.number);
    routes->push_back(route);
  }
  return NO_ERROR;
}

DWORD StoreRoutes(const std::wstring& dir, const std::vector<SystemRoute>& routes) {
  std::string text;
  for (const SystemRoute& r : routes) {
    text += std::to_string(r.ifIndex) + " " + FormatIPv4(r.dest) + "/" + std::to_string(r.length) +
            " " + FormatIPv4(r.nextHop) + " " + std::to_string(r.metric) + " " +
            std::to_string(r.protocol) + "\n";
  }
  return ReplaceWholeFile(dir + kRoutesFile, dir + kRoutesTempFile, text);
}

void FillDefaults(MIB_IPFORWARD_ROW2* row) {
  std::memset(row, 0, sizeof(*row));
  row->DestinationPrefix.Prefix.si_family = AF_UNSPEC;
  row->NextHop.si_family = AF_UNSPEC;
  row->SitePrefixLength = 0;
  row->ValidLifetime = 0xFFFFFFFF;
  row->PreferredLifetime = 0xFFFFFFFF;
  row->Metric = 0xFFFFFFFF;
  // mingw declares Protocol as the enum NL_ROUTE_PROTOCOL.
  row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
  row->Loopback = TRUE;
  row->AutoconfigureAddress = TRUE;
  row->Publish = FALSE;
  row->Immortal = TRUE;
  row->Origin = NlroManual;
}

// "defaults" when every field the caller is not meant to set still holds
// what InitializeIpForwardEntry put there, else the names of those that differ.
std::string OtherFields(const MIB_IPFORWARD_ROW2& row) {
  MIB_IPFORWARD_ROW2 defaults;
  FillDefaults(&defaults);
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

std::string FormatSockaddr(const SOCKADDR_INET& address) {
  if (address.si_family != AF_INET) return "af" + std::to_string(address.si_family);
  return FormatIPv4(address.Ipv4.sin_addr.s_addr);
}

std::string DescribeRow(const MIB_IPFORWARD_ROW2& row) {
  return "if=" + std::to_string(row.InterfaceIndex) +
         " dest=" + FormatSockaddr(row.DestinationPrefix.Prefix) + "/" +
         std::to_string(row.DestinationPrefix.PrefixLength) +
         " nexthop=" + FormatSockaddr(row.NextHop) +
         " site=" + std::to_string(row.SitePrefixLength) + " metric=" + std::to_string(row.Metric) +
         " protocol=" + std::to_string(static_cast<unsigned long>(row.Protocol)) +
         " other=" + OtherFields(row);
}

bool ValidRow(const MIB_IPFORWARD_ROW2& row) {
  return row.DestinationPrefix.Prefix.si_family == AF_INET && row.NextHop.si_family == AF_INET &&
         row.DestinationPrefix.PrefixLength <= 32;
}

// Windows identifies a route by interface, destination prefix and next hop.
bool SameRoute(const SystemRoute& route, const MIB_IPFORWARD_ROW2& row) {
  return route.ifIndex == row.InterfaceIndex &&
         route.dest == row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr &&
         route.length == row.DestinationPrefix.PrefixLength &&
         route.nextHop == row.NextHop.Ipv4.sin_addr.s_addr;
}

bool MatchesPrefix(const PrefixFault& fault, const MIB_IPFORWARD_ROW2& row) {
  return fault.dest == row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr &&
         fault.length == row.DestinationPrefix.PrefixLength;
}

DWORD CreateRoute(const std::wstring& dir, const MIB_IPFORWARD_ROW2& row, StandinLock* lock,
                  const std::string& journalLine) {
  if (!ValidRow(row)) return ERROR_INVALID_PARAMETER;
  Scenario scenario;
  DWORD rc = LoadScenario(dir, &scenario);
  if (rc != NO_ERROR) return rc;
  for (const PrefixFault& fault : scenario.createCrashes) {
    if (!MatchesPrefix(fault, row)) continue;
    AppendJournal(dir, journalLine + " rc=crash");
    // Let go of the lock first, so the next process does not depend on how
    // Wine hands over an abandoned mutex.
    lock->Release();
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
  }
  for (const PrefixFault& fault : scenario.createFails) {
    if (MatchesPrefix(fault, row)) return fault.code;
  }
  std::vector<SystemRoute> routes;
  rc = LoadRoutes(dir, &routes);
  if (rc != NO_ERROR) return rc;
  for (const SystemRoute& route : routes) {
    if (SameRoute(route, row)) return ERROR_OBJECT_ALREADY_EXISTS;
  }
  routes.push_back({row.InterfaceIndex, row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr,
                    row.DestinationPrefix.PrefixLength, row.NextHop.Ipv4.sin_addr.s_addr,
                    row.Metric, static_cast<DWORD>(row.Protocol)});
  rc = StoreRoutes(dir, routes);
  for (const PrefixFault& fault : scenario.createCrashesAfter) {
    if (rc != NO_ERROR || !MatchesPrefix(fault, row)) continue;
    AppendJournal(dir, journalLine + " rc=crash-after");
    lock->Release();
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
  }
  return rc;
}

DWORD DeleteRoute(const std::wstring& dir, const MIB_IPFORWARD_ROW2& row) {
  if (!ValidRow(row)) return ERROR_INVALID_PARAMETER;
  Scenario scenario;
  DWORD rc = LoadScenario(dir, &scenario);
  if (rc != NO_ERROR) return rc;
  if (scenario.deleteFails) return scenario.deleteFailCode;
  std::vector<SystemRoute> routes;
  rc = LoadRoutes(dir, &routes);
  if (rc != NO_ERROR) return rc;
  for (size_t i = 0; i < routes.size(); ++i) {
    if (!SameRoute(routes[i], row)) continue;
    routes.erase(routes.begin() + i);
    return StoreRoutes(dir, routes);
  }
  return ERROR_NOT_FOUND;
}

enum class RouteChange { kCreate, kDelete };

DWORD ChangeRoute(const MIB_IPFORWARD_ROW2* row, RouteChange change) {
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  StandinLock lock;
  if (lock.error() != NO_ERROR) return lock.error();
  std::string line = change == RouteChange::kCreate ? "create" : "delete";
  line += " pid=" + std::to_string(GetCurrentProcessId());
  if (!row) {
    AppendJournal(dir, line + " row=null rc=" + std::to_string(ERROR_INVALID_PARAMETER));
    return ERROR_INVALID_PARAMETER;
  }
  line += " " + DescribeRow(*row);
  const DWORD rc =
      change == RouteChange::kCreate ? CreateRoute(dir, *row, &lock, line) : DeleteRoute(dir, *row);
  line += " rc=" + std::to_string(rc);
  Scenario scenario;
  if (LoadScenario(dir, &scenario) == NO_ERROR) {
    for (const std::string& service : scenario.notedServices) {
      line += " " + service + "=" + ServiceStateText(service);
    }
  }
  AppendJournal(dir, line);
  return rc;
}

DWORD FillTable(const std::wstring& dir, PMIB_IPFORWARDTABLE table, PULONG size, DWORD* rows) {
  *rows = 0;
  if (!size) return ERROR_INVALID_PARAMETER;
  Scenario scenario;
  const DWORD rc = LoadScenario(dir, &scenario);
  if (rc != NO_ERROR) return rc;
  std::vector<ScenarioRoute> all = scenario.routes;
  for (const ServiceRoute& route : scenario.serviceRoutes) {
    if (ServiceState(route.service) != 0) all.push_back(route.route);
  }
  // Only a call that brings a buffer sees the extra rows: the table has
  // grown between the caller's sizing call and its filling call.
  const DWORD extra = table ? scenario.grow : 0;
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
    const unsigned char bytes[4] = {198, static_cast<unsigned char>(18 + (i >> 16)),
                                    static_cast<unsigned char>(i >> 8),
                                    static_cast<unsigned char>(i)};
    DWORD dest;
    std::memcpy(&dest, bytes, sizeof(dest));
    all.push_back({dest, 0xFFFFFFFF, 0, 1, 256});
  }
  table->dwNumEntries = *rows;
  for (DWORD i = 0; i < *rows; ++i) {
    const ScenarioRoute& route = all[i];
    MIB_IPFORWARDROW& out = table->table[i];
    std::memset(&out, 0, sizeof(out));
    out.dwForwardDest = route.dest;
    out.dwForwardMask = route.mask;
    out.dwForwardNextHop = route.nextHop;
    out.dwForwardIfIndex = route.ifIndex;
    out.dwForwardType = route.nextHop == 0 ? MIB_IPROUTE_TYPE_DIRECT : MIB_IPROUTE_TYPE_INDIRECT;
    out.dwForwardProto = MIB_IPPROTO_NETMGMT;
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
  AppendJournal(dir, std::string("table buffer=") + (table ? "1" : "0") +
                         " rows=" + std::to_string(rows) + " rc=" + std::to_string(rc));
  return rc;
}

VOID WINAPI StandinInitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row) {
  if (row) FillDefaults(row);
}

NETIO_STATUS WINAPI StandinCreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  return ChangeRoute(row, RouteChange::kCreate);
}

NETIO_STATUS WINAPI StandinDeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  return ChangeRoute(row, RouteChange::kDelete);
}

}  // extern "C"

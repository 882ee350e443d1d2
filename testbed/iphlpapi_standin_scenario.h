#pragma once
// The IP Helper stand-in's model of the system (test-bed only): what the
// scenario file says, the routes made through the stand-in, the rows of the
// route tables that follow from both, and the journal. Callers hold
// StandinLock while they read or write the files.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
// clang-format on

#include <memory>
#include <string>
#include <vector>

#include "iphlpapi_standin_files.h"

namespace standin {

constexpr wchar_t kScenarioFile[] = L"iphlpapi-scenario.txt";

// iphlpapi-memory.dll, for benchmarks only: the same model with the routes
// made held in this process alone (no routes file, no cross-process lock),
// no journal line for a create or delete, and the scenario file looked at
// again at most every kInMemoryLookMs. Its create and delete then cost a
// few microseconds whatever the table holds, as on Windows they cost far
// less than the file-backed stand-in's, and it still answers as Windows
// does: an existing route, a missing one, an unknown interface.
#ifdef IPHLPAPI_STANDIN_MEMORY
constexpr bool kInMemory = true;
#else
constexpr bool kInMemory = false;
#endif
constexpr ULONGLONG kInMemoryLookMs = 100;
constexpr wchar_t kRoutesFile[] = L"iphlpapi-routes.txt";

// One row of the system's route table, whichever line it came from.
struct RouteRow {
  DWORD ifIndex = 0;
  IpAddress dest;
  UINT8 length = 0;
  DWORD mask = 0;  // IPv4 only: as the scenario wrote it, or from the length
  IpAddress nextHop;
  DWORD metric = 0;
  DWORD protocol = MIB_IPPROTO_NETMGMT;
  // As made: GetIpForwardTable2 shows it back, as Windows does.
  bool publish = false;
};

struct ServiceRouteRow {
  std::string service;
  RouteRow row;
};

struct PrefixFault {
  IpAddress dest;
  UINT8 length = 0;
  DWORD code = 0;
  DWORD ifIndex = 0;  // 0: a create on any interface
};

struct InterfaceMetric {
  DWORD ifIndex;
  ADDRESS_FAMILY family;
  DWORD metric;
};

// GetIpInterfaceEntry for that interface and family fails with `code`.
struct InterfaceFault {
  DWORD ifIndex;
  ADDRESS_FAMILY family;
  DWORD code;
};

struct InterfaceAlias {
  DWORD ifIndex;
  std::wstring name;
};

// Addresses in network byte order, ports as Windows keeps them: network
// byte order in the low 16 bits.
struct TcpRow {
  DWORD state;
  DWORD localAddr;
  DWORD localPort;
  DWORD remoteAddr;
  DWORD remotePort;
  DWORD pid;
};

struct Scenario {
  std::vector<RouteRow> routes;                // route and route6 lines, in file order
  std::vector<ServiceRouteRow> serviceRoutes;  // service-route and service-route6 lines
  std::vector<std::string> notedServices;
  std::vector<InterfaceAlias> aliases;
  std::vector<InterfaceMetric> interfaceMetrics;
  std::vector<InterfaceFault> interfaceFaults;
  std::vector<DWORD> down;
  std::vector<TcpRow> tcpRows;
  DWORD grow = 0;
  DWORD growAlways = 0;  // rows more at every call with a buffer than at the one before
  std::vector<PrefixFault> createFails;
  std::vector<PrefixFault> createCrashes;
  std::vector<PrefixFault> createCrashesAfter;
  bool deleteFails = false;
  DWORD deleteFailCode = 0;
  // "journal-times": every create and delete line ends in " t=<us>", the
  // machine's performance counter in microseconds, which other stand-ins'
  // journals give too, so a test can order lines of two journals.
  bool journalTimes = false;
  // "create-delay <ms>": every create takes this long to return, as a slow
  // machine's might (at most 10 s).
  DWORD createDelayMs = 0;

  bool IsDown(DWORD ifIndex) const;
  // Named by some line: a row, an alias, an interface or a down line.
  bool Knows(DWORD ifIndex) const;
  // From the interface lines (the last for that index and family), else 0.
  DWORD InterfaceMetricOf(DWORD ifIndex, ADDRESS_FAMILY family) const;
  // From the interface-fail lines (the last for that index and family), else
  // NO_ERROR.
  DWORD InterfaceFaultOf(DWORD ifIndex, ADDRESS_FAMILY family) const;
  // The services of service-route and service-route6 lines, each once.
  std::vector<std::string> RouteServices() const;
};

// False with the number of the first line not understood.
bool ParseScenarioText(const std::string& text, Scenario* scenario, int* badLine);

// The scenario file, parsed once per change of it. A file that is not
// understood journals "error" and gives ERROR_INVALID_DATA, at every call.
DWORD LoadScenario(const std::wstring& dir, std::shared_ptr<const Scenario>* scenario);

// The routes made through the stand-in, in the order they were made. Routes
// on an interface the scenario has down are gone: they are taken out of the
// file here, with a "down" journal line per interface, so no call ever sees
// them. Each call costs the same however many routes there are (but for
// the copy LoadRoutes hands out: only the rows of `family` when it names one).
DWORD LoadRoutes(const std::wstring& dir, const Scenario& scenario, std::vector<RouteRow>* routes,
                 ADDRESS_FAMILY family = AF_UNSPEC);
// The same, only those whose prefix covers `destination` (in the order
// made), at the cost of one lookup per prefix length.
DWORD LoadRoutesCovering(const std::wstring& dir, const Scenario& scenario,
                         const IpAddress& destination, std::vector<RouteRow>* routes);
// ERROR_OBJECT_ALREADY_EXISTS for a route of that interface, prefix and
// next hop.
DWORD AddRoute(const std::wstring& dir, const Scenario& scenario, RouteRow route);
// ERROR_NOT_FOUND when there is none.
DWORD RemoveRoute(const std::wstring& dir, const Scenario& scenario, const RouteRow& route);

// The rows of the system's table for one family (AF_INET or AF_INET6) in the
// order the stand-in lists them: scenario rows, rows of services that exist,
// then the created routes; none on an interface that is down.
std::vector<RouteRow> TableRows(const Scenario& scenario, const std::vector<RouteRow>& created,
                                ADDRESS_FAMILY family);

// A create or delete of this process succeeded: its route registrations
// hear of it from the watcher, within a tick (notify.cpp).
void NoteOwnRouteChange();

void AppendJournal(const std::wstring& dir, const std::string& line);
// The same, taking StandinLock for the one line.
void AppendJournalLocked(const std::wstring& dir, const std::string& line);

// The current state of a Windows service, 0 when it does not exist. Wine's
// service manager now and then fails a call from a busy process (the suite
// has seen ERROR_INVALID_HANDLE from it): a service that is there must not
// pass for absent and take its routes with it for one look, so any error
// but "no such service" is asked again (twice, 10 ms apart) and written to
// iphlpapi-standin-errors.txt beside the stand-in.
DWORD ServiceState(const std::string& name);
std::string ServiceStateText(const std::string& name);

// What InitializeIpForwardEntry leaves in a row.
void FillDefaults(MIB_IPFORWARD_ROW2* row);
// Defaults, then the row's own fields as GetIpForwardTable2 gives them.
void FillRow2(const RouteRow& route, MIB_IPFORWARD_ROW2* row);

// The stand-in's LUID of an interface: NetLuidIndex the index, IfType 53
// (IF_TYPE_PROP_VIRTUAL). Indexes above 24 bits do not fit.
NET_LUID LuidOfIndex(DWORD ifIndex);

bool FromSockaddr(const SOCKADDR_INET& address, IpAddress* out);
void ToSockaddr(const IpAddress& address, SOCKADDR_INET* out);
// The address as text, or "af<n>" for another family.
std::string FormatSockaddr(const SOCKADDR_INET& address);

}  // namespace standin

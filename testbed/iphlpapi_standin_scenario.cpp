#include "iphlpapi_standin_scenario.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <utility>

namespace standin {
namespace {

constexpr wchar_t kRoutesTempFile[] = L"iphlpapi-routes.txt.tmp";
constexpr wchar_t kJournalFile[] = L"iphlpapi-journal.txt";
constexpr DWORD kMaxGrowRows = 65536;
constexpr DWORD kIfTypePropVirtual = 53;

// A network-order IPv4 mask to its prefix length: its leading one bits.
UINT8 MaskLength(DWORD mask) {
  unsigned char bytes[4];
  std::memcpy(bytes, &mask, sizeof(bytes));
  UINT8 length = 0;
  for (unsigned char byte : bytes) {
    for (int bit = 7; bit >= 0 && (byte >> bit) & 1; --bit) ++length;
    if (byte != 0xFF) break;
  }
  return length;
}

DWORD LengthMask(UINT8 length) {
  unsigned char bytes[4] = {};
  for (UINT8 i = 0; i < length && i < 32; ++i) bytes[i / 8] |= 0x80 >> (i % 8);
  DWORD mask;
  std::memcpy(&mask, bytes, sizeof(mask));
  return mask;
}

bool ParseFamilyAddress(const std::string& word, ADDRESS_FAMILY family, IpAddress* address) {
  return ParseAddress(word, address) && address->family == family;
}

// "route": dest, mask, next hop, interface index and metric, all IPv4.
bool ParseRouteWords(const std::string* w, RouteRow* route) {
  DWORD dest = 0, nextHop = 0;
  if (!ParseIPv4(w[0], &dest) || !ParseIPv4(w[1], &route->mask) || !ParseIPv4(w[2], &nextHop) ||
      !ParseUnsigned(w[3], &route->ifIndex, false) || !ParseUnsigned(w[4], &route->metric, true)) {
    return false;
  }
  std::memcpy(route->dest.bytes, &dest, sizeof(dest));
  std::memcpy(route->nextHop.bytes, &nextHop, sizeof(nextHop));
  route->length = MaskLength(route->mask);
  return true;
}

// "route6": dest/len, next hop, interface index and metric, all IPv6.
bool ParseRoute6Words(const std::string* w, RouteRow* route) {
  return ParseAddressPrefix(w[0], &route->dest, &route->length) && route->dest.family == AF_INET6 &&
         ParseFamilyAddress(w[1], AF_INET6, &route->nextHop) &&
         ParseUnsigned(w[2], &route->ifIndex, false) && ParseUnsigned(w[3], &route->metric, true);
}

// "if=<n>" after a crash directive's prefix.
bool ParseInterfaceWord(const std::string& word, DWORD* ifIndex) {
  return word.compare(0, 3, "if=") == 0 && ParseUnsigned(word.substr(3), ifIndex, false) &&
         *ifIndex != 0;
}

bool ParseEndpoint(const std::string& word, DWORD* address, DWORD* port) {
  const size_t colon = word.find(':');
  DWORD number = 0;
  if (colon == std::string::npos || !ParseIPv4(word.substr(0, colon), address) ||
      !ParseUnsigned(word.substr(colon + 1), &number, false) || number > 0xFFFF) {
    return false;
  }
  *port = htons(static_cast<u_short>(number));
  return true;
}

// The MIB_TCP_STATE values 1 to 12 in order.
bool ParseTcpState(const std::string& word, DWORD* state) {
  static const char* const kNames[] = {"closed",      "listen",    "syn-sent",  "syn-received",
                                       "established", "fin-wait1", "fin-wait2", "close-wait",
                                       "closing",     "last-ack",  "time-wait", "delete-tcb"};
  for (DWORD i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
    if (word == kNames[i]) {
      *state = i + 1;
      return true;
    }
  }
  return false;
}

// An alias is the rest of the line, its words joined by one space, so that
// "Ethernet 2" can be named.
bool ParseAlias(const std::vector<std::string>& w, InterfaceAlias* alias) {
  std::string name = w[2];
  for (size_t i = 3; i < w.size(); ++i) name += " " + w[i];
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(),
                                         static_cast<int>(name.size()), nullptr, 0);
  if (length <= 0) return false;
  alias->name.resize(static_cast<size_t>(length));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                      &alias->name[0], length);
  return ParseUnsigned(w[1], &alias->ifIndex, false);
}

bool ParseScenarioLine(const Line& line, Scenario* scenario) {
  const std::vector<std::string>& w = line.words;
  if (w[0] == "route" && w.size() == 6) {
    RouteRow route;
    if (!ParseRouteWords(&w[1], &route)) return false;
    scenario->routes.push_back(route);
    return true;
  }
  if (w[0] == "route6" && w.size() == 5) {
    RouteRow route;
    if (!ParseRoute6Words(&w[1], &route)) return false;
    scenario->routes.push_back(route);
    return true;
  }
  if (w[0] == "service-route" && w.size() == 7) {
    ServiceRouteRow route{w[1], {}};
    if (!ParseRouteWords(&w[2], &route.row)) return false;
    scenario->serviceRoutes.push_back(route);
    return true;
  }
  if (w[0] == "service-route6" && w.size() == 6) {
    ServiceRouteRow route{w[1], {}};
    if (!ParseRoute6Words(&w[2], &route.row)) return false;
    scenario->serviceRoutes.push_back(route);
    return true;
  }
  if (w[0] == "alias" && w.size() >= 3) {
    InterfaceAlias alias{};
    if (!ParseAlias(w, &alias)) return false;
    scenario->aliases.push_back(alias);
    return true;
  }
  if (w[0] == "interface" && w.size() == 5) {
    InterfaceMetric metric{};
    if (!ParseUnsigned(w[1], &metric.ifIndex, false) || (w[2] != "4" && w[2] != "6") ||
        w[3] != "metric" || !ParseUnsigned(w[4], &metric.metric, true)) {
      return false;
    }
    metric.family = w[2] == "4" ? AF_INET : AF_INET6;
    scenario->interfaceMetrics.push_back(metric);
    return true;
  }
  if (w[0] == "down" && w.size() == 2) {
    DWORD ifIndex = 0;
    if (!ParseUnsigned(w[1], &ifIndex, false)) return false;
    scenario->down.push_back(ifIndex);
    return true;
  }
  if (w[0] == "tcp" && w.size() == 5) {
    TcpRow row{};
    if (!ParseEndpoint(w[1], &row.localAddr, &row.localPort) ||
        !ParseEndpoint(w[2], &row.remoteAddr, &row.remotePort) ||
        !ParseTcpState(w[3], &row.state) || !ParseUnsigned(w[4], &row.pid, false)) {
      return false;
    }
    scenario->tcpRows.push_back(row);
    return true;
  }
  if (w[0] == "note-service" && w.size() == 2) {
    scenario->notedServices.push_back(w[1]);
    return true;
  }
  if (w[0] == "grow-always" && w.size() == 2) {
    return ParseUnsigned(w[1], &scenario->growAlways, false) && scenario->growAlways <= kMaxGrowRows;
  }
  if (w[0] == "grow" && w.size() == 2) {
    return ParseUnsigned(w[1], &scenario->grow, false) && scenario->grow <= kMaxGrowRows;
  }
  if (w[0] == "create-fail" && w.size() == 3) {
    PrefixFault fault;
    if (!ParseAddressPrefix(w[1], &fault.dest, &fault.length) ||
        !ParseUnsigned(w[2], &fault.code, false)) {
      return false;
    }
    scenario->createFails.push_back(fault);
    return true;
  }
  if ((w[0] == "create-crash" || w[0] == "create-crash-after") &&
      (w.size() == 2 || w.size() == 3)) {
    PrefixFault fault;
    if (!ParseAddressPrefix(w[1], &fault.dest, &fault.length)) return false;
    if (w.size() == 3 && !ParseInterfaceWord(w[2], &fault.ifIndex)) return false;
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

bool ParseRouteLine(const Line& line, RouteRow* route) {
  const std::vector<std::string>& w = line.words;
  if (w.size() != 5 || !ParseUnsigned(w[0], &route->ifIndex, false) ||
      !ParseAddressPrefix(w[1], &route->dest, &route->length) ||
      !ParseFamilyAddress(w[2], route->dest.family, &route->nextHop) ||
      !ParseUnsigned(w[3], &route->metric, true) || !ParseUnsigned(w[4], &route->protocol, false)) {
    return false;
  }
  if (route->dest.family == AF_INET) route->mask = LengthMask(route->length);
  return true;
}

// A file that is not understood fails the call loudly rather than being
// half-used: it is a mistake in the test, not a condition to simulate.
DWORD ReportBadLine(const std::wstring& dir, const wchar_t* file, int number) {
  std::string name;
  for (const wchar_t* c = file; *c; ++c) name += static_cast<char>(*c);
  AppendJournal(dir, "error " + name + " line " + std::to_string(number));
  return ERROR_INVALID_DATA;
}

// A file's parse, kept while the file stays the same. Never destroyed: a
// call may still run on another thread while the process exits.
template <typename Parsed>
struct ParseCache {
  std::mutex mutex;
  FileSnapshot file;
  std::shared_ptr<const Parsed> parsed;
  int badLine = 0;
};

ParseCache<Scenario>& ScenarioCache() {
  static auto* cache = new ParseCache<Scenario>;
  return *cache;
}

ParseCache<std::vector<RouteRow>>& RoutesCache() {
  static auto* cache = new ParseCache<std::vector<RouteRow>>;
  return *cache;
}

bool ParseRoutesText(const std::string& text, std::vector<RouteRow>* routes, int* badLine) {
  for (const Line& line : SplitLines(text)) {
    RouteRow route;
    if (!ParseRouteLine(line, &route)) {
      *badLine = line.number;
      return false;
    }
    routes->push_back(route);
  }
  return true;
}

template <typename Parsed, typename ParseFn>
DWORD LoadCached(const std::wstring& dir, const wchar_t* file, ParseCache<Parsed>* cache,
                 ParseFn parse, std::shared_ptr<const Parsed>* result) {
  std::lock_guard<std::mutex> lock(cache->mutex);
  bool changed = false;
  const DWORD rc = cache->file.Refresh(dir + file, &changed);
  if (rc != NO_ERROR) return rc;
  if (changed || !cache->parsed) {
    auto parsed = std::make_shared<Parsed>();
    cache->badLine = 0;
    if (!parse(cache->file.text(), parsed.get(), &cache->badLine)) parsed.reset();
    cache->parsed = std::move(parsed);
  }
  if (!cache->parsed) return ReportBadLine(dir, file, cache->badLine);
  *result = cache->parsed;
  return NO_ERROR;
}

std::string FormatRouteLine(const RouteRow& r) {
  return std::to_string(r.ifIndex) + " " + FormatAddress(r.dest) + "/" + std::to_string(r.length) +
         " " + FormatAddress(r.nextHop) + " " + std::to_string(r.metric) + " " +
         std::to_string(r.protocol) + "\n";
}

}  // namespace

bool Scenario::IsDown(DWORD ifIndex) const {
  for (DWORD index : down) {
    if (index == ifIndex) return true;
  }
  return false;
}

bool Scenario::Knows(DWORD ifIndex) const {
  if (IsDown(ifIndex)) return true;
  for (const RouteRow& row : routes) {
    if (row.ifIndex == ifIndex) return true;
  }
  for (const ServiceRouteRow& row : serviceRoutes) {
    if (row.row.ifIndex == ifIndex) return true;
  }
  for (const InterfaceAlias& alias : aliases) {
    if (alias.ifIndex == ifIndex) return true;
  }
  for (const InterfaceMetric& metric : interfaceMetrics) {
    if (metric.ifIndex == ifIndex) return true;
  }
  return false;
}

DWORD Scenario::InterfaceMetricOf(DWORD ifIndex, ADDRESS_FAMILY family) const {
  DWORD result = 0;
  for (const InterfaceMetric& metric : interfaceMetrics) {
    if (metric.ifIndex == ifIndex && metric.family == family) result = metric.metric;
  }
  return result;
}

std::vector<std::string> Scenario::RouteServices() const {
  std::vector<std::string> names;
  for (const ServiceRouteRow& row : serviceRoutes) {
    bool seen = false;
    for (const std::string& name : names) seen = seen || name == row.service;
    if (!seen) names.push_back(row.service);
  }
  return names;
}

bool ParseScenarioText(const std::string& text, Scenario* scenario, int* badLine) {
  for (const Line& line : SplitLines(text)) {
    if (!ParseScenarioLine(line, scenario)) {
      *badLine = line.number;
      return false;
    }
  }
  return true;
}

DWORD LoadScenario(const std::wstring& dir, std::shared_ptr<const Scenario>* scenario) {
  return LoadCached(dir, kScenarioFile, &ScenarioCache(), ParseScenarioText, scenario);
}

DWORD LoadRoutes(const std::wstring& dir, const Scenario& scenario, std::vector<RouteRow>* routes) {
  std::shared_ptr<const std::vector<RouteRow>> parsed;
  const DWORD rc = LoadCached(dir, kRoutesFile, &RoutesCache(), ParseRoutesText, &parsed);
  if (rc != NO_ERROR) return rc;
  routes->clear();
  std::vector<std::pair<DWORD, size_t>> removed;  // per down interface
  for (DWORD ifIndex : scenario.down) removed.emplace_back(ifIndex, 0);
  for (const RouteRow& route : *parsed) {
    bool gone = false;
    for (auto& entry : removed) {
      if (entry.first != route.ifIndex) continue;
      ++entry.second;
      gone = true;
      break;
    }
    if (!gone) routes->push_back(route);
  }
  if (routes->size() == parsed->size()) return NO_ERROR;
  const DWORD stored = StoreRoutes(dir, *routes);
  if (stored != NO_ERROR) return stored;
  for (const auto& entry : removed) {
    if (entry.second == 0) continue;
    AppendJournal(
        dir, "down if=" + std::to_string(entry.first) + " removed=" + std::to_string(entry.second));
  }
  return NO_ERROR;
}

DWORD StoreRoutes(const std::wstring& dir, const std::vector<RouteRow>& routes) {
  std::string text;
  for (const RouteRow& route : routes) text += FormatRouteLine(route);
  return ReplaceWholeFile(dir + kRoutesFile, dir + kRoutesTempFile, text);
}

std::vector<RouteRow> TableRows(const Scenario& scenario, const std::vector<RouteRow>& created,
                                ADDRESS_FAMILY family) {
  std::vector<RouteRow> rows;
  for (const RouteRow& row : scenario.routes) {
    if (row.dest.family == family && !scenario.IsDown(row.ifIndex)) rows.push_back(row);
  }
  // One query per service and call: the service manager is a round trip.
  std::vector<std::pair<std::string, bool>> exists;
  for (const ServiceRouteRow& row : scenario.serviceRoutes) {
    if (row.row.dest.family != family || scenario.IsDown(row.row.ifIndex)) continue;
    bool known = false, present = false;
    for (const auto& entry : exists) {
      if (entry.first != row.service) continue;
      known = true;
      present = entry.second;
    }
    if (!known) {
      present = ServiceState(row.service) != 0;
      exists.emplace_back(row.service, present);
    }
    if (present) rows.push_back(row.row);
  }
  for (const RouteRow& row : created) {
    if (row.dest.family == family && !scenario.IsDown(row.ifIndex)) rows.push_back(row);
  }
  return rows;
}

void AppendJournal(const std::wstring& dir, const std::string& line) {
  AppendToFile(dir + kJournalFile, line + "\n");
}

void AppendJournalLocked(const std::wstring& dir, const std::string& line) {
  // Without the lock the line is still written: Windows has no lock to fail.
  StandinLock lock;
  AppendJournal(dir, line);
}

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

void FillDefaults(MIB_IPFORWARD_ROW2* row) {
  std::memset(row, 0, sizeof(*row));
  row->DestinationPrefix.Prefix.si_family = AF_UNSPEC;
  row->NextHop.si_family = AF_UNSPEC;
  row->SitePrefixLength = 255;
  row->ValidLifetime = 0xFFFFFFFF;
  row->PreferredLifetime = 0xFFFFFFFF;
  row->Metric = 0xFFFFFFFF;
  // mingw declares Protocol as the enum NL_ROUTE_PROTOCOL.
  row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(-1);
  row->Loopback = TRUE;
  row->AutoconfigureAddress = TRUE;
  // As Microsoft documents it: Loopback, AutoconfigureAddress, Publish and
  // Immortal TRUE, lifetimes infinite, SitePrefixLength, Metric and
  // Protocol illegal values, everything else zero.
  row->Publish = TRUE;
  row->Immortal = TRUE;
  row->Origin = NlroManual;
}

void FillRow2(const RouteRow& route, MIB_IPFORWARD_ROW2* row) {
  FillDefaults(row);
  row->InterfaceIndex = route.ifIndex;
  row->InterfaceLuid = LuidOfIndex(route.ifIndex);
  ToSockaddr(route.dest, &row->DestinationPrefix.Prefix);
  row->DestinationPrefix.PrefixLength = route.length;
  ToSockaddr(route.nextHop, &row->NextHop);
  row->Metric = route.metric;
  row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(route.protocol);
}

NET_LUID LuidOfIndex(DWORD ifIndex) {
  NET_LUID luid{};
  luid.Info.NetLuidIndex = ifIndex;
  luid.Info.IfType = kIfTypePropVirtual;
  return luid;
}

bool FromSockaddr(const SOCKADDR_INET& address, IpAddress* out) {
  *out = IpAddress{};
  if (address.si_family == AF_INET) {
    std::memcpy(out->bytes, &address.Ipv4.sin_addr, 4);
    return true;
  }
  if (address.si_family == AF_INET6) {
    out->family = AF_INET6;
    std::memcpy(out->bytes, &address.Ipv6.sin6_addr, 16);
    return true;
  }
  return false;
}

void ToSockaddr(const IpAddress& address, SOCKADDR_INET* out) {
  std::memset(out, 0, sizeof(*out));
  if (address.family == AF_INET6) {
    out->Ipv6.sin6_family = AF_INET6;
    std::memcpy(&out->Ipv6.sin6_addr, address.bytes, 16);
  } else {
    out->Ipv4.sin_family = AF_INET;
    std::memcpy(&out->Ipv4.sin_addr, address.bytes, 4);
  }
}

std::string FormatSockaddr(const SOCKADDR_INET& address) {
  IpAddress parsed;
  if (!FromSockaddr(address, &parsed)) return "af" + std::to_string(address.si_family);
  return FormatAddress(parsed);
}

}  // namespace standin

#include "iphlpapi_standin_scenario.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <mutex>
#include <unordered_map>
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
  if (w[0] == "interface-fail" && w.size() == 4) {
    InterfaceFault fault{};
    if (!ParseUnsigned(w[1], &fault.ifIndex, false) || (w[2] != "4" && w[2] != "6") ||
        !ParseUnsigned(w[3], &fault.code, false) || fault.code == NO_ERROR) {
      return false;
    }
    fault.family = w[2] == "4" ? AF_INET : AF_INET6;
    scenario->interfaceFaults.push_back(fault);
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
  if (w[0] == "create-delay" && w.size() == 2) {
    return ParseUnsigned(w[1], &scenario->createDelayMs, false) && scenario->createDelayMs <= 10000;
  }
  if (w[0] == "journal-times" && w.size() == 1) {
    scenario->journalTimes = true;
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
  // An optional sixth word: the row is published.
  if (w.size() < 5 || w.size() > 6 || (w.size() == 6 && w[5] != "publish") ||
      !ParseUnsigned(w[0], &route->ifIndex, false) ||
      !ParseAddressPrefix(w[1], &route->dest, &route->length) ||
      !ParseFamilyAddress(w[2], route->dest.family, &route->nextHop) ||
      !ParseUnsigned(w[3], &route->metric, true) || !ParseUnsigned(w[4], &route->protocol, false)) {
    return false;
  }
  if (route->dest.family == AF_INET) route->mask = LengthMask(route->length);
  route->publish = w.size() == 6;
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
  ULONGLONG lookedAt = 0;  // in memory: when the file was last looked at
};

ParseCache<Scenario>& ScenarioCache() {
  static auto* cache = new ParseCache<Scenario>;
  return *cache;
}

template <typename Parsed, typename ParseFn>
DWORD LoadCached(const std::wstring& dir, const wchar_t* file, ParseCache<Parsed>* cache,
                 ParseFn parse, std::shared_ptr<const Parsed>* result) {
  std::lock_guard<std::mutex> lock(cache->mutex);
  if (kInMemory && cache->parsed) {
    // A look at the file's stamp costs more under Wine than the memory
    // table's whole create: the file is looked at again only now and then.
    const ULONGLONG now = GetTickCount64();
    if (now - cache->lookedAt < kInMemoryLookMs) {
      *result = cache->parsed;
      return NO_ERROR;
    }
    cache->lookedAt = now;
  }
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
         std::to_string(r.protocol) + (r.publish ? " publish" : "") + "\n";
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

DWORD Scenario::InterfaceFaultOf(DWORD ifIndex, ADDRESS_FAMILY family) const {
  DWORD result = NO_ERROR;
  for (const InterfaceFault& fault : interfaceFaults) {
    if (fault.ifIndex == ifIndex && fault.family == family) result = fault.code;
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

namespace {

// The routes made through the stand-in, kept in memory so that a call costs
// the same however many there are, and in the routes file, so that they
// outlive the process that made them and other processes see them. A
// create appends its line; a delete appends "- <ifindex> <dest>/<len>
// <nexthop>". The file is written whole (only its live rows) while it is
// small, and again whenever its delete lines would outnumber its rows.
// Another process's write is told by a generation counter all the
// stand-in's processes share, and by the file's stamp (a test may write the
// file itself).
constexpr size_t kWrittenWholeUpTo = 16;

struct RouteStore {
  std::mutex mutex;
  bool valid = false;
  UINT64 generation = 0;
  FileStamp stamp;
  std::map<UINT64, RouteRow> rows;                 // by creation order
  std::unordered_map<std::string, UINT64> byKey;  // interface, prefix, next hop
  std::map<DWORD, size_t> perInterface;
  // By prefix (its first `length` bits, family and length): a best-route
  // look is one lookup per prefix length, however many routes there are.
  std::unordered_map<std::string, std::set<UINT64>> byPrefix;
  size_t ipv6Rows = 0;  // a read of one family skips a table of the other
  size_t deleteLines = 0;
  UINT64 nextOrder = 0;
  int badLine = 0;
};

RouteStore& Store() {
  static auto* store = new RouteStore;  // never destroyed, as the caches
  return *store;
}

std::string RouteKey(const RouteRow& r) {
  return std::to_string(r.ifIndex) + " " + FormatAddress(r.dest) + "/" + std::to_string(r.length) +
         " " + FormatAddress(r.nextHop);
}

// The prefix's key: its family, its first `length` bits, the length.
std::string PrefixKey(const IpAddress& address, UINT8 length) {
  std::string key(18, '\0');
  key[0] = static_cast<char>(address.family == AF_INET6 ? 6 : 4);
  key[1] = static_cast<char>(length);
  for (size_t bit = 0; bit < length && bit < address.Size() * 8; bit += 8) {
    const unsigned kept = length - bit >= 8 ? 0xFFu : (0xFFu << (8 - (length - bit))) & 0xFFu;
    key[2 + bit / 8] = static_cast<char>(address.bytes[bit / 8] & kept);
  }
  return key;
}

void Insert(RouteStore& store, const RouteRow& route) {
  const UINT64 order = store.nextOrder++;
  store.rows.emplace(order, route);
  store.byKey[RouteKey(route)] = order;
  ++store.perInterface[route.ifIndex];
  store.byPrefix[PrefixKey(route.dest, route.length)].insert(order);
  store.ipv6Rows += route.dest.family == AF_INET6;
}

bool Erase(RouteStore& store, const std::string& key) {
  const auto found = store.byKey.find(key);
  if (found == store.byKey.end()) return false;
  const auto row = store.rows.find(found->second);
  if (--store.perInterface[row->second.ifIndex] == 0) store.perInterface.erase(row->second.ifIndex);
  const auto samePrefix = store.byPrefix.find(PrefixKey(row->second.dest, row->second.length));
  samePrefix->second.erase(found->second);
  if (samePrefix->second.empty()) store.byPrefix.erase(samePrefix);
  store.ipv6Rows -= row->second.dest.family == AF_INET6;
  store.rows.erase(row);
  store.byKey.erase(found);
  return true;
}

bool ParseStoreText(const std::string& text, RouteStore& store, int* badLine) {
  store.rows.clear();
  store.byKey.clear();
  store.perInterface.clear();
  store.byPrefix.clear();
  store.ipv6Rows = 0;
  store.deleteLines = 0;
  for (Line& line : SplitLines(text)) {
    if (!line.words.empty() && line.words[0] == "-") {
      line.words.erase(line.words.begin());
      line.words.push_back("0");
      line.words.push_back("0");
      RouteRow gone;
      if (!ParseRouteLine(line, &gone) || !Erase(store, RouteKey(gone))) {
        *badLine = line.number;
        return false;
      }
      ++store.deleteLines;
      continue;
    }
    RouteRow route;
    if (!ParseRouteLine(line, &route)) {
      *badLine = line.number;
      return false;
    }
    Insert(store, route);
  }
  return true;
}

// Brings the store up to the file. Under the store's mutex and StandinLock.
// In memory the store is the table: there is no file to follow.
DWORD Sync(const std::wstring& dir, RouteStore& store) {
  if (kInMemory) {
    store.valid = true;
    return NO_ERROR;
  }
  volatile LONG64* shared = SharedRoutesGeneration();
  const UINT64 generation = shared ? static_cast<UINT64>(*shared) : 0;
  FileStamp stamp;
  DWORD rc = StampOfFile(dir + kRoutesFile, &stamp);
  if (rc != NO_ERROR) return rc;
  if (store.valid && shared && generation == store.generation && SameFileStamp(stamp, store.stamp)) {
    return NO_ERROR;
  }
  std::string text;
  bool missing = false;
  rc = ReadWholeFile(dir + kRoutesFile, &text, &missing);
  if (rc != NO_ERROR) return rc;
  store.badLine = 0;
  store.valid = ParseStoreText(text, store, &store.badLine);
  store.generation = generation;
  store.stamp = stamp;
  return store.valid ? NO_ERROR : ReportBadLine(dir, kRoutesFile, store.badLine);
}

// After this process wrote the file.
void NoteOwnWrite(const std::wstring& dir, RouteStore& store) {
  volatile LONG64* shared = SharedRoutesGeneration();
  store.generation = shared ? static_cast<UINT64>(InterlockedIncrement64(shared)) : 0;
  StampOfFile(dir + kRoutesFile, &store.stamp);
}

DWORD WriteWhole(const std::wstring& dir, RouteStore& store) {
  if (kInMemory) return NO_ERROR;
  std::string text;
  for (const auto& entry : store.rows) text += FormatRouteLine(entry.second);
  const DWORD rc = ReplaceWholeFile(dir + kRoutesFile, dir + kRoutesTempFile, text);
  store.deleteLines = 0;
  NoteOwnWrite(dir, store);
  return rc;
}

DWORD WriteChange(const std::wstring& dir, RouteStore& store, const std::string& line,
                  bool isDelete) {
  if (kInMemory) return NO_ERROR;
  if (isDelete) ++store.deleteLines;
  if (store.rows.size() <= kWrittenWholeUpTo || store.deleteLines > store.rows.size()) {
    return WriteWhole(dir, store);
  }
  AppendToFile(dir + kRoutesFile, line);
  NoteOwnWrite(dir, store);
  return NO_ERROR;
}

// Routes on an interface the scenario has down are gone. Under the store's
// mutex.
DWORD DropDown(const std::wstring& dir, const Scenario& scenario, RouteStore& store) {
  bool any = false;
  for (DWORD ifIndex : scenario.down) any = any || store.perInterface.count(ifIndex) != 0;
  if (!any) return NO_ERROR;
  std::vector<std::pair<DWORD, size_t>> removed;
  for (DWORD ifIndex : scenario.down) {
    const auto found = store.perInterface.find(ifIndex);
    if (found != store.perInterface.end()) removed.emplace_back(ifIndex, found->second);
  }
  for (auto row = store.rows.begin(); row != store.rows.end();) {
    const auto next = std::next(row);
    if (scenario.IsDown(row->second.ifIndex)) Erase(store, RouteKey(row->second));
    row = next;
  }
  const DWORD rc = WriteWhole(dir, store);
  if (rc != NO_ERROR) return rc;
  for (const auto& entry : removed) {
    AppendJournal(dir, "down if=" + std::to_string(entry.first) +
                           " removed=" + std::to_string(entry.second));
  }
  return NO_ERROR;
}

}  // namespace

DWORD LoadRoutes(const std::wstring& dir, const Scenario& scenario, std::vector<RouteRow>* routes,
                 ADDRESS_FAMILY family) {
  RouteStore& store = Store();
  std::lock_guard<std::mutex> lock(store.mutex);
  DWORD rc = Sync(dir, store);
  if (rc == NO_ERROR) rc = DropDown(dir, scenario, store);
  if (rc != NO_ERROR) return rc;
  routes->clear();
  const size_t ipv4Rows = store.rows.size() - store.ipv6Rows;
  const size_t wanted = family == AF_INET6 ? store.ipv6Rows
                        : family == AF_INET ? ipv4Rows
                                            : store.rows.size();
  if (wanted == 0) return NO_ERROR;
  routes->reserve(wanted);
  const bool all = wanted == store.rows.size();
  for (const auto& entry : store.rows) {
    if (all || entry.second.dest.family == family) routes->push_back(entry.second);
  }
  return NO_ERROR;
}

DWORD LoadRoutesCovering(const std::wstring& dir, const Scenario& scenario,
                         const IpAddress& destination, std::vector<RouteRow>* routes) {
  RouteStore& store = Store();
  std::lock_guard<std::mutex> lock(store.mutex);
  DWORD rc = Sync(dir, store);
  if (rc == NO_ERROR) rc = DropDown(dir, scenario, store);
  if (rc != NO_ERROR) return rc;
  std::set<UINT64> orders;
  for (int length = destination.MaxPrefixLength(); length >= 0; --length) {
    const auto found = store.byPrefix.find(PrefixKey(destination, static_cast<UINT8>(length)));
    if (found != store.byPrefix.end()) orders.insert(found->second.begin(), found->second.end());
  }
  routes->clear();
  for (const UINT64 order : orders) routes->push_back(store.rows.at(order));
  return NO_ERROR;
}

DWORD AddRoute(const std::wstring& dir, const Scenario& scenario, RouteRow route) {
  if (route.dest.family == AF_INET) route.mask = LengthMask(route.length);  // as read from the file
  RouteStore& store = Store();
  std::lock_guard<std::mutex> lock(store.mutex);
  DWORD rc = Sync(dir, store);
  if (rc == NO_ERROR) rc = DropDown(dir, scenario, store);
  if (rc != NO_ERROR) return rc;
  if (store.byKey.count(RouteKey(route)) != 0) return ERROR_OBJECT_ALREADY_EXISTS;
  Insert(store, route);
  return WriteChange(dir, store, kInMemory ? std::string() : FormatRouteLine(route), false);
}

DWORD RemoveRoute(const std::wstring& dir, const Scenario& scenario, const RouteRow& route) {
  RouteStore& store = Store();
  std::lock_guard<std::mutex> lock(store.mutex);
  DWORD rc = Sync(dir, store);
  if (rc == NO_ERROR) rc = DropDown(dir, scenario, store);
  if (rc != NO_ERROR) return rc;
  const std::string key = RouteKey(route);
  if (!Erase(store, key)) return ERROR_NOT_FOUND;
  return WriteChange(dir, store, "- " + key + "\n", true);
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
  DWORD error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(10);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
      error = GetLastError();
    } else {
      SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
      SERVICE_STATUS status{};
      const bool known = service && QueryServiceStatus(service, &status);
      error = known ? 0 : GetLastError();
      if (service) CloseServiceHandle(service);
      CloseServiceHandle(manager);
      if (known) return status.dwCurrentState;
    }
    if (error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_SERVICE_MARKED_FOR_DELETE) return 0;
    // Anything else is the manager failing the call, not the service's
    // absence: asked again, and written down for whoever wonders why.
    const std::wstring dir = StandinDirectory();
    if (!dir.empty()) {
      AppendToFile(dir + L"iphlpapi-standin-errors.txt",
                   "service query " + name + " err=" + std::to_string(error) + "\n");
    }
  }
  return 0;
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
  row->Publish = route.publish ? TRUE : FALSE;
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

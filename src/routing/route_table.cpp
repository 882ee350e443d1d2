#include "routing/route_table.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "routing/list_limits.h"
#include "routing/net_merge.h"
#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/log.h"
#include "support/progress.h"

namespace {

// The physical route of one family, as a row needs it.
struct Via {
  uint32_t InterfaceIndex = 0;
  IpAddress Gateway;
  bool Captured() const { return InterfaceIndex != 0; }  // a zero gateway: on-link
};
bool operator==(const Via& a, const Via& b) {
  return a.InterfaceIndex == b.InterfaceIndex && a.Gateway == b.Gateway;
}

// StateMutex held.
Via PhysicalVia(uint16_t family) {
  if (family == kFamilyIPv6) {
    return {HelperState.PhysicalRoute6.InterfaceIndex, HelperState.PhysicalRoute6.Gateway};
  }
  return {HelperState.PhysicalRoute.InterfaceIndex,
          IpAddress::FromIPv4(HelperState.PhysicalRoute.Gateway)};
}

// StateMutex held.
void SetPhysicalVia(uint16_t family, const Via& via) {
  if (family == kFamilyIPv6) {
    HelperState.PhysicalRoute6 = {via.InterfaceIndex, via.Gateway};
  } else {
    HelperState.PhysicalRoute = {via.InterfaceIndex, via.Gateway.IPv4()};
  }
}

void MarkOrigin(RecordedRoute& route, RouteOrigin origin) {
  (origin == RouteOrigin::List    ? route.ForList
   : origin == RouteOrigin::Split ? route.ForSplit
                                  : route.ForDomain) = true;
}

// Takes the helper's own route out of the system, with the row it was made
// with; someone else's is left alone. StateMutex held.
void DeleteFromSystem(const RoutePrefix& prefix, const RecordedRoute& route) {
  if (route.State != RouteState::Ours) return;
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(route.InterfaceIndex, prefix, route.Gateway);
  DeleteIpForwardEntry2(&row);  // gone already, or its interface is: nothing to do
}

// Deletes a route the helper no longer wants, and takes its journal line
// back. StateMutex held; the caller forgets the entry.
void Withdraw(const RoutePrefix& prefix, const RecordedRoute& route) {
  DeleteFromSystem(prefix, route);
  WithdrawJournalLine(route.JournalLine);
}

// The LUID of the interface routes go through, for the journal; the last
// one asked for is kept (it changes only with the physical network).
// StateMutex held.
uint64_t LuidOf(uint32_t interfaceIndex) {
  static uint32_t cachedIndex = 0;
  static uint64_t cachedLuid = 0;
  if (interfaceIndex != cachedIndex || cachedLuid == 0) {
    NET_LUID luid{};
    cachedIndex = interfaceIndex;
    cachedLuid = ConvertInterfaceIndexToLuid(interfaceIndex, &luid) == NO_ERROR ? luid.Value : 0;
  }
  return cachedLuid;
}

// However long a list, one request logs a bounded number of lines: while a
// batch of rows runs (a list installed, a network followed), the first few
// failures are logged and the rest counted in one line at its end. Outside
// a batch (one event of the sniffer) every failure is logged. StateMutex
// guards both.
constexpr size_t kFailureLinesPerBatch = 5;
size_t FailureLinesLeft = SIZE_MAX;
size_t FailuresUnsaid = 0;

void LogFailure(const std::wstring& text) {
  if (FailureLinesLeft == 0) {
    ++FailuresUnsaid;
    return;
  }
  if (FailureLinesLeft != SIZE_MAX) --FailureLinesLeft;
  LogLine(text);
}

// A batch's start and end. StateMutex held.
void BeginFailureBatch() {
  FailureLinesLeft = kFailureLinesPerBatch;
  FailuresUnsaid = 0;
}
void EndFailureBatch() {
  if (FailuresUnsaid > 0) {
    LogLine(L"route failures not logged: " + std::to_wstring(FailuresUnsaid) + L" more");
  }
  FailureLinesLeft = SIZE_MAX;
  FailuresUnsaid = 0;
}
// A batch for as long as it lives, within one hold of StateMutex.
struct FailureBatchUnderLock {
  FailureBatchUnderLock() { BeginFailureBatch(); }
  ~FailureBatchUnderLock() { EndFailureBatch(); }
  FailureBatchUnderLock(const FailureBatchUnderLock&) = delete;
  FailureBatchUnderLock& operator=(const FailureBatchUnderLock&) = delete;
};

void LogJournalFailure(const RoutePrefix& prefix, DWORD error) {
  LogFailure(L"route journal not written: err=" + std::to_wstring(error) + L"; route to " +
             FormatPrefix(prefix) + L" not created");
}

JournaledRoute JournalEntry(const RoutePrefix& prefix, const Via& physical) {
  return {physical.InterfaceIndex, prefix, physical.Gateway, LuidOf(physical.InterfaceIndex)};
}

// Makes the route through `physical` whose journal line `line` was written
// already, and returns what became of it as CreateThrough does. A line that
// no longer lists a route of the helper's is handed back in `unused` for the
// caller to take back (with others, in one go). StateMutex held.
RecordedRoute CreateJournaled(const RoutePrefix& prefix, RecordedRoute route, const Via& physical,
                              uint32_t line, uint32_t& unused) {
  unused = kNotJournaled;
  route.State = RouteState::Waiting;
  route.InterfaceIndex = physical.InterfaceIndex;
  route.Gateway = physical.Gateway;
  route.JournalLine = line;
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(route.InterfaceIndex, prefix, route.Gateway);
  const DWORD result = CreateIpForwardEntry2(&row);
  if (result == NO_ERROR) {
    route.State = RouteState::Ours;
    return route;
  }
  unused = line;
  route.JournalLine = kNotJournaled;
  if (result == ERROR_OBJECT_ALREADY_EXISTS) {
    // Someone else's (an administrator's static route, another VPN's):
    // recorded, so it is not asked for again, and never deleted, since
    // their connectivity may rest on it.
    route.State = RouteState::Theirs;
    return route;
  }
  LogFailure(L"CreateIpForwardEntry2 failed rc=" + std::to_wstring(result) + L" for " +
             FormatPrefix(prefix));
  return route;
}

// Makes the route through `physical`, journal first (a crash between the
// two then leaves no route the next start does not know of), and returns
// what became of it: Ours with its row and line, Theirs when it was there
// already, Waiting when it could not be made (logged, no line left).
// StateMutex held.
RecordedRoute CreateThrough(const RoutePrefix& prefix, RecordedRoute route, const Via& physical) {
  uint32_t line = kNotJournaled;
  if (!JournalRoute(JournalEntry(prefix, physical), line)) {
    LogJournalFailure(prefix, GetLastError());
    route.State = RouteState::Waiting;
    route.InterfaceIndex = physical.InterfaceIndex;
    route.Gateway = physical.Gateway;
    return route;
  }
  uint32_t unused = kNotJournaled;
  route = CreateJournaled(prefix, route, physical, line, unused);
  WithdrawJournalLine(unused);
  return route;
}

// The system's rows as Windows tells them apart (prefix, interface, next
// hop), in a set made before the lock is taken: a look at a table that
// changed nothing costs one pass over it, not one pass per route. Open
// addressing over the rows' positions: a country-sized table is one
// allocation, not one per row.
class SystemRows {
 public:
  explicit SystemRows(const std::vector<SystemRoute>& rows) : rows_(rows) {
    size_t capacity = 16;
    while (capacity < rows.size() * 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
    for (uint32_t i = 0; i < rows.size(); ++i) {
      const SystemRoute& row = rows[i];
      size_t slot = SlotOf(row.Prefix, row.InterfaceIndex, row.NextHop);
      while (slots_[slot] != kEmpty) slot = (slot + 1) & (slots_.size() - 1);
      slots_[slot] = i;
    }
  }
  bool Has(const RoutePrefix& prefix, uint32_t interfaceIndex, const IpAddress& nextHop) const {
    for (size_t slot = SlotOf(prefix, interfaceIndex, nextHop); slots_[slot] != kEmpty;
         slot = (slot + 1) & (slots_.size() - 1)) {
      const SystemRoute& row = rows_[slots_[slot]];
      if (row.Prefix == prefix && row.InterfaceIndex == interfaceIndex && row.NextHop == nextHop) {
        return true;
      }
    }
    return false;
  }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFF;
  static uint64_t Mix(uint64_t hash, uint64_t value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
  }
  static uint64_t Half(const uint8_t* bytes) {
    uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
  }
  size_t SlotOf(const RoutePrefix& prefix, uint32_t interfaceIndex, const IpAddress& nextHop) const {
    const uint8_t* dest = prefix.Destination.Bytes;
    uint64_t hash = Mix(Half(dest), Half(dest + 8));
    hash = Mix(hash, (uint64_t{prefix.Length} << 32) | interfaceIndex);
    hash = Mix(Mix(hash, Half(nextHop.Bytes)), Half(nextHop.Bytes + 8));
    return static_cast<size_t>(hash) & (slots_.size() - 1);
  }
  const std::vector<SystemRoute>& rows_;
  std::vector<uint32_t> slots_;
};

std::wstring FamilyWord(uint16_t family) { return family == kFamilyIPv6 ? L"IPv6 " : L""; }

// A split host route nothing else wants: the cap counts it and idling
// takes it; one a domain's answer also wants lives by that answer's time.
bool SplitOnly(const RecordedRoute& route) {
  return route.ForSplit && !route.ForList && !route.ForDomain;
}

// What the table holds, kept as it changes, so that neither `state` nor the
// split cap walks a table of tens of thousands of routes: the helper's own
// routes in the system and how many of them split applications want, the
// split host routes no list entry wants, and those of them that idle, by
// how long. Every change of a recorded route goes through Unindex before
// and Index after. StateMutex.
size_t OwnRoutes = 0;
size_t OwnSplitRoutes = 0;
size_t SplitOnlyRoutes = 0;
std::set<std::pair<uint64_t, RoutePrefix>> IdleSplitRoutes;

void Unindex(const RoutePrefix& prefix, const RecordedRoute& route) {
  if (route.State == RouteState::Ours) {
    --OwnRoutes;
    OwnSplitRoutes -= route.ForSplit;
  }
  if (!SplitOnly(route)) return;
  --SplitOnlyRoutes;
  if (route.OpenConnections == 0) IdleSplitRoutes.erase({route.IdleSince, prefix});
}
void Index(const RoutePrefix& prefix, const RecordedRoute& route) {
  if (route.State == RouteState::Ours) {
    ++OwnRoutes;
    OwnSplitRoutes += route.ForSplit;
  }
  if (!SplitOnly(route)) return;
  ++SplitOnlyRoutes;
  if (route.OpenConnections == 0) IdleSplitRoutes.insert({route.IdleSince, prefix});
}
void ForgetIndexes() {
  OwnRoutes = OwnSplitRoutes = SplitOnlyRoutes = 0;
  IdleSplitRoutes.clear();
}

// Forgets a recorded route, its split standing included. StateMutex held.
void Forget(const RoutePrefix& prefix) {
  if (const RecordedRoute* route = HelperState.BypassRouteTable.Find(prefix)) {
    Unindex(prefix, *route);
  }
  HelperState.BypassRouteTable.Erase(prefix);
}
void Record(const RoutePrefix& prefix, const RecordedRoute& route) {
  HelperState.BypassRouteTable.Insert(prefix, route);
  Index(prefix, route);
}

// Said once per connect (the table is cleared at every connect).
bool SplitCapSaid = false;

// Split destinations that get no host route for a while: a create that
// failed (Windows refuses it again at once, and each try costs a call and
// a log line) and an address the tunnel is not the path to. StateMutex.
constexpr uint64_t kNoSplitRouteMs = 60000;
constexpr size_t kNoSplitRouteAtMost = 4096;
std::map<RoutePrefix, uint64_t> NoSplitRouteUntil;

void RefuseSplitRouteForAWhile(const RoutePrefix& prefix, uint64_t now) {
  if (NoSplitRouteUntil.size() >= kNoSplitRouteAtMost) NoSplitRouteUntil.clear();
  NoSplitRouteUntil[prefix] = now + kNoSplitRouteMs;
}
bool SplitWaitSaid = false;

// The domain routes: for each, the domain its answers were for, when the
// last of them came, and the longest TTL seen; ordered by when it goes and
// by its last answer, for the expiry and the cap. StateMutex.
struct DomainRoute {
  std::string Domain;
  uint64_t AnsweredAt = 0;  // GetTickCount64
  uint64_t LongestMs = 0;   // the longest TTL seen, at least HelperLimits.DomainRouteMinMs
  uint64_t Until() const { return AnsweredAt + LongestMs; }
};
std::map<RoutePrefix, DomainRoute> DomainRoutes;
std::set<std::pair<uint64_t, RoutePrefix>> DomainRoutesByEnd;
std::set<std::pair<uint64_t, RoutePrefix>> DomainRoutesByAnswer;

void ForgetDomainRoutes() {
  DomainRoutes.clear();
  DomainRoutesByEnd.clear();
  DomainRoutesByAnswer.clear();
}
// Takes a prefix out of the domain routes' records (not out of the table).
void UnrecordDomain(const RoutePrefix& prefix) {
  const auto found = DomainRoutes.find(prefix);
  if (found == DomainRoutes.end()) return;
  DomainRoutesByEnd.erase({found->second.Until(), prefix});
  DomainRoutesByAnswer.erase({found->second.AnsweredAt, prefix});
  DomainRoutes.erase(found);
}
void RecordDomain(const RoutePrefix& prefix, const DomainRoute& entry) {
  DomainRoutes[prefix] = entry;
  DomainRoutesByEnd.insert({entry.Until(), prefix});
  DomainRoutesByAnswer.insert({entry.AnsweredAt, prefix});
}

// Whether a new split host route may be made: below the cap, or at it once
// the route idle longest is gone. StateMutex held.
bool RoomForSplitRoute() {
  if (SplitOnlyRoutes < HelperLimits.SplitRouteCap) return true;
  if (!IdleSplitRoutes.empty()) {
    const RoutePrefix idlest = IdleSplitRoutes.begin()->second;
    Withdraw(idlest, *HelperState.BypassRouteTable.Find(idlest));
    Forget(idlest);
    return true;
  }
  if (!SplitCapSaid) {
    SplitCapSaid = true;
    LogLine(L"split host routes at the limit of " + std::to_wstring(HelperLimits.SplitRouteCap) +
            L"; new destinations stay in the tunnel");
  }
  return false;
}

// Deletes the routes of `prefixes` that `stillGoes` says should go, one at a
// time with the lock taken for each: the sniffer never waits behind more
// than one row. Each is looked at again under the lock, since it may have
// changed in between. Their journal lines are taken back in one go after
// the last row (the journal may list a route that is gone meanwhile, never
// miss one). StateMutex not held.
template <typename Predicate>
void WithdrawOneAtATime(const std::vector<RoutePrefix>& prefixes, Predicate stillGoes) {
  std::vector<uint32_t> lines;
  lines.reserve(prefixes.size());
  for (const RoutePrefix& prefix : prefixes) {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    RecordedRoute* route = HelperState.BypassRouteTable.Find(prefix);
    if (!route || !stillGoes(*route)) continue;
    DeleteFromSystem(prefix, *route);
    lines.push_back(route->JournalLine);
    Forget(prefix);
  }
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  WithdrawJournalLines(lines);
}

// Records a route not recorded yet and makes it through the physical route
// of its family, or keeps it waiting for one. False when making it failed
// (logged; nothing recorded, so a later ask tries again). StateMutex held.
bool RecordAndMake(const RoutePrefix& prefix, RecordedRoute route) {
  const Via physical = PhysicalVia(prefix.Destination.Family);
  if (!physical.Captured()) {
    route.State = RouteState::Waiting;
    Record(prefix, route);
    return true;
  }
  route = CreateThrough(prefix, route, physical);
  if (route.State == RouteState::Waiting) return false;
  Record(prefix, route);
  return true;
}

// Marks a recorded route as the list's (a split application's route to a
// network the list now names). StateMutex held.
void MarkListed(const RoutePrefix& prefix, RecordedRoute& route) {
  Unindex(prefix, route);
  route.ForList = true;
  Index(prefix, route);
}

// Makes the list's routes that are not recorded yet. Every line goes into
// the journal in one write before the first row is made (a crash at any
// moment leaves no route the next start does not know of), the rows are
// made one at a time with the lock let go in between, so the sniffer's
// host routes interleave, and the lines of rows that were not made are
// taken back in one go after the last. StateMutex not held.
void MakeListRoutes(const std::vector<RoutePrefix>& nets) {
  std::vector<RoutePrefix> making;
  std::vector<Via> through;
  std::vector<uint32_t> lines;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    std::vector<JournaledRoute> entries;
    for (const RoutePrefix& net : nets) {
      if (RecordedRoute* recorded = HelperState.BypassRouteTable.Find(net)) {
        MarkListed(net, *recorded);
        continue;
      }
      const Via physical = PhysicalVia(net.Destination.Family);
      if (!physical.Captured()) {
        RecordedRoute waiting;
        waiting.ForList = true;
        waiting.State = RouteState::Waiting;
        Record(net, waiting);
        continue;
      }
      making.push_back(net);
      through.push_back(physical);
      entries.push_back(JournalEntry(net, physical));
    }
    if (!JournalRoutes(entries, lines)) {
      const DWORD error = GetLastError();
      for (const RoutePrefix& net : making) LogJournalFailure(net, error);
      return;
    }
  }
  std::vector<uint32_t> unused;
  unused.reserve(making.size());
  for (size_t i = 0; i < making.size(); ++i) {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    const RoutePrefix& net = making[i];
    RecordedRoute listed;
    listed.ForList = true;
    if (RecordedRoute* recorded = HelperState.BypassRouteTable.Find(net)) {
      // A split application's route to it, made meanwhile: now the list's too.
      MarkListed(net, *recorded);
      unused.push_back(lines[i]);
      continue;
    }
    if (!(PhysicalVia(net.Destination.Family) == through[i])) {
      // The network moved meanwhile: made the new way, its line written anew.
      unused.push_back(lines[i]);
      RecordAndMake(net, listed);
      continue;
    }
    uint32_t spare = kNotJournaled;
    listed = CreateJournaled(net, listed, through[i], lines[i], spare);
    unused.push_back(spare);
    if (listed.State != RouteState::Waiting) Record(net, listed);
  }
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  WithdrawJournalLines(unused);
}

// How many of the helper's routes one hold of StateMutex compares with the
// system's rows: well under a millisecond's work.
constexpr size_t kRoutesComparedPerHold = 2048;

// Same network: brings back what Windows took away (it deletes the routes
// of an interface that goes down, even for a second) and what could not be
// made before. The comparison goes a piece at a time and the restoring a
// row at a time, the lock let go in between, so neither the sniffer nor
// the pipe waits behind a country-sized table.
void RestoreMissingRoutes(uint16_t family, const Via& now, const std::vector<SystemRoute>& system) {
  const SystemRows present(system);
  const auto missing = [&](const RoutePrefix& prefix, const RecordedRoute& route) {
    return route.State == RouteState::Waiting ||
           !present.Has(prefix, route.InterfaceIndex, route.Gateway);
  };
  RouteTable& table = HelperState.BypassRouteTable;
  std::vector<RoutePrefix> gone;
  std::optional<RoutePrefix> after;
  do {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    if (!(PhysicalVia(family) == now)) return;  // moved meanwhile: the next look follows
    after = table.ForSome(family, after, kRoutesComparedPerHold,
                          [&](const RoutePrefix& prefix, const RecordedRoute& route) {
                            if (missing(prefix, route)) gone.push_back(prefix);
                          });
  } while (after);
  if (gone.empty()) return;
  std::unique_lock<std::mutex> lock(HelperState.StateMutex);
  const FailureBatchUnderLock batch;
  size_t restored = 0;
  for (const RoutePrefix& prefix : gone) {
    lock.unlock();
    lock.lock();
    RecordedRoute* route = table.Find(prefix);
    if (!route || !missing(prefix, *route) || !(PhysicalVia(family) == now)) continue;
    const RecordedRoute old = *route;
    Unindex(prefix, old);
    *route = CreateThrough(prefix, old, now);
    // The table was read before the lock was taken: a route made since
    // (a split host route, say) looks missing and is found existing. Made
    // by the helper, with this very row, it is the helper's still, and
    // keeps its line.
    if (old.State == RouteState::Ours && route->State == RouteState::Theirs &&
        old.InterfaceIndex == now.InterfaceIndex && old.Gateway == now.Gateway) {
      *route = old;
    } else {
      // The line of a route Windows deleted still stands: it goes with
      // the route's new one.
      if (old.State == RouteState::Ours) WithdrawJournalLine(old.JournalLine);
      restored += route->State == RouteState::Ours;
    }
    Index(prefix, *route);
  }
  if (restored > 0) {
    LogLine(FamilyWord(family) + L"bypass routes restored: " + std::to_wstring(restored));
  }
}

}  // namespace

bool AddBypassRoute(const RoutePrefix& prefix, RouteOrigin origin) {
  // Held across the system call and the log write, so that the lookup, the
  // creation and the record are one step for the sniffer thread too.
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  if (RecordedRoute* recorded = HelperState.BypassRouteTable.Find(prefix)) {
    Unindex(prefix, *recorded);
    MarkOrigin(*recorded, origin);
    if (origin == RouteOrigin::Split) ++recorded->OpenConnections;
    Index(prefix, *recorded);
    return true;
  }
  if (origin == RouteOrigin::Split && !RoomForSplitRoute()) return false;
  RecordedRoute route;
  MarkOrigin(route, origin);
  if (origin == RouteOrigin::Split) route.OpenConnections = 1;
  // Kept as wanted without a physical route: the network watcher makes it
  // once there is a network. The list's summary counts these; without an
  // IPv6 one the capture has said so, once per connect.
  if (origin == RouteOrigin::Split && prefix.Destination.IsIPv4() &&
      !PhysicalVia(kFamilyIPv4).Captured() && !SplitWaitSaid) {
    SplitWaitSaid = true;
    LogLine(L"no physical default route captured; split host routes wait");
  }
  // A failed creation is not recorded, so that the next ask tries again; a
  // split destination only after a while.
  if (RecordAndMake(prefix, route)) return true;
  if (origin == RouteOrigin::Split) RefuseSplitRouteForAWhile(prefix, GetTickCount64());
  return false;
}

bool AddSplitHostRoute(const IpAddress& destination) {
  const RoutePrefix prefix{destination, static_cast<uint8_t>(destination.IsIPv4() ? 32 : 128)};
  const uint64_t now = GetTickCount64();
  {
    // The sniffer's every event for a destination already routed ends here:
    // one lookup and a count.
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    if (RecordedRoute* recorded = HelperState.BypassRouteTable.Find(prefix)) {
      Unindex(prefix, *recorded);
      recorded->ForSplit = true;
      ++recorded->OpenConnections;
      Index(prefix, *recorded);
      return true;
    }
    // A destination refused lately costs nothing more for a while.
    const auto refused = NoSplitRouteUntil.find(prefix);
    if (refused != NoSplitRouteUntil.end()) {
      if (now < refused->second) return false;
      NoSplitRouteUntil.erase(refused);
    }
    // The tunnel's own networks and DNS servers are reached through it: a
    // host route to its DNS server would take every program's name lookups
    // out of the tunnel, where they cannot reach it.
    for (const RoutePrefix& own : HelperState.TunnelFacts.OwnNetworks) {
      if (PrefixCovers(own, destination)) return false;
    }
  }
  // Only where the tunnel is the path now.
  if (!TunnelIsThePathTo(destination)) {
    RefuseSplitRouteForAWhile(prefix, now);
    return false;
  }
  return AddBypassRoute(prefix,
                        RouteOrigin::Split);  // looks again: another thread may have added it
}

void NoteSplitClose(const IpAddress& destination) {
  const RoutePrefix prefix{destination, static_cast<uint8_t>(destination.IsIPv4() ? 32 : 128)};
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  RecordedRoute* recorded = HelperState.BypassRouteTable.Find(prefix);
  if (!recorded || recorded->OpenConnections == 0) return;
  Unindex(prefix, *recorded);
  if (--recorded->OpenConnections == 0) recorded->IdleSince = GetTickCount64();
  Index(prefix, *recorded);
}

void ExpireIdleSplitRoutes() {
  const uint64_t now = GetTickCount64();
  const auto expired = [now](const RecordedRoute& route) {
    return SplitOnly(route) && route.OpenConnections == 0 &&
           now - route.IdleSince >= HelperLimits.SplitIdleMs;
  };
  std::vector<RoutePrefix> idle;
  {
    // Idlest first: the look ends at the first that has not idled long enough.
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    for (const auto& [since, prefix] : IdleSplitRoutes) {
      if (now - since < HelperLimits.SplitIdleMs) break;
      idle.push_back(prefix);
    }
  }
  WithdrawOneAtATime(idle, expired);
}

RouteCounts CountBypassRoutes() {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  return {OwnRoutes, OwnSplitRoutes, DomainRoutes.size()};
}

namespace {

// A domain no longer wants the route: it goes unless the list or a split
// application wants it. StateMutex held.
void ReleaseDomainRoute(const RoutePrefix prefix) {  // a copy: the records it names go
  UnrecordDomain(prefix);
  RecordedRoute* route = HelperState.BypassRouteTable.Find(prefix);
  if (!route || !route->ForDomain) return;
  Unindex(prefix, *route);
  route->ForDomain = false;
  if (route->ForList || route->ForSplit) {
    if (route->ForSplit && route->OpenConnections == 0) route->IdleSince = GetTickCount64();
    Index(prefix, *route);
    return;
  }
  Index(prefix, *route);
  Withdraw(prefix, *route);
  Forget(prefix);
}

}  // namespace

namespace {

// The new life of a domain route answered again (or the first of one
// recorded already for another reason): true when the prefix is recorded,
// and then marked the domain's. StateMutex held.
bool RenewLocked(const RoutePrefix& prefix, DomainRoute entry) {
  // An address answered again lives from this answer, by the longest TTL seen.
  const auto known = DomainRoutes.find(prefix);
  RecordedRoute* recorded = HelperState.BypassRouteTable.Find(prefix);
  if (!recorded) return false;
  if (known != DomainRoutes.end()) {
    if (known->second.LongestMs > entry.LongestMs) entry.LongestMs = known->second.LongestMs;
    UnrecordDomain(prefix);
  }
  if (!recorded->ForDomain) {
    Unindex(prefix, *recorded);
    recorded->ForDomain = true;
    Index(prefix, *recorded);
  }
  RecordDomain(prefix, entry);
  return true;
}

// A TTL is the answering server's to choose: past a day (what caching
// resolvers keep a record at most) it counts as a day, so no answer keeps a
// route for ever.
DomainRoute DomainEntry(uint32_t ttlSeconds, const std::string& domain) {
  uint64_t ttlMs = uint64_t{ttlSeconds} * 1000;
  if (ttlMs > HelperLimits.DomainRouteMaxMs) ttlMs = HelperLimits.DomainRouteMaxMs;
  if (ttlMs < HelperLimits.DomainRouteMinMs) ttlMs = HelperLimits.DomainRouteMinMs;
  return {domain, GetTickCount64(), ttlMs};
}

// Each domain route made is logged, at most kDomainLinesPerMinute lines a
// minute; the rest of a minute are counted, and the count is said once the
// minute is over (at the next route, expiry look or clear). StateMutex.
constexpr size_t kDomainLinesPerMinute = 20;
constexpr uint64_t kDomainLineWindowMs = 60000;
uint64_t DomainLinesSince = 0;
size_t DomainLinesSaid = 0;
size_t DomainLinesUnsaid = 0;

void FlushDomainLines(uint64_t now, bool always) {
  if (!always && now - DomainLinesSince < kDomainLineWindowMs) return;
  if (DomainLinesUnsaid > 0) {
    LogLine(L"domain routes not logged: " + std::to_wstring(DomainLinesUnsaid) + L" more");
  }
  DomainLinesSince = now;
  DomainLinesSaid = DomainLinesUnsaid = 0;
}

void LogDomainRoute(const RoutePrefix& prefix, const std::string& domain) {
  const uint64_t now = GetTickCount64();
  FlushDomainLines(now, false);
  if (DomainLinesSaid == kDomainLinesPerMinute) {
    ++DomainLinesUnsaid;
    return;
  }
  ++DomainLinesSaid;
  LogLine(L"domain route: " + FormatPrefix(prefix) + L" for " +
          std::wstring(domain.begin(), domain.end()));  // ASCII: a listed name
}

}  // namespace

bool RenewDomainRoute(const IpAddress& address, uint32_t ttlSeconds, const std::string& domain) {
  const RoutePrefix prefix{address, static_cast<uint8_t>(address.IsIPv4() ? 32 : 128)};
  std::unique_lock<std::mutex> lock(HelperState.StateMutex, std::try_to_lock);
  return lock.owns_lock() && RenewLocked(prefix, DomainEntry(ttlSeconds, domain));
}

bool AddDomainRoute(const IpAddress& address, uint32_t ttlSeconds, const std::string& domain) {
  const RoutePrefix prefix{address, static_cast<uint8_t>(address.IsIPv4() ? 32 : 128)};
  const DomainRoute entry = DomainEntry(ttlSeconds, domain);
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    // The tunnel's own networks and DNS servers are reached through it.
    for (const RoutePrefix& own : HelperState.TunnelFacts.OwnNetworks) {
      if (PrefixCovers(own, address)) return false;
    }
    if (RenewLocked(prefix, entry)) return true;
  }
  // Only where the tunnel is the path now, as for a split destination.
  if (!TunnelIsThePathTo(address)) return false;
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  if (RenewLocked(prefix, entry)) return true;  // made meanwhile
  // At the cap, the route of the oldest answer makes room.
  if (DomainRoutes.size() >= HelperLimits.DomainRouteCap && !DomainRoutesByAnswer.empty()) {
    ReleaseDomainRoute(DomainRoutesByAnswer.begin()->second);
  }
  RecordedRoute route;
  route.ForDomain = true;
  if (!RecordAndMake(prefix, route)) return false;
  UnrecordDomain(prefix);
  RecordDomain(prefix, entry);
  LogDomainRoute(prefix, domain);
  return true;
}

void ExpireDomainRoutes() {
  const uint64_t now = GetTickCount64();
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  FlushDomainLines(now, false);
  while (!DomainRoutesByEnd.empty() && DomainRoutesByEnd.begin()->first <= now) {
    ReleaseDomainRoute(DomainRoutesByEnd.begin()->second);
  }
}

std::string DomainOfRoute(const RoutePrefix& prefix) {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  const auto found = DomainRoutes.find(prefix);
  return found == DomainRoutes.end() ? std::string() : found->second.Domain;
}

void ClearDomainRoutes() {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  FlushDomainLines(GetTickCount64(), true);
  while (!DomainRoutes.empty()) ReleaseDomainRoute(DomainRoutes.begin()->first);
}

void ClearSplitHostRoutes() {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  SplitCapSaid = false;
  SplitWaitSaid = false;
  HelperState.BypassRouteTable.KeepIf([](const RoutePrefix& prefix, RecordedRoute& route) {
    if (!route.ForSplit) return true;
    Unindex(prefix, route);
    route.ForSplit = false;
    route.OpenConnections = 0;
    if (route.ForList || route.ForDomain) {  // a listed network or domain: it stays
      Index(prefix, route);
      return true;
    }
    Withdraw(prefix, route);
    return false;
  });
}

void ClearBypassRoutes() {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  NoSplitRouteUntil.clear();
  SplitCapSaid = false;
  SplitWaitSaid = false;
  // A stop waits for this: each batch is a step of its own.
  size_t deleted = 0;
  HelperState.BypassRouteTable.ForEach([&](const RoutePrefix& prefix, const RecordedRoute& route) {
    if (deleted++ % kRoutesPerProgressStep == 0) ReportProgress(kShortStepMs);
    DeleteFromSystem(prefix, route);
  });
  HelperState.BypassRouteTable.Clear();
  ForgetIndexes();
  ForgetDomainRoutes();
  EmptyRouteJournal();
  ForgetRoutesBesideTheList();
}

namespace {

// One install of the list at a time: a request's, or the network watcher's
// when the routes beside the list changed. Taken before StateMutex.
std::mutex ListInstallMutex;

enum class ListChange {
  NewList,    // the client's: what left the list goes first
  NewLimits,  // the routes beside it: the list is the same, so what it
              // now makes comes first, and no listed address goes without
              // a route meanwhile
};

void InstallListRoutes(ListChange change) {
  const std::lock_guard<std::mutex> installing(ListInstallMutex);
  std::vector<RoutePrefix> list;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    list = HelperState.BypassNetList;
  }
  const std::vector<MergedNet> merged = MergeNets(std::move(list), RoutesBesideTheList());
  std::vector<RoutePrefix> departed;
  size_t distinct = 0, distinct6 = 0, fresh = 0, unlisted = 0;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    // Networks the client has just put back into the tunnel must not keep
    // leaving outside it; nor a route the list now makes wider or narrower.
    std::set<RoutePrefix> wanted;
    for (const MergedNet& net : merged) {
      wanted.insert(net.Prefix);
      (net.Prefix.Destination.IsIPv6() ? distinct6 : distinct) += net.Entries;
      if (change == ListChange::NewLimits) {
        const RecordedRoute* recorded = HelperState.BypassRouteTable.Find(net.Prefix);
        fresh += !recorded || !recorded->ForList;
      }
    }
    HelperState.BypassRouteTable.ForEach([&](const RoutePrefix& prefix, RecordedRoute& route) {
      if (!route.ForList || wanted.count(prefix) != 0) return;
      ++unlisted;
      Unindex(prefix, route);
      route.ForList = false;
      Index(prefix, route);  // a split application's alone now, or about to go
      if (!route.ForSplit && !route.ForDomain) departed.push_back(prefix);
    });
  }
  if (change == ListChange::NewLimits) {
    if (fresh == 0 && unlisted == 0) return;  // the same routes: nothing to say
    LogLine(L"routes beside the bypass list changed: " + std::to_wstring(fresh) +
            L" list routes to make, " + std::to_wstring(unlisted) + L" to give up");
  }
  // A split application may want one of them meanwhile: it then stays.
  const auto withdrawDeparted = [&departed] {
    WithdrawOneAtATime(departed, [](const RecordedRoute& route) {
      return !route.ForList && !route.ForSplit && !route.ForDomain;
    });
  };
  if (change == ListChange::NewList) withdrawDeparted();
  if (merged.empty()) return;
  std::vector<RoutePrefix> nets;
  nets.reserve(merged.size());
  for (const MergedNet& net : merged) nets.push_back(net.Prefix);
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    BeginFailureBatch();
  }
  MakeListRoutes(nets);
  if (change == ListChange::NewLimits) withdrawDeparted();
  // What the system holds of the list now: entries carried by a route that
  // is there (the helper's or someone else's), and those routes, by family.
  size_t entries[2] = {0, 0}, routes[2] = {0, 0}, waiting4 = 0;
  PhysicalRouteRecord physical;
  PhysicalRoute6Record physical6;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    for (const MergedNet& net : merged) {
      const RecordedRoute* route = HelperState.BypassRouteTable.Find(net.Prefix);
      const int six = net.Prefix.Destination.IsIPv6() ? 1 : 0;
      if (route && route->State != RouteState::Waiting) {
        entries[six] += net.Entries;
        ++routes[six];
      } else if (route && !six) {
        ++waiting4;
      }
    }
    physical = HelperState.PhysicalRoute;
    physical6 = HelperState.PhysicalRoute6;
    EndFailureBatch();
    if (PhysicalVia(kFamilyIPv4).Captured()) waiting4 = 0;
  }
  if (waiting4 > 0) {
    LogLine(L"no physical default route captured; " + std::to_wstring(waiting4) +
            L" bypass routes wait");
  }
  // Both families counted, the IPv4 route named; then the IPv6 ones alone.
  // The list's distinct prefixes: 10.0.0.0/8 and 10.1.2.3/8 are one entry.
  const auto summary = [](size_t carried, size_t listed, size_t made) {
    return std::to_wstring(carried) + L"/" + std::to_wstring(listed) + L" installed (" +
           std::to_wstring(made) + (made == 1 ? L" route)" : L" routes)");
  };
  LogLine(L"bypass routes: " + summary(entries[0] + entries[1], distinct + distinct6,
                                       routes[0] + routes[1]) +
          L" via ifIndex=" + std::to_wstring(physical.InterfaceIndex) + L" gw=" +
          FormatIPv4(physical.Gateway));
  if (distinct6 == 0) return;
  LogLine(L"bypass routes (IPv6): " + summary(entries[1], distinct6, routes[1]) + L" via ifIndex=" +
          std::to_wstring(physical6.InterfaceIndex) + L" gw=" + FormatAddress(physical6.Gateway));
}

}  // namespace

void InstallBypassRoutes() { InstallListRoutes(ListChange::NewList); }

void RemergeBypassRoutes() { InstallListRoutes(ListChange::NewLimits); }

void FollowPhysicalRoute(uint16_t family, const DefaultRoute& found,
                         const std::vector<SystemRoute>& system) {
  std::unique_lock<std::mutex> lock(HelperState.StateMutex);
  RouteTable& table = HelperState.BypassRouteTable;
  const Via current = PhysicalVia(family);
  const Via next{found.InterfaceIndex, found.NextHop};
  const Via now = next.Captured() ? next : Via{};
  if (now == current || (!now.Captured() && !current.Captured())) {
    lock.unlock();
    if (now.Captured()) RestoreMissingRoutes(family, now, system);
    return;  // else still no network
  }
  const FailureBatchUnderLock batch;
  const auto forFamily = [&](auto visit) {
    table.ForEach([&](const RoutePrefix& prefix, RecordedRoute& route) {
      if (prefix.Destination.Family == family) visit(prefix, route);
    });
  };
  if (!now.Captured()) {
    // Every interface down: nothing to route through; keep what is wanted.
    forFamily([](const RoutePrefix& prefix, RecordedRoute& route) {
      Unindex(prefix, route);
      Withdraw(prefix, route);
      route.State = RouteState::Waiting;
      route.JournalLine = kNotJournaled;
      Index(prefix, route);
    });
    SetPhysicalVia(family, {});
    LogLine(L"physical " + FamilyWord(family) +
            L"default route lost; bypass routes wait for a network");
    return;
  }
  // A new network: every route moves to it, the new row made before the old
  // one goes, so no moment passes without one of them. One that cannot be
  // made waits, and is tried again at the next look.
  // Every new line is written in one go before the first row is made, and
  // the lines that list nothing any more are taken back in one go after the
  // last: the journal may list a row that is gone meanwhile, never miss one.
  // The new network is the physical one from here on, so a route made
  // meanwhile goes the new way; the lock is let go between rows, so the
  // sniffer never waits behind more than one of them.
  std::vector<std::pair<RoutePrefix, RecordedRoute>> moving;
  forFamily([&](const RoutePrefix& prefix, RecordedRoute& route) {
    moving.emplace_back(prefix, route);
  });
  std::vector<JournaledRoute> entries;
  entries.reserve(moving.size());
  for (const auto& [prefix, route] : moving) entries.push_back(JournalEntry(prefix, now));
  std::vector<uint32_t> lines;
  const bool journaled = JournalRoutes(entries, lines);
  const DWORD journalError = GetLastError();
  SetPhysicalVia(family, now);
  std::vector<uint32_t> unused;
  size_t moved = 0;
  for (size_t i = 0; i < moving.size(); ++i) {
    if (i != 0) {
      lock.unlock();
      lock.lock();
    }
    const RoutePrefix& prefix = moving[i].first;
    const RecordedRoute& old = moving[i].second;
    RecordedRoute* route = table.Find(prefix);
    // Changed while the lock was let go (gone idle, left the list, made
    // again): not this move's to make.
    if (!route || route->State != old.State || route->InterfaceIndex != old.InterfaceIndex ||
        route->JournalLine != old.JournalLine) {
      if (journaled) unused.push_back(lines[i]);
      continue;
    }
    Unindex(prefix, *route);
    if (journaled) {
      uint32_t spare = kNotJournaled;
      *route = CreateJournaled(prefix, *route, now, lines[i], spare);
      unused.push_back(spare);
    } else {
      LogJournalFailure(prefix, journalError);
      route->State = RouteState::Waiting;
      route->InterfaceIndex = now.InterfaceIndex;
      route->Gateway = now.Gateway;
      route->JournalLine = kNotJournaled;
    }
    Index(prefix, *route);
    DeleteFromSystem(prefix, old);
    if (old.State == RouteState::Ours) unused.push_back(old.JournalLine);
    moved += route->State == RouteState::Ours;
  }
  WithdrawJournalLines(unused);
  NoSplitRouteUntil.clear();  // what the tunnel is the path to may have changed
  LogLine(L"physical " + FamilyWord(family) + L"default route changed: ifIndex=" +
          std::to_wstring(now.InterfaceIndex) + L" gw=" + FormatAddress(now.Gateway) + L"; " +
          std::to_wstring(moved) + L" bypass routes moved");
}

#pragma once
// The one owner of the routes the helper asked for: their records and
// counts, the physical next hop of each family they go through, the rows
// made and deleted journal first, and the lock over all of it. It knows
// nothing of why a route is wanted beyond the marks on its record: the
// units that want routes (split host routes, domain routes, the list,
// following the network) hold Routes.Lock while they use it.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "routing/journal_line.h"
#include "routing/route_records.h"
#include "support/address.h"
#include "support/thread_safety.h"

// The interface and next hop routes of one family go through; a gateway of
// 0.0.0.0 or :: is on-link (PPP, some mobile broadband links). Not captured
// while the interface is 0.
struct NextHop {
  uint32_t InterfaceIndex = 0;
  IpAddress Gateway;
  bool Captured() const { return InterfaceIndex != 0; }
};
inline bool operator==(const NextHop& a, const NextHop& b) {
  return a.InterfaceIndex == b.InterfaceIndex && a.Gateway == b.Gateway;
}
inline bool operator!=(const NextHop& a, const NextHop& b) { return !(a == b); }

// The host route of an address: /32 or /128.
inline RoutePrefix HostPrefix(const IpAddress& address) {
  return {address, static_cast<uint8_t>(address.IsIPv4() ? 32 : 128)};
}

// Why a route is wanted. A route can be wanted for several reasons; it stays
// as long as one of them holds.
enum class RouteOrigin { List, Split, Domain };
bool WantedFor(const RecordedRoute& route, RouteOrigin origin);
void MarkWanted(RecordedRoute& route, RouteOrigin origin, bool wanted);
bool WantedAtAll(const RecordedRoute& route);

// The system's side of a route, as the store needs it: Windows' IP Helper
// in the service, a recording stand-in in a test of the store itself.
class RouteSystem {
 public:
  virtual ~RouteSystem() = default;
  // NO_ERROR, ERROR_OBJECT_ALREADY_EXISTS (someone else's route), or why not.
  virtual DWORD CreateRoute(const RoutePrefix& prefix, const NextHop& via) = 0;
  // Gone already, or its interface is: nothing to do either way.
  virtual void DeleteRoute(const RoutePrefix& prefix, const NextHop& via) = 0;
  virtual bool InterfaceLuid(uint32_t interfaceIndex, uint64_t& luid) = 0;
};
RouteSystem& IpHelperRouteSystem();

// One request's work on the table (a list installed, a network followed,
// one event of the sniffer): how many failures it logs before it only
// counts them (said in one line when it ends), and the interface whose LUID
// Windows could not give during it, not asked again until it ends (a
// country-sized list through an interface Windows no longer knows would
// otherwise ask once a row).
class RoutePass {
 public:
  static constexpr size_t kEveryFailure = SIZE_MAX;
  static constexpr size_t kBatchFailureLines = 5;
  explicit RoutePass(size_t failureLines = kEveryFailure) : linesLeft_(failureLines) {}
  ~RoutePass();
  RoutePass(const RoutePass&) = delete;
  RoutePass& operator=(const RoutePass&) = delete;
  void LogFailure(const std::wstring& text);

 private:
  friend class RouteStore;
  size_t linesLeft_;
  size_t unsaid_ = 0;
  uint32_t luidUnknownFor_ = 0;
};

// Counts kept as the records change (no walk of a table of tens of
// thousands): the helper's own routes in the system, for each reason those
// of them it wants, those recorded (made, someone else's or waiting), and
// those wanted for that reason alone.
struct RouteStoreCounts {
  size_t Own = 0;
  size_t OwnFor[3] = {0, 0, 0};
  size_t RecordedFor[3] = {0, 0, 0};
  size_t OnlyFor[3] = {0, 0, 0};
};

// Told of every change of a record, before and after (null: none), under
// the lock: for an index of its own kept in step with the table.
class RouteObserver {
 public:
  virtual ~RouteObserver() = default;
  virtual void Changed(const RoutePrefix& prefix, const RecordedRoute* before,
                       const RecordedRoute* after) = 0;
  virtual void Cleared() = 0;
};

class RouteStore {
 public:
  RouteStore(RouteSystem& system, RouteObserver* observer) : system_(&system), observer_(observer) {
    physical_[0].Gateway = IpAddress::FromIPv4(0);
  }

  // Not recursive; taken before the log's lock, never after it. Guards the
  // route journal too.
  Mutex Lock;

  // The records. Update and Revise keep the counts and the observer in step.
  const RecordedRoute* Find(const RoutePrefix& prefix) REQUIRES(Lock) {
    return table_.Find(prefix);
  }
  void Insert(const RoutePrefix& prefix, const RecordedRoute& route) REQUIRES(Lock);
  void Erase(const RoutePrefix& prefix) REQUIRES(Lock);
  // change(RecordedRoute&) on the record of `prefix`; false when there is none.
  template <typename Change>
  bool Update(const RoutePrefix& prefix, Change change) REQUIRES(Lock) {
    RecordedRoute* route = table_.Find(prefix);
    if (!route) return false;
    const RecordedRoute before = *route;
    change(*route);
    Changed(prefix, &before, route);
    return true;
  }
  // change(prefix, RecordedRoute&) -> keep, for every record of `family` (0:
  // both); a record not kept is forgotten (the caller deletes its row). Only
  // the records it changed are counted again.
  template <typename Change>
  void Revise(uint16_t family, Change change) REQUIRES(Lock) {
    // Run within this call, which holds the lock: the analysis cannot see
    // through the table's walk.
    const auto each = [&](const RoutePrefix& prefix, RecordedRoute& route)
                          NO_THREAD_SAFETY_ANALYSIS {
                            if (family != 0 && prefix.Destination.Family != family) return true;
                            const RecordedRoute before = route;
                            const bool keep = change(prefix, route);
                            if (!keep || !(route == before))
                              Changed(prefix, &before, keep ? &route : nullptr);
                            return keep;
                          };
    table_.KeepIf(each);
  }
  // visit(prefix, const RecordedRoute&) for every record, in order.
  template <typename Visit>
  void ForEach(Visit visit) REQUIRES(Lock) {
    table_.ForEach(
        [&](const RoutePrefix& prefix, const RecordedRoute& route) { visit(prefix, route); });
  }
  // A piece of one family's walk (RouteTable::ForSome).
  template <typename Visit>
  std::optional<RoutePrefix> ForSome(uint16_t family, const std::optional<RoutePrefix>& after,
                                     size_t limit, Visit visit) REQUIRES(Lock) {
    return table_.ForSome(
        family, after, limit,
        [&](const RoutePrefix& prefix, const RecordedRoute& route) { visit(prefix, route); });
  }
  size_t Size() REQUIRES(Lock) { return table_.Size(); }
  std::vector<RoutePrefix> Prefixes() REQUIRES(Lock) { return table_.Prefixes(); }
  RouteStoreCounts Counts() REQUIRES(Lock) { return counts_; }
  // Deletes every row the helper made (results ignored), forgets every
  // record and empties the journal. The observer is told.
  void Clear() REQUIRES(Lock);

  // The next hop of a family's routes, as captured and then followed.
  NextHop Physical(uint16_t family) REQUIRES(Lock) { return physical_[Slot(family)]; }
  // An IPv4 next hop keeps an IPv4 gateway, 0.0.0.0 when there is none.
  void SetPhysical(uint16_t family, const NextHop& via) REQUIRES(Lock) {
    physical_[Slot(family)] = via;
    if (family != kFamilyIPv6) physical_[0].Gateway = IpAddress::FromIPv4(via.Gateway.IPv4());
  }

  // The running tunnel's own networks and DNS servers (reached through it:
  // no route of the helper's goes there) and its peers' AllowedIPs (the
  // routes its tool makes through it); none while no tunnel runs.
  void SetTunnelNetworks(std::vector<RoutePrefix> own, std::vector<RoutePrefix> allowed)
      REQUIRES(Lock) {
    tunnelOwn_ = std::move(own);
    tunnelAllowed_ = std::move(allowed);
  }
  bool InTunnelNetworks(const IpAddress& address) REQUIRES(Lock);
  std::vector<RoutePrefix> TunnelAllowedIPs() REQUIRES(Lock) { return tunnelAllowed_; }

  // The system's rows, journal first (a crash between the two then leaves
  // no route the next start does not know of).
  //
  // Makes `route` (not recorded yet) through `via` and returns what became
  // of it: Ours with its row and line, Theirs when it was there already,
  // Waiting when it could not be made (logged to the pass, no line left).
  RecordedRoute CreateThrough(const RoutePrefix& prefix, RecordedRoute route, const NextHop& via,
                              RoutePass& pass) REQUIRES(Lock);
  // The same with its line written already; a line that lists no route of
  // the helper's after all is handed back in `unused` for the caller to take
  // back with others in one go.
  RecordedRoute CreateJournaled(const RoutePrefix& prefix, RecordedRoute route, const NextHop& via,
                                uint32_t line, uint32_t& unused, RoutePass& pass) REQUIRES(Lock);
  // Records a route not recorded yet and makes it through the physical next
  // hop of its family, or keeps it waiting while there is none. False when
  // making it failed (nothing recorded, so a later ask tries again).
  bool RecordAndMake(const RoutePrefix& prefix, RecordedRoute route, RoutePass& pass)
      REQUIRES(Lock);
  // The LUID of the interface routes go through, for the journal: kept from
  // the last ask (it changes only with the physical network); an interface
  // whose LUID Windows could not give is not asked again during the pass,
  // and its routes are journaled without one.
  uint64_t LuidOf(uint32_t interfaceIndex, RoutePass& pass) REQUIRES(Lock);
  JournaledRoute JournalEntry(const RoutePrefix& prefix, const NextHop& via, RoutePass& pass)
      REQUIRES(Lock) {
    return {via.InterfaceIndex, prefix, via.Gateway, LuidOf(via.InterfaceIndex, pass)};
  }
  // Deletes the helper's own row (someone else's is left alone).
  void DeleteFromSystem(const RoutePrefix& prefix, const RecordedRoute& route) REQUIRES(Lock);
  // The same, and its journal line taken back; the caller forgets the record.
  void Withdraw(const RoutePrefix& prefix, const RecordedRoute& route) REQUIRES(Lock);

  // The journal's lines (route_journal.h), written and taken back under the
  // lock: every line or none, in as few writes as their slots allow; the
  // lines taken back in one go (kNotJournaled ones skipped).
  bool JournalLines(const std::vector<JournaledRoute>& routes, std::vector<uint32_t>& lines)
      REQUIRES(Lock);
  void WithdrawLines(const std::vector<uint32_t>& lines) REQUIRES(Lock);
  void WithdrawLine(uint32_t line) REQUIRES(Lock) { WithdrawLines({line}); }

  // The seam, for a test of the store: a system of its own.
  void UseSystem(RouteSystem& system) { system_ = &system; }

 private:
  static int Slot(uint16_t family) { return family == kFamilyIPv6 ? 1 : 0; }
  void Changed(const RoutePrefix& prefix, const RecordedRoute* before, const RecordedRoute* after)
      REQUIRES(Lock);
  void Count(const RecordedRoute& route, int sign) REQUIRES(Lock);

  RouteSystem* system_;  // replaced only by a test, before any use
  RouteObserver* const observer_;
  RouteTable table_ GUARDED_BY(Lock);
  RouteStoreCounts counts_ GUARDED_BY(Lock);
  NextHop physical_[2] GUARDED_BY(Lock);
  std::vector<RoutePrefix> tunnelOwn_ GUARDED_BY(Lock);
  std::vector<RoutePrefix> tunnelAllowed_ GUARDED_BY(Lock);
  uint32_t luidIndex_ GUARDED_BY(Lock) = 0;
  uint64_t luid_ GUARDED_BY(Lock) = 0;
};

// The helper's routes, through Windows' IP Helper.
extern RouteStore Routes;

// The same as Routes.Physical, the lock taken.
NextHop PhysicalRouteOf(uint16_t family) EXCLUDES(Routes.Lock);
void SetPhysicalRoute(uint16_t family, const NextHop& via) EXCLUDES(Routes.Lock);

// Deletes the routes of `prefixes` for which stillGoes(const RecordedRoute&)
// holds, one at a time with the lock taken for each: the sniffer never waits
// behind more than one row. Each is looked at again under the lock, since it
// may have changed in between; their journal lines are taken back in one go
// after the last row (the journal may list a route that is gone meanwhile,
// never miss one).
template <typename Predicate>
void WithdrawOneAtATime(const std::vector<RoutePrefix>& prefixes, Predicate stillGoes)
    EXCLUDES(Routes.Lock) {
  std::vector<uint32_t> lines;
  lines.reserve(prefixes.size());
  for (const RoutePrefix& prefix : prefixes) {
    MutexLock lock(Routes.Lock);
    const RecordedRoute* route = Routes.Find(prefix);
    if (!route || !stillGoes(*route)) continue;
    Routes.DeleteFromSystem(prefix, *route);
    lines.push_back(route->JournalLine);
    Routes.Erase(prefix);
  }
  MutexLock lock(Routes.Lock);
  Routes.WithdrawLines(lines);
}

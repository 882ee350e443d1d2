#include "routing/domain_routes.h"

#include <map>
#include <set>
#include <utility>

#include "routing/physical_route.h"
#include "support/limits.h"
#include "support/log.h"

namespace {

// The domain routes: for each, the domain its answers were for, when the
// last of them came, and the longest TTL seen; ordered by when it goes and
// by its last answer, for the expiry and the cap.
struct DomainRoute {
  std::string Domain;
  uint64_t AnsweredAt = 0;  // GetTickCount64
  uint64_t LongestMs = 0;   // the longest TTL seen, at least HelperLimits.DomainRouteMinMs
  uint64_t Until() const { return AnsweredAt + LongestMs; }
};
std::map<RoutePrefix, DomainRoute> DomainRoutes GUARDED_BY(Routes.Lock);
std::set<std::pair<uint64_t, RoutePrefix>> DomainRoutesByEnd GUARDED_BY(Routes.Lock);
std::set<std::pair<uint64_t, RoutePrefix>> DomainRoutesByAnswer GUARDED_BY(Routes.Lock);

// Takes a prefix out of the domain routes' records (not out of the table).
void UnrecordDomain(const RoutePrefix& prefix) REQUIRES(Routes.Lock) {
  const auto found = DomainRoutes.find(prefix);
  if (found == DomainRoutes.end()) return;
  DomainRoutesByEnd.erase({found->second.Until(), prefix});
  DomainRoutesByAnswer.erase({found->second.AnsweredAt, prefix});
  DomainRoutes.erase(found);
}
void RecordDomain(const RoutePrefix& prefix, const DomainRoute& entry) REQUIRES(Routes.Lock) {
  DomainRoutes[prefix] = entry;
  DomainRoutesByEnd.insert({entry.Until(), prefix});
  DomainRoutesByAnswer.insert({entry.AnsweredAt, prefix});
}

// A domain no longer wants the route: it goes unless the list or a split
// application wants it.
void ReleaseDomainRoute(const RoutePrefix prefix)  // a copy: the records it names go
    REQUIRES(Routes.Lock) {
  UnrecordDomain(prefix);
  const RecordedRoute* route = Routes.Find(prefix);
  if (!route || !route->ForDomain) return;
  const uint64_t now = GetTickCount64();
  Routes.Update(prefix, [now](RecordedRoute& changed) {
    changed.ForDomain = false;
    if (changed.ForSplit && changed.OpenConnections == 0) changed.IdleSince = now;
  });
  if (WantedAtAll(*route)) return;
  Routes.Withdraw(prefix, *route);
  Routes.Erase(prefix);
}

// The new life of a domain route answered again (or the first of one
// recorded already for another reason): true when the prefix is recorded,
// and then marked the domain's.
bool RenewLocked(const RoutePrefix& prefix, DomainRoute entry) REQUIRES(Routes.Lock) {
  // An address answered again lives from this answer, by the longest TTL seen.
  if (!Routes.Find(prefix)) return false;
  const auto known = DomainRoutes.find(prefix);
  if (known != DomainRoutes.end()) {
    if (known->second.LongestMs > entry.LongestMs) entry.LongestMs = known->second.LongestMs;
    UnrecordDomain(prefix);
  }
  if (!Routes.Find(prefix)->ForDomain) {
    Routes.Update(prefix, [](RecordedRoute& route) { route.ForDomain = true; });
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
// minute is over (at the next route, expiry look or clear).
constexpr size_t kDomainLinesPerMinute = 20;
constexpr uint64_t kDomainLineWindowMs = 60000;
uint64_t DomainLinesSince GUARDED_BY(Routes.Lock) = 0;
size_t DomainLinesSaid GUARDED_BY(Routes.Lock) = 0;
size_t DomainLinesUnsaid GUARDED_BY(Routes.Lock) = 0;

void FlushDomainLines(uint64_t now, bool always) REQUIRES(Routes.Lock) {
  if (!always && now - DomainLinesSince < kDomainLineWindowMs) return;
  if (DomainLinesUnsaid > 0) {
    LogLine(L"domain routes not logged: " + std::to_wstring(DomainLinesUnsaid) + L" more");
  }
  DomainLinesSince = now;
  DomainLinesSaid = DomainLinesUnsaid = 0;
}

void LogDomainRoute(const RoutePrefix& prefix, const std::string& domain) REQUIRES(Routes.Lock) {
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
  if (!Routes.Lock.TryLock()) return false;
  const bool renewed = RenewLocked(HostPrefix(address), DomainEntry(ttlSeconds, domain));
  Routes.Lock.Unlock();
  return renewed;
}

bool AddDomainRoute(const IpAddress& address, uint32_t ttlSeconds, const std::string& domain) {
  const RoutePrefix prefix = HostPrefix(address);
  const DomainRoute entry = DomainEntry(ttlSeconds, domain);
  {
    MutexLock lock(Routes.Lock);
    // The tunnel's own networks and DNS servers are reached through it.
    if (Routes.InTunnelNetworks(address)) return false;
    if (RenewLocked(prefix, entry)) return true;
  }
  // Only where the tunnel is the path now, as for a split destination.
  if (!TunnelIsThePathTo(address)) return false;
  MutexLock lock(Routes.Lock);
  if (RenewLocked(prefix, entry)) return true;  // made meanwhile
  // At the cap, the route of the oldest answer makes room.
  if (DomainRoutes.size() >= HelperLimits.DomainRouteCap && !DomainRoutesByAnswer.empty()) {
    ReleaseDomainRoute(DomainRoutesByAnswer.begin()->second);
  }
  RecordedRoute route;
  route.ForDomain = true;
  RoutePass pass;
  if (!Routes.RecordAndMake(prefix, route, pass)) return false;
  UnrecordDomain(prefix);
  RecordDomain(prefix, entry);
  LogDomainRoute(prefix, domain);
  return true;
}

void ExpireDomainRoutes() {
  const uint64_t now = GetTickCount64();
  MutexLock lock(Routes.Lock);
  FlushDomainLines(now, false);
  while (!DomainRoutesByEnd.empty() && DomainRoutesByEnd.begin()->first <= now) {
    ReleaseDomainRoute(DomainRoutesByEnd.begin()->second);
  }
}

std::string DomainOfRoute(const RoutePrefix& prefix) {
  MutexLock lock(Routes.Lock);
  const auto found = DomainRoutes.find(prefix);
  return found == DomainRoutes.end() ? std::string() : found->second.Domain;
}

void ClearDomainRoutes() {
  MutexLock lock(Routes.Lock);
  FlushDomainLines(GetTickCount64(), true);
  while (!DomainRoutes.empty()) ReleaseDomainRoute(DomainRoutes.begin()->first);
}

void ForgetDomainRoutes() {
  DomainRoutes.clear();
  DomainRoutesByEnd.clear();
  DomainRoutesByAnswer.clear();
}

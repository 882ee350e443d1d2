#include "routing/split_routes.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "routing/physical_route.h"
#include "support/limits.h"
#include "support/log.h"

namespace {

// A split host route nothing else wants: the cap counts it and idling
// takes it; one a domain's answer also wants lives by that answer's time.
bool SplitOnly(const RecordedRoute& route) {
  return route.ForSplit && !route.ForList && !route.ForDomain;
}

// The split host routes nothing else wants that idle, by how long: the cap
// takes the idlest, and the expiry looks no further than the first that has
// not idled long enough.
class IdleIndex final : public RouteObserver {
 public:
  void Changed(const RoutePrefix& prefix, const RecordedRoute* before,
               const RecordedRoute* after) override {
    if (before && Idle(*before)) idle.erase({before->IdleSince, prefix});
    if (after && Idle(*after)) idle.insert({after->IdleSince, prefix});
  }
  void Cleared() override { idle.clear(); }
  std::set<std::pair<uint64_t, RoutePrefix>> idle;

 private:
  static bool Idle(const RecordedRoute& route) {
    return SplitOnly(route) && route.OpenConnections == 0;
  }
};

IdleIndex& Index() {
  static IdleIndex index;
  return index;
}

// Said once per connect.
bool SplitCapSaid GUARDED_BY(Routes.Lock) = false;
bool SplitWaitSaid GUARDED_BY(Routes.Lock) = false;

// Split destinations that get no host route for a while: a create that
// failed (Windows refuses it again at once, and each try costs a call and
// a log line) and an address the tunnel is not the path to.
constexpr uint64_t kNoSplitRouteMs = 60000;
constexpr size_t kNoSplitRouteAtMost = 4096;
std::map<RoutePrefix, uint64_t> NoSplitRouteUntil GUARDED_BY(Routes.Lock);

void RefuseForAWhile(const RoutePrefix& prefix, uint64_t now) REQUIRES(Routes.Lock) {
  if (NoSplitRouteUntil.size() >= kNoSplitRouteAtMost) NoSplitRouteUntil.clear();
  NoSplitRouteUntil[prefix] = now + kNoSplitRouteMs;
}

// Whether a new split host route may be made: below the cap, or at it once
// the route idle longest is gone.
bool RoomForSplitRoute() REQUIRES(Routes.Lock) {
  if (Routes.Counts().OnlyFor[static_cast<int>(RouteOrigin::Split)] < HelperLimits.SplitRouteCap) {
    return true;
  }
  if (!Index().idle.empty()) {
    const RoutePrefix idlest = Index().idle.begin()->second;
    if (const RecordedRoute* route = Routes.Find(idlest)) Routes.Withdraw(idlest, *route);
    Routes.Erase(idlest);
    return true;
  }
  if (!SplitCapSaid) {
    SplitCapSaid = true;
    LogLine(L"split host routes at the limit of " + std::to_wstring(HelperLimits.SplitRouteCap) +
            L"; new destinations stay in the tunnel");
  }
  return false;
}

// One more connection to a recorded route; false when there is none.
bool CountConnection(const RoutePrefix& prefix) REQUIRES(Routes.Lock) {
  return Routes.Update(prefix, [](RecordedRoute& route) {
    route.ForSplit = true;
    ++route.OpenConnections;
  });
}

}  // namespace

RouteObserver& SplitRoutesIndex() { return Index(); }

bool AddSplitRoute(const RoutePrefix& prefix) {
  // Held across the system call and the log write, so that the lookup, the
  // creation and the record are one step for the sniffer thread too.
  MutexLock lock(Routes.Lock);
  if (CountConnection(prefix)) return true;
  if (!RoomForSplitRoute()) return false;
  RecordedRoute route;
  route.ForSplit = true;
  route.OpenConnections = 1;
  // Kept as wanted without a physical route: the network watcher makes it
  // once there is a network. Without an IPv6 one the capture has said so,
  // once per connect.
  if (prefix.Destination.IsIPv4() && !Routes.Physical(kFamilyIPv4).Captured() && !SplitWaitSaid) {
    SplitWaitSaid = true;
    LogLine(L"no physical default route captured; split host routes wait");
  }
  // A failed creation is not recorded, and the next ask tries again after
  // a while.
  RoutePass pass;
  if (Routes.RecordAndMake(prefix, route, pass)) return true;
  RefuseForAWhile(prefix, GetTickCount64());
  return false;
}

bool AddSplitHostRoute(const IpAddress& destination) {
  const RoutePrefix prefix = HostPrefix(destination);
  const uint64_t now = GetTickCount64();
  {
    // The sniffer's every event for a destination already routed ends here:
    // one lookup and a count.
    MutexLock lock(Routes.Lock);
    if (CountConnection(prefix)) return true;
    // A destination refused lately costs nothing more for a while.
    const auto refused = NoSplitRouteUntil.find(prefix);
    if (refused != NoSplitRouteUntil.end()) {
      if (now < refused->second) return false;
      NoSplitRouteUntil.erase(refused);
    }
    // The tunnel's own networks and DNS servers are reached through it: a
    // host route to its DNS server would take every program's name lookups
    // out of the tunnel, where they cannot reach it.
    if (Routes.InTunnelNetworks(destination)) return false;
  }
  // Only where the tunnel is the path now.
  if (!TunnelIsThePathTo(destination)) {
    MutexLock lock(Routes.Lock);
    RefuseForAWhile(prefix, now);
    return false;
  }
  return AddSplitRoute(prefix);  // looks again: another thread may have added it
}

void NoteSplitClose(const IpAddress& destination) {
  MutexLock lock(Routes.Lock);
  Routes.Update(HostPrefix(destination), [](RecordedRoute& route) {
    if (route.OpenConnections == 0) return;
    if (--route.OpenConnections == 0) route.IdleSince = GetTickCount64();
  });
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
    MutexLock lock(Routes.Lock);
    for (const auto& [since, prefix] : Index().idle) {
      if (now - since < HelperLimits.SplitIdleMs) break;
      idle.push_back(prefix);
    }
  }
  WithdrawOneAtATime(idle, expired);
}

void ClearSplitHostRoutes() {
  MutexLock lock(Routes.Lock);
  SplitCapSaid = false;
  SplitWaitSaid = false;
  std::vector<std::pair<RoutePrefix, RecordedRoute>> going;
  Routes.Revise(0, [&going](const RoutePrefix& prefix, RecordedRoute& route) {
    if (!route.ForSplit) return true;
    route.ForSplit = false;
    route.OpenConnections = 0;
    if (route.ForList || route.ForDomain) return true;  // a listed network or domain: it stays
    going.emplace_back(prefix, route);
    return false;
  });
  for (const auto& [prefix, route] : going) Routes.Withdraw(prefix, route);
}

void ForgetSplitRefusals() {
  MutexLock lock(Routes.Lock);
  NoSplitRouteUntil.clear();
}

void ResetSplitRoutes() {
  NoSplitRouteUntil.clear();
  SplitCapSaid = false;
  SplitWaitSaid = false;
}

#include "routing/route_table.h"

#include "routing/follow_network.h"
#include "routing/list_limits.h"

RouteStore Routes(IpHelperRouteSystem(), &SplitRoutesIndex());

bool AddBypassRoute(const RoutePrefix& prefix, RouteOrigin origin) {
  if (origin == RouteOrigin::Split) return AddSplitRoute(prefix);
  // Held across the system call and the log write, so that the lookup, the
  // creation and the record are one step for the sniffer thread too.
  MutexLock lock(Routes.Lock);
  if (Routes.Update(prefix, [origin](RecordedRoute& route) { MarkWanted(route, origin, true); })) {
    return true;
  }
  RecordedRoute route;
  MarkWanted(route, origin, true);
  RoutePass pass;
  return Routes.RecordAndMake(prefix, route, pass);
}

RouteCounts CountBypassRoutes() {
  MutexLock lock(Routes.Lock);
  const RouteStoreCounts counts = Routes.Counts();
  return {counts.Own, counts.OwnFor[static_cast<int>(RouteOrigin::Split)],
          counts.RecordedFor[static_cast<int>(RouteOrigin::Domain)]};
}

std::optional<RoutePrefix> NarrowestRouteCovering(const IpAddress& address) {
  MutexLock lock(Routes.Lock);
  for (int length = address.IsIPv4() ? 32 : 128; length >= 0; --length) {
    const RoutePrefix prefix{MaskAddress(address, static_cast<uint8_t>(length)),
                             static_cast<uint8_t>(length)};
    if (Routes.Find(prefix)) return prefix;
  }
  return std::nullopt;
}

void ClearBypassRoutes() {
  {
    MutexLock lock(Routes.Lock);
    ResetSplitRoutes();
    ForgetDomainRoutes();
    Routes.Clear();
  }
  ForgetRoutesBesideTheList();
}

void SetTunnelNetworks(std::vector<RoutePrefix> own, std::vector<RoutePrefix> allowed) {
  MutexLock lock(Routes.Lock);
  Routes.SetTunnelNetworks(std::move(own), std::move(allowed));
}

void FollowPhysicalRoute(uint16_t family, const DefaultRoute& found,
                         const std::vector<SystemRoute>& system) {
  const NextHop current = PhysicalRouteOf(family);
  const NextHop next{found.InterfaceIndex, found.NextHop};
  const NextHop now = next.Captured() ? next : NextHop{};
  if (now == current || (!now.Captured() && !current.Captured())) {
    if (now.Captured()) RestoreRoutes(family, now, system);
    return;  // else still no network
  }
  if (!now.Captured()) {
    LoseRoutes(family);
    return;
  }
  MoveRoutes(family, now);
  ForgetSplitRefusals();  // what the tunnel is the path to may have changed
}

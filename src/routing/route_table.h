#pragma once
// The routes the helper has asked for in the system's route table, all
// through the captured physical default route, so that every one of them
// can be taken out again: the bypass list's, the split applications' host
// routes and the bypass domains' host routes. The store (route_store.h)
// owns them; the units beside it decide why one is wanted. None of these
// may be called with Routes.Lock held: each takes it itself.
#include <cstdint>
#include <optional>
#include <vector>

#include "routing/domain_routes.h"
#include "routing/list_routes.h"
#include "routing/physical_route.h"
#include "routing/route_store.h"
#include "routing/split_routes.h"
#include "support/address.h"

// Creates a route to the prefix (host bits already cleared) through the
// physical route of its family and records it, wanted for `origin`. A
// prefix already recorded costs one map lookup and nothing else: the
// sniffer relies on that. A route that exists already (made by someone
// else) is recorded but never deleted. Failures are logged; nothing is
// recorded then, so a later call retries. Without a physical route it is
// recorded as waiting. True when the prefix is recorded now. A split
// application's route is one of split_routes.h, with its cap and refusals.
bool AddBypassRoute(const RoutePrefix& prefix, RouteOrigin origin) EXCLUDES(Routes.Lock);

// The helper's own routes in the system and how many of them split
// applications want, and the routes recorded for a domain's answer (made
// or waiting), kept as they change (no walk of the table).
struct RouteCounts {
  size_t Routes = 0;
  size_t SplitRoutes = 0;
  size_t DomainRoutes = 0;
};
RouteCounts CountBypassRoutes() EXCLUDES(Routes.Lock);

// The narrowest recorded route that covers `address`, if any: one lookup a
// prefix length, however large the table.
std::optional<RoutePrefix> NarrowestRouteCovering(const IpAddress& address) EXCLUDES(Routes.Lock);

// The end of a session: deletes every route the helper made (results
// ignored), forgets every recorded one and every reason's own records
// (split refusals, domain routes), and empties the route journal.
void ClearBypassRoutes() EXCLUDES(Routes.Lock);

// The running tunnel's own networks and DNS servers and its peers'
// AllowedIPs (route_store.h), given when it comes up; both empty once it
// is gone.
void SetTunnelNetworks(std::vector<RoutePrefix> own, std::vector<RoutePrefix> allowed)
    EXCLUDES(Routes.Lock);

// The network watcher's step for one family, given the physical default
// route it found now (the tunnel's left out) and the system's table of that
// family it found it in: the same route restores what is missing, none
// makes every route wait, another moves every route to it
// (follow_network.h).
void FollowPhysicalRoute(uint16_t family, const DefaultRoute& found,
                         const std::vector<SystemRoute>& system) EXCLUDES(Routes.Lock);

#pragma once
// The sniffer's host routes: a route around the tunnel to where a listed
// application connects, kept while it has connections open there and for a
// while after, at most HelperLimits.SplitRouteCap of them.
#include "routing/route_store.h"
#include "support/address.h"

// A host route to where a listed application connects, one more connection
// open to it. At HelperLimits.SplitRouteCap split host routes the one idle
// longest goes first; with none idle, no new one is made (said once per
// connect). A destination of the tunnel's own networks, or one the tunnel
// is not the path to, gets none, and a refused one is not asked again for a
// while. True when the connection is counted (its route is recorded).
bool AddSplitHostRoute(const IpAddress& destination) EXCLUDES(Routes.Lock);
// The same for a prefix, without the look at the path (looked at already).
bool AddSplitRoute(const RoutePrefix& prefix) EXCLUDES(Routes.Lock);
// A connection of a listed application to `destination` has closed; with
// none left open the host route starts to idle.
void NoteSplitClose(const IpAddress& destination) EXCLUDES(Routes.Lock);
// Deletes (and forgets, and takes out of the journal) the split host routes
// idle for HelperLimits.SplitIdleMs; a network of the list never goes.
void ExpireIdleSplitRoutes() EXCLUDES(Routes.Lock);
// Deletes the split host routes (a network of the list or a domain's route
// that is also one stays, as theirs): the split list was emptied, or the
// sniffer stopped.
void ClearSplitHostRoutes() EXCLUDES(Routes.Lock);
// What the tunnel is the path to may have changed (the physical network
// moved): destinations refused for that are asked again.
void ForgetSplitRefusals() EXCLUDES(Routes.Lock);
// A new session: the refusals forgotten and the limit's line said again.
void ResetSplitRoutes() REQUIRES(Routes.Lock);

// The index of idle split host routes, kept by the route store.
RouteObserver& SplitRoutesIndex();

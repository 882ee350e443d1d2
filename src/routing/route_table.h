#pragma once
// The routes the helper has asked for in the system's route table, all
// through the captured physical default route, so that every one of them
// can be taken out again: those of the bypass network list and the host
// routes of split applications. None of these may be called with
// StateMutex held: each takes it itself.
#include <cstdint>
#include <string>
#include <vector>

#include "routing/physical_route.h"
#include "support/address.h"

// Why a route is wanted. A route can be wanted for both reasons; it stays as
// long as one of them holds.
enum class RouteOrigin { List, Split, Domain };

// Creates a route to the prefix (host bits already cleared) through
// HelperState.PhysicalRoute and records it. A prefix already recorded costs
// one map lookup and nothing else: the sniffer relies on that. A route that
// exists already (made by someone else) is recorded but never deleted.
// Failures are logged; nothing is recorded then, so a later call retries.
// Without a physical route it is recorded as waiting (and logged). True when
// the prefix is recorded now.
bool AddBypassRoute(const RoutePrefix& prefix, RouteOrigin origin);
// The sniffer's: a host route to where a listed application connects, one
// more connection open to it. At HelperLimits.SplitRouteCap split host
// routes the one idle longest goes first; with none idle, no new one is made
// (said once per connect). True when the connection is counted (its route
// is recorded).
bool AddSplitHostRoute(const IpAddress& destination);
// A connection of a listed application to `destination` has closed; with
// none left open the host route starts to idle.
void NoteSplitClose(const IpAddress& destination);
// Deletes (and forgets, and takes out of the journal) the split host routes
// idle for HelperLimits.SplitIdleMs; a network of the list never goes.
void ExpireIdleSplitRoutes();

// The DNS hold's: a host route to an address a listed domain's answer gave,
// made before the answer goes on, where the tunnel is the path (as for a
// split destination). It lives until the longest TTL seen for it (at least
// HelperLimits.DomainRouteMinMs, at most HelperLimits.DomainRouteMaxMs) has
// passed since the last answer that named it; at HelperLimits.DomainRouteCap
// the route of the oldest answer goes first. Each route made is logged, a
// bounded number of lines a minute. True when the address is routed around
// the tunnel now (or waits for a network).
bool AddDomainRoute(const IpAddress& address, uint32_t ttlSeconds, const std::string& domain);
// The same for an address whose route is recorded already: one lookup, no
// system call; false (nothing done) when the route is still to be made, or
// when the table is busy at that moment (a route call in progress holds it
// while it lasts): whoever holds a DNS answer must never wait behind one,
// and AddDomainRoute renews what it finds made.
bool RenewDomainRoute(const IpAddress& address, uint32_t ttlSeconds, const std::string& domain);
// Deletes the domain routes whose time has passed (one still wanted by the
// list or a split application stays, as theirs).
void ExpireDomainRoutes();
// The domain whose answer a host route was made for, or empty.
std::string DomainOfRoute(const RoutePrefix& prefix);
// Forgets every domain route (the DNS hold stopped); the routes go unless
// the list or a split application wants them.
void ClearDomainRoutes();

// The helper's own routes in the system, and how many of them split
// applications want, kept as they change (no walk of the table).
struct RouteCounts {
  size_t Routes = 0;
  size_t SplitRoutes = 0;
  size_t DomainRoutes = 0;  // recorded for a domain's answer, made or waiting
};
RouteCounts CountBypassRoutes();

// Deletes the split host routes (a network of the list that is also one
// stays, as the list's) and takes their lines back: the split list was
// emptied, or the sniffer stopped.
void ClearSplitHostRoutes();

// Deletes every route the helper made (results ignored), forgets every
// recorded one, and empties the route journal.
void ClearBypassRoutes();

// Makes the list's routes follow BypassNetList, merged beside the routes
// that limit it (list_limits.h): the routes of entries that left it go
// (unless a split application also wants them), those of new entries are
// created; then logs how many routes are recorded in all and through which
// interface and gateway. Called while the tunnel is up.
void InstallBypassRoutes();

// The same for a change of the routes beside the list (the network watcher
// noted one): the list merged again, the routes it now makes created before
// those it no longer makes go. Says nothing when the routes stay the same;
// else "routes beside the bypass list changed: N list routes to make, M to
// give up" and the summary.
void RemergeBypassRoutes();

// The network watcher's step for one family, given the physical default
// route it found now (the tunnel's left out) and the system's table of that
// family it found it in (the log lines of IPv6 say "IPv6"):
// - the same route: every recorded route missing from the table (Windows
//   deletes the routes of an interface that goes down) or waiting is made
//   again ("bypass routes restored: N"); nothing at all when none is;
// - none: every route is deleted and waits for a network ("physical default
//   route lost; ..."), PhysicalRoute becomes not captured;
// - another: every route moves to it, new row first ("physical default route
//   changed: ...; M bypass routes moved"), PhysicalRoute takes it.
void FollowPhysicalRoute(uint16_t family, const DefaultRoute& found,
                         const std::vector<SystemRoute>& system);

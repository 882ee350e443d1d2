#pragma once
// The DNS hold's host routes: a route around the tunnel to an address a
// listed domain's answer gave, for as long as the answer's TTL says.
#include <cstdint>
#include <string>

#include "routing/route_store.h"
#include "support/address.h"

// A host route to an address a listed domain's answer gave, made before the
// answer goes on, where the tunnel is the path (as for a split destination).
// It lives until the longest TTL seen for it (at least
// HelperLimits.DomainRouteMinMs, at most HelperLimits.DomainRouteMaxMs) has
// passed since the last answer that named it; at HelperLimits.DomainRouteCap
// the route of the oldest answer goes first. Each route made is logged, a
// bounded number of lines a minute. True when the address is routed around
// the tunnel now (or waits for a network).
bool AddDomainRoute(const IpAddress& address, uint32_t ttlSeconds, const std::string& domain)
    EXCLUDES(Routes.Lock);
// The same for an address whose route is recorded already: one lookup, no
// system call; false (nothing done) when the route is still to be made, or
// when the table is busy at that moment (a route call in progress holds it
// while it lasts): whoever holds a DNS answer must never wait behind one,
// and AddDomainRoute renews what it finds made.
bool RenewDomainRoute(const IpAddress& address, uint32_t ttlSeconds, const std::string& domain)
    EXCLUDES(Routes.Lock);
// Deletes the domain routes whose time has passed (one still wanted by the
// list or a split application stays, as theirs).
void ExpireDomainRoutes() EXCLUDES(Routes.Lock);
// The domain whose answer a host route was made for, or empty.
std::string DomainOfRoute(const RoutePrefix& prefix) EXCLUDES(Routes.Lock);
// Forgets every domain route (the DNS hold stopped); the routes go unless
// the list or a split application wants them.
void ClearDomainRoutes() EXCLUDES(Routes.Lock);
// Forgets the domain routes' records, not their routes: the table was
// cleared whole.
void ForgetDomainRoutes() REQUIRES(Routes.Lock);

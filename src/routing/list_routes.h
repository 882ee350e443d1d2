#pragma once
// The bypass list's routes: the list, merged beside the routes that limit
// it (list_limits.h), made to match the table.
#include <vector>

#include "routing/route_store.h"
#include "support/address.h"

// Makes the list's routes follow `list`: the routes of entries that left it
// go (unless a split application or a domain also wants them), those of new
// entries are created; then logs how many routes are recorded in all and
// through which interface and gateway. Called while the tunnel is up.
void InstallBypassRoutes(const std::vector<RoutePrefix>& list) EXCLUDES(Routes.Lock);

// The same for a change of the routes beside the list (the network watcher
// noted one): the list merged again, the routes it now makes created before
// those it no longer makes go. Says nothing when the routes stay the same;
// else "routes beside the bypass list changed: N list routes to make, M to
// give up" and the summary.
void RemergeBypassRoutes(const std::vector<RoutePrefix>& list) EXCLUDES(Routes.Lock);

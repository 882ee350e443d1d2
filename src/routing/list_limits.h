#pragma once
// The routes beside the bypass list, which keep its entries from merging
// where a merge would change which route wins (MergeNets' limits): the
// system's routes that lead elsewhere than the helper's own, as the network
// watcher last read them, and the running tunnel's AllowedIPs (its routes,
// which the tool may not have made yet when the list is first installed).
#include <cstdint>
#include <vector>

#include "routing/physical_route.h"
#include "support/address.h"

// Notes the routes of one family's table, as the network watcher read it,
// leaving out those through the physical route the helper's routes took
// when it was read and those through `found`, the one they follow now:
// wherever one of those wins, traffic leaves the same way. Called before
// the routes move. True when what limits the list changed. Routes.Lock not
// held.
bool NoteRoutesBesideTheList(uint16_t family, const std::vector<SystemRoute>& rows,
                             const DefaultRoute& found);

// The limits for merging the list now: the routes noted, both families
// (each table read here when none is noted since the last forget), and the
// tunnel's AllowedIPs. Routes.Lock not held.
std::vector<RoutePrefix> RoutesBesideTheList();

// Forgets the noted routes: the helper's routes are cleared, and the next
// install reads the tables afresh.
void ForgetRoutesBesideTheList();

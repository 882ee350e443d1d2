#pragma once
// The helper's routes following the physical network of one family, as the
// network watcher finds it: the same network (what Windows took away made
// again), none (every route waits) or another (every route moves).
#include <cstdint>
#include <vector>

#include "routing/physical_route.h"
#include "routing/route_store.h"

// The same network: every recorded route of `family` missing from `system`
// (Windows deletes the routes of an interface that goes down) or waiting is
// made again through `now` ("bypass routes restored: N"); nothing at all
// when none is.
void RestoreRoutes(uint16_t family, const NextHop& now, const std::vector<SystemRoute>& system)
    EXCLUDES(Routes.Lock);
// No network: every route of `family` is deleted and waits for one
// ("physical default route lost; ..."); the family's next hop becomes not
// captured.
void LoseRoutes(uint16_t family) EXCLUDES(Routes.Lock);
// Another network: every route of `family` moves to `now`, new row first
// ("physical default route changed: ...; M bypass routes moved"), and `now`
// becomes the family's next hop.
void MoveRoutes(uint16_t family, const NextHop& now) EXCLUDES(Routes.Lock);

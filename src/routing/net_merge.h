#pragma once
// A bypass list as the routes that carry it: entries that together cover
// exactly one wider network (two adjacent halves, a network with networks
// inside it) become that one route, so a country's list of tens of
// thousands of prefixes asks the system for far fewer rows, but only where
// that changes no route's meaning. Includes no platform header: it builds
// natively for fuzzing.
#include <cstddef>
#include <vector>

#include "support/address.h"

struct MergedNet {
  RoutePrefix Prefix;
  size_t Entries = 0;  // distinct list entries it carries
};

// The routes for the entries (host bits cleared; duplicates allowed), each
// family by address, wider first. None is wider than the widest entry it
// came from needs: halves are never joined into a default route (0.0.0.0/0,
// ::/0), which would no longer win over the tunnel's own routes as the
// halves do.
//
// `limits` are the routes beside the list (the system's that lead
// elsewhere, the tunnel's AllowedIPs). Windows takes the longest prefix, so
// a merge must not let one of them win where the entry it replaces would
// have: an entry joins a wider route only where no limit covers it with a
// length from the wider route's to its own, both included (a tie would
// leave the choice to metrics). Such an entry stays a route of its own,
// inside the wider one, and may still merge with its own neighbours. Cost
// O(n log n + k log k) for n entries and k limits.
std::vector<MergedNet> MergeNets(std::vector<RoutePrefix> entries, std::vector<RoutePrefix> limits);

// The entry of `entries` that covers `address` most narrowly, or nullptr.
const RoutePrefix* NarrowestCovering(const std::vector<RoutePrefix>& entries,
                                     const IpAddress& address);

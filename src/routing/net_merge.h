#pragma once
// A bypass list as the routes that carry it: entries that together cover
// exactly one wider network (two adjacent halves, a network with networks
// inside it) become that one route, so a country's list of tens of
// thousands of prefixes asks the system for far fewer rows.
#include <cstddef>
#include <vector>

#include "support/address.h"

struct MergedNet {
  RoutePrefix Prefix;
  size_t Entries = 0;  // distinct list entries it carries
};

// The routes for the entries (host bits cleared; duplicates allowed), each
// family by address. No two of them overlap, and none is wider than the
// widest entry it came from needs: halves are never joined into a default
// route (0.0.0.0/0, ::/0), which would no longer win over the tunnel's own
// routes as the halves do.
std::vector<MergedNet> MergeNets(std::vector<RoutePrefix> entries);

// The entry of `entries` that covers `address` most narrowly, or nullptr.
const RoutePrefix* NarrowestCovering(const std::vector<RoutePrefix>& entries,
                                     const IpAddress& address);

#include "routing/net_merge.h"

#include <algorithm>
#include <cstring>

namespace {

// By family, then by address as its bytes read (so that adjacent networks
// are neighbours), then wider first: a network comes before everything
// inside it.
bool InAddressOrder(const RoutePrefix& a, const RoutePrefix& b) {
  if (a.Destination.Family != b.Destination.Family) {
    return a.Destination.Family < b.Destination.Family;
  }
  if (const int order = std::memcmp(a.Destination.Bytes, b.Destination.Bytes, 16)) {
    return order < 0;
  }
  return a.Length < b.Length;
}

bool Covers(const RoutePrefix& wide, const RoutePrefix& narrow) {
  return wide.Destination.Family == narrow.Destination.Family && wide.Length <= narrow.Length &&
         MaskAddress(narrow.Destination, wide.Length) == wide.Destination;
}

// The lower and the upper half of one network, of which `parent` is set.
bool Halves(const RoutePrefix& low, const RoutePrefix& high, RoutePrefix& parent) {
  if (low.Destination.Family != high.Destination.Family || low.Length != high.Length ||
      low.Length <= 1 || low.Destination == high.Destination) {
    return false;
  }
  const uint8_t length = static_cast<uint8_t>(low.Length - 1);
  parent = {MaskAddress(low.Destination, length), length};
  return parent.Destination == low.Destination &&
         MaskAddress(high.Destination, length) == parent.Destination;
}

// Sorted, once each. A list is mostly given in order already (lists of a
// country's networks are published so): one look then spares the sort.
void SortUnique(std::vector<RoutePrefix>& prefixes) {
  if (!std::is_sorted(prefixes.begin(), prefixes.end(), InAddressOrder)) {
    std::sort(prefixes.begin(), prefixes.end(), InAddressOrder);
  }
  prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
}

constexpr int kNoLimit = -1;

// For each entry (both sorted), the length of the longest limit that
// covers it, or kNoLimit. One sweep: the limits that cover the sweep's
// place form a chain, each inside the one before, and one that does not
// cover a prefix covers nothing after it either.
std::vector<int> DeepestLimits(const std::vector<RoutePrefix>& entries,
                               const std::vector<RoutePrefix>& limits) {
  std::vector<int> deepest(entries.size(), kNoLimit);
  std::vector<const RoutePrefix*> chain;
  const auto enter = [&chain](const RoutePrefix& prefix) {
    while (!chain.empty() && !Covers(*chain.back(), prefix)) chain.pop_back();
  };
  size_t next = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    // A limit equal to the entry comes first: it covers it.
    for (; next < limits.size() && !InAddressOrder(entries[i], limits[next]); ++next) {
      enter(limits[next]);
      chain.push_back(&limits[next]);
    }
    enter(entries[i]);
    if (!chain.empty()) deepest[i] = chain.back()->Length;
  }
  return deepest;
}

// A route to be, and the longest limit that covers it.
struct Route {
  RoutePrefix Prefix;
  size_t Entries;
  int Limit;
  size_t Inside;  // the index of the route it lies inside, or kOutermost
};
constexpr size_t kOutermost = static_cast<size_t>(-1);

bool MayJoin(const Route& route, const RoutePrefix& wider) { return route.Limit < wider.Length; }

// Puts `route` on top of the run so far, run[0..size), then joins the top
// two while they are the halves of one network that both may join: the new
// one may complete its network, and that one the next wider.
void PushJoining(Route* run, size_t& size, const Route& route, size_t inside) {
  run[size++] = route;
  RoutePrefix parent;
  while (size >= 2 && Halves(run[size - 2].Prefix, run[size - 1].Prefix, parent) &&
         MayJoin(run[size - 2], parent) && MayJoin(run[size - 1], parent)) {
    const Route high = run[--size];
    Route& low = run[size - 1];
    low = {parent, low.Entries + high.Entries, std::max(low.Limit, high.Limit), inside};
  }
}

}  // namespace

std::vector<MergedNet> MergeNets(std::vector<RoutePrefix> entries,
                                 std::vector<RoutePrefix> limits) {
  SortUnique(entries);
  SortUnique(limits);
  const std::vector<int> deepest = DeepestLimits(entries, limits);

  // First the nested: an entry inside a route joins the narrowest one that
  // covers it, unless a limit keeps it out; then it is a route of its own,
  // inside that one. Wider ones come first, so each route is made before
  // what lies inside it.
  std::vector<Route> routes;
  routes.reserve(entries.size());
  std::vector<size_t> covering;  // the routes that cover the sweep's place, a chain
  for (size_t i = 0; i < entries.size(); ++i) {
    while (!covering.empty() && !Covers(routes[covering.back()].Prefix, entries[i])) {
      covering.pop_back();
    }
    const Route entry{entries[i], 1, deepest[i], covering.empty() ? kOutermost : covering.back()};
    if (!covering.empty() && MayJoin(entry, routes[covering.back()].Prefix)) {
      ++routes[covering.back()].Entries;
      continue;
    }
    covering.push_back(routes.size());
    routes.push_back(entry);
  }

  // Then the halves, among the routes that lie inside the same one (or
  // inside none): none of those overlaps another, and in address order the
  // halves of one network are neighbours. A limit that covers a route covers
  // everything it carries, so the route's own decides. What lies inside a
  // half stays inside the network it becomes.
  bool nested = false;
  for (const Route& route : routes) nested = nested || route.Inside != kOutermost;
  std::vector<MergedNet> merged;
  if (!nested) {
    // Without a route inside another (the usual list) they are one run, in
    // address order already, and so is what they become: joined in place,
    // with no copy of a country's list made on the way.
    size_t kept = 0;
    for (size_t i = 0; i < routes.size(); ++i) {
      const Route route = routes[i];
      PushJoining(routes.data(), kept, route, kOutermost);
    }
    merged.reserve(kept);
    for (size_t i = 0; i < kept; ++i) merged.push_back({routes[i].Prefix, routes[i].Entries});
    return merged;
  }
  std::vector<size_t> order(routes.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return routes[a].Inside < routes[b].Inside; });
  merged.reserve(routes.size());
  std::vector<Route> run(routes.size());
  for (size_t at = 0; at < order.size();) {
    const size_t inside = routes[order[at]].Inside;
    size_t size = 0;
    for (; at < order.size() && routes[order[at]].Inside == inside; ++at) {
      PushJoining(run.data(), size, routes[order[at]], inside);
    }
    for (size_t i = 0; i < size; ++i) merged.push_back({run[i].Prefix, run[i].Entries});
  }
  std::sort(merged.begin(), merged.end(), [](const MergedNet& a, const MergedNet& b) {
    return InAddressOrder(a.Prefix, b.Prefix);
  });
  return merged;
}

const RoutePrefix* NarrowestCovering(const std::vector<RoutePrefix>& entries,
                                     const IpAddress& address) {
  const RoutePrefix* narrowest = nullptr;
  for (const RoutePrefix& entry : entries) {
    if (entry.Destination.Family != address.Family) continue;
    if (narrowest && entry.Length <= narrowest->Length) continue;
    if (MaskAddress(address, entry.Length) == entry.Destination) narrowest = &entry;
  }
  return narrowest;
}

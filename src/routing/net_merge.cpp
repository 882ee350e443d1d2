#include "routing/net_merge.h"

#include <algorithm>
#include <cstring>

namespace {

// By family, then by address as its bytes read (so that adjacent networks
// are neighbours), then wider first.
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

}  // namespace

std::vector<MergedNet> MergeNets(std::vector<RoutePrefix> entries) {
  std::sort(entries.begin(), entries.end(), InAddressOrder);
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  std::vector<MergedNet> merged;
  merged.reserve(entries.size());
  for (const RoutePrefix& entry : entries) {
    // Wider ones come first: one inside the last route joins it.
    if (!merged.empty() && Covers(merged.back().Prefix, entry)) {
      ++merged.back().Entries;
      continue;
    }
    merged.push_back({entry, 1});
    // The new one may complete its network, and that one the next wider.
    RoutePrefix parent;
    while (merged.size() >= 2 &&
           Halves(merged[merged.size() - 2].Prefix, merged.back().Prefix, parent)) {
      const size_t carried = merged[merged.size() - 2].Entries + merged.back().Entries;
      merged.pop_back();
      merged.back() = {parent, carried};
    }
  }
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

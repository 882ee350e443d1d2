#include "route_bench_baseline.h"

BareRouteTable BareTables[2];

namespace {

void Lookup(BareRouteTable& bare, uint32_t destination) {
  std::lock_guard<std::mutex> lock(bare.mutex);
  if (bare.table.count(destination) != 0) return;
  ++bare.misses;
}

}  // namespace

// The prefix length is unused, as it is on the helper's path for a recorded
// destination.
void BareLookup0(uint32_t destination, uint8_t) { Lookup(BareTables[0], destination); }
void BareLookup1(uint32_t destination, uint8_t) { Lookup(BareTables[1], destination); }

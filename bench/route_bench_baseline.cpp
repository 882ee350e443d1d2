#include "route_bench_baseline.h"

BareRouteTable BareTables[2];

namespace {

void Lookup(BareRouteTable& bare, uint32_t destination) {
  std::lock_guard<std::mutex> lock(bare.mutex);
  if (bare.table.count(destination) != 0) return;
  ++bare.misses;
}

}  // namespace

void BareLookup0(const IpAddress& destination) { Lookup(BareTables[0], destination.IPv4()); }
void BareLookup1(const IpAddress& destination) { Lookup(BareTables[1], destination.IPv4()); }

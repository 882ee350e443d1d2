#include "route_bench_baseline.h"

BareRouteTable BareTables[2];

namespace {

bool Lookup(BareRouteTable& bare, uint32_t destination) {
  std::lock_guard<std::mutex> lock(bare.mutex);
  if (bare.table.count(destination) != 0) return true;
  ++bare.misses;
  return false;
}

}  // namespace

bool BareLookup0(const IpAddress& destination) { return Lookup(BareTables[0], destination.IPv4()); }
bool BareLookup1(const IpAddress& destination) { return Lookup(BareTables[1], destination.IPv4()); }

#pragma once
// The routing benchmark's baseline: the least that answering "is this
// destination recorded already?" can cost, a std::map lookup under an
// uncontended std::mutex, with the map holding what the helper's table holds.
#include <cstdint>
#include <map>
#include <mutex>

#include "support/address.h"

struct BareRouteTable {
  std::mutex mutex;
  std::map<uint32_t, uint8_t> table;
  // Counted on the miss path so the lookup has an effect the compiler must
  // keep; the benchmark requires it to stay 0.
  unsigned long long misses = 0;
};

// Two, so that --self-check can put a second bare table in the helper's place.
extern BareRouteTable BareTables[2];

// AddSplitHostRoute's signature, so the timing loop calls every side alike.
bool BareLookup0(const IpAddress& destination);
bool BareLookup1(const IpAddress& destination);

#pragma once
// One line of the route journal: the route it lists, as text.
// Includes no platform header: it builds natively for fuzzing.
#include <cstdint>
#include <string>

#include "support/address.h"

// One route as the journal keeps it: what deleting it needs.
struct JournaledRoute {
  uint32_t InterfaceIndex = 0;
  RoutePrefix Prefix;
  IpAddress Gateway;
  // The interface's LUID, which lasts across reboots, as an index need not:
  // after one, the index may name another adapter, whose own route to the
  // same prefix a replay must not delete. 0 in lines of earlier versions.
  uint64_t InterfaceLuid = 0;
};

// "INDEX PREFIX GATEWAY", then " luid=LUID" when it has one.
std::string RouteJournalLine(const JournaledRoute& route);
// False for a damaged line.
bool ParseRouteJournalLine(std::string line, JournaledRoute& route);

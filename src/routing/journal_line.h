#pragma once
// One line of the route journal: the route it lists, as text.
// Includes no platform header: it builds natively for fuzzing.
#include <cstddef>
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

// Every line of the journal takes one slot of this many bytes: its text
// padded with blanks, then CR LF. The longest line the helper writes, an
// IPv6 route with its LUID, takes 120 characters.
constexpr size_t kJournalSlotBytes = 128;
constexpr size_t kLongestJournalLine = kJournalSlotBytes - 2;

// "INDEX PREFIX GATEWAY", then " luid=LUID" when it has one.
std::string RouteJournalLine(const JournaledRoute& route);
// The same line added to the end of out (a list's lines go into one buffer).
void AppendRouteJournalLine(std::string& out, const JournaledRoute& route);
// False for a damaged line, and for any line that is not exactly what
// RouteJournalLine writes for the route it names.
bool ParseRouteJournalLine(std::string line, JournaledRoute& route);

// One slot of the journal's file as read back, its line end taken off: a
// route, a withdrawn (blank) slot, or damage (longer than any slot, or not
// a line the helper writes). The one reader of the file's lines, for the
// replay at start and for whoever checks what the journal lists.
enum class JournalSlot { Route, Withdrawn, Damaged };
JournalSlot ReadJournalSlot(std::string line, JournaledRoute& route);

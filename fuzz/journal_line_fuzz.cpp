// A line of the route journal, read at start from a file an earlier run
// wrote: a line the helper takes is one it could have written, character
// for character, and every route it could write reads back as itself.
// Input: the line; the same bytes also make a route to write.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "routing/journal_line.h"
#include "support/text.h"

namespace {

bool Same(const JournaledRoute& a, const JournaledRoute& b) {
  return a.InterfaceIndex == b.InterfaceIndex && a.Prefix == b.Prefix && a.Gateway == b.Gateway &&
         a.InterfaceLuid == b.InterfaceLuid;
}

// A route the helper could make: an interface, a network (host bits
// cleared), a gateway of its family, a LUID or none.
JournaledRoute RouteOf(const uint8_t* data, size_t size) {
  uint8_t bytes[64] = {};
  std::memcpy(bytes, data, size < sizeof(bytes) ? size : sizeof(bytes));
  JournaledRoute route;
  std::memcpy(&route.InterfaceIndex, bytes, 4);
  if (route.InterfaceIndex == 0) route.InterfaceIndex = 1;
  const bool ipv6 = bytes[4] & 1;
  const uint16_t family = ipv6 ? kFamilyIPv6 : kFamilyIPv4;
  const size_t width = ipv6 ? 16 : 4;
  route.Prefix.Destination.Family = family;
  std::memcpy(route.Prefix.Destination.Bytes, bytes + 8, width);
  route.Prefix.Length = static_cast<uint8_t>(bytes[5] % (ipv6 ? 129 : 33));
  route.Prefix.Destination = MaskAddress(route.Prefix.Destination, route.Prefix.Length);
  route.Gateway.Family = family;
  std::memcpy(route.Gateway.Bytes, bytes + 24, width);
  if (bytes[6] & 1) std::memcpy(&route.InterfaceLuid, bytes + 40, 8);
  return route;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  JournaledRoute route;
  if (ParseRouteJournalLine(line, route)) {
    // One the helper could have written: its own text for a route it
    // could have made (an interface, a network without host bits, a
    // gateway of the same family).
    FUZZ_CHECK(RouteJournalLine(route) == line, "read a line the helper never writes: \"" +
                                                    Shown(line) + "\", written \"" +
                                                    Shown(RouteJournalLine(route)) + "\"");
    FUZZ_CHECK(route.InterfaceIndex != 0 &&
                   MaskAddress(route.Prefix.Destination, route.Prefix.Length) ==
                       route.Prefix.Destination &&
                   route.Prefix.Length <= (route.Prefix.Destination.IsIPv4() ? 32 : 128) &&
                   route.Gateway.Family == route.Prefix.Destination.Family,
               "read a route the helper never makes: \"" + Shown(line) + "\"");
  }
  const JournaledRoute written = RouteOf(data, size);
  const std::string text = RouteJournalLine(written);
  JournaledRoute read;
  FUZZ_CHECK(ParseRouteJournalLine(text, read) && Same(read, written),
             "a line the helper writes does not read back: " + text);
  FUZZ_CHECK(text.size() <= kLongestJournalLine, "a line longer than its slot: " + text);
  return 0;
}

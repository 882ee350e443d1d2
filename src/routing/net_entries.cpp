#include "routing/net_entries.h"

#include <string>

#include "support/text.h"

namespace {

// The prefix length after the "/": up to `digitsAtMost` decimal digits, at
// most `longest`, then nothing but blanks. Anything else (a sign, a blank
// before the digits, a second number, hex, a dot) is a typo, and a typo
// read the lenient way can widen a route to cover everything (10.0.0.0/0x18
// would be 0.0.0.0/0), so the entry is skipped instead.
bool ParsePrefixLength(std::wstring_view text, size_t digitsAtMost, int longest, int& length) {
  size_t digits = 0;
  int value = 0;
  while (digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9') {
    value = value * 10 + (text[digits] - L'0');
    if (++digits > digitsAtMost) return false;
  }
  if (digits == 0 || value > longest) return false;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] != L' ' && text[i] != L'\t') return false;
  }
  length = value;
  return true;
}

}  // namespace

bool ParseBypassNet(std::wstring_view entry, RoutePrefix& net) {
  const size_t slash = entry.find(L'/');
  IpAddress address;
  if (!ParseAddress(entry.substr(0, slash), address)) return false;
  const bool ipv4 = address.IsIPv4();
  int length = ipv4 ? 32 : 128;
  if (slash != std::wstring_view::npos &&
      !ParsePrefixLength(entry.substr(slash + 1), ipv4 ? 2 : 3, ipv4 ? 32 : 128, length)) {
    return false;
  }
  // An IPv4-mapped entry is an IPv4 one, as split and explain take it; a
  // mapped prefix of 96 bits or fewer would be all of IPv4 or more.
  const IpAddress unmapped = Unmapped(address);
  if (unmapped.IsIPv4() && !ipv4) {
    if (length <= 96) return false;
    address = unmapped;
    length -= 96;
  }
  net = {MaskAddress(address, static_cast<uint8_t>(length)), static_cast<uint8_t>(length)};
  return true;
}

std::vector<RoutePrefix> ParseBypassNets(std::wstring_view list) {
  const std::vector<std::wstring_view> entries = SplitListEntryViews(list);
  std::vector<RoutePrefix> nets;
  nets.reserve(entries.size());
  for (const std::wstring_view entry : entries) {
    RoutePrefix net;
    if (ParseBypassNet(entry, net)) nets.push_back(net);
  }
  return nets;
}

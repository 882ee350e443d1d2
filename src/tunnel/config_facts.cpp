#include "tunnel/config_facts.h"

#include <string_view>
#include <vector>

#include "support/address.h"
#include "support/text.h"

namespace {

std::wstring_view Trimmed(std::wstring_view text) {
  const size_t first = text.find_first_not_of(L" \t\r");
  if (first == std::wstring_view::npos) return {};
  const size_t last = text.find_last_not_of(L" \t\r");
  return text.substr(first, last - first + 1);
}

// One AllowedIPs entry: an address, or an address, "/" and a length.
bool ParseAllowedIP(std::wstring_view entry, RoutePrefix& prefix) {
  const size_t slash = entry.find(L'/');
  IpAddress address;
  if (!ParseAddress(Trimmed(entry.substr(0, slash)), address)) return false;
  unsigned length = address.IsIPv4() ? 32 : 128;
  if (slash != std::wstring_view::npos) {
    const std::wstring_view digits = Trimmed(entry.substr(slash + 1));
    if (digits.empty() || digits.size() > 3) return false;
    length = 0;
    for (const wchar_t c : digits) {
      if (c < L'0' || c > L'9') return false;
      length = length * 10 + (c - L'0');
    }
    if (length > (address.IsIPv4() ? 32u : 128u)) return false;
  }
  prefix = {MaskAddress(address, static_cast<uint8_t>(length)), static_cast<uint8_t>(length)};
  return true;
}

struct Peer {
  bool TakesAll = false;
};

}  // namespace

ConfigurationFacts ReadConfigurationFacts(const std::wstring& configuration) {
  ConfigurationFacts facts;
  std::vector<Peer> peers;
  bool inPeer = false;
  bool ipv6Whole = false, ipv6Low = false, ipv6High = false;
  IpAddress upperHalf;
  ParseAddress(L"8000::", upperHalf);
  // The file the tool reads ends at the first NUL; a byte-order mark is
  // not part of the first key.
  std::wstring_view rest(configuration);
  rest = rest.substr(0, rest.find(L'\0'));
  if (!rest.empty() && rest.front() == 0xFEFF) rest.remove_prefix(1);
  while (!rest.empty()) {
    const size_t end = rest.find(L'\n');
    std::wstring_view line = rest.substr(0, end);
    rest = end == std::wstring_view::npos ? std::wstring_view() : rest.substr(end + 1);
    line = Trimmed(line.substr(0, line.find(L'#')));
    if (line.empty()) continue;
    if (line.front() == L'[') {
      inPeer = FoldAsciiLower(line) == L"[peer]";
      if (inPeer) peers.emplace_back();
      continue;
    }
    const size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    const std::wstring_view key = Trimmed(line.substr(0, equals));
    const std::wstring folded = FoldAsciiLower(key);
    if (facts.Hook.empty() && (folded == L"preup" || folded == L"postup" || folded == L"predown" ||
                               folded == L"postdown")) {
      facts.Hook = std::wstring(key);
    }
    if (!inPeer || folded != L"allowedips") continue;
    std::wstring_view list = line.substr(equals + 1);
    for (;;) {
      const size_t comma = list.find(L',');
      RoutePrefix prefix;
      if (ParseAllowedIP(Trimmed(list.substr(0, comma)), prefix)) {
        if (prefix.Length == 0) peers.back().TakesAll = true;
        if (prefix.Destination.IsIPv6()) {
          ipv6Whole |= prefix.Length == 0;
          ipv6Low |= prefix.Length == 1 && prefix.Destination == IpAddress{kFamilyIPv6};
          ipv6High |= prefix.Length == 1 && prefix.Destination == upperHalf;
        }
      }
      if (comma == std::wstring_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  facts.SinglePeerTakesAll = peers.size() == 1 && peers[0].TakesAll;
  facts.TunnelCarriesIPv6 = ipv6Whole || (ipv6Low && ipv6High);
  return facts;
}

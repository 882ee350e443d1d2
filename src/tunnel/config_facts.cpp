#include "tunnel/config_facts.h"

#include <string_view>
#include <vector>

#include "routing/bypass_nets.h"
#include "support/address.h"
#include "support/text.h"

ConfigurationFacts ReadConfigurationFacts(const std::wstring& configuration) {
  ConfigurationFacts facts;
  std::vector<bool> peerTakesAll;  // one per [Peer] section
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
    line = TrimBlanks(line.substr(0, line.find(L'#')));
    if (line.empty()) continue;
    if (line.front() == L'[') {
      inPeer = FoldAsciiLower(line) == L"[peer]";
      if (inPeer) peerTakesAll.push_back(false);
      continue;
    }
    const size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    const std::wstring_view key = TrimBlanks(line.substr(0, equals));
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
      // Read as strictly as a bypass network: a length that is not plainly
      // one never counts as a /0.
      if (ParseBypassNet(TrimBlanks(list.substr(0, comma)), prefix)) {
        if (prefix.Length == 0) peerTakesAll.back() = true;
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
  facts.SinglePeerTakesAll = peerTakesAll.size() == 1 && peerTakesAll[0];
  facts.TunnelCarriesIPv6 = ipv6Whole || (ipv6Low && ipv6High);
  return facts;
}

#include "tunnel/config_facts.h"

#include <string_view>
#include <vector>

#include "routing/net_entries.h"
#include "support/address.h"
#include "support/text.h"

namespace {

// Unicode's White_Space property: tools of this family read the file as
// UTF-8 and trim all of these around keys and values.
bool IsUnicodeWhiteSpace(wchar_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The text without Unicode white space at either end, as the tool trims
// keys, values, list entries and section names: a non-breaking space pasted
// from a web page must not hide a DNS server or a section from this reader
// while the tool still reads it.
std::wstring_view TrimWhiteSpace(std::wstring_view text) {
  while (!text.empty() && IsUnicodeWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsUnicodeWhiteSpace(text.back())) text.remove_suffix(1);
  return text;
}

// "host:port", "[v6]:port", or a bare host name (":port" absent or not a
// port: not an endpoint the tool would take; nothing then).
bool ParseEndpoint(std::wstring_view text, PeerEndpoint& endpoint) {
  std::wstring_view host, port;
  if (!text.empty() && text.front() == L'[') {
    const size_t close = text.find(L']');
    if (close == std::wstring_view::npos || close + 1 >= text.size() || text[close + 1] != L':') {
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(L':');
    if (colon == std::wstring_view::npos || text.find(L':') != colon) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5) return false;
  uint32_t number = 0;
  for (const wchar_t c : port) {
    if (c < L'0' || c > L'9') return false;
    number = number * 10 + static_cast<uint32_t>(c - L'0');
  }
  if (number == 0 || number > 0xFFFF) return false;
  endpoint = {};
  endpoint.Port = static_cast<uint16_t>(number);
  if (ParseAddress(host, endpoint.Address)) {
    endpoint.Address = Unmapped(endpoint.Address);
  } else {
    endpoint.Host.assign(host);
  }
  return true;
}

// Characters some readers drop silently: zero-width space, joiners, BOM.
bool IsInvisible(wchar_t c) { return (c >= 0x200B && c <= 0x200D) || c == 0xFEFF; }

// What the key names once every white-space and invisible character is gone
// and its case is folded, the two letters outside ASCII whose simple case
// fold is an ASCII letter included (U+017F long s, U+212A Kelvin sign). A
// stricter reader sees at most this much; refusing by it is the safe side.
std::wstring SqueezedKey(std::wstring_view key) {
  std::wstring squeezed;
  for (wchar_t c : key) {
    if (IsUnicodeWhiteSpace(c) || IsInvisible(c)) continue;
    if (c == 0x017F) c = L's';
    if (c == 0x212A) c = L'k';
    squeezed += c;
  }
  return FoldAsciiLower(squeezed);
}

bool IsHookKey(std::wstring_view key) {
  const std::wstring squeezed = SqueezedKey(key);
  return squeezed == L"preup" || squeezed == L"postup" || squeezed == L"predown" ||
         squeezed == L"postdown";
}

// The key as written, for the log: trimmed, with every character that would
// not print as itself shown as '?'.
std::wstring ShownKey(std::wstring_view key) {
  while (!key.empty() && (IsUnicodeWhiteSpace(key.front()) || IsInvisible(key.front()))) {
    key.remove_prefix(1);
  }
  while (!key.empty() && (IsUnicodeWhiteSpace(key.back()) || IsInvisible(key.back()))) {
    key.remove_suffix(1);
  }
  std::wstring shown(key);
  for (wchar_t& c : shown) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || IsUnicodeWhiteSpace(c) ||
        IsInvisible(c)) {
      if (c != L' ') c = L'?';
    }
  }
  return shown;
}

// Line breaks to a reader that splits lines more eagerly than at '\n'.
bool IsAnyLineBreak(wchar_t c) {
  return c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f' || c == 0x85 || c == 0x2028 ||
         c == 0x2029;
}
bool IsLineFeed(wchar_t c) { return c == L'\n'; }

// The first hook of the text with its lines cut where `breaks` says.
std::wstring FirstHook(std::wstring_view text, bool (*breaks)(wchar_t)) {
  while (!text.empty()) {
    size_t end = 0;
    while (end < text.size() && !breaks(text[end])) ++end;
    std::wstring_view line = text.substr(0, end);
    text.remove_prefix(end < text.size() ? end + 1 : end);
    line = line.substr(0, line.find(L'#'));
    const size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    const std::wstring_view key = line.substr(0, equals);
    if (IsHookKey(key)) return ShownKey(key);
  }
  return {};
}

// Lines cut at '\n' as the tool cuts them (a form feed or NEL between the
// key and its '=' is trimmed white space), and cut at every line break (a
// key behind a lone carriage return or U+2028 is a key to a reader that
// breaks there): a hook either way is refused.
std::wstring FirstHook(std::wstring_view text) {
  std::wstring hook = FirstHook(text, IsLineFeed);
  return hook.empty() ? FirstHook(text, IsAnyLineBreak) : hook;
}

}  // namespace

ConfigurationFacts ReadConfigurationFacts(const std::wstring& configuration) {
  ConfigurationFacts facts;
  std::vector<bool> peerTakesAll;  // one per [Peer] section
  bool inPeer = false;
  bool inInterface = false;
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
    line = TrimWhiteSpace(line.substr(0, line.find(L'#')));
    if (line.empty()) continue;
    if (line.front() == L'[') {
      inPeer = FoldAsciiLower(line) == L"[peer]";
      inInterface = FoldAsciiLower(line) == L"[interface]";
      if (inPeer) peerTakesAll.push_back(false);
      continue;
    }
    const size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    const std::wstring_view key = TrimWhiteSpace(line.substr(0, equals));
    const std::wstring folded = FoldAsciiLower(key);
    if (inInterface && (folded == L"address" || folded == L"dns")) {
      std::wstring_view list = line.substr(equals + 1);
      for (;;) {
        const size_t comma = list.find(L',');
        const std::wstring_view entry = TrimWhiteSpace(list.substr(0, comma));
        RoutePrefix prefix;
        IpAddress server;
        if (folded == L"address" && ParseBypassNet(entry, prefix)) {
          facts.OwnNetworks.push_back(prefix);
          IpAddress own;
          if (ParseAddress(entry.substr(0, entry.find(L'/')), own)) {
            facts.OwnAddresses.push_back(Unmapped(own));
          }
        } else if (folded == L"dns" && ParseAddress(entry, server)) {  // names are search domains
          server = Unmapped(server);
          facts.OwnNetworks.push_back({server, static_cast<uint8_t>(server.IsIPv4() ? 32 : 128)});
        }
        if (comma == std::wstring_view::npos) break;
        list.remove_prefix(comma + 1);
      }
      continue;
    }
    if (!inPeer) continue;
    if (folded == L"endpoint") {
      PeerEndpoint endpoint;
      if (ParseEndpoint(TrimWhiteSpace(line.substr(equals + 1)), endpoint)) {
        facts.Endpoints.push_back(std::move(endpoint));
      }
      continue;
    }
    if (folded != L"allowedips") continue;
    std::wstring_view list = line.substr(equals + 1);
    for (;;) {
      const size_t comma = list.find(L',');
      RoutePrefix prefix;
      // Read as strictly as a bypass network: a length that is not plainly
      // one never counts as a /0.
      if (ParseBypassNet(TrimWhiteSpace(list.substr(0, comma)), prefix)) {
        facts.AllowedIPs.push_back(prefix);
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
  std::wstring_view whole(configuration);
  whole = whole.substr(0, whole.find(L'\0'));
  facts.Hook = FirstHook(whole);
  facts.SinglePeerTakesAll = peerTakesAll.size() == 1 && peerTakesAll[0];
  facts.TunnelCarriesIPv6 = ipv6Whole || (ipv6Low && ipv6High);
  return facts;
}

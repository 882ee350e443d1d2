// A tunnel configuration as a client sends it: what the helper concludes
// from it must not change with the white space around its keys, values,
// list entries and section names, since the tool trims every Unicode white
// space there (a non-breaking space pasted from a web page must hide no DNS
// server from the helper). The input is the configuration as UTF-8; the
// white space put around its parts is drawn from a generator seeded by it.
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "support/text.h"
#include "tunnel/config_facts.h"

namespace {

// Unicode's White_Space property but the line feed, which ends a line.
constexpr wchar_t kWhiteSpace[] = {0x09,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                                   0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007,
                                   0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

bool IsWhiteSpace(wchar_t c) {
  for (const wchar_t space : kWhiteSpace) {
    if (c == space) return true;
  }
  return c == L'\n';
}

std::wstring_view Trimmed(std::wstring_view text) {
  while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
  return text;
}

class Spacer {
 public:
  explicit Spacer(uint32_t seed) : random_(seed) {}
  std::wstring Some() {
    std::wstring spaces;
    for (unsigned n = random_() % 3; n > 0; --n)
      spaces += kWhiteSpace[random_() % std::size(kWhiteSpace)];
    return spaces;
  }

 private:
  std::mt19937 random_;
};

// The same configuration with white space around every key, "=", value,
// entry of a list value and section line (never inside one, never inside a
// comment).
std::wstring Respaced(std::wstring_view text, Spacer& spacer) {
  std::wstring out;
  if (!text.empty() && text.front() == 0xFEFF) {  // a byte-order mark stays first
    out += text.front();
    text.remove_prefix(1);
  }
  for (size_t start = 0;;) {
    const size_t end = text.find(L'\n', start);
    const std::wstring_view line =
        text.substr(start, end == std::wstring_view::npos ? end : end - start);
    const size_t hash = line.find(L'#');
    const std::wstring_view content = line.substr(0, hash);
    const std::wstring_view comment =
        hash == std::wstring_view::npos ? std::wstring_view() : line.substr(hash);
    const size_t equals = content.find(L'=');
    if (!Trimmed(content).empty() && Trimmed(content).front() == L'[') {
      out += spacer.Some() + std::wstring(content) + spacer.Some();
    } else if (equals != std::wstring_view::npos) {
      const std::wstring_view key = content.substr(0, equals);
      std::wstring_view value = content.substr(equals + 1);
      out += spacer.Some() + std::wstring(key) + spacer.Some() + L"=";
      const std::wstring folded = FoldAsciiLower(Trimmed(key));
      if (folded == L"address" || folded == L"dns" || folded == L"allowedips") {
        for (;;) {
          const size_t comma = value.find(L',');
          out += spacer.Some() + std::wstring(value.substr(0, comma)) + spacer.Some();
          if (comma == std::wstring_view::npos) break;
          out += L',';
          value.remove_prefix(comma + 1);
        }
      } else {
        out += spacer.Some() + std::wstring(value) + spacer.Some();
      }
    } else {
      out += content;
    }
    out += comment;
    if (end == std::wstring_view::npos) break;
    out += L'\n';
    start = end + 1;
  }
  return out;
}

std::string Prefixes(const std::vector<RoutePrefix>& prefixes) {
  std::string text;
  for (const RoutePrefix& prefix : prefixes) text += WideToUtf8(FormatPrefix(prefix)) + " ";
  return text;
}

std::string Endpoints(const std::vector<PeerEndpoint>& endpoints) {
  std::string text;
  for (const PeerEndpoint& endpoint : endpoints) {
    text += WideToUtf8(FormatAddress(endpoint.Address)) + "|" + WideToUtf8(endpoint.Host) + "|" +
            std::to_string(endpoint.Port) + " ";
  }
  return text;
}

void CheckCanonical(const std::vector<RoutePrefix>& prefixes) {
  for (const RoutePrefix& prefix : prefixes) {
    FUZZ_CHECK(MaskAddress(prefix.Destination, prefix.Length) == prefix.Destination,
               "a network with host bits: " + WideToUtf8(FormatPrefix(prefix)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));
  const ConfigurationFacts facts = ReadConfigurationFacts(text);
  CheckCanonical(facts.OwnNetworks);
  CheckCanonical(facts.AllowedIPs);
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  Spacer spacer(seed);
  for (int round = 0; round < 2; ++round) {
    const std::wstring respaced = Respaced(text, spacer);
    const ConfigurationFacts again = ReadConfigurationFacts(respaced);
    const std::string shown = "\nas written: " + Shown(text) + "\nrespaced:   " + Shown(respaced);
    FUZZ_CHECK(Prefixes(again.OwnNetworks) == Prefixes(facts.OwnNetworks),
               "own networks " + Prefixes(facts.OwnNetworks) + "became " +
                   Prefixes(again.OwnNetworks) + shown);
    FUZZ_CHECK(Prefixes(again.AllowedIPs) == Prefixes(facts.AllowedIPs),
               "AllowedIPs " + Prefixes(facts.AllowedIPs) + "became " + Prefixes(again.AllowedIPs) +
                   shown);
    FUZZ_CHECK(
        Endpoints(again.Endpoints) == Endpoints(facts.Endpoints),
        "endpoints " + Endpoints(facts.Endpoints) + "became " + Endpoints(again.Endpoints) + shown);
    FUZZ_CHECK(again.SinglePeerTakesAll == facts.SinglePeerTakesAll &&
                   again.TunnelCarriesIPv6 == facts.TunnelCarriesIPv6,
               "what the peers take changed" + shown);
  }
  return 0;
}

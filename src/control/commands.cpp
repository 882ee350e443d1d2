#include "control/commands.h"

#include <utility>

#include "support/text.h"

namespace {

int Base64Value(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return c - L'A';
  if (c >= L'a' && c <= L'z') return c - L'a' + 26;
  if (c >= L'0' && c <= L'9') return c - L'0' + 52;
  if (c == L'+') return 62;
  if (c == L'/') return 63;
  return -1;
}

}  // namespace

bool DecodeStrictBase64(std::wstring_view payload, std::string& decoded) {
  // Decoders differ on empty text, missing padding and embedded white
  // space (CryptStringToBinaryW takes all three). Only the one strict shape
  // is read, so that the helper takes exactly the same payloads everywhere.
  if (payload.empty() || payload.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && payload[payload.size() - 1 - padding] == L'=') ++padding;
  std::string bytes;
  bytes.reserve(payload.size() / 4 * 3);
  uint32_t bits = 0;
  for (size_t i = 0; i < payload.size() - padding; ++i) {
    const int value = Base64Value(payload[i]);
    if (value < 0) return false;
    bits = bits << 6 | static_cast<uint32_t>(value);
    if (i % 4 == 3) {
      bytes += static_cast<char>(bits >> 16 & 0xFF);
      bytes += static_cast<char>(bits >> 8 & 0xFF);
      bytes += static_cast<char>(bits & 0xFF);
      bits = 0;
    }
  }
  // The last group's letters; bits beyond its bytes are ignored, as
  // decoders do.
  if (padding == 2) {
    bytes += static_cast<char>(bits >> 4 & 0xFF);
  } else if (padding == 1) {
    bytes += static_cast<char>(bits >> 10 & 0xFF);
    bytes += static_cast<char>(bits >> 2 & 0xFF);
  }
  decoded = std::move(bytes);
  return true;
}

bool DecodeConnectPayload(std::wstring_view payload, std::wstring& configuration) {
  std::string bytes;
  if (!DecodeStrictBase64(payload, bytes)) return false;
  configuration = Utf8ToWide(bytes);
  return true;
}

bool ParseExplainRequest(std::wstring_view argument, IpAddress& address, std::wstring& image) {
  const size_t blank = argument.find(L' ');
  IpAddress parsed;
  if (!ParseAddress(argument.substr(0, blank), parsed)) return false;
  address = Unmapped(parsed);
  image = blank == std::wstring_view::npos ? std::wstring()
                                           : std::wstring(TrimBlanks(argument.substr(blank)));
  return true;
}

std::wstring RunCommand(std::wstring_view line, CommandActions& actions) {
  // Only U+0020 separates the word; a tab belongs to it.
  const size_t blank = line.find(L' ');
  const std::wstring word = FoldAsciiLower(line.substr(0, blank));
  const std::wstring argument(blank == std::wstring_view::npos ? std::wstring_view()
                                                               : line.substr(blank + 1));

  if (word == L"ping") return L"OK";
  if (word == L"status") return actions.TunnelServiceRunning() ? L"RUNNING" : L"STOPPED";
  if (word == L"state") return actions.DescribeState();
  if (word == L"explain") {
    IpAddress address;
    std::wstring image;
    if (!ParseExplainRequest(argument, address, image)) return L"ERR bad address";
    return actions.ExplainAddress(address, image);
  }
  // Whoever changes what the helper does as LocalSystem is named, never
  // what they sent: a configuration holds a private key. A change whose
  // line the log cannot take (a reader froze its rotation, and it is full)
  // is not made.
  if (word == L"splitapps" || word == L"bypassnets" || word == L"bypassdomains" ||
      word == L"disconnect" || word == L"connect") {
    if (!actions.AuditRequest(word)) return L"ERR log full";
  }
  if (word == L"splitapps") {
    actions.SetSplitApps(argument);
    return L"OK";
  }
  if (word == L"bypassnets") {
    actions.SetBypassNets(argument);
    return L"OK";
  }
  if (word == L"bypassdomains") {
    actions.SetBypassDomains(argument);
    return L"OK";
  }
  if (word == L"disconnect") {
    actions.Disconnect();
    return L"OK";
  }
  if (word == L"connect") {
    std::wstring configuration;
    if (!DecodeConnectPayload(argument, configuration)) return L"ERR bad base64";
    return actions.Connect(configuration) ? L"OK" : L"ERR connect failed";
  }
  return L"ERR unknown";
}

#include "routing/bypass_nets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <mutex>
#include <vector>

#include "routing/route_table.h"
#include "support/log.h"
#include "support/text.h"

namespace {

constexpr int kAddressTextBytes = 64;

bool IsCrtSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// The prefix length after the "/", read the way the C runtime reads a
// number: leading white space, an optional sign, then decimal digits up to
// the first other character. Unlike _wtoi, no digits at all is an error, and
// so is a number too large to be a length, instead of wrapping into range.
bool ParsePrefixLength(std::wstring_view text, int& length) {
  size_t i = 0;
  while (i < text.size() && IsCrtSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  const size_t firstDigit = i;
  long long value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > 32) return false;
  }
  if (i == firstDigit) return false;
  if (negative && value != 0) return false;
  length = static_cast<int>(value);
  return true;
}

}  // namespace

bool ParseBypassNet(std::wstring_view entry, BypassNet& net) {
  const size_t slash = entry.find(L'/');
  int length = 32;
  if (slash != std::wstring_view::npos && !ParsePrefixLength(entry.substr(slash + 1), length)) {
    return false;
  }
  const std::wstring_view addressText = entry.substr(0, slash);
  // The address parser takes narrow text; anything that is not plain ASCII
  // cannot be an address anyway.
  char narrow[kAddressTextBytes] = {};
  if (addressText.empty() ||
      WideCharToMultiByte(CP_ACP, 0, addressText.data(), static_cast<int>(addressText.size()),
                          narrow, kAddressTextBytes - 1, nullptr, nullptr) <= 0) {
    return false;
  }
  IN_ADDR address{};
  if (inet_pton(AF_INET, narrow, &address) != 1) return false;
  const uint32_t mask = length == 0 ? 0 : htonl(0xFFFFFFFFu << (32 - length));
  net.Network = address.s_addr & mask;
  net.PrefixLength = static_cast<uint8_t>(length);
  return true;
}

void SetBypassNets(const std::wstring& argument) {
  std::vector<BypassNet> list;
  for (const std::wstring& entry : SplitListEntries(argument)) {
    BypassNet net;
    if (ParseBypassNet(entry, net)) list.push_back(net);
  }
  const size_t count = list.size();
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    HelperState.BypassNetList = std::move(list);
  }
  LogLine(L"bypass nets set: " + std::to_wstring(count));
  if (HelperState.TunnelConnected) InstallBypassRoutes();
}

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

// The prefix length after the "/": one or two decimal digits, 0 to 32,
// then nothing but blanks. Anything else (a sign, a blank before the
// digits, a second number, hex, a dot) is a typo, and a typo read the
// lenient way can widen a route to cover everything (10.0.0.0/0x18 would be
// 0.0.0.0/0), so the entry is skipped instead.
bool ParsePrefixLength(std::wstring_view text, int longest, int& length) {
  size_t digits = 0;
  int value = 0;
  while (digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9') {
    value = value * 10 + (text[digits] - L'0');
    if (++digits > 2) return false;
  }
  if (digits == 0 || value > longest) return false;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] != L' ' && text[i] != L'\t') return false;
  }
  length = value;
  return true;
}

}  // namespace

bool ParseBypassNet(std::wstring_view entry, BypassNet& net) {
  const size_t slash = entry.find(L'/');
  int length = 32;
  if (slash != std::wstring_view::npos && !ParsePrefixLength(entry.substr(slash + 1), 32, length)) {
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

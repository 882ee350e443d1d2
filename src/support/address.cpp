#include "support/address.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <mstcpip.h>

#include <cstring>

bool operator==(const IpAddress& a, const IpAddress& b) {
  return a.Family == b.Family && std::memcmp(a.Bytes, b.Bytes, sizeof(a.Bytes)) == 0;
}

bool operator==(const RoutePrefix& a, const RoutePrefix& b) {
  return a.Length == b.Length && a.Destination == b.Destination;
}

IpAddress MaskAddress(const IpAddress& address, uint8_t length) {
  IpAddress masked = address;
  const unsigned bytes = address.Family == kFamilyIPv4 ? 4 : 16;
  for (unsigned i = 0; i < 16; ++i) {
    const unsigned firstBit = i * 8;
    if (i >= bytes || firstBit >= length) {
      masked.Bytes[i] = 0;
    } else if (length - firstBit < 8) {
      masked.Bytes[i] &= static_cast<uint8_t>(0xFF << (8 - (length - firstBit)));
    }
  }
  return masked;
}

bool PrefixCovers(const RoutePrefix& prefix, const IpAddress& address) {
  return address.Family == prefix.Destination.Family &&
         MaskAddress(address, prefix.Length) == prefix.Destination;
}

std::wstring FormatIPv4(uint32_t address) {
  const uint32_t host = ntohl(address);
  return std::to_wstring(host >> 24) + L"." + std::to_wstring((host >> 16) & 0xFF) + L"." +
         std::to_wstring((host >> 8) & 0xFF) + L"." + std::to_wstring(host & 0xFF);
}

std::wstring FormatAddress(const IpAddress& address) {
  if (address.Family == kFamilyIPv4) return FormatIPv4(address.IPv4());
  if (address.Family != kFamilyIPv6) return L"";
  IN6_ADDR bytes;
  std::memcpy(&bytes, address.Bytes, sizeof(bytes));
  wchar_t text[64] = {};  // the longest form takes 46 with its terminator
  RtlIpv6AddressToStringW(&bytes, text);
  return text;
}

std::wstring FormatPrefix(const RoutePrefix& prefix) {
  return FormatAddress(prefix.Destination) + L"/" + std::to_wstring(prefix.Length);
}

bool ParseAddress(std::wstring_view text, IpAddress& address) {
  // Printable ASCII only: the narrow copy below must never turn a lookalike
  // character (a full-width digit, say) into a digit.
  constexpr size_t kLongestText = 45;  // an IPv6 address with an IPv4 tail
  if (text.empty() || text.size() > kLongestText) return false;
  char narrow[kLongestText + 1] = {};
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    // No zone (%7), no brackets: a bare address only.
    if (c <= L' ' || c > L'~' || c == L'%' || c == L'[' || c == L']') return false;
    narrow[i] = static_cast<char>(c);
  }
  IpAddress parsed;
  if (text.find(L':') == std::wstring_view::npos) {
    IN_ADDR v4{};
    if (inet_pton(AF_INET, narrow, &v4) != 1) return false;
    parsed = IpAddress::FromIPv4(v4.s_addr);
  } else {
    IN6_ADDR v6{};
    if (inet_pton(AF_INET6, narrow, &v6) != 1) return false;
    parsed.Family = kFamilyIPv6;
    std::memcpy(parsed.Bytes, &v6, sizeof(v6));
  }
  address = parsed;
  return true;
}

IpAddress Unmapped(const IpAddress& address) {
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (!address.IsIPv6() || std::memcmp(address.Bytes, kMappedPrefix, sizeof(kMappedPrefix)) != 0) {
    return address;
  }
  IpAddress ipv4{kFamilyIPv4};
  std::memcpy(ipv4.Bytes, address.Bytes + 12, 4);
  return ipv4;
}

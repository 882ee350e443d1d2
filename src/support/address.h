#pragma once
// IP addresses as the helper's parts hand them to each other: the family and
// the bytes in network order, as a socket address holds them, and the text
// that log lines, the route journal and replies show. Includes no platform
// header: it builds natively for fuzzing.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

constexpr uint16_t kFamilyIPv4 = 2;   // AF_INET
constexpr uint16_t kFamilyIPv6 = 23;  // AF_INET6

struct IpAddress {
  uint16_t Family = 0;     // kFamilyIPv4, kFamilyIPv6, or 0 for none
  uint8_t Bytes[16] = {};  // network byte order; an IPv4 address takes the first four

  static IpAddress FromIPv4(uint32_t networkOrder) {
    IpAddress address;
    address.Family = kFamilyIPv4;
    std::memcpy(address.Bytes, &networkOrder, sizeof(networkOrder));
    return address;
  }
  // The IPv4 address in network byte order (0 for another family).
  uint32_t IPv4() const {
    uint32_t value = 0;
    if (Family == kFamilyIPv4) std::memcpy(&value, Bytes, sizeof(value));
    return value;
  }
  bool IsIPv4() const { return Family == kFamilyIPv4; }
  bool IsIPv6() const { return Family == kFamilyIPv6; }
  // Every bit zero (0.0.0.0, ::).
  bool IsUnspecified() const {
    for (const uint8_t byte : Bytes) {
      if (byte != 0) return false;
    }
    return true;
  }
};
bool operator==(const IpAddress& a, const IpAddress& b);
inline bool operator!=(const IpAddress& a, const IpAddress& b) { return !(a == b); }

// A destination network: an address with every host bit cleared, and its
// prefix length. Ordered by family, then by address (an IPv4 address by its
// network-order value read as one unsigned number), then by length.
struct RoutePrefix {
  IpAddress Destination;
  uint8_t Length = 0;
};
// Inline: the sniffer's lookup of a recorded destination is a few of these.
inline bool operator<(const RoutePrefix& a, const RoutePrefix& b) {
  if (a.Destination.Family != b.Destination.Family) {
    return a.Destination.Family < b.Destination.Family;
  }
  if (a.Destination.Family == kFamilyIPv4) {
    const uint32_t left = a.Destination.IPv4();
    const uint32_t right = b.Destination.IPv4();
    if (left != right) return left < right;
  } else if (const int order = std::memcmp(a.Destination.Bytes, b.Destination.Bytes, 16)) {
    return order < 0;
  }
  return a.Length < b.Length;
}
bool operator==(const RoutePrefix& a, const RoutePrefix& b);

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it
// stands for; any other address as it is.
IpAddress Unmapped(const IpAddress& address);

// Clears every bit beyond `length` (at most 32 or 128, by family).
IpAddress MaskAddress(const IpAddress& address, uint8_t length);
// Whether `address` lies inside `prefix`.
bool PrefixCovers(const RoutePrefix& prefix, const IpAddress& address);

// Dotted decimal of an IPv4 address in network byte order.
std::wstring FormatIPv4(uint32_t address);
// Dotted decimal, or IPv6 text as RtlIpv6AddressToStringW writes it (the
// longest run of two or more zero groups as "::", lower-case hex, the last
// 32 bits of an IPv4-compatible, -mapped, -translated or ISATAP address in
// dotted decimal).
std::wstring FormatAddress(const IpAddress& address);
// "a.b.c.d/len" or "2001:db8::/32".
std::wstring FormatPrefix(const RoutePrefix& prefix);

// Strict address text, no zone, port or brackets: dotted decimal for
// IPv4, the usual IPv6 forms for IPv6. False for anything else.
bool ParseAddress(std::wstring_view text, IpAddress& address);

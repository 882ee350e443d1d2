#include "split/address_scope.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

struct Block {
  uint8_t Bytes[16];
  uint8_t Length;
};

bool Inside(const uint8_t* address, const Block& block) {
  const size_t whole = block.Length / 8;
  for (size_t i = 0; i < whole; ++i) {
    if (address[i] != block.Bytes[i]) return false;
  }
  const unsigned rest = block.Length % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (address[whole] & mask) == (block.Bytes[whole] & mask);
}

template <size_t N>
bool InsideAny(const uint8_t* address, const Block (&blocks)[N]) {
  for (const Block& block : blocks) {
    if (Inside(address, block)) return true;
  }
  return false;
}

// The IPv4 registry's entries marked "Globally Reachable: False" (and the
// deprecated 6to4 relay anycast block), with multicast, the reserved space
// above it and the limited broadcast address.
constexpr Block kIPv4NotReachable[] = {
    {{0}, 8},              // "this network"
    {{10}, 8},             // private
    {{100, 64}, 10},       // shared address space (carrier-grade NAT)
    {{127}, 8},            // loopback
    {{169, 254}, 16},      // link-local
    {{172, 16}, 12},       // private
    {{192, 0, 0}, 24},     // IETF protocol assignments (but for the two below)
    {{192, 0, 2}, 24},     // documentation (TEST-NET-1)
    {{192, 88, 99}, 24},   // 6to4 relay anycast, deprecated
    {{192, 168}, 16},      // private
    {{198, 18}, 15},       // benchmarking
    {{198, 51, 100}, 24},  // documentation (TEST-NET-2)
    {{203, 0, 113}, 24},   // documentation (TEST-NET-3)
    {{224}, 4},            // multicast
    {{240}, 4},            // reserved, and 255.255.255.255
};
// Inside 192.0.0.0/24, the two anycast services the registry marks
// globally reachable.
constexpr Block kIPv4Reachable[] = {
    {{192, 0, 0, 9}, 32},   // Port Control Protocol anycast
    {{192, 0, 0, 10}, 32},  // Traversal Using Relays around NAT anycast
};

// IPv6 beyond global unicast (2000::/3) is refused whole: ::/96 (the
// unspecified, loopback and IPv4-compatible addresses), 64:ff9b::/96 and
// 64:ff9b:1::/48 (translation, which embeds any IPv4 address, a private one
// too), 100::/64 (discard), fc00::/7, fe80::/10, fec0::/10, ff00::/8. Inside
// it, the registry's entries that are not globally reachable.
constexpr Block kIPv6GlobalUnicast = {{0x20}, 3};
constexpr Block kIPv6NotReachable[] = {
    {{0x20, 0x01, 0x00, 0x00}, 23},  // IETF protocol assignments (Teredo among them)
    {{0x20, 0x01, 0x0d, 0xb8}, 32},  // documentation
    {{0x20, 0x02}, 16},              // 6to4, which embeds any IPv4 address
    {{0x3f, 0xff}, 20},              // documentation
};
// Inside 2001::/23, the assignments the registry marks globally reachable.
constexpr Block kIPv6Reachable[] = {
    {{0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}, 128},  // PCP anycast
    {{0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}, 128},  // TURN anycast
    {{0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03}, 128},  // DNS-SD SRP anycast
    {{0x20, 0x01, 0x00, 0x03}, 32},                                          // AMT
    {{0x20, 0x01, 0x00, 0x04, 0x01, 0x12}, 48},                              // AS112-v6
    {{0x20, 0x01, 0x00, 0x20}, 28},                                          // ORCHIDv2
    {{0x20, 0x01, 0x00, 0x30}, 28},                                          // drone identifiers
};

bool IPv4Reachable(const uint8_t* address) {
  return InsideAny(address, kIPv4Reachable) || !InsideAny(address, kIPv4NotReachable);
}

}  // namespace

bool GloballyReachable(const IpAddress& address) {
  const uint8_t* b = address.Bytes;
  if (address.IsIPv4()) return IPv4Reachable(b);
  if (!address.IsIPv6()) return false;
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  bool mapped = true;
  for (size_t i = 0; i < 12; ++i) mapped = mapped && b[i] == kMappedPrefix[i];
  if (mapped) return IPv4Reachable(b + 12);
  if (!Inside(b, kIPv6GlobalUnicast)) return false;
  return InsideAny(b, kIPv6Reachable) || !InsideAny(b, kIPv6NotReachable);
}

bool SplitRoutable(const IpAddress& remote) {
  if (remote.IsUnspecified()) return false;
  const uint8_t* bytes = remote.Bytes;
  if (remote.IsIPv4()) {
    const bool thisNetwork = bytes[0] == 0;
    const bool loopback = bytes[0] == 127;
    const bool linkLocal = bytes[0] == 169 && bytes[1] == 254;
    const bool multicastOrReserved = bytes[0] >= 224;  // 224/4 and 240/4, broadcast with them
    return !thisNetwork && !loopback && !linkLocal && !multicastOrReserved;
  }
  static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const bool loopback = std::memcmp(bytes, kLoopback, sizeof(kLoopback)) == 0;
  const bool linkLocal = bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
  const bool multicast = bytes[0] == 0xFF;
  return !loopback && !linkLocal && !multicast;
}

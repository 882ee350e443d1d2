#include "split/dns_filter.h"

#include <cstdio>

#include "split/dns_answer.h"

namespace {

// An address as WinDivert's filter language reads it: dotted decimal, or
// eight groups of hexadecimal (never shortened, so nothing depends on how
// "::" is read).
std::string FilterAddress(const IpAddress& address) {
  char text[48];
  const uint8_t* b = address.Bytes;
  if (address.IsIPv4()) {
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  } else {
    std::snprintf(text, sizeof(text), "%x:%x:%x:%x:%x:%x:%x:%x", b[0] << 8 | b[1], b[2] << 8 | b[3],
                  b[4] << 8 | b[5], b[6] << 8 | b[7], b[8] << 8 | b[9], b[10] << 8 | b[11],
                  b[12] << 8 | b[13], b[14] << 8 | b[15]);
  }
  return text;
}

// A test of the other family's address field fails rather than passing, so
// each exclusion names its family: "ipv6 or ip.DstAddr != A" lets every
// IPv6 packet through and keeps out IPv4 packets to A.
std::string KeptOut(const std::vector<std::pair<IpAddress, uint16_t>>& endpoints,
                    const char* field) {
  std::string tests;
  size_t kept = 0;
  for (const auto& [address, port] : endpoints) {
    if (port != kDnsPort || kept == kMaxEndpointsKeptOut) continue;
    if (!address.IsIPv4() && !address.IsIPv6()) continue;
    ++kept;
    tests += address.IsIPv4() ? std::string(" and (ipv6 or ip.") + field + " != "
                              : std::string(" and (ip or ipv6.") + field + " != ";
    tests += FilterAddress(address) + ")";
  }
  return tests;
}

}  // namespace

std::string DnsHoldFilter(const std::vector<std::pair<IpAddress, uint16_t>>& endpoints) {
  return "!loopback and udp.Payload16[2] == 1 and "
         "((outbound and udp.DstPort == 53 and udp.Payload[2] <= 0x07" +
         KeptOut(endpoints, "DstAddr") +
         ") or "
         "(inbound and udp.SrcPort == 53 and udp.Payload[2] >= 0x80 and udp.Payload[2] <= 0x87" +
         KeptOut(endpoints, "SrcAddr") + "))";
}

std::string DnsTcpFilter() {
  return "!loopback and tcp.Payload16[3] == 1 and "
         "((outbound and tcp.DstPort == 53 and tcp.Payload[4] <= 0x07) or "
         "(inbound and tcp.SrcPort == 53 and tcp.Payload[4] >= 0x80 and tcp.Payload[4] <= 0x87))";
}

#pragma once
// What the WinDivert stand-in reads of a fed packet's bytes: its headers as
// the filter language names them, its checksums, its DNS id (test-bed only).
#include <windows.h>

#include <cstddef>
#include <string>

struct PacketFacts {
  int version = 0;     // 4, 6, or 0 for neither
  UINT8 protocol = 0;  // of the header after the IP header (no extension headers followed)
  size_t end = 0;      // where the IP packet ends (its length field, or the bytes given)
  size_t address = 0;  // the source address's offset; the destination follows it
  size_t addressSize = 0;
  size_t transport = 0;  // the transport header's offset, 0 when it is not there whole
  UINT32 srcPort = 0, dstPort = 0;
  size_t payload = 0, payloadLength = 0;  // UDP or TCP payload, when `transport`
};
PacketFacts FactsOf(const std::string& bytes);

// Which of the packet's checksums are right, as the driver's record flags
// them (IPChecksum, TCPChecksum, UDPChecksum). A UDP checksum of zero (none
// was computed) is not a right one.
struct PacketChecksums {
  bool ip = false;
  bool tcp = false;
  bool udp = false;
};
PacketChecksums ChecksumsOf(const std::string& bytes);

// The first two bytes of a DNS message in the packet as four hex digits
// (after a UDP header, or after a TCP header and the message's length), or
// "none".
std::string DnsIdOf(const std::string& bytes);

UINT64 PacketHash(const std::string& bytes);

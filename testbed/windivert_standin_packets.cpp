#include "windivert_standin_packets.h"

#include <cstdio>

#include "windivert_standin_files.h"

namespace {

UINT32 Read16(const unsigned char* at) { return UINT32{at[0]} << 8 | at[1]; }

// The ones' complement sum of the 16-bit words, not yet folded.
UINT64 Sum(const unsigned char* bytes, size_t size) {
  UINT64 sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += Read16(bytes + i);
  if (size % 2) sum += UINT32{bytes[size - 1]} << 8;
  return sum;
}

bool FoldsToAllOnes(UINT64 sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF;
}

}  // namespace

PacketFacts FactsOf(const std::string& bytes) {
  PacketFacts facts;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.empty()) return facts;
  const int version = p[0] >> 4;
  size_t transport = 0;
  if (version == 4 && bytes.size() >= 20) {
    facts.protocol = p[9];
    transport = size_t{p[0] & 0x0Fu} * 4;
    const size_t total = Read16(p + 2);
    facts.end = total <= bytes.size() ? total : bytes.size();
    facts.address = 12;
    facts.addressSize = 4;
  } else if (version == 6 && bytes.size() >= 40) {
    facts.protocol = p[6];
    transport = 40;
    const size_t total = 40 + Read16(p + 4);
    facts.end = total <= bytes.size() ? total : bytes.size();
    facts.address = 8;
    facts.addressSize = 16;
  } else {
    return facts;
  }
  facts.version = version;
  if (transport < 20 || transport > facts.end) return facts;
  if (facts.protocol == kProtocolUdp && facts.end - transport >= 8) {
    const size_t udpLength = Read16(p + transport + 4);
    facts.transport = transport;
    facts.payload = transport + 8;
    facts.payloadLength = udpLength >= 8 && udpLength <= facts.end - transport
                              ? udpLength - 8
                              : facts.end - transport - 8;
  } else if (facts.protocol == kProtocolTcp && facts.end - transport >= 20) {
    const size_t header = size_t{p[transport + 12]} / 16 * 4;
    if (header < 20 || header > facts.end - transport) return facts;
    facts.transport = transport;
    facts.payload = transport + header;
    facts.payloadLength = facts.end - facts.payload;
  } else {
    return facts;
  }
  facts.srcPort = Read16(p + transport);
  facts.dstPort = Read16(p + transport + 2);
  return facts;
}

PacketChecksums ChecksumsOf(const std::string& bytes) {
  PacketChecksums valid;
  const PacketFacts facts = FactsOf(bytes);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (facts.version == 4) valid.ip = FoldsToAllOnes(Sum(p, size_t{p[0] & 0x0Fu} * 4));
  if (!facts.transport) return valid;
  const size_t length = facts.end - facts.transport;
  // The pseudo-header: both addresses, the protocol and the length.
  UINT64 sum = Sum(p + facts.address, 2 * facts.addressSize) + facts.protocol + length;
  sum += Sum(p + facts.transport, length);
  if (facts.protocol == kProtocolTcp) valid.tcp = FoldsToAllOnes(sum);
  const bool computed = Read16(p + facts.transport + 6) != 0;
  if (facts.protocol == kProtocolUdp) valid.udp = computed && FoldsToAllOnes(sum);
  return valid;
}

std::string DnsIdOf(const std::string& bytes) {
  const PacketFacts facts = FactsOf(bytes);
  const size_t at = facts.payload + (facts.protocol == kProtocolTcp ? 2 : 0);
  if (!facts.transport || facts.end < at + 2) return "none";
  char text[8];
  std::snprintf(text, sizeof(text), "%02x%02x", static_cast<unsigned char>(bytes[at]),
                static_cast<unsigned char>(bytes[at + 1]));
  return text;
}

UINT64 PacketHash(const std::string& bytes) {
  UINT64 hash = 1469598103934665603ull;
  for (const char byte : bytes) hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
  return hash;
}

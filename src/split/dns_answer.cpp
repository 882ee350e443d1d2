#include "split/dns_answer.h"

#include <cstring>

namespace {

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeCname = 5;
constexpr uint16_t kTypeAaaa = 28;
constexpr uint16_t kClassIn = 1;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxWireName = 255;  // the whole name, length bytes included
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint16_t kDnsPort = 53;
constexpr size_t kMaxCnameLinks = 16;

uint16_t Read16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }
uint32_t Read32(const uint8_t* at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

bool NameByte(uint8_t byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
}

// Reads the name at `offset`, following compression pointers, into `name`
// (lower case, no trailing dot) and sets `next` to the first byte after the
// name where it starts. A pointer must point before the label it replaces:
// every jump goes backward, so no chain of them can loop.
bool ReadName(const uint8_t* message, size_t length, size_t offset, std::string& name,
              size_t& next) {
  name.clear();
  size_t wire = 0;
  size_t at = offset;
  bool jumped = false;
  for (;;) {
    if (at >= length) return false;
    const uint8_t label = message[at];
    if ((label & 0xC0) == 0xC0) {
      if (at + 1 >= length) return false;
      const size_t target = (size_t{label & 0x3Fu} << 8) | message[at + 1];
      if (target >= at) return false;
      if (!jumped) next = at + 2;
      jumped = true;
      at = target;
      continue;
    }
    if ((label & 0xC0) != 0) return false;  // the 0x40 and 0x80 kinds are not in use
    wire += 1 + label;
    if (wire > kMaxWireName) return false;
    if (label == 0) {
      if (!jumped) next = at + 1;
      return true;
    }
    if (at + 1 + label > length) return false;
    if (!name.empty()) name += '.';
    for (size_t i = 0; i < label; ++i) {
      const uint8_t byte = message[at + 1 + i];
      if (!NameByte(byte)) return false;  // a "." inside a label would pass for two labels
      name += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
    }
    at += 1 + label;
  }
}

struct Record {
  std::string Owner;
  uint16_t Type = 0;
  uint16_t Class = 0;
  uint32_t Ttl = 0;
  size_t Data = 0;  // offset of the record's data
  uint16_t DataLength = 0;
};

bool ReadRecord(const uint8_t* message, size_t length, size_t& at, Record& record) {
  if (!ReadName(message, length, at, record.Owner, at)) return false;
  if (length - at < 10) return false;
  record.Type = Read16(message + at);
  record.Class = Read16(message + at + 2);
  // A TTL with its top bit set is read as zero (RFC 2181, 8).
  const uint32_t ttl = Read32(message + at + 4);
  record.Ttl = (ttl & 0x80000000u) ? 0 : ttl;
  record.DataLength = Read16(message + at + 8);
  record.Data = at + 10;
  if (length - record.Data < record.DataLength) return false;
  at = record.Data + record.DataLength;
  return true;
}

}  // namespace

bool DnsPayloadOf(const uint8_t* packet, size_t size, const uint8_t*& message, size_t& length) {
  if (size < 1) return false;
  size_t transport = 0, end = 0;
  uint8_t protocol = 0;
  const uint8_t version = packet[0] >> 4;
  if (version == 4) {
    if (size < 20) return false;
    const size_t headerLength = size_t{packet[0] & 0x0Fu} * 4;
    const size_t total = Read16(packet + 2);
    const uint16_t fragment = Read16(packet + 6);
    if (headerLength < 20 || total < headerLength || total > size) return false;
    if ((fragment & 0x3FFF) != 0) return false;  // more fragments, or not the first
    protocol = packet[9];
    transport = headerLength;
    end = total;
  } else if (version == 6) {
    if (size < 40) return false;
    const size_t total = 40 + size_t{Read16(packet + 4)};
    // Extension headers (a fragment header among them) are not followed.
    if (total > size) return false;
    protocol = packet[6];
    transport = 40;
    end = total;
  } else {
    return false;
  }
  if (end - transport < 8 || Read16(packet + transport) != kDnsPort) return false;
  if (protocol == kProtocolUdp) {
    const size_t udpLength = Read16(packet + transport + 4);
    if (udpLength < 8 || udpLength > end - transport) return false;
    message = packet + transport + 8;
    length = udpLength - 8;
    return true;
  }
  if (protocol != kProtocolTcp || end - transport < 20) return false;
  // Over TCP each message comes after its two-byte length. Only a segment
  // that starts with one and holds it whole is read: an answer split over
  // segments, or the second of two in one, is not seen.
  const size_t tcpHeader = size_t{packet[transport + 12]} / 16 * 4;
  if (tcpHeader < 20 || tcpHeader > end - transport || end - transport - tcpHeader < 2) {
    return false;
  }
  const uint8_t* payload = packet + transport + tcpHeader;
  const size_t messageLength = Read16(payload);
  if (messageLength > end - transport - tcpHeader - 2) return false;
  message = payload + 2;
  length = messageLength;
  return true;
}

bool ReadDnsAnswer(const uint8_t* message, size_t length, DnsAnswer& answer) {
  if (length < kHeaderSize) return false;
  const uint16_t flags = Read16(message + 2);
  const bool response = (flags & 0x8000) != 0;
  const unsigned opcode = (flags >> 11) & 0x0F;
  if (!response || opcode != 0 || Read16(message + 4) != 1) return false;
  const unsigned answers = Read16(message + 6);
  size_t at = kHeaderSize;
  if (!ReadName(message, length, at, answer.Name, at) || length - at < 4) return false;
  if (Read16(message + at + 2) != kClassIn) return false;
  at += 4;
  // Each record holds at least 11 bytes: a larger count than the message
  // can hold is refused before any is read.
  if (answers > (length - at) / 11) return false;
  std::vector<Record> records(answers);
  for (Record& record : records) {
    if (!ReadRecord(message, length, at, record)) return false;
  }
  // The names that lead to the question's addresses: the question's, then
  // every CNAME target reached from one of them, each pass at least one
  // link further. Resolvers follow a handful of links; no more than
  // kMaxCnameLinks names are followed, which keeps a packet of thousands of
  // records at thousands of comparisons.
  std::vector<std::string> names{answer.Name};
  std::vector<bool> followed(records.size(), false);
  const auto known = [&names](const std::string& name) {
    for (const std::string& one : names) {
      if (one == name) return true;
    }
    return false;
  };
  for (size_t link = 0, before = 0; link < kMaxCnameLinks && names.size() != before; ++link) {
    before = names.size();
    for (size_t i = 0; i < records.size(); ++i) {
      const Record& record = records[i];
      if (followed[i] || record.Type != kTypeCname || record.Class != kClassIn) continue;
      if (!known(record.Owner)) continue;
      followed[i] = true;
      std::string target;
      size_t unused = 0;
      if (!ReadName(message, record.Data + record.DataLength, record.Data, target, unused)) {
        return false;
      }
      if (names.size() <= kMaxCnameLinks && !known(target)) names.push_back(std::move(target));
    }
  }
  answer.Addresses.clear();
  for (const Record& record : records) {
    if (record.Class != kClassIn) continue;
    const bool a = record.Type == kTypeA && record.DataLength == 4;
    const bool aaaa = record.Type == kTypeAaaa && record.DataLength == 16;
    if (!a && !aaaa) continue;
    if (!known(record.Owner)) continue;
    DnsAddress address;
    address.Address.Family = a ? kFamilyIPv4 : kFamilyIPv6;
    std::memcpy(address.Address.Bytes, message + record.Data, record.DataLength);
    address.Ttl = record.Ttl;
    answer.Addresses.push_back(address);
  }
  return true;
}

#include "split/dns_answer.h"

#include <cstring>

namespace {

constexpr uint16_t kTypeCname = 5;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxWireName = 255;  // the whole name, length bytes included
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr size_t kMaxCnameLinks = 16;
// A name read through more pointers than this is refused: compression
// points a name at a suffix written before it, a few hops at most; a chain
// of pointers to pointers only makes the reading slow.
constexpr size_t kMaxHopsPerName = 16;
// What reading a message's names may cost, in bytes looked at (each label
// and its length byte, two for each pointer followed): a few times the
// message's length. Names that compress well expand to more than their
// bytes, which the factor allows for; a message built so that every name
// expands to 255 bytes runs out of it and is refused, so no message of 64
// KiB costs more than about a quarter of a million steps.
constexpr size_t kNameCostPerByte = 4;
constexpr size_t kNameCostBase = 1024;

uint16_t Read16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }
uint32_t Read32(const uint8_t* at) {
  return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

bool NameByte(uint8_t byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
}

// The names of one message, read against one budget for all of them.
class NameReader {
 public:
  NameReader(const uint8_t* message, size_t length)
      : message_(message), length_(length), budget_(kNameCostPerByte * length + kNameCostBase) {}

  // Reads the name at `offset` into `name` (lower case, no trailing dot)
  // and sets `next` to the first byte after the name where it starts
  // (reading stops at `end`, which may be short of the message's end for a
  // name inside a record's data). A pointer must point before the label it
  // replaces, so no chain of them can loop.
  bool Read(size_t offset, size_t end, std::string& name, size_t& next) {
    name.clear();
    size_t wire = 0, hops = 0;
    size_t at = offset;
    bool jumped = false;
    for (;;) {
      if (at >= end) return false;
      const uint8_t label = message_[at];
      if ((label & 0xC0) == 0xC0) {
        if (at + 1 >= end || ++hops > kMaxHopsPerName || !Spend(2)) return false;
        const size_t target = (size_t{label & 0x3Fu} << 8) | message_[at + 1];
        if (target >= at) return false;
        if (!jumped) next = at + 2;
        jumped = true;
        at = target;
        // What a pointer leads to lies anywhere before it in the message,
        // not only inside the record's data.
        end = length_;
        continue;
      }
      if ((label & 0xC0) != 0) return false;  // the 0x40 and 0x80 kinds are not in use
      wire += 1 + label;
      if (wire > kMaxWireName || !Spend(1 + label)) return false;
      if (label == 0) {
        if (!jumped) next = at + 1;
        return true;
      }
      if (at + 1 + label > end) return false;
      if (!name.empty()) name += '.';
      for (size_t i = 0; i < label; ++i) {
        const uint8_t byte = message_[at + 1 + i];
        if (!NameByte(byte)) return false;  // a "." inside a label would pass for two labels
        name += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
      }
      at += 1 + label;
    }
  }

 private:
  bool Spend(size_t cost) {
    if (cost > budget_) return false;
    budget_ -= cost;
    return true;
  }

  const uint8_t* message_;
  size_t length_;
  size_t budget_;
};

struct Record {
  std::string Owner;
  uint16_t Type = 0;
  uint16_t Class = 0;
  uint32_t Ttl = 0;
  size_t Data = 0;  // offset of the record's data
  uint16_t DataLength = 0;
};

bool ReadRecord(NameReader& names, const uint8_t* message, size_t length, size_t& at,
                Record& record) {
  if (!names.Read(at, length, record.Owner, at)) return false;
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

void ReadAddress(const uint8_t* bytes, size_t size, IpAddress& address) {
  address = IpAddress{};
  address.Family = size == 4 ? kFamilyIPv4 : kFamilyIPv6;
  std::memcpy(address.Bytes, bytes, size);
}

}  // namespace

bool DnsPacketOf(const uint8_t* packet, size_t size, DnsPacket& dns) {
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
    ReadAddress(packet + 12, 4, dns.Source);
    ReadAddress(packet + 16, 4, dns.Destination);
  } else if (version == 6) {
    if (size < 40) return false;
    const size_t total = 40 + size_t{Read16(packet + 4)};
    // Extension headers (a fragment header among them) are not followed.
    if (total > size) return false;
    protocol = packet[6];
    transport = 40;
    end = total;
    ReadAddress(packet + 8, 16, dns.Source);
    ReadAddress(packet + 24, 16, dns.Destination);
  } else {
    return false;
  }
  if (end - transport < 8) return false;
  dns.SourcePort = Read16(packet + transport);
  dns.DestinationPort = Read16(packet + transport + 2);
  if (dns.SourcePort != kDnsPort && dns.DestinationPort != kDnsPort) return false;
  if (protocol == kProtocolUdp) {
    const size_t udpLength = Read16(packet + transport + 4);
    if (udpLength < 8 || udpLength > end - transport) return false;
    dns.Tcp = false;
    dns.Message = packet + transport + 8;
    dns.Length = udpLength - 8;
    return true;
  }
  if (protocol != kProtocolTcp || end - transport < 20) return false;
  // Over TCP each message comes after its two-byte length. Only a segment
  // that starts with one and holds it whole is read: a message split over
  // segments, or the second of two in one, is not seen.
  const size_t tcpHeader = size_t{packet[transport + 12]} / 16 * 4;
  if (tcpHeader < 20 || tcpHeader > end - transport || end - transport - tcpHeader < 2) {
    return false;
  }
  const uint8_t* payload = packet + transport + tcpHeader;
  const size_t messageLength = Read16(payload);
  if (messageLength > end - transport - tcpHeader - 2) return false;
  dns.Tcp = true;
  dns.Message = payload + 2;
  dns.Length = messageLength;
  return true;
}

bool ReadDnsQuestion(const uint8_t* message, size_t length, DnsQuestion& question) {
  if (length < kHeaderSize) return false;
  const uint16_t flags = Read16(message + 2);
  const unsigned opcode = (flags >> 11) & 0x0F;
  if (opcode != 0 || Read16(message + 4) != 1) return false;
  question.Id = Read16(message);
  question.Response = (flags & 0x8000) != 0;
  question.Rcode = flags & 0x0F;
  question.Answers = Read16(message + 6);
  NameReader names(message, length);
  size_t at = kHeaderSize;
  if (!names.Read(at, length, question.Name, at) || length - at < 4) return false;
  question.Type = Read16(message + at);
  question.Class = Read16(message + at + 2);
  question.End = at + 4;
  return true;
}

bool ReadDnsAddresses(const uint8_t* message, size_t length, const DnsQuestion& question,
                      std::vector<DnsAddress>& addresses) {
  addresses.clear();
  size_t at = question.End;
  if (at < kHeaderSize || at > length) return false;
  // Each record holds at least 11 bytes: a larger count than the message
  // can hold is refused before any is read.
  if (question.Answers > (length - at) / 11) return false;
  NameReader names(message, length);
  std::vector<Record> records(question.Answers);
  for (Record& record : records) {
    if (!ReadRecord(names, message, length, at, record)) return false;
  }
  // The question's CNAME chain, one link at a time, each the first CNAME
  // of the name reached so far, wherever it stands; a link back to a name
  // of the chain ends it.
  std::vector<std::string> chain{question.Name};
  const auto inChain = [&chain](const std::string& name) {
    for (const std::string& one : chain) {
      if (one == name) return true;
    }
    return false;
  };
  for (size_t link = 0; link < kMaxCnameLinks; ++link) {
    const Record* cname = nullptr;
    for (const Record& record : records) {
      if (record.Type == kTypeCname && record.Class == kDnsClassIn &&
          record.Owner == chain.back()) {
        cname = &record;
        break;
      }
    }
    if (!cname) break;
    std::string target;
    size_t unused = 0;
    if (!names.Read(cname->Data, cname->Data + cname->DataLength, target, unused)) return false;
    if (inChain(target)) break;
    chain.push_back(std::move(target));
  }
  const size_t size = question.Type == kDnsTypeA ? 4 : question.Type == kDnsTypeAaaa ? 16 : 0;
  if (question.Class != kDnsClassIn || size == 0) return true;
  for (const Record& record : records) {
    if (addresses.size() == kMaxAnswerAddresses) break;
    if (record.Type != question.Type || record.Class != kDnsClassIn || record.DataLength != size ||
        !inChain(record.Owner)) {
      continue;
    }
    DnsAddress address;
    ReadAddress(message + record.Data, size, address.Address);
    address.Ttl = record.Ttl;
    addresses.push_back(address);
  }
  return true;
}

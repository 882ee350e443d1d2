// Packets as WinDivert's network layer hands them over (IPv4 or IPv6, UDP
// or TCP around a DNS message), several in a row with time passing between
// them: the message found in each, and the questions remembered and
// answered, held against a plain model of what the question table
// documents. Input: records of [time step][length, 2 bytes][packet].
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dns_oracle.h"
#include "fuzz_check.h"
#include "split/dns_answer.h"
#include "split/dns_questions.h"

namespace {

uint16_t At16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// Where the message lies, as the packet's own headers say it.
void CheckPacket(const uint8_t* packet, size_t size, const DnsPacket& dns) {
  const uint8_t* end = packet + size;
  FUZZ_CHECK(dns.Message >= packet && dns.Message <= end && dns.Length <= size_t(end - dns.Message),
             "the message is not inside the packet");
  FUZZ_CHECK(dns.SourcePort == kDnsPort || dns.DestinationPort == kDnsPort, "neither port is 53");
  const unsigned version = packet[0] >> 4;
  size_t header = 0, total = 0;
  uint8_t protocol = 0;
  if (version == 4) {
    header = size_t{packet[0] & 0xFu} * 4;
    total = At16(packet + 2);
    protocol = packet[9];
    FUZZ_CHECK(dns.Source.IsIPv4() && dns.Destination.IsIPv4() &&
                   std::memcmp(dns.Source.Bytes, packet + 12, 4) == 0 &&
                   std::memcmp(dns.Destination.Bytes, packet + 16, 4) == 0,
               "IPv4 addresses read otherwise");
    FUZZ_CHECK((At16(packet + 6) & 0x3FFF) == 0, "a fragment was read");
  } else {
    FUZZ_CHECK(version == 6, "neither IPv4 nor IPv6");
    header = 40;
    total = 40 + size_t{At16(packet + 4)};
    protocol = packet[6];
    FUZZ_CHECK(dns.Source.IsIPv6() && dns.Destination.IsIPv6() &&
                   std::memcmp(dns.Source.Bytes, packet + 8, 16) == 0 &&
                   std::memcmp(dns.Destination.Bytes, packet + 24, 16) == 0,
               "IPv6 addresses read otherwise");
  }
  FUZZ_CHECK(header >= 20 && total <= size && dns.Message + dns.Length <= packet + total,
             "the message runs past the packet's own length");
  const uint8_t* transport = packet + header;
  FUZZ_CHECK(dns.SourcePort == At16(transport) && dns.DestinationPort == At16(transport + 2),
             "ports read otherwise");
  if (protocol == 17) {
    FUZZ_CHECK(!dns.Tcp && dns.Message == transport + 8 && dns.Length + 8 == At16(transport + 4),
               "a UDP message not where its header puts it");
  } else {
    FUZZ_CHECK(protocol == 6 && dns.Tcp, "neither UDP nor TCP");
    FUZZ_CHECK(dns.Message == transport + size_t{transport[12]} / 16 * 4 + 2 &&
                   At16(dns.Message - 2) == dns.Length,
               "a TCP message not after its length at the segment's start");
  }
}

// The question table as its header documents it, kept the plain way: the
// questions in the order last asked, each until its life is up, the oldest
// forgotten first at capacity; an answer matches one exactly, once.
struct ModelEntry {
  uint16_t Family;
  uint8_t Local[16];
  uint16_t LocalPort;
  uint8_t Server[16];
  uint16_t Id;
  bool Tcp;
  std::string Name;
  uint16_t Type, Class;
  uint64_t Until;
  bool Same(const ModelEntry& other) const {
    return Family == other.Family && LocalPort == other.LocalPort && Id == other.Id &&
           Tcp == other.Tcp && std::memcmp(Local, other.Local, 16) == 0 &&
           std::memcmp(Server, other.Server, 16) == 0;
  }
};

constexpr size_t kCapacity = 4;
constexpr uint64_t kLifeMs = 1000;

class Model {
 public:
  bool Remember(const DnsPacket& packet, const DnsQuestion& question, uint64_t now) {
    if (question.Response || packet.DestinationPort != kDnsPort || !SameFamily(packet))
      return false;
    Expire(now);
    ModelEntry entry =
        Entry(packet.Source, packet.SourcePort, packet.Destination, question, packet.Tcp);
    entry.Until = now + kLifeMs;
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].Same(entry)) {
        entries_.erase(entries_.begin() + static_cast<long>(i));
        entries_.push_back(entry);
        return true;
      }
    }
    if (entries_.size() >= kCapacity) entries_.erase(entries_.begin());
    entries_.push_back(entry);
    return true;
  }
  bool Answer(const DnsPacket& packet, const DnsQuestion& response, uint64_t now) {
    if (!response.Response || packet.SourcePort != kDnsPort || !SameFamily(packet)) return false;
    Expire(now);
    const ModelEntry key =
        Entry(packet.Destination, packet.DestinationPort, packet.Source, response, packet.Tcp);
    for (size_t i = 0; i < entries_.size(); ++i) {
      const ModelEntry& asked = entries_[i];
      if (!asked.Same(key)) continue;
      if (asked.Name != key.Name || asked.Type != key.Type || asked.Class != key.Class)
        return false;
      entries_.erase(entries_.begin() + static_cast<long>(i));
      return true;
    }
    return false;
  }
  size_t Size() const { return entries_.size(); }

 private:
  static bool SameFamily(const DnsPacket& packet) {
    return packet.Source.Family != 0 && packet.Source.Family == packet.Destination.Family;
  }
  static ModelEntry Entry(const IpAddress& local, uint16_t localPort, const IpAddress& server,
                          const DnsQuestion& question, bool tcp) {
    ModelEntry entry{};
    entry.Family = local.Family;
    std::memcpy(entry.Local, local.Bytes, 16);
    std::memcpy(entry.Server, server.Bytes, 16);
    entry.LocalPort = localPort;
    entry.Id = question.Id;
    entry.Tcp = tcp;
    entry.Name = question.Name;
    entry.Type = question.Type;
    entry.Class = question.Class;
    return entry;
  }
  void Expire(uint64_t now) {
    std::vector<ModelEntry> kept;
    for (const ModelEntry& entry : entries_) {
      if (entry.Until > now) kept.push_back(entry);
    }
    entries_ = std::move(kept);
  }
  std::vector<ModelEntry> entries_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DnsQuestionTable table(kCapacity, kLifeMs);
  Model model;
  uint64_t now = 0;
  while (size >= 3) {
    now += uint64_t{data[0]} * 20;
    const size_t length = std::min<size_t>(At16(data + 1), size - 3);
    // A copy of its own, so that a read past the packet is a read past an
    // allocation.
    const std::vector<uint8_t> packet(data + 3, data + 3 + length);
    data += 3 + length;
    size -= 3 + length;
    DnsPacket dns;
    if (!DnsPacketOf(packet.data(), packet.size(), dns)) continue;
    CheckPacket(packet.data(), packet.size(), dns);
    CheckDnsMessage(dns.Message, dns.Length);
    DnsQuestion question;
    if (!ReadDnsQuestion(dns.Message, dns.Length, question)) continue;
    if (question.Response) {
      const bool matched = table.Answer(dns, question, now);
      FUZZ_CHECK(matched == model.Answer(dns, question, now),
                 std::string("an answer ") + (matched ? "matched" : "did not match") +
                     " against the model, for " + question.Name);
    } else {
      const bool remembered = table.Remember(dns, question, now);
      FUZZ_CHECK(remembered == model.Remember(dns, question, now),
                 "a question remembered otherwise than the model");
    }
    FUZZ_CHECK(table.Size() == model.Size() && table.Size() <= kCapacity,
               "the table holds " + std::to_string(table.Size()) + " questions, the model " +
                   std::to_string(model.Size()));
  }
  return 0;
}

#include "split/dns_questions.h"

#include <cstring>
#include <utility>

bool DnsQuestionTable::Key::operator==(const Key& other) const {
  return Family == other.Family && LocalPort == other.LocalPort && Id == other.Id &&
         Tcp == other.Tcp && std::memcmp(Local, other.Local, sizeof(Local)) == 0 &&
         std::memcmp(Server, other.Server, sizeof(Server)) == 0;
}

size_t DnsQuestionTable::KeyHash::operator()(const Key& key) const {
  uint64_t hash = 1469598103934665603ull;
  const auto mix = [&hash](const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  };
  mix(key.Local, sizeof(key.Local));
  mix(key.Server, sizeof(key.Server));
  const uint8_t rest[] = {
      static_cast<uint8_t>(key.LocalPort >> 8), static_cast<uint8_t>(key.LocalPort),
      static_cast<uint8_t>(key.Id >> 8),        static_cast<uint8_t>(key.Id),
      static_cast<uint8_t>(key.Family),         static_cast<uint8_t>(key.Tcp)};
  mix(rest, sizeof(rest));
  return static_cast<size_t>(hash ^ (hash >> 32));
}

DnsQuestionTable::DnsQuestionTable(size_t capacity, uint64_t lifeMs)
    : capacity_(capacity == 0 ? 1 : capacity), lifeMs_(lifeMs) {}

namespace {

// Local is this machine's end of the exchange, Server the other.
template <typename Key>
Key KeyOf(const IpAddress& local, uint16_t localPort, const IpAddress& server, uint16_t id,
          bool tcp) {
  Key key;
  key.Family = local.Family;
  std::memcpy(key.Local, local.Bytes, sizeof(key.Local));
  std::memcpy(key.Server, server.Bytes, sizeof(key.Server));
  key.LocalPort = localPort;
  key.Id = id;
  key.Tcp = tcp;
  return key;
}

bool SameFamily(const DnsPacket& packet) {
  return packet.Source.Family != 0 && packet.Source.Family == packet.Destination.Family;
}

}  // namespace

bool DnsQuestionTable::Remember(const DnsPacket& packet, const DnsQuestion& question,
                                uint64_t nowMs) {
  if (question.Response || packet.DestinationPort != kDnsPort || !SameFamily(packet)) return false;
  Expire(nowMs);
  const Key key =
      KeyOf<Key>(packet.Source, packet.SourcePort, packet.Destination, question.Id, packet.Tcp);
  auto found = entries_.find(key);
  if (found == entries_.end()) {
    while (entries_.size() >= capacity_ && !order_.empty()) {
      const auto [serial, oldest] = order_.front();
      order_.pop_front();
      const auto entry = entries_.find(oldest);
      if (entry != entries_.end() && entry->second.Serial == serial) entries_.erase(entry);
    }
    found = entries_.emplace(key, Entry{}).first;
  }
  Entry& entry = found->second;
  entry.Name = question.Name;
  entry.Type = question.Type;
  entry.Class = question.Class;
  entry.Until = nowMs + lifeMs_;
  entry.Serial = ++serial_;
  order_.emplace_back(entry.Serial, key);
  Compact();
  return true;
}

bool DnsQuestionTable::Answer(const DnsPacket& packet, const DnsQuestion& response,
                              uint64_t nowMs) {
  if (!response.Response || packet.SourcePort != kDnsPort || !SameFamily(packet)) return false;
  Expire(nowMs);
  const auto found = entries_.find(KeyOf<Key>(packet.Destination, packet.DestinationPort,
                                              packet.Source, response.Id, packet.Tcp));
  if (found == entries_.end()) return false;
  const Entry& asked = found->second;
  if (asked.Name != response.Name || asked.Type != response.Type || asked.Class != response.Class) {
    return false;
  }
  entries_.erase(found);  // its place in `order_` is stale now
  return true;
}

void DnsQuestionTable::Expire(uint64_t nowMs) {
  while (!order_.empty()) {
    const auto& [serial, key] = order_.front();
    const auto entry = entries_.find(key);
    const bool stale = entry == entries_.end() || entry->second.Serial != serial;
    if (!stale) {
      if (entry->second.Until > nowMs) return;
      entries_.erase(entry);
    }
    order_.pop_front();
  }
}

// A question asked again and again within its life leaves a stale place
// behind each time: past a few times the capacity, the order is rebuilt
// from the entries, so its size stays bounded however questions come.
void DnsQuestionTable::Compact() {
  if (order_.size() <= 4 * capacity_) return;
  std::deque<std::pair<uint64_t, Key>> live;
  for (const auto& [serial, key] : order_) {
    const auto entry = entries_.find(key);
    if (entry != entries_.end() && entry->second.Serial == serial) live.emplace_back(serial, key);
  }
  order_ = std::move(live);
}

bool AnswerMayRoute(const DnsPacket& packet, const DnsQuestion& response) {
  if (response.Rcode != 0) return false;
  const uint8_t* to = packet.Destination.Bytes;
  if (packet.Destination.IsIPv4()) {
    const bool broadcast = to[0] == 255 && to[1] == 255 && to[2] == 255 && to[3] == 255;
    const bool multicast = (to[0] & 0xF0) == 0xE0;
    return !broadcast && !multicast && !packet.Destination.IsUnspecified();
  }
  return packet.Destination.IsIPv6() && to[0] != 0xFF && !packet.Destination.IsUnspecified();
}

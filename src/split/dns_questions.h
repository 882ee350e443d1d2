#pragma once
// The DNS questions this machine has asked, remembered for as long as a
// resolver waits for their answers, so that only the answer to one of them
// may bring routes: from the server asked and its port 53, to the address
// and port that asked, with the same id, name, type and class, and only
// once. Anything else that arrives from port 53 (a forged or unsolicited
// answer, one for another port or id, a second copy) brings nothing.
// Includes no platform header: it builds natively for fuzzing.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

#include "split/dns_answer.h"

class DnsQuestionTable {
 public:
  // A resolver's patience: Windows' own client gives up on a question
  // after about 10 seconds.
  static constexpr uint64_t kDefaultLifeMs = 10000;
  static constexpr size_t kDefaultCapacity = 1024;

  explicit DnsQuestionTable(size_t capacity = kDefaultCapacity, uint64_t lifeMs = kDefaultLifeMs);

  // An outbound packet to port 53 holding a question (not a response):
  // remembered until `nowMs` + the table's life, or until its answer comes.
  // The same question asked again from the same port with the same id is
  // remembered once, from the later time. At capacity the oldest is
  // forgotten first. False (nothing remembered) for anything else.
  bool Remember(const DnsPacket& packet, const DnsQuestion& question, uint64_t nowMs);

  // An inbound packet from port 53 holding a response: true when it
  // answers a question remembered and not yet answered, exactly, in which
  // case that question is forgotten (a second answer to it matches
  // nothing). Costs the same however many questions are remembered.
  bool Answer(const DnsPacket& packet, const DnsQuestion& response, uint64_t nowMs);

  size_t Size() const { return entries_.size(); }

 private:
  struct Key {
    uint8_t Local[16] = {};
    uint8_t Server[16] = {};
    uint16_t Family = 0;
    uint16_t LocalPort = 0;
    uint16_t Id = 0;
    bool Tcp = false;
    bool operator==(const Key& other) const;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const;
  };
  struct Entry {
    std::string Name;
    uint16_t Type = 0;
    uint16_t Class = 0;
    uint64_t Until = 0;
    uint64_t Serial = 0;  // tells this entry's place in `order_` from a stale one
  };

  // Forgets what has expired, and what lies stale at the front of `order_`.
  void Expire(uint64_t nowMs);
  void Compact();

  size_t capacity_;
  uint64_t lifeMs_;
  uint64_t serial_ = 0;
  std::unordered_map<Key, Entry, KeyHash> entries_;
  // Every entry's key in the order remembered, oldest first; a key whose
  // serial no longer matches its entry's (answered, or asked again) is
  // stale and skipped.
  std::deque<std::pair<uint64_t, Key>> order_;
};

// Whether an answer that matched its question may bring routes: its
// response code is NOERROR, and it was sent to a unicast address (never a
// broadcast or multicast one, which every host of a network receives).
bool AnswerMayRoute(const DnsPacket& packet, const DnsQuestion& response);

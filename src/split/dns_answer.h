#pragma once
// DNS messages as they cross the network: the IP and UDP or TCP headers
// around them, the header and question, and the addresses an answer gives
// for its question. Every byte comes from whoever can send a packet to this
// machine, so the reading trusts nothing: each length is checked against
// the packet, name compression may only point backward, a name follows at
// most a few pointers, and a whole message costs work in proportion to its
// length however its pointers are laid. A packet that is not read is simply
// passed on. Includes no platform header: it builds natively for fuzzing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/address.h"

constexpr uint16_t kDnsPort = 53;
constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeAaaa = 28;
constexpr uint16_t kDnsClassIn = 1;
// An answer gives at most this many addresses: a resolver's answer names a
// handful; thousands in one datagram are a flood.
constexpr size_t kMaxAnswerAddresses = 32;

struct DnsAddress {
  IpAddress Address;
  uint32_t Ttl = 0;  // seconds, as the answer gave it (a top bit set reads as 0)
};

// A DNS message inside a packet, with the packet's ends.
struct DnsPacket {
  IpAddress Source;
  IpAddress Destination;
  uint16_t SourcePort = 0;
  uint16_t DestinationPort = 0;
  bool Tcp = false;
  const uint8_t* Message = nullptr;  // inside the packet
  size_t Length = 0;
};

// The DNS message of a UDP datagram or TCP segment from or to port 53
// inside an IPv4 or IPv6 packet (the bytes WinDivert's network layer hands
// over): a segment only when it starts with the message's length and holds
// it whole. False when the packet is anything else, a fragment, carries
// IPv6 extension headers, or is shorter than its headers say.
bool DnsPacketOf(const uint8_t* packet, size_t size, DnsPacket& dns);

// A message's header and its one question.
struct DnsQuestion {
  uint16_t Id = 0;
  bool Response = false;  // the QR bit
  unsigned Rcode = 0;     // 0 NOERROR, 3 NXDOMAIN, ...
  // ASCII lower case, labels joined with ".", no trailing dot.
  std::string Name;
  uint16_t Type = 0;
  uint16_t Class = 0;
  unsigned Answers = 0;  // the answer section's count
  size_t End = 0;        // the first byte after the question
};

// A standard query (opcode 0) or its response with exactly one question:
// true and what it says, or false for anything else and for a header or
// question that does not read cleanly (a name past the end or over 255
// bytes, a pointer that does not point backward, a label that is not
// letters, digits, "-" or "_"). Reads nothing past the question.
bool ReadDnsQuestion(const uint8_t* message, size_t length, DnsQuestion& question);

// What a resolver takes from the answer section for `question` (read by
// ReadDnsQuestion from the same message): the records of the type asked (A
// for an A question, AAAA for an AAAA one; none for another type), of class
// IN, owned by the question's name or by a name its CNAME chain leads to
// (at most 16 links), in packet order, at most kMaxAnswerAddresses. False
// when the answer section does not read cleanly: a record past the end, a
// count larger than the message can hold, a name that follows more than 16
// pointers, or a message whose names together would cost more than a few
// times its length to read.
bool ReadDnsAddresses(const uint8_t* message, size_t length, const DnsQuestion& question,
                      std::vector<DnsAddress>& addresses);

#pragma once
// DNS responses as they arrive from the network: the IP and UDP headers
// around them, the question, and the addresses the answer gives for it.
// Every byte comes from whoever can send a packet to this machine, so the
// reading trusts nothing: each length is checked against the packet, name
// compression may only point backward, and a name longer than DNS allows
// ends the reading. A packet that is not read is simply passed on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/address.h"

struct DnsAddress {
  IpAddress Address;
  uint32_t Ttl = 0;  // seconds, as the answer gave it
};

struct DnsAnswer {
  // The question's name: ASCII lower case, labels joined with ".", no
  // trailing dot.
  std::string Name;
  // Every A and AAAA record of the answer section owned by the question's
  // name or by a name the CNAME records lead to from it, in packet order.
  std::vector<DnsAddress> Addresses;
};

// The DNS message of a UDP datagram or TCP segment from port 53 inside an
// IPv4 or IPv6 packet (the bytes WinDivert's network layer hands over): a
// segment only when it starts with the message's length and holds it
// whole. False when the packet is anything else, a fragment, or shorter
// than its headers say.
bool DnsPayloadOf(const uint8_t* packet, size_t size, const uint8_t*& message, size_t& length);

// A standard query's response with one question of class IN: true and the
// question and its addresses, or false for anything else and for any
// message that does not read cleanly (a record past the end, a count larger
// than the records, a pointer loop, a name over 255 bytes, a label that is
// not letters, digits, "-" or "_").
bool ReadDnsAnswer(const uint8_t* message, size_t length, DnsAnswer& answer);

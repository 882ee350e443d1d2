#pragma once
// DNS messages and the packets around them, built byte by byte the way
// resolvers and servers write them, for the tests of the DNS hold: its
// reader in-process, the WinDivert stand-in's network layer, and the real
// helper through the stand-in's feed.
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& out, unsigned value);
void Put32(Bytes& out, uint32_t value);
// "a.b.c" as labels; a name ending in "@N" ends with a pointer to offset N;
// "!" is a "." inside a label.
void PutName(Bytes& out, const std::string& name);

struct Rr {
  std::string owner;  // PutName's form
  unsigned type;
  uint32_t ttl;
  Bytes data;  // for a CNAME: the target in PutName's form, written by Response
  std::string target = "";
};

// A response to one question of class IN: header, question at offset 12.
// flags 0x8180: a response, recursion desired and available, NOERROR.
Bytes Response(const std::string& question, unsigned qtype, const std::vector<Rr>& answers,
               unsigned flags = 0x8180);
// The question a resolver asks for it (recursion desired).
Bytes Query(const std::string& question, unsigned qtype);
Bytes WithId(Bytes message, unsigned id);

// A response for `question` (type A), a TXT record whose data is a chain of
// `links` compression pointers, each to the one before (the first to the
// question's name), then `records` A records of 93.184.216.1, each owned by
// a pointer to the chain's end: an owner that follows `links` + 1 pointers
// to the question's name. Read without bounds, every owner follows the
// whole chain. (At most about 8,000 links: a pointer reaches 16 KiB.)
Bytes BackwardChains(const std::string& question, size_t links, size_t records);

Bytes V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// IPv6 text as 16 bytes.
Bytes V6(const char* text);

// One end of an exchange: an address (IPv4 or IPv6 text) and a port.
struct End {
  std::string address;
  unsigned port;
};
// The resolver's server and this machine's asking socket the tests use.
extern const End kServer;  // 192.0.2.53:53
extern const End kAsker;   // 10.0.0.2:50000

// A UDP datagram from one end to the other carrying `payload`, in an IPv4
// or IPv6 packet by the addresses' family; `fragment` is IPv4's
// flags-and-offset word, `protocol` the number its header gives. Checksums
// are left zero unless `checksums` (then the IPv4 header's and UDP's are
// right).
Bytes Udp(const End& from, const End& to, const Bytes& payload, unsigned fragment = 0x4000,
          unsigned protocol = 17, bool checksums = false);
// The same message as one TCP segment: a 20-byte header, then the message
// after its two-byte length, which `lengthExtra` makes larger than it is.
Bytes Tcp(const End& from, const End& to, const Bytes& dns, unsigned lengthExtra = 0);

// An answer from kServer to kAsker, and a question the other way.
inline Bytes Answer(const Bytes& dns) { return Udp(kServer, kAsker, dns); }
inline Bytes Asked(const Bytes& dns) { return Udp(kAsker, kServer, dns); }

// A feed line of the WinDivert stand-in's network layer: "packet in|out
// [if=N] <hex>".
std::string PacketLine(const char* direction, const Bytes& packet, unsigned interfaceIndex = 0);
// An inbound reply that arrives only once the question with DNS id
// `questionId` has left the machine, as a real one can only then:
// "packet in after=<id> <hex>".
std::string ReplyLine(const Bytes& packet, unsigned questionId);

// Reads a message as the hold does: "name: address/ttl ...", a name
// followed by " (query)" for a question, or "refused".
std::string Read(const Bytes& message);

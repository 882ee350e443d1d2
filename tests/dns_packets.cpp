#include "dns_packets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "split/dns_answer.h"
#include "support/address.h"
#include "support/text.h"

const End kServer = {"192.0.2.53", 53};
const End kAsker = {"10.0.0.2", 50000};

void Put16(Bytes& out, unsigned value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}
void Put32(Bytes& out, uint32_t value) {
  Put16(out, value >> 16);
  Put16(out, value & 0xFFFF);
}

void PutName(Bytes& out, const std::string& name) {
  std::string rest = name;
  int pointer = -1;
  if (const size_t at = rest.find('@'); at != std::string::npos) {
    pointer = std::stoi(rest.substr(at + 1));
    rest.resize(at);
  }
  size_t start = 0;
  while (start < rest.size()) {
    size_t dot = rest.find('.', start);
    if (dot == std::string::npos) dot = rest.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    for (size_t i = start; i < dot; ++i) out.push_back(rest[i] == '!' ? '.' : rest[i]);
    start = dot + 1;
  }
  if (pointer >= 0) {
    Put16(out, 0xC000 | pointer);
  } else {
    out.push_back(0);
  }
}

Bytes Response(const std::string& question, unsigned qtype, const std::vector<Rr>& answers,
               unsigned flags) {
  Bytes out;
  Put16(out, 0x1234);
  Put16(out, flags);
  Put16(out, 1);
  Put16(out, static_cast<unsigned>(answers.size()));
  Put16(out, 0);
  Put16(out, 0);
  PutName(out, question);
  Put16(out, qtype);
  Put16(out, 1);
  for (const Rr& rr : answers) {
    PutName(out, rr.owner);
    Put16(out, rr.type);
    Put16(out, 1);
    Put32(out, rr.ttl);
    Bytes data = rr.data;
    if (!rr.target.empty()) PutName(data, rr.target);
    Put16(out, static_cast<unsigned>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

Bytes Query(const std::string& question, unsigned qtype) {
  return Response(question, qtype, {}, 0x0100);
}

Bytes WithId(Bytes message, unsigned id) {
  message[0] = static_cast<uint8_t>(id >> 8);
  message[1] = static_cast<uint8_t>(id);
  return message;
}

Bytes BackwardChains(const std::string& question, size_t links, size_t records) {
  Bytes out = Response(question, 1, {});
  PutName(out, "@12");
  Put16(out, 16);
  Put16(out, 1);
  Put32(out, 60);
  Put16(out, static_cast<unsigned>(2 * links));
  size_t previous = 12;
  for (size_t i = 0; i < links; ++i) {
    const size_t at = out.size();
    Put16(out, 0xC000 | static_cast<unsigned>(previous));
    previous = at;
  }
  for (size_t i = 0; i < records; ++i) {
    Put16(out, 0xC000 | static_cast<unsigned>(previous));
    Put16(out, 1);
    Put16(out, 1);
    Put32(out, 60);
    Put16(out, 4);
    out.insert(out.end(), {93, 184, 216, 1});
  }
  out[6] = static_cast<uint8_t>((records + 1) >> 8);
  out[7] = static_cast<uint8_t>(records + 1);
  return out;
}

Bytes V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {a, b, c, d}; }

Bytes V6(const char* text) {
  IN6_ADDR address{};
  inet_pton(AF_INET6, text, &address);
  return Bytes(address.s6_addr, address.s6_addr + 16);
}

namespace {

Bytes AddressBytes(const std::string& text) {
  if (text.find(':') != std::string::npos) return V6(text.c_str());
  IN_ADDR address{};
  inet_pton(AF_INET, text.c_str(), &address);
  const auto* b = reinterpret_cast<const uint8_t*>(&address);
  return Bytes(b, b + 4);
}

uint16_t Checksum(const Bytes& bytes, size_t from, size_t size, uint32_t sum = 0) {
  for (size_t i = 0; i < size; i += 2) {
    sum += uint32_t{bytes[from + i]} << 8 | (i + 1 < size ? bytes[from + i + 1] : 0);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// The IP header for `transport` from one end to the other.
Bytes Ip(const End& from, const End& to, unsigned protocol, const Bytes& transport,
         unsigned fragment) {
  const Bytes source = AddressBytes(from.address), destination = AddressBytes(to.address);
  Bytes p;
  if (source.size() == 16) {
    p = {0x60, 0, 0, 0};
    Put16(p, static_cast<unsigned>(transport.size()));
    p.push_back(static_cast<uint8_t>(protocol));
    p.push_back(64);
  } else {
    p = {0x45, 0};
    Put16(p, static_cast<unsigned>(20 + transport.size()));
    p.insert(p.end(), {0, 0});
    Put16(p, fragment);
    p.insert(p.end(), {64, static_cast<uint8_t>(protocol), 0, 0});
  }
  p.insert(p.end(), source.begin(), source.end());
  p.insert(p.end(), destination.begin(), destination.end());
  p.insert(p.end(), transport.begin(), transport.end());
  return p;
}

}  // namespace

Bytes Udp(const End& from, const End& to, const Bytes& payload, unsigned fragment,
          unsigned protocol, bool checksums) {
  Bytes udp;
  Put16(udp, from.port);
  Put16(udp, to.port);
  Put16(udp, static_cast<unsigned>(8 + payload.size()));
  Put16(udp, 0);
  udp.insert(udp.end(), payload.begin(), payload.end());
  Bytes p = Ip(from, to, protocol, udp, fragment);
  if (checksums) {
    const bool six = (p[0] >> 4) == 6;
    const size_t header = six ? 40 : 20, address = six ? 8 : 12, size = six ? 16 : 4;
    uint32_t pseudo = 17 + static_cast<uint32_t>(udp.size());
    for (size_t i = 0; i < 2 * size; i += 2)
      pseudo += uint32_t{p[address + i]} << 8 | p[address + i + 1];
    uint16_t sum = Checksum(p, header, udp.size(), pseudo);
    if (sum == 0) sum = 0xFFFF;
    p[header + 6] = static_cast<uint8_t>(sum >> 8);
    p[header + 7] = static_cast<uint8_t>(sum);
    if (!six) {
      const uint16_t ip = Checksum(p, 0, 20);
      p[10] = static_cast<uint8_t>(ip >> 8);
      p[11] = static_cast<uint8_t>(ip);
    }
  }
  return p;
}

Bytes Tcp(const End& from, const End& to, const Bytes& dns, unsigned lengthExtra) {
  Bytes tcp;
  Put16(tcp, from.port);
  Put16(tcp, to.port);
  tcp.insert(tcp.end(), {0, 0, 0, 1, 0, 0, 0, 1, 0x50, 0x18, 0xFF, 0xFF, 0, 0, 0, 0});
  Put16(tcp, static_cast<unsigned>(dns.size() + lengthExtra));
  tcp.insert(tcp.end(), dns.begin(), dns.end());
  return Ip(from, to, 6, tcp, 0x4000);
}

std::string PacketLine(const char* direction, const Bytes& packet, unsigned interfaceIndex) {
  std::string line = std::string("packet ") + direction + " ";
  if (interfaceIndex != 0) line += "if=" + std::to_string(interfaceIndex) + " ";
  for (const uint8_t byte : packet) {
    static const char kHex[] = "0123456789abcdef";
    line += kHex[byte >> 4];
    line += kHex[byte & 15];
  }
  return line + "\n";
}

std::string ReplyLine(const Bytes& packet, unsigned questionId) {
  char after[16];
  snprintf(after, sizeof(after), "after=%04x ", questionId & 0xFFFF);
  return "packet in " + std::string(after) + PacketLine("in", packet).substr(10);
}

std::string Read(const Bytes& message) {
  DnsQuestion question;
  std::vector<DnsAddress> addresses;
  if (!ReadDnsQuestion(message.data(), message.size(), question) ||
      !ReadDnsAddresses(message.data(), message.size(), question, addresses)) {
    return "refused";
  }
  std::string text = question.Name + (question.Response ? ":" : " (query):");
  for (const DnsAddress& address : addresses) {
    text += " " + WideToUtf8(FormatAddress(address.Address)) + "/" + std::to_string(address.Ttl);
  }
  return text;
}

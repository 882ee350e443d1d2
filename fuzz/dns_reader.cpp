// The helper's side of the DNS differential (dns_differential.py): for
// each message (one per line, in hex) on standard input, one line out:
// "refused", or "taken" and the addresses the helper would route for the
// question (none unless the answer may route), in the order read.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "split/dns_answer.h"
#include "split/dns_questions.h"
#include "support/text.h"

int main() {
  std::string hex;
  while (std::getline(std::cin, hex)) {
    std::vector<uint8_t> message;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      message.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    DnsQuestion question;
    std::vector<DnsAddress> addresses;
    if (!ReadDnsQuestion(message.data(), message.size(), question) || !question.Response ||
        !ReadDnsAddresses(message.data(), message.size(), question, addresses)) {
      std::cout << "refused\n";
      continue;
    }
    DnsPacket packet;  // from a server to this machine's unicast address
    packet.Source = IpAddress::FromIPv4(0x0102A8C0);
    packet.Destination = IpAddress::FromIPv4(0x0A02A8C0);
    packet.SourcePort = kDnsPort;
    std::cout << "taken";
    if (AnswerMayRoute(packet, question)) {
      for (const DnsAddress& address : addresses) {
        std::cout << ' ' << WideToUtf8(FormatAddress(address.Address));
      }
    }
    std::cout << '\n';
  }
  return 0;
}

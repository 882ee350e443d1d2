// DNS messages as the network delivers them, built here byte by byte the
// way servers write them (compression pointers, CNAME chains, several
// answers), then broken the ways an attacker would: the reading must give
// exactly what a resolver would take for the question, or refuse, and never
// crash, loop or take long. Then the rules that decide whether an answer
// may bring routes: the questions remembered, and the addresses allowed.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dns_packets.h"
#include "split/bypass_domains.h"
#include "split/dns_answer.h"
#include "split/dns_filter.h"
#include "split/dns_questions.h"
#include "split/address_scope.h"
#include "support/address.h"
#include "support/text.h"

namespace {

// The question's name starts at 12; "bank.com" there puts "com" at 17.
constexpr int kQuestion = 12;

// A message whose answer section holds `count` records, each an A record
// owned by a pointer to `owner` written right after the question.
Bytes ManyOwnedBy(const std::string& question, const std::string& owner, size_t count) {
  Bytes out = Response(question, 1, {});
  out[6] = static_cast<uint8_t>(count >> 8);
  out[7] = static_cast<uint8_t>(count);
  const size_t at = out.size();
  PutName(out, owner);
  // The first record owns the name in place, the rest point at it.
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) Put16(out, 0xC000 | static_cast<unsigned>(at));
    Put16(out, 1);
    Put16(out, 1);
    Put32(out, 60);
    Put16(out, 4);
    out.insert(out.end(), {93, 184, 216, static_cast<uint8_t>(i)});
  }
  return out;
}

}  // namespace

TEST(DnsAnswers, GiveTheQuestionsAddressesThroughItsCnameChain) {
  Bytes six = V6("2001::5");
  const std::string q = "@" + std::to_string(kQuestion);
  const struct {
    const char* what;
    Bytes message;
    std::string expected;
  } cases[] = {
      {"one address", Response("bank.com", 1, {{q, 1, 300, V4(1, 2, 3, 4)}}), "bank.com: 1.2.3.4/300"},
      {"case folded",
       Response("WwW.Bank.COM", 1, {{"www.BANK.com", 1, 60, V4(1, 2, 3, 4)}}),
       "www.bank.com: 1.2.3.4/60"},
      {"an AAAA question takes only AAAA records",
       Response("bank.com", 28,
                {{q, 1, 10, V4(1, 1, 1, 1)}, {q, 28, 20, six}, {q, 1, 30, V4(2, 2, 2, 2)}}),
       "bank.com: 2001::5/20"},
      {"an A question takes only A records",
       Response("bank.com", 1,
                {{q, 28, 10, six}, {q, 1, 20, V4(1, 1, 1, 1)}, {q, 1, 30, V4(2, 2, 2, 2)}}),
       "bank.com: 1.1.1.1/20 2.2.2.2/30"},
      {"another question type takes no address",
       Response("bank.com", 65, {{q, 1, 10, V4(1, 1, 1, 1)}, {q, 28, 20, six}}), "bank.com:"},
      {"a CNAME chain, compressed, with an unrelated record",
       Response("www.bank.com", 1,
                {{q, 5, 300, {}, "edge.cdn.net"},
                 {"other.org", 1, 300, V4(9, 9, 9, 9)},
                 {"edge.cdn.net", 5, 300, {}, "a1.cdn.net"},
                 {"a1.cdn.net", 1, 20, V4(5, 6, 7, 8)}}),
       "www.bank.com: 5.6.7.8/20"},
      {"a chain given backward", Response("bank.com", 1,
                                          {{"b.net", 1, 5, V4(7, 7, 7, 7)},
                                           {"a.net", 5, 5, {}, "b.net"},
                                           {q, 5, 5, {}, "a.net"}}),
       "bank.com: 7.7.7.7/5"},
      {"only the first CNAME of a name is the chain",
       Response("bank.com", 1,
                {{q, 5, 5, {}, "a.net"},
                 {q, 5, 5, {}, "b.net"},
                 {"b.net", 1, 5, V4(8, 8, 8, 8)},
                 {"a.net", 1, 5, V4(7, 7, 7, 7)}}),
       "bank.com: 7.7.7.7/5"},
      {"a CNAME loop ends", Response("bank.com", 1,
                                     {{q, 5, 5, {}, "a.net"}, {"a.net", 5, 5, {}, "bank.com"}}),
       "bank.com:"},
      {"no answers (NXDOMAIN)", Response("bank.com", 1, {}, 0x8183), "bank.com:"},
      {"a TTL with its top bit set is zero",
       Response("bank.com", 1, {{q, 1, 0x80000010u, V4(1, 2, 3, 4)}}), "bank.com: 1.2.3.4/0"},
      {"a TTL of 2^31-1 is read as it is (the route's life caps it)",
       Response("bank.com", 1, {{q, 1, 0x7FFFFFFFu, V4(1, 2, 3, 4)}}),
       "bank.com: 1.2.3.4/2147483647"},
      {"an A record of the wrong size is not an address",
       Response("bank.com", 1, {{q, 1, 5, {1, 2, 3}}, {q, 1, 5, V4(4, 3, 2, 1)}}),
       "bank.com: 4.3.2.1/5"},
      {"a query is read as one", Query("bank.com", 1), "bank.com (query):"},
      {"another opcode", Response("bank.com", 1, {}, 0x8980), "refused"},
      {"a pointer to itself", Response("bank.com", 1, {{"@26", 1, 5, V4(1, 2, 3, 4)}}), "refused"},
      {"a pointer forward", Response("a@40", 1, {}), "refused"},
      // The owner at 26 points to 28, where the record's type reads as a
      // pointer back to 26.
      {"two pointers at each other", Response("bank.com", 1, {{"@28", 0xC01A, 5, {}}}),
       "refused"},
      {"a dot inside a label",
       Response("bank.com", 1, {{"x!bank.com", 1, 5, V4(1, 2, 3, 4)}}), "refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Read(c.message), c.expected);
  }
}

TEST(DnsAnswers, MalformedMessagesAreRefused) {
  const Bytes good = Response("bank.com", 1, {{"@12", 1, 300, V4(1, 2, 3, 4)}});
  ASSERT_EQ(Read(good), "bank.com: 1.2.3.4/300");
  // Every truncation of a good message is refused.
  for (size_t size = 0; size < good.size(); ++size) {
    SCOPED_TRACE(size);
    EXPECT_EQ(Read(Bytes(good.begin(), good.begin() + size)), "refused");
  }
  Bytes more = good;
  more[7] = 200;  // 200 answers claimed, one present
  EXPECT_EQ(Read(more), "refused");
  Bytes two = good;
  two[5] = 2;  // two questions
  EXPECT_EQ(Read(two), "refused");
  // Names of 255 bytes on the wire (the most DNS allows) and of 256.
  const std::string three = std::string(63, 'a') + "." + std::string(63, 'a') + "." +
                            std::string(63, 'a') + ".";
  EXPECT_NE(Read(Response(three + std::string(61, 'b'), 1, {})), "refused");
  EXPECT_EQ(Read(Response(three + std::string(62, 'b'), 1, {})), "refused");
  // A 0x40 label kind.
  Bytes extended = good;
  extended[12] = 0x44;
  EXPECT_EQ(Read(extended), "refused");
}

// However its pointers are laid, a message costs work in proportion to its
// length: a name follows at most 16 pointers, and names that expand far
// beyond the bytes they take exhaust the message's budget; at most 32
// addresses are taken from one answer.
TEST(DnsAnswers, ReadingCostsWorkInProportionToTheMessage) {
  EXPECT_EQ(Read(BackwardChains("bank.com", 15, 1)), "bank.com: 93.184.216.1/60");
  EXPECT_EQ(Read(BackwardChains("bank.com", 16, 1)), "refused");

  // 3,000 records, each owned by a pointer to a short name: read (the most
  // a real answer does); each owned by a pointer to a name of 250 bytes,
  // which costs some 20 times the record's bytes: refused.
  const std::string shortName = "www.bank.com";
  std::string longName;
  while (longName.size() < 240) longName += "abcdefghi.";
  longName += "bank.com";
  const std::string read = Read(ManyOwnedBy(shortName, shortName, 3000));
  EXPECT_EQ(read.rfind("www.bank.com: 93.184.216.0/60 93.184.216.1/60", 0), 0u) << read;
  EXPECT_EQ(Read(ManyOwnedBy(longName, longName, 3000)), "refused");

  // At most 32 addresses of an answer that gives 40.
  std::vector<Rr> forty;
  for (uint8_t i = 0; i < 40; ++i) forty.push_back({"@12", 1, 60, V4(93, 184, 216, i)});
  DnsQuestion question;
  std::vector<DnsAddress> addresses;
  const Bytes message = Response("bank.com", 1, forty);
  ASSERT_TRUE(ReadDnsQuestion(message.data(), message.size(), question));
  ASSERT_TRUE(ReadDnsAddresses(message.data(), message.size(), question, addresses));
  ASSERT_EQ(addresses.size(), kMaxAnswerAddresses);
  EXPECT_EQ(addresses.back().Address.Bytes[3], kMaxAnswerAddresses - 1);

  // A chain of 8,000 pointers (about all a 14-bit offset reaches), each to
  // the one before, in a record's data, and 3,000 records owned by its end:
  // each owner would follow every pointer of the chain.
  EXPECT_EQ(Read(BackwardChains("bank.com", 8000, 3000)), "refused");
}

TEST(DnsAnswers, PacketsGiveTheirUdpOrTcpMessageOnlyToOrFromPort53) {
  const Bytes dns = Response("bank.com", 1, {});
  const auto payload = [](const Bytes& p) -> std::string {
    DnsPacket packet;
    if (!DnsPacketOf(p.data(), p.size(), packet)) return "none";
    return WideToUtf8(FormatAddress(packet.Source)) + ":" + std::to_string(packet.SourcePort) +
           " > " + WideToUtf8(FormatAddress(packet.Destination)) + ":" +
           std::to_string(packet.DestinationPort) + (packet.Tcp ? " tcp " : " udp ") +
           Read(Bytes(packet.Message, packet.Message + packet.Length));
  };
  const End from53 = kServer, from80 = {"192.0.2.53", 80};
  EXPECT_EQ(payload(Udp(from53, kAsker, dns, 0)), "192.0.2.53:53 > 10.0.0.2:50000 udp bank.com:");
  EXPECT_EQ(payload(Udp(from53, kAsker, dns)), "192.0.2.53:53 > 10.0.0.2:50000 udp bank.com:");
  EXPECT_EQ(payload(Udp(kAsker, from53, Query("bank.com", 1))),
            "10.0.0.2:50000 > 192.0.2.53:53 udp bank.com (query):");
  EXPECT_EQ(payload(Udp(from80, kAsker, dns)), "none");
  EXPECT_EQ(payload(Udp(from53, kAsker, dns, 0, 6)), "none");  // a UDP header where TCP's should be
  EXPECT_EQ(payload(Tcp(from53, kAsker, dns)), "192.0.2.53:53 > 10.0.0.2:50000 tcp bank.com:");
  EXPECT_EQ(payload(Tcp({"192.0.2.53", 443}, kAsker, dns)), "none");
  EXPECT_EQ(payload(Tcp(from53, kAsker, dns, 1)), "none");  // the rest in a later segment
  Bytes tcpShortHeader = Tcp(from53, kAsker, dns);
  tcpShortHeader[32] = 0x40;  // a TCP header of 16 bytes
  EXPECT_EQ(payload(tcpShortHeader), "none");
  EXPECT_EQ(payload(Udp(from53, kAsker, dns, 0x2000)), "none");  // more fragments
  EXPECT_EQ(payload(Udp(from53, kAsker, dns, 0x0010)), "none");  // a later fragment
  Bytes shorter = Udp(from53, kAsker, dns);
  shorter.resize(shorter.size() - 1);  // the packet shorter than its header says
  EXPECT_EQ(payload(shorter), "none");

  Bytes v6 = Udp({"2001:db8::53", 53}, {"2001:db8::2", 50000}, dns);
  EXPECT_EQ(payload(v6), "2001:db8::53:53 > 2001:db8::2:50000 udp bank.com:");
  v6[6] = 44;  // a fragment header first
  EXPECT_EQ(payload(v6), "none");
}

// Random bytes and good messages with bytes changed, cut or repeated: every
// one either is refused or reads as a name DNS allows with no more
// addresses than one answer may give.
TEST(DnsAnswers, HundredThousandRandomAndMutatedPacketsAreReadSafely) {
  std::mt19937 random(20261209);
  const std::vector<Bytes> seeds = {
      Response("www.bank.com", 1,
               {{"@12", 5, 300, {}, "edge.cdn.net"}, {"edge.cdn.net", 1, 20, V4(5, 6, 7, 8)}}),
      Response("bank.com", 28, {{"@12", 1, 1, V4(1, 1, 1, 1)}, {"@12", 28, 2, Bytes(16, 1)}}),
      BackwardChains("bank.com", 5, 2),
  };
  size_t read = 0;
  for (int i = 0; i < 100000; ++i) {
    Bytes message;
    if (i % 4 == 0) {
      message.resize(random() % 600);
      for (uint8_t& byte : message) byte = static_cast<uint8_t>(random());
    } else {
      message = seeds[random() % seeds.size()];
      for (int changes = 1 + random() % 6; changes > 0; --changes) {
        const size_t at = random() % message.size();
        switch (random() % 4) {
          case 0: message[at] = static_cast<uint8_t>(random()); break;
          case 1: message[at] = static_cast<uint8_t>(0xC0 | (random() % 4)); break;
          case 2: message.resize(at + 1); break;
          default: message.insert(message.begin() + at, message.begin(), message.begin() + at);
        }
      }
    }
    // Every other one inside a UDP or TCP packet whose header bytes are
    // changed too: the message found must lie inside the packet.
    if (i % 2 == 1) {
      Bytes packet = i % 4 == 1 ? Udp(kServer, kAsker, message) : Tcp(kServer, kAsker, message);
      const size_t header = i % 4 == 1 ? 28 : 42;
      packet[random() % header] = static_cast<uint8_t>(random());
      DnsPacket found;
      if (!DnsPacketOf(packet.data(), packet.size(), found)) continue;
      ASSERT_GE(found.Message, packet.data());
      ASSERT_LE(found.Message + found.Length, packet.data() + packet.size());
      message.assign(found.Message, found.Message + found.Length);
    }
    DnsQuestion question;
    std::vector<DnsAddress> addresses;
    if (!ReadDnsQuestion(message.data(), message.size(), question)) continue;
    ASSERT_LE(question.End, message.size());
    if (!ReadDnsAddresses(message.data(), message.size(), question, addresses)) continue;
    ++read;
    ASSERT_LE(question.Name.size(), 253u);
    for (const char c : question.Name) {
      ASSERT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                  c == '.')
          << static_cast<int>(c);
    }
    ASSERT_LE(addresses.size(), kMaxAnswerAddresses);
    ASSERT_LE(addresses.size(), message.size() / 11);
  }
  EXPECT_GT(read, 1000u);  // the mutations leave many messages readable
}

namespace {

// What the table says to an answer packet, after the question packet (if
// any) was remembered at time 0.
struct Exchange {
  const char* what;
  Bytes question;  // empty: none asked
  Bytes answer;
  uint64_t answeredAtMs;
  bool matches;
};

bool Parsed(const Bytes& packet, DnsPacket& dns, DnsQuestion& question) {
  return DnsPacketOf(packet.data(), packet.size(), dns) &&
         ReadDnsQuestion(dns.Message, dns.Length, question);
}

}  // namespace

// An answer matches only the question this machine asked: from the server
// asked and port 53, to the asking address and port, same id, name, type
// and class, within the question's life, once.
TEST(DnsQuestions, OnlyTheAnswerToARememberedQuestionMatchesAndOnlyOnce) {
  const Bytes asked = WithId(Query("www.bank.com", 1), 0xBEEF);
  const Bytes answer =
      WithId(Response("www.bank.com", 1, {{"@12", 1, 60, V4(93, 184, 216, 34)}}), 0xBEEF);
  const End otherServer = {"198.51.100.66", 53}, otherPort = {"10.0.0.2", 50001};
  const End broadcast = {"255.255.255.255", 50000}, otherLocal = {"10.0.0.3", 50000};
  const End six = {"2001:db8::2", 50000}, server6 = {"2001:db8::53", 53};
  Bytes upper = answer;
  upper[13 + 4] = 'B';  // "www.Bank.com": the same name
  const Exchange cases[] = {
      {"the answer", Asked(asked), Answer(answer), 10, true},
      {"a name in another case", Asked(asked), Answer(upper), 10, true},
      {"over IPv6", Udp(six, server6, asked), Udp(server6, six, answer), 10, true},
      {"over TCP", Tcp(kAsker, kServer, asked), Tcp(kServer, kAsker, answer), 10, true},
      {"nothing asked", {}, Answer(answer), 10, false},
      {"from another server", Asked(asked), Udp(otherServer, kAsker, answer), 10, false},
      {"from another port", Asked(asked), Udp({"192.0.2.53", 5353}, kAsker, answer), 10, false},
      {"to another port", Asked(asked), Udp(kServer, otherPort, answer), 10, false},
      {"to another address", Asked(asked), Udp(kServer, otherLocal, answer), 10, false},
      {"to the broadcast address", Asked(asked), Udp(kServer, broadcast, answer), 10, false},
      {"with another id", Asked(asked), Answer(WithId(answer, 0xBEEE)), 10, false},
      {"for another name", Asked(asked),
       Answer(WithId(Response("www.bank.co", 1, {}), 0xBEEF)), 10, false},
      {"of another type", Asked(asked), Answer(WithId(Response("www.bank.com", 28, {}), 0xBEEF)),
       10, false},
      {"over TCP to a UDP question", Asked(asked), Tcp(kServer, kAsker, answer), 10, false},
      {"after the question's life", Asked(asked), Answer(answer),
       DnsQuestionTable::kDefaultLifeMs, false},
      {"a question from port 53 to port 53 is no answer", Asked(asked),
       Udp(kServer, {"10.0.0.2", 53}, answer), 10, false},
      {"an answer sent as a question", Asked(asked), Udp(kAsker, kServer, answer), 10, false},
  };
  for (const Exchange& c : cases) {
    SCOPED_TRACE(c.what);
    DnsQuestionTable table;
    DnsPacket dns;
    DnsQuestion question;
    if (!c.question.empty()) {
      ASSERT_TRUE(Parsed(c.question, dns, question));
      ASSERT_TRUE(table.Remember(dns, question, 0));
    }
    if (!Parsed(c.answer, dns, question)) {
      EXPECT_FALSE(c.matches) << "not even read";
      continue;
    }
    EXPECT_EQ(table.Answer(dns, question, c.answeredAtMs), c.matches);
    // Used once: the same answer again matches nothing.
    EXPECT_FALSE(table.Answer(dns, question, c.answeredAtMs));
  }
  // A response is never remembered as a question, nor a question taken as
  // an answer.
  DnsQuestionTable table;
  DnsPacket dns;
  DnsQuestion question;
  ASSERT_TRUE(Parsed(Udp(kAsker, kServer, answer), dns, question));
  EXPECT_FALSE(table.Remember(dns, question, 0));
  ASSERT_TRUE(Parsed(Asked(asked), dns, question));
  EXPECT_FALSE(table.Answer(dns, question, 0));
  EXPECT_EQ(table.Size(), 0u);
}

// The table holds at most its capacity, the oldest questions going first,
// and a question asked again is one entry, living from its later time;
// however many come, it costs the same.
TEST(DnsQuestions, AreBoundedInNumberAndTime) {
  DnsQuestionTable table(4, 1000);
  DnsPacket dns;
  DnsQuestion question;
  const auto ask = [&](unsigned id, uint64_t at) {
    ASSERT_TRUE(Parsed(Asked(WithId(Query("bank.com", 1), id)), dns, question));
    table.Remember(dns, question, at);
  };
  const auto answered = [&](unsigned id, uint64_t at) {
    EXPECT_TRUE(Parsed(Answer(WithId(Response("bank.com", 1, {}), id)), dns, question));
    return table.Answer(dns, question, at);
  };
  for (unsigned id = 1; id <= 6; ++id) ask(id, id);
  EXPECT_EQ(table.Size(), 4u);
  EXPECT_FALSE(answered(1, 10)) << "the oldest went first";
  EXPECT_FALSE(answered(2, 10));
  EXPECT_TRUE(answered(3, 10));
  ask(4, 900);  // asked again: lives from 900
  EXPECT_FALSE(answered(5, 1005)) << "expired";
  EXPECT_TRUE(answered(4, 1005));
  for (unsigned i = 0; i < 100000; ++i) ask(7 + i % 3, 2000 + i / 100);
  EXPECT_EQ(table.Size(), 3u);
  EXPECT_TRUE(answered(7, 3000));
}

// Of the answers that match, only one with NOERROR sent to a unicast
// address brings routes.
TEST(DnsQuestions, OnlyANoErrorAnswerToAUnicastAddressMayRoute) {
  const Bytes ok = Response("bank.com", 1, {});
  const struct {
    const char* what;
    Bytes packet;
    bool routes;
  } cases[] = {
      {"NOERROR to this machine", Answer(ok), true},
      {"NOERROR to an IPv6 unicast address", Udp({"2001:db8::53", 53}, {"2001:db8::2", 1}, ok),
       true},
      {"NXDOMAIN", Answer(Response("bank.com", 1, {}, 0x8183)), false},
      {"SERVFAIL", Answer(Response("bank.com", 1, {}, 0x8182)), false},
      {"to 255.255.255.255", Udp(kServer, {"255.255.255.255", 1}, ok), false},
      {"to a multicast group", Udp(kServer, {"224.0.0.251", 1}, ok), false},
      {"to ff02::1", Udp({"fe80::1", 53}, {"ff02::1", 1}, ok), false},
      {"to 0.0.0.0", Udp(kServer, {"0.0.0.0", 1}, ok), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DnsPacket dns;
    DnsQuestion question;
    ASSERT_TRUE(Parsed(c.packet, dns, question));
    EXPECT_EQ(AnswerMayRoute(dns, question), c.routes);
  }
}

TEST(GlobalAddresses, OnlyWhatIanaMarksGloballyReachableMayBeRouted) {
  const struct {
    const wchar_t* address;
    bool reachable;
  } cases[] = {
      {L"93.184.216.34", true},    {L"1.1.1.1", true},          {L"8.8.4.4", true},
      {L"9.9.9.9", true},          {L"100.63.255.255", true},   {L"100.128.0.1", true},
      {L"192.0.0.9", true},        {L"192.0.0.10", true},       {L"192.31.196.1", true},
      {L"192.175.48.1", true},     {L"198.17.255.255", true},   {L"198.20.0.1", true},
      {L"223.255.255.255", true},  {L"0.0.0.0", false},         {L"0.1.2.3", false},
      {L"10.1.2.3", false},        {L"100.64.0.1", false},      {L"100.127.255.255", false},
      {L"127.0.0.1", false},       {L"169.254.1.1", false},     {L"172.16.0.1", false},
      {L"172.31.255.255", false},  {L"192.0.0.8", false},       {L"192.0.0.170", false},
      {L"192.0.2.1", false},       {L"192.88.99.1", false},     {L"192.168.1.1", false},
      {L"198.18.0.1", false},      {L"198.19.255.255", false},  {L"198.51.100.66", false},
      {L"203.0.113.99", false},    {L"224.0.0.251", false},     {L"240.0.0.1", false},
      {L"255.255.255.255", false}, {L"2606:2800:220:1::7", true}, {L"2001:4860::8888", true},
      {L"2001:1::1", true},        {L"2001:3::1", true},        {L"2001:4:112::1", true},
      {L"2001:20::1", true},       {L"2620:4f:8000::1", true},  {L"::", false},
      {L"::1", false},             {L"::10.1.2.3", false},      {L"::ffff:10.1.2.3", false},
      {L"::ffff:93.184.216.34", true}, {L"64:ff9b::a01:203", false}, {L"64:ff9b::5db8:d822", false},
      {L"64:ff9b:1::1", false},    {L"100::1", false},          {L"2001::1", false},
      {L"2001:2::1", false},       {L"2001:10::1", false},      {L"2001:db8::1", false},
      {L"2002:a01:203::1", false}, {L"3fff::1", false},         {L"5f00::1", false},
      {L"fc00::1", false},         {L"fd12::1", false},         {L"fe80::1", false},
      {L"fec0::1", false},         {L"ff02::1", false},         {L"4000::1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.address));
    IpAddress address;
    ASSERT_TRUE(ParseAddress(c.address, address));
    EXPECT_EQ(GloballyReachable(address), c.reachable);
  }
  EXPECT_FALSE(GloballyReachable(IpAddress{}));
}

// A listed application's own choice of address: the LAN is allowed, what no
// route can carry is not.
TEST(GlobalAddresses, ASplitApplicationMayGoAroundToAnyUnicastAddress) {
  const struct {
    const wchar_t* address;
    bool routable;
  } cases[] = {
      {L"93.184.216.34", true},    {L"10.1.2.3", true},       {L"192.168.1.1", true},
      {L"100.64.0.1", true},       {L"0.1.2.3", false},       {L"127.0.0.1", false},
      {L"169.254.1.1", false},     {L"224.0.0.251", false},   {L"240.0.0.1", false},
      {L"255.255.255.255", false}, {L"2001:db8::1", true},    {L"fd12::1", true},
      {L"::1", false},             {L"fe80::1", false},       {L"febf::1", false},
      {L"ff02::1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.address));
    IpAddress address;
    ASSERT_TRUE(ParseAddress(c.address, address));
    EXPECT_EQ(SplitRoutable(address), c.routable);
  }
  EXPECT_FALSE(SplitRoutable(IpAddress{}));
}

TEST(BypassDomainEntries, ParseAsWrittenAndSkipWhatIsNoName) {
  const struct {
    const wchar_t* entry;
    const char* name;  // nullptr: skipped
  } cases[] = {
      {L"example.com", "example.com"},
      {L"Example.COM", "example.com"},
      {L"*.example.com", "example.com"},
      {L"example.com.", "example.com"},
      {L"xn--80ak6aa92e.com", "xn--80ak6aa92e.com"},
      {L"a-b.c1", "a-b.c1"},
      {L"123.example.com", "123.example.com"},
      {L"ru", "ru"},
      {L"xn--p1ai", "xn--p1ai"},
      {L"localhost", nullptr},
      {L"localhost.", nullptr},
      {L"*.localhost", nullptr},
      {L"app.localhost", nullptr},
      {L"notlocalhost", "notlocalhost"},
      {L"1.2.3.4", nullptr},
      {L"0.0.0.0", nullptr},
      {L"example.123", nullptr},
      {L"12", nullptr},
      {L"-a.com", nullptr},
      {L"a-.com", nullptr},
      {L"a.-b.com", nullptr},
      {L"example.com-", nullptr},
      {L"", nullptr},
      {L".", nullptr},
      {L"*.", nullptr},
      {L"a..b", nullptr},
      {L".example.com", nullptr},
      {L"exa mple.com", nullptr},
      {L"exa_mple.com", nullptr},
      {L"пример.рф", nullptr},
      {L"*.*.example.com", nullptr},
      {L"example.com..", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.entry));
    std::string name;
    EXPECT_EQ(ParseBypassDomain(c.entry, name), c.name != nullptr);
    if (c.name) {
      EXPECT_EQ(name, c.name);
    }
  }
  std::string name;
  EXPECT_TRUE(ParseBypassDomain(std::wstring(63, L'a') + L".com", name));
  EXPECT_FALSE(ParseBypassDomain(std::wstring(64, L'a') + L".com", name));
  std::wstring longest;
  for (int i = 0; i < 4; ++i) longest += std::wstring(i == 3 ? 61 : 63, L'a') + L".";
  longest.pop_back();
  EXPECT_EQ(longest.size(), 253u);
  EXPECT_TRUE(ParseBypassDomain(longest, name));
  EXPECT_FALSE(ParseBypassDomain(longest + L"a", name));

  BypassDomainList list;
  list.Names = {"bank.com", "tax.gov.example"};
  const struct {
    const char* name;
    const char* covering;
  } covers[] = {
      {"bank.com", "bank.com"},     {"www.bank.com", "bank.com"}, {"a.b.bank.com", "bank.com"},
      {"notbank.com", nullptr},     {"com", nullptr},             {"bank.com.evil", nullptr},
      {"gov.example", nullptr},     {"x.tax.gov.example", "tax.gov.example"},
  };
  for (const auto& c : covers) {
    SCOPED_TRACE(c.name);
    const std::string* found = CoveringDomain(list, c.name);
    EXPECT_EQ(found ? *found : "none", c.covering ? c.covering : "none");
  }
}

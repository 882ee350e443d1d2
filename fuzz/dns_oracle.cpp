#include "dns_oracle.h"

#include <algorithm>
#include <set>

#include "fuzz_check.h"
#include "split/dns_answer.h"
#include "split/dns_questions.h"
#include "support/text.h"

namespace oracle {
namespace {

uint16_t At16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

// Follows pointers wherever they lead, up to a fixed number of them.
bool ReadName(const uint8_t* message, size_t length, size_t at, std::string& name, size_t& next) {
  name.clear();
  bool jumped = false;
  for (int hops = 0; hops < 200;) {
    if (at >= length) return false;
    const uint8_t label = message[at];
    if ((label & 0xC0) == 0xC0) {
      if (at + 1 >= length) return false;
      if (!jumped) next = at + 2;
      jumped = true;
      at = size_t{label & 0x3Fu} << 8 | message[at + 1];
      ++hops;
      continue;
    }
    if (label & 0xC0) return false;
    if (label == 0) {
      if (!jumped) next = at + 1;
      return true;
    }
    if (at + 1 + label > length) return false;
    if (!name.empty()) name += '.';
    for (size_t i = 0; i < label; ++i) {
      const char c = static_cast<char>(message[at + 1 + i]);
      name += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    at += 1 + label;
  }
  return false;
}

}  // namespace

bool Read(const uint8_t* message, size_t length, Message& read) {
  read = Message{};
  if (length < 12) return false;
  read.Id = At16(message);
  read.Flags = At16(message + 2);
  read.Questions = At16(message + 4);
  read.AnswerCount = At16(message + 6);
  size_t at = 12;
  if (read.Questions == 0 || !ReadName(message, length, at, read.Name, at) || length - at < 4) {
    return false;
  }
  read.Type = At16(message + at);
  read.Class = At16(message + at + 2);
  read.QuestionEnd = at + 4;
  at = read.QuestionEnd;
  for (unsigned i = 0; i < read.AnswerCount; ++i) {
    Record record;
    if (!ReadName(message, length, at, record.Owner, at) || length - at < 10) return true;
    record.Type = At16(message + at);
    record.Class = At16(message + at + 2);
    const size_t size = At16(message + at + 8);
    at += 10;
    if (length - at < size) return true;
    record.Data.assign(message + at, message + at + size);
    if (record.Type == 5) {
      size_t unused = 0;
      // The target within the record's data; a pointer may leave it.
      std::string target;
      if (size > 0 && ReadName(message, length, at, target, unused) && unused <= at + size) {
        record.Target = target;
        record.HasTarget = true;
      }
    }
    at += size;
    read.Answers.push_back(std::move(record));
  }
  read.AnswersWhole = true;
  return true;
}

}  // namespace oracle

namespace {

std::string AddressText(const IpAddress& address) { return WideToUtf8(FormatAddress(address)); }

// Every name the question's name leads to through CNAMEs of class IN, in
// any number of steps: a resolver never follows more than this.
std::set<std::string> Reachable(const oracle::Message& read) {
  std::set<std::string> names{read.Name};
  for (bool grew = true; grew;) {
    grew = false;
    for (const oracle::Record& record : read.Answers) {
      if (record.Type == 5 && record.Class == kDnsClassIn && record.HasTarget &&
          names.count(record.Owner) && names.insert(record.Target).second) {
        grew = true;
      }
    }
  }
  return names;
}

// For a plain answer, the records a resolver takes: a chain of single
// CNAMEs from the question's name (at most 16, no name twice), then the
// records of the type asked at its end, and nothing of the types that
// chaining looks at anywhere else. Null when the answer is not plain.
bool PlainAnswer(const oracle::Message& read, size_t size,
                 std::vector<const oracle::Record*>& taken) {
  std::vector<std::string> chain{read.Name};
  for (;;) {
    const oracle::Record* cname = nullptr;
    for (const oracle::Record& record : read.Answers) {
      if (record.Type != 5 || record.Owner != chain.back()) continue;
      if (cname || !record.HasTarget || record.Class != kDnsClassIn) return false;
      cname = &record;
    }
    if (!cname) break;
    if (std::find(chain.begin(), chain.end(), cname->Target) != chain.end()) return false;
    chain.push_back(cname->Target);
    if (chain.size() > 17) return false;
  }
  taken.clear();
  for (const oracle::Record& record : read.Answers) {
    const bool addressType = record.Type == kDnsTypeA || record.Type == kDnsTypeAaaa;
    if (record.Type == 5) {
      if (std::find(chain.begin(), chain.end() - 1, record.Owner) == chain.end() - 1) return false;
    } else if (addressType) {
      if (record.Type != read.Type) continue;  // another family's: never taken
      if (record.Owner != chain.back() || record.Class != kDnsClassIn ||
          record.Data.size() != size) {
        return false;
      }
      taken.push_back(&record);
    }
  }
  return true;
}

}  // namespace

void CheckDnsMessage(const uint8_t* message, size_t length) {
  DnsQuestion question;
  if (!ReadDnsQuestion(message, length, question)) return;
  oracle::Message read;
  FUZZ_CHECK(oracle::Read(message, length, read), "the question the helper read is unreadable");
  FUZZ_CHECK(read.Questions == 1 && ((read.Flags >> 11) & 0xF) == 0,
             "the helper read a message that is not a standard query of one question");
  FUZZ_CHECK(question.Id == read.Id && question.Response == ((read.Flags & 0x8000) != 0) &&
                 question.Rcode == (read.Flags & 0xFu) && question.Answers == read.AnswerCount,
             "the header read otherwise");
  FUZZ_CHECK(question.Name == read.Name && question.Type == read.Type &&
                 question.Class == read.Class && question.End == read.QuestionEnd,
             "the question read otherwise: " + question.Name + " / " + read.Name);

  // An answer routes only when NOERROR, and then only to a unicast address.
  DnsPacket packet;
  packet.Source = IpAddress::FromIPv4(0x0102A8C0);       // 192.168.2.1
  packet.Destination = IpAddress::FromIPv4(0x0A02A8C0);  // 192.168.2.10
  packet.SourcePort = kDnsPort;
  FUZZ_CHECK(AnswerMayRoute(packet, question) == (question.Rcode == 0),
             "an answer to a unicast address routes exactly when NOERROR");
  packet.Destination = IpAddress::FromIPv4(0xFFFFFFFF);
  FUZZ_CHECK(!AnswerMayRoute(packet, question), "an answer to the broadcast address routes");

  std::vector<DnsAddress> addresses;
  if (!ReadDnsAddresses(message, length, question, addresses)) {
    FUZZ_CHECK(addresses.empty(), "a refused answer section left addresses behind");
    return;
  }
  FUZZ_CHECK(read.AnswersWhole, "the helper took an answer section that does not read whole");
  FUZZ_CHECK(addresses.size() <= kMaxAnswerAddresses, "more addresses than an answer may give");
  const size_t size = question.Type == kDnsTypeA ? 4 : question.Type == kDnsTypeAaaa ? 16 : 0;
  if (size == 0 || question.Class != kDnsClassIn) {
    FUZZ_CHECK(addresses.empty(), "addresses for a question that asks for none");
    return;
  }
  // Each address is the data of a record of the type asked, class IN, owned
  // by a name the question leads to, in the packet's order.
  const std::set<std::string> reachable = Reachable(read);
  size_t next = 0;
  for (const DnsAddress& address : addresses) {
    FUZZ_CHECK(address.Address.Family == (size == 4 ? kFamilyIPv4 : kFamilyIPv6),
               "an address of the other family");
    bool found = false;
    for (; next < read.Answers.size() && !found; ++next) {
      const oracle::Record& record = read.Answers[next];
      found = record.Type == question.Type && record.Class == kDnsClassIn &&
              record.Data.size() == size && reachable.count(record.Owner) &&
              std::equal(record.Data.begin(), record.Data.end(), address.Address.Bytes);
    }
    FUZZ_CHECK(found, AddressText(address.Address) +
                          " is no record of the question's chain, or out of the packet's order");
  }
  // And a plain answer gives exactly its records.
  std::vector<const oracle::Record*> taken;
  if (PlainAnswer(read, size, taken)) {
    const size_t expected = std::min(taken.size(), kMaxAnswerAddresses);
    FUZZ_CHECK(addresses.size() == expected, "a plain answer of " + std::to_string(taken.size()) +
                                                 " records gave " +
                                                 std::to_string(addresses.size()) + " addresses");
  }
}

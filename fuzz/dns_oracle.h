#pragma once
// A second reading of DNS messages for the properties of the DNS targets:
// written apart from the helper's reader, as simply as it can be, and more
// permissive (pointers anywhere, any label bytes), so that whatever the
// helper's reader takes, this one reads too and can be held against it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oracle {

struct Record {
  std::string Owner;  // labels joined with ".", ASCII folded to lower case
  uint16_t Type = 0;
  uint16_t Class = 0;
  std::vector<uint8_t> Data;
  std::string Target;  // a CNAME's target, when its data reads as a name
  bool HasTarget = false;
};

struct Message {
  uint16_t Id = 0;
  uint16_t Flags = 0;
  unsigned Questions = 0;
  unsigned AnswerCount = 0;
  std::string Name;  // the first question's
  uint16_t Type = 0;
  uint16_t Class = 0;
  size_t QuestionEnd = 0;
  std::vector<Record> Answers;  // as many as read cleanly, in order
  bool AnswersWhole = false;    // every one AnswerCount announced
};

// Reads what it can; false when not even the header and first question
// read.
bool Read(const uint8_t* message, size_t length, Message& read);

}  // namespace oracle

// Holds the helper's reading of one message (question, addresses, whether
// an answer may route) against the oracle's and the documented rules; a
// broken property ends the run.
void CheckDnsMessage(const uint8_t* message, size_t length);

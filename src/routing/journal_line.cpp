#include "routing/journal_line.h"

#include <utility>

#include "support/text.h"

namespace {

bool ParseNumber(const std::string& text, uint32_t limit, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t parsed = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + static_cast<unsigned>(c - '0');
  }
  if (parsed > limit) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

// Exactly as FormatAddress writes it, so that a line is read back only in
// the one form the helper writes.
bool ParseCanonicalAddress(const std::string& text, IpAddress& address) {
  const std::wstring wide(text.begin(), text.end());
  return ParseAddress(wide, address) && FormatAddress(address) == wide;
}

// A list's every route is journaled: its line is written into one string
// as it goes, not put together from pieces.
void AppendDecimal(std::string& out, uint64_t value) {
  char digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) out += digits[--count];
}

// As FormatAddress writes it, which is ASCII.
void AppendAddress(std::string& out, const IpAddress& address) {
  if (!address.IsIPv4()) {
    for (const wchar_t c : FormatAddress(address)) out += static_cast<char>(c);
    return;
  }
  for (int i = 0; i < 4; ++i) {
    if (i > 0) out += '.';
    AppendDecimal(out, address.Bytes[i]);
  }
}

}  // namespace

std::string RouteJournalLine(const JournaledRoute& route) {
  std::string line;
  line.reserve(64);
  AppendRouteJournalLine(line, route);
  return line;
}

void AppendRouteJournalLine(std::string& line, const JournaledRoute& route) {
  AppendDecimal(line, route.InterfaceIndex);
  line += ' ';
  AppendAddress(line, route.Prefix.Destination);
  line += '/';
  AppendDecimal(line, route.Prefix.Length);
  line += ' ';
  AppendAddress(line, route.Gateway);
  if (route.InterfaceLuid != 0) {
    line += " luid=";
    AppendDecimal(line, route.InterfaceLuid);
  }
}

bool ParseRouteJournalLine(std::string line, JournaledRoute& route) {
  const std::string written = line;
  uint64_t luid = 0;
  const size_t luidAt = line.find(" luid=");
  if (luidAt != std::string::npos) {
    const std::string digits = line.substr(luidAt + 6);
    if (digits.empty() || digits.size() > 20 || digits[0] == '0') return false;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      const uint64_t next = luid * 10 + static_cast<unsigned>(c - '0');
      if (next / 10 != luid) return false;  // past 64 bits
      luid = next;
    }
    line.resize(luidAt);
  }
  const size_t first = line.find(' ');
  const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) return false;
  const std::string prefixText = line.substr(first + 1, second - first - 1);
  const size_t slash = prefixText.rfind('/');
  JournaledRoute parsed;
  uint32_t length = 0;
  if (!ParseNumber(line.substr(0, first), 0xFFFFFFFFu, parsed.InterfaceIndex) ||
      parsed.InterfaceIndex == 0 || slash == std::string::npos ||
      !ParseCanonicalAddress(prefixText.substr(0, slash), parsed.Prefix.Destination) ||
      !ParseNumber(prefixText.substr(slash + 1), parsed.Prefix.Destination.IsIPv4() ? 32 : 128,
                   length) ||
      !ParseCanonicalAddress(line.substr(second + 1), parsed.Gateway) ||
      parsed.Gateway.Family != parsed.Prefix.Destination.Family) {
    return false;
  }
  parsed.Prefix.Length = static_cast<uint8_t>(length);
  parsed.InterfaceLuid = luid;
  // Only the one form the helper writes: no leading zeros ("007",
  // "/08"), no host bits beyond the length. A line in any other form was
  // not written by a helper, and what it names is not deleted.
  if (RouteJournalLine(parsed) != written ||
      MaskAddress(parsed.Prefix.Destination, parsed.Prefix.Length) != parsed.Prefix.Destination) {
    return false;
  }
  route = parsed;
  return true;
}

JournalSlot ReadJournalSlot(std::string line, JournaledRoute& route) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > kLongestJournalLine) return JournalSlot::Damaged;  // longer than any slot
  while (!line.empty() && line.back() == ' ') line.pop_back();         // a slot's padding
  if (line.empty()) return JournalSlot::Withdrawn;
  return ParseRouteJournalLine(std::move(line), route) ? JournalSlot::Route : JournalSlot::Damaged;
}

#include "support/address.h"

// No platform header: the address text is the project's own, so that
// every parser above it reads and writes the same text natively (for
// fuzzing) as on Windows. The suite compares it with inet_pton and
// RtlIpv6AddressToStringW.

namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Four decimal numbers of 0-255 between dots, each without a leading zero
// (an old reader takes "010" for octal 8: such text is refused rather than
// read either way).
bool ParseDotted(std::wstring_view text, uint8_t bytes[4]) {
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != L'.') return false;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= L'0' && text[digits] <= L'9') {
      value = value * 10 + static_cast<unsigned>(text[digits] - L'0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[0] == L'0')) return false;
    bytes[part] = static_cast<uint8_t>(value);
    text.remove_prefix(digits);
  }
  return text.empty();
}

// Groups of one to four hex digits between colons, one "::" at most
// standing for one or more zero groups, the last 32 bits optionally in
// dotted decimal.
bool ParseIPv6(std::wstring_view text, uint8_t bytes[16]) {
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // where "::" stands, in groups
  if (text.substr(0, 2) == L"::") {
    gap = 0;
    text.remove_prefix(2);
  } else if (!text.empty() && text.front() == L':') {
    return false;
  }
  while (!text.empty()) {
    if (count == 8) return false;
    size_t digits = 0;
    unsigned value = 0;
    while (digits < text.size() && HexValue(text[digits]) >= 0) {
      if (++digits > 4) return false;
      value = value << 4 | static_cast<unsigned>(HexValue(text[digits - 1]));
    }
    if (digits < text.size() && text[digits] == L'.') {
      // The dotted tail: the last two groups, and nothing after it.
      uint8_t tail[4];
      if (count > 6 || !ParseDotted(text, tail)) return false;
      groups[count++] = static_cast<uint16_t>(tail[0] << 8 | tail[1]);
      groups[count++] = static_cast<uint16_t>(tail[2] << 8 | tail[3]);
      text = {};
      break;
    }
    if (digits == 0) return false;
    groups[count++] = static_cast<uint16_t>(value);
    text.remove_prefix(digits);
    if (text.empty()) break;
    if (text.front() != L':') return false;
    text.remove_prefix(1);
    if (!text.empty() && text.front() == L':') {
      if (gap >= 0) return false;
      gap = count;
      text.remove_prefix(1);
    } else if (text.empty()) {
      return false;  // a single colon at the end
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  uint16_t full[8] = {};
  const int before = gap < 0 ? count : gap;
  for (int i = 0; i < before; ++i) full[i] = groups[i];
  for (int i = before; i < count; ++i) full[8 - (count - i)] = groups[i];
  for (int i = 0; i < 8; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(full[i] >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(full[i] & 0xFF);
  }
  return true;
}

// Formatting is on the path of every route a list makes (its journal line,
// its log line): written into a buffer, not put together from strings.
wchar_t* PutDecimal(wchar_t* out, unsigned value) {  // value < 1000
  if (value >= 100) *out++ = static_cast<wchar_t>(L'0' + value / 100);
  if (value >= 10) *out++ = static_cast<wchar_t>(L'0' + value / 10 % 10);
  *out++ = static_cast<wchar_t>(L'0' + value % 10);
  return out;
}

std::wstring Dotted(const uint8_t* bytes) {
  wchar_t text[16];
  wchar_t* end = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) *end++ = L'.';
    end = PutDecimal(end, bytes[i]);
  }
  return std::wstring(text, end);
}

std::wstring Hex(unsigned value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  wchar_t text[8];
  size_t start = sizeof(text) / sizeof(text[0]);
  do {
    text[--start] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0 && start > 0);
  return std::wstring(text + start, text + sizeof(text) / sizeof(text[0]));
}

// Whether the last 32 bits are written in dotted decimal, as
// RtlIpv6AddressToStringW writes them: an IPv4-compatible address
// (::a.b.c.d), an IPv4-mapped one (::ffff:a.b.c.d), an IPv4-translated one
// (::ffff:0:a.b.c.d), each only where the IPv4 address's first two bytes
// are not both zero (::1, ::ffff:0:1 stay hex); and an ISATAP interface
// identifier (0:5efe or 200:5efe before the IPv4 address) always.
bool DottedTail(const uint8_t* b) {
  const auto zeros = [b](int from, int to) {
    for (int i = from; i < to; ++i) {
      if (b[i] != 0) return false;
    }
    return true;
  };
  const bool high = b[12] != 0 || b[13] != 0;
  if (zeros(0, 12)) return high;
  if (zeros(0, 10) && b[10] == 0xFF && b[11] == 0xFF) return high;
  if (zeros(0, 8) && b[8] == 0xFF && b[9] == 0xFF && b[10] == 0 && b[11] == 0) return high;
  return (b[8] == 0 || b[8] == 0x02) && b[9] == 0 && b[10] == 0x5E && b[11] == 0xFE;
}

std::wstring FormatIPv6(const uint8_t* b) {
  const bool dotted = DottedTail(b);
  const int count = dotted ? 6 : 8;
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
  // The longest run of two or more zero groups becomes "::", the first of
  // equal runs.
  int bestAt = -1, bestLength = 1;
  for (int i = 0; i < count;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int end = i;
    while (end < count && groups[end] == 0) ++end;
    if (end - i > bestLength) {
      bestAt = i;
      bestLength = end - i;
    }
    i = end;
  }
  std::wstring text;
  for (int i = 0; i < count; ++i) {
    if (i == bestAt) {
      text += L"::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != L':') text += L':';
    text += Hex(groups[i]);
  }
  if (dotted) {
    if (text.back() != L':') text += L':';
    text += Dotted(b + 12);
  }
  return text;
}

}  // namespace

bool operator==(const IpAddress& a, const IpAddress& b) {
  return a.Family == b.Family && std::memcmp(a.Bytes, b.Bytes, sizeof(a.Bytes)) == 0;
}

bool operator==(const RoutePrefix& a, const RoutePrefix& b) {
  return a.Length == b.Length && a.Destination == b.Destination;
}

IpAddress MaskAddress(const IpAddress& address, uint8_t length) {
  IpAddress masked = address;
  const unsigned bytes = address.Family == kFamilyIPv4 ? 4 : 16;
  for (unsigned i = 0; i < 16; ++i) {
    const unsigned firstBit = i * 8;
    if (i >= bytes || firstBit >= length) {
      masked.Bytes[i] = 0;
    } else if (length - firstBit < 8) {
      masked.Bytes[i] &= static_cast<uint8_t>(0xFF << (8 - (length - firstBit)));
    }
  }
  return masked;
}

bool PrefixCovers(const RoutePrefix& prefix, const IpAddress& address) {
  return address.Family == prefix.Destination.Family &&
         MaskAddress(address, prefix.Length) == prefix.Destination;
}

std::wstring FormatIPv4(uint32_t address) {
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof(bytes));  // network order: as the bytes lie
  return Dotted(bytes);
}

std::wstring FormatAddress(const IpAddress& address) {
  if (address.Family == kFamilyIPv4) return Dotted(address.Bytes);
  if (address.Family != kFamilyIPv6) return L"";
  return FormatIPv6(address.Bytes);
}

std::wstring FormatPrefix(const RoutePrefix& prefix) {
  std::wstring text = FormatAddress(prefix.Destination);
  wchar_t length[4] = {L'/'};
  text.append(length, PutDecimal(length + 1, prefix.Length));
  return text;
}

bool ParseAddress(std::wstring_view text, IpAddress& address) {
  // No zone (%7), no brackets, no blanks, nothing outside ASCII (a
  // full-width digit is no digit): only hex digits, dots and colons are
  // read at all, and every other character refuses the text.
  constexpr size_t kLongestText = 45;  // an IPv6 address with an IPv4 tail
  if (text.empty() || text.size() > kLongestText) return false;
  IpAddress parsed;
  if (text.find(L':') == std::wstring_view::npos) {
    parsed.Family = kFamilyIPv4;
    if (!ParseDotted(text, parsed.Bytes)) return false;
  } else {
    parsed.Family = kFamilyIPv6;
    if (!ParseIPv6(text, parsed.Bytes)) return false;
  }
  address = parsed;
  return true;
}

IpAddress Unmapped(const IpAddress& address) {
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (!address.IsIPv6() || std::memcmp(address.Bytes, kMappedPrefix, sizeof(kMappedPrefix)) != 0) {
    return address;
  }
  IpAddress ipv4{kFamilyIPv4};
  std::memcpy(ipv4.Bytes, address.Bytes + 12, 4);
  return ipv4;
}

#include "support/text.h"

// No platform header: the conversions are the project's own, so the pure
// parsers above them read the same text natively (for fuzzing) as on
// Windows. The suite compares them with MultiByteToWideChar and
// WideCharToMultiByte.

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void PutCodePoint(std::wstring& text, uint32_t code) {
  if (code < 0x10000) {
    text += static_cast<wchar_t>(code);
    return;
  }
  code -= 0x10000;
  text += static_cast<wchar_t>(0xD800 + (code >> 10));
  text += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
}

void PutUtf8(std::string& bytes, uint32_t code) {
  if (code < 0x80) {
    bytes += static_cast<char>(code);
  } else if (code < 0x800) {
    bytes += static_cast<char>(0xC0 | code >> 6);
    bytes += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    bytes += static_cast<char>(0xE0 | code >> 12);
    bytes += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    bytes += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    bytes += static_cast<char>(0xF0 | code >> 18);
    bytes += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    bytes += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    bytes += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::wstring Utf8ToWide(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
      text += static_cast<wchar_t>(lead);
      ++at;
      continue;
    }
    // How many bytes follow the lead, and the range its first follower
    // must lie in: what rules out overlong forms, surrogates and code
    // points past U+10FFFF.
    size_t follow = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      follow = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      follow = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      follow = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    ++at;
    if (follow == 0) {  // a stray continuation byte, or a lead no encoding uses
      text += kReplacement;
      continue;
    }
    uint32_t code = lead & (0x3Fu >> follow);
    size_t taken = 0;
    while (taken < follow && at < bytes.size()) {
      const unsigned char byte = static_cast<unsigned char>(bytes[at]);
      if (!IsContinuation(byte) || (taken == 0 && (byte < low || byte > high))) break;
      code = code << 6 | (byte & 0x3Fu);
      ++at;
      ++taken;
    }
    // Each maximal part of a sequence that could have begun a character and
    // did not is one replacement (Unicode's recommended practice); the byte
    // that ended it is read afresh.
    if (taken < follow) {
      text += kReplacement;
    } else {
      PutCodePoint(text, code);
    }
  }
  return text;
}

std::string WideToUtf8(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    // UTF-16 units, also where wchar_t is wider (natively, for fuzzing): a
    // wider value is taken as the code point it is.
    uint32_t code = static_cast<uint32_t>(text[i]);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size()) {
      const uint32_t next = static_cast<uint32_t>(text[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      }
    }
    // A surrogate without its partner, or no code point at all.
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = kReplacement;
    PutUtf8(bytes, code);
  }
  return bytes;
}

std::wstring_view TrimBlanks(std::wstring_view text) {
  const size_t first = text.find_first_not_of(L" \t\r");
  if (first == std::wstring_view::npos) return {};
  return text.substr(first, text.find_last_not_of(L" \t\r") - first + 1);
}

std::wstring FoldAsciiLower(std::wstring_view text) {
  // Deliberately not towlower: its result depends on the C runtime's locale,
  // and the command language must fold the same way on every machine.
  std::wstring folded(text);
  for (wchar_t& c : folded) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return folded;
}

std::vector<std::wstring_view> SplitListEntryViews(std::wstring_view list) {
  std::vector<std::wstring_view> entries;
  for (;;) {
    const size_t separator = list.find(L';');
    std::wstring_view entry = list.substr(0, separator);
    while (!entry.empty() && (entry.front() == L' ' || entry.front() == L'\t')) {
      entry.remove_prefix(1);
    }
    while (!entry.empty() &&
           (entry.back() == L' ' || entry.back() == L'\t' || entry.back() == L'\r')) {
      entry.remove_suffix(1);
    }
    if (!entry.empty()) entries.push_back(entry);
    if (separator == std::wstring_view::npos) return entries;
    list.remove_prefix(separator + 1);
  }
}

std::vector<std::wstring> SplitListEntries(std::wstring_view list) {
  const std::vector<std::wstring_view> views = SplitListEntryViews(list);
  return std::vector<std::wstring>(views.begin(), views.end());
}

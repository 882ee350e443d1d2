#include "support/text.h"

#include <windows.h>

#include <climits>

std::wstring Utf8ToWide(std::string_view bytes) {
  // Every caller bounds its input far below INT_MAX; clamp anyway so a
  // future caller cannot wrap the length into a negative count.
  const int size = static_cast<int>(bytes.size() < INT_MAX ? bytes.size() : INT_MAX);
  if (size == 0) return {};
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::wstring text(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data(), units);
  return text;
}

std::string WideToUtf8(std::wstring_view text) {
  const int size = static_cast<int>(text.size() < INT_MAX ? text.size() : INT_MAX);
  if (size == 0) return {};
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string encoded(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, encoded.data(), bytes, nullptr, nullptr);
  return encoded;
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

std::vector<std::wstring> SplitListEntries(std::wstring_view list) {
  std::vector<std::wstring> entries;
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
    if (!entry.empty()) entries.emplace_back(entry);
    if (separator == std::wstring_view::npos) return entries;
    list.remove_prefix(separator + 1);
  }
}

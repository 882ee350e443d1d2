#pragma once
// Text crosses the helper's borders (pipe, log, files) as UTF-8 and lives
// inside it as UTF-16 (UTF-16 units also where wchar_t is wider, natively,
// so that lengths and comparisons are the same as on Windows). Conversion
// never fails: malformed UTF-8 becomes U+FFFD, and a lone surrogate becomes
// U+FFFD's bytes, as MultiByteToWideChar and WideCharToMultiByte make them.
// Includes no platform header: it builds natively for fuzzing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

std::wstring Utf8ToWide(std::string_view bytes);
std::string WideToUtf8(std::wstring_view text);

// Folds A-Z to a-z, one UTF-16 unit at a time, and leaves everything else.
std::wstring FoldAsciiLower(std::wstring_view text);

// The text without blanks, tabs and carriage returns at either end.
std::wstring_view TrimBlanks(std::wstring_view text);

// The entries of a list argument ("a; b;c"): cut at every ';', each trimmed
// of leading blanks and tabs and of trailing blanks, tabs and carriage
// returns; empty entries are skipped.
std::vector<std::wstring> SplitListEntries(std::wstring_view list);
// The same entries as views into `list`, which must outlive them: a list of
// tens of thousands of entries is cut without a string for each.
std::vector<std::wstring_view> SplitListEntryViews(std::wstring_view list);

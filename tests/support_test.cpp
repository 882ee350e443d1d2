// Paths under ProgramData, text and address conversion, and the helper log.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <mstcpip.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "service_harness.h"
#include "support/address.h"
#include "support/data_directory.h"
#include "support/limits.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "test_server.h"

namespace {

// A fresh ProgramData of our own for one test, the log open in it.
class ScratchProgramData : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(data_.Ready()) << ErrorText(GetLastError()); }
  std::string ReadLog() { return ReadFileBytes(LogFilePath()); }
  std::vector<std::string> LogTexts() { return LogTextsSince(LogFilePath(), 0); }
  ScratchDataDirectory data_{L"support"};
  const std::wstring& root_ = data_.Root();
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the log must end with CR LF";
  return lines;
}

TEST(Text, ConvertsBetweenUtf8AndUtf16) {
  EXPECT_EQ(Utf8ToWide("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xbb.exe"), L"\x041F\x0440\x0438\x043B.exe");
  EXPECT_EQ(WideToUtf8(L"\x041F\x0440\x0438\x043B.exe"), "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xbb.exe");
  EXPECT_EQ(WideToUtf8(L"\xD83D\xDE00"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(Utf8ToWide("\x80"), L"\xFFFD");
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(FoldAsciiLower(L"ABC xyz \x00C9\x0130\x0410 Z["), L"abc xyz \x00C9\x0130\x0410 z[");
}

// ------------------------------------------- the Windows calls they stand for

// The pure parsers convert text and addresses with the project's own
// functions, which must read and write exactly what the Windows calls did.

std::wstring WindowsUtf8ToWide(const std::string& bytes, DWORD flags = 0) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), size, nullptr, 0);
  std::wstring text(static_cast<size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(CP_UTF8, flags, bytes.data(), size, text.data(), units);
  return text;
}

std::string WindowsWideToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string encoded(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, encoded.data(), bytes, nullptr, nullptr);
  return encoded;
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  char two[4];
  for (const unsigned char byte : bytes) {
    snprintf(two, sizeof(two), "%02x ", byte);
    hex += two;
  }
  return hex;
}

// Wine 8's MultiByteToWideChar replaces two shapes of ill-formed UTF-8
// otherwise than Unicode's recommended practice, which the helper follows:
// a lead byte whose first follower is a continuation byte out of its range
// (E0 80, ED A0, F0 80, F4 90) is replaced together with that byte, and a
// lead byte that the end of the text cuts short is replaced together with
// everything after it. Where Windows itself stands there is not checked
// here; both take neither shape as well-formed.
bool ReplacedOtherwiseByWine(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char lead = bytes[i];
    const size_t follow = lead >= 0xC2 && lead <= 0xDF   ? 1
                          : lead >= 0xE0 && lead <= 0xEF ? 2
                          : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                         : 0;
    if (follow == 0) continue;
    if (i + follow >= bytes.size()) return true;
    const unsigned char next = bytes[i + 1];
    if ((next & 0xC0) == 0x80 && ((lead == 0xE0 && next < 0xA0) || (lead == 0xED && next > 0x9F) ||
                                  (lead == 0xF0 && next < 0x90) || (lead == 0xF4 && next > 0x8F))) {
      return true;
    }
  }
  return false;
}

TEST(Text, ConversionsAgreeWithTheWindowsCalls) {
  std::mt19937 random(33);
  // Well-formed text, every range and its edges, both ways, exactly.
  const uint32_t edges[] = {0,      0x41,   0x7F,   0x80,   0x7FF,   0x800,   0xD7FF,  0xE000,
                            0xFEFF, 0xFFFD, 0xFFFE, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  for (int round = 0; round < 5000; ++round) {
    std::wstring text;
    for (int n = random() % 12; n > 0; --n) {
      uint32_t code = random() % 2 ? edges[random() % std::size(edges)] : random() % 0x110000;
      if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
      if (code < 0x10000) {
        text += static_cast<wchar_t>(code);
      } else {
        text += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
        text += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
      }
    }
    const std::string bytes = WindowsWideToUtf8(text);
    ASSERT_EQ(WideToUtf8(text), bytes) << Hex(bytes);
    ASSERT_EQ(Utf8ToWide(bytes), text) << Hex(bytes);
  }
  // Any UTF-16 units, lone surrogates among them.
  const wchar_t units[] = {0x41, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFD, 0x7FF, 0x800, 0};
  for (int round = 0; round < 5000; ++round) {
    std::wstring text;
    for (int n = random() % 8; n > 0; --n) {
      text += random() % 2 ? units[random() % std::size(units)] : static_cast<wchar_t>(random());
    }
    ASSERT_EQ(WideToUtf8(text), WindowsWideToUtf8(text)) << Hex(WideToUtf8(text));
  }
  // Any bytes: well-formed exactly when Windows says so, and replaced as
  // Windows replaces them (but for Wine's two shapes above).
  const unsigned char picks[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED,
                                 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF};
  size_t compared = 0;
  for (int round = 0; round < 40000; ++round) {
    std::string bytes;
    for (int n = random() % 9; n > 0; --n) {
      bytes += static_cast<char>(random() % 3 ? picks[random() % std::size(picks)] : random());
    }
    const std::wstring ours = Utf8ToWide(bytes);
    const bool wellFormed =
        bytes.empty() || !WindowsUtf8ToWide(bytes, MB_ERR_INVALID_CHARS).empty();
    ASSERT_EQ(WideToUtf8(ours) == bytes, wellFormed) << Hex(bytes);
    if (ReplacedOtherwiseByWine(bytes)) continue;
    ++compared;
    ASSERT_EQ(ours, WindowsUtf8ToWide(bytes)) << Hex(bytes);
  }
  EXPECT_GT(compared, 10000u);
  // Unicode's own example of replacing maximal subparts (chapter 3, U+FFFD
  // substitution), and the shapes Wine replaces otherwise.
  EXPECT_EQ(Utf8ToWide("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
            L"a\xFFFD\xFFFD\xFFFD"
            L"b\xFFFD"
            L"c\xFFFD\xFFFD"
            L"d");
  EXPECT_EQ(Utf8ToWide("\xE0\x80\x80"), L"\xFFFD\xFFFD\xFFFD");
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"\xFFFD\xFFFD\xFFFD");
  EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), L"\xFFFD\xFFFD\xFFFD\xFFFD");
  EXPECT_EQ(Utf8ToWide("\xF0\x4C"), L"\xFFFDL");
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), L"\xFFFD");
}

IpAddress V6(const uint8_t bytes[16]) {
  IpAddress address;
  address.Family = kFamilyIPv6;
  std::memcpy(address.Bytes, bytes, 16);
  return address;
}

std::wstring WindowsIPv6Text(const uint8_t bytes[16]) {
  IN6_ADDR address;
  std::memcpy(&address, bytes, 16);
  wchar_t text[64] = {};
  RtlIpv6AddressToStringW(&address, text);
  return text;
}

// What inet_pton makes of the text (either family), or no family.
IpAddress WindowsParse(const std::wstring& text) {
  IpAddress address;
  const std::string narrow = WideToUtf8(text);
  if (inet_pton(AF_INET, narrow.c_str(), address.Bytes) == 1) {
    address.Family = kFamilyIPv4;
  } else if (inet_pton(AF_INET6, narrow.c_str(), address.Bytes) == 1) {
    address.Family = kFamilyIPv6;
  }
  return address;
}

// A dotted number written with a leading zero ("010", "::1.2.3.04"): an
// old reader takes it for octal, so the helper refuses it where
// inet_pton may not.
bool HasLeadingZeroInDottedPart(const std::wstring& text) {
  static const std::wregex kLeadingZero(LR"((^|[.:])0[0-9][0-9]*(\.|$))");
  return text.find(L'.') != std::wstring::npos && std::regex_search(text, kLeadingZero);
}

TEST(AddressText, FormatsAndParsesAsTheWindowsCalls) {
  std::mt19937 random(33);
  const uint16_t groups[] = {0, 0, 0, 1, 0xFFFF, 0x5EFE, 0x200, 0x100, 0xABCD, 0x0DB8};
  size_t parsedAlike = 0, refused = 0;
  const auto compareParse = [&](const std::wstring& text) {
    IpAddress ours;
    const bool parsed = ParseAddress(text, ours);
    const IpAddress windows = WindowsParse(text);
    if (parsed) {
      ASSERT_EQ(windows, ours) << WideToUtf8(text);
      ++parsedAlike;
    } else if (windows.Family != 0) {
      ASSERT_TRUE(HasLeadingZeroInDottedPart(text)) << WideToUtf8(text);
    } else {
      ++refused;
    }
  };
  for (int round = 0; round < 20000; ++round) {
    uint8_t bytes[16];
    for (int g = 0; g < 8; ++g) {
      const uint16_t group =
          random() % 3 ? groups[random() % std::size(groups)] : static_cast<uint16_t>(random());
      bytes[2 * g] = static_cast<uint8_t>(group >> 8);
      bytes[2 * g + 1] = static_cast<uint8_t>(group);
    }
    // The prefixes that make a dotted tail, often.
    if (random() % 4 == 0) std::memset(bytes, 0, 8 + random() % 5);
    const std::wstring text = FormatAddress(V6(bytes));
    ASSERT_EQ(text, WindowsIPv6Text(bytes));
    compareParse(text);
    // The same text a little wrong: a character dropped, doubled or replaced.
    std::wstring changed = text;
    const size_t at = random() % changed.size();
    const wchar_t alphabet[] = L"0123456789abcdefABCDEFg:.%[] ";
    switch (random() % 3) {
      case 0:
        changed.erase(at, 1);
        break;
      case 1:
        changed.insert(at, 1, changed[at]);
        break;
      default:
        changed[at] = alphabet[random() % (std::size(alphabet) - 1)];
    }
    compareParse(changed);
    IpAddress v4 = IpAddress::FromIPv4(static_cast<uint32_t>(random()));
    if (random() % 2) std::memset(v4.Bytes + random() % 4, 0, 1);
    wchar_t windows4[32] = {};
    RtlIpv4AddressToStringW(reinterpret_cast<const IN_ADDR*>(v4.Bytes), windows4);
    ASSERT_EQ(FormatAddress(v4), windows4);
    std::wstring text4 = windows4;
    compareParse(text4);
    text4[random() % text4.size()] = alphabet[random() % (std::size(alphabet) - 1)];
    compareParse(text4);
  }
  // Short texts of address characters alone.
  for (int round = 0; round < 20000; ++round) {
    const wchar_t alphabet[] = L"0123456789aF::..";
    std::wstring text;
    for (int n = 1 + random() % 16; n > 0; --n)
      text += alphabet[random() % (std::size(alphabet) - 1)];
    compareParse(text);
  }
  EXPECT_GT(parsedAlike, 30000u);
  EXPECT_GT(refused, 10000u);
  for (const wchar_t* text : {L"01.2.3.4", L"1.2.3.04", L"::ffff:001.2.3.4", L"::1.2.3.04"}) {
    IpAddress address;
    EXPECT_FALSE(ParseAddress(text, address)) << WideToUtf8(text);
  }
}

TEST(Paths, DataDirectoryFollowsProgramData) {
  {
    ProgramDataOverride data(L"D:\\Data");
    EXPECT_EQ(DataDirectory(), L"D:\\Data\\Quorvel");
    EXPECT_EQ(LogFilePath(), L"D:\\Data\\Quorvel\\helper.log");
    EXPECT_EQ(ConfigFilePath(), L"D:\\Data\\Quorvel\\Quorvel.conf");
  }
  {
    ProgramDataOverride data(nullptr);
    EXPECT_EQ(DataDirectory(), L"C:\\ProgramData\\Quorvel");
  }
  {
    ProgramDataOverride data(L"");
    EXPECT_EQ(DataDirectory(), L"C:\\ProgramData\\Quorvel");
  }
  {
    ProgramDataOverride data(L"D:\\Data\\");  // no normalisation
    EXPECT_EQ(DataDirectory(), L"D:\\Data\\\\Quorvel");
  }
}

TEST(Paths, OverLongProgramDataFallsBack) {
  const std::wstring longest = L"D:\\" + std::wstring(MAX_PATH - 4, L'x');  // 259 characters
  {
    ProgramDataOverride data(longest.c_str());
    EXPECT_EQ(DataDirectory(), longest + L"\\Quorvel");
  }
  const std::wstring tooLong = longest + L"y";  // 260 characters
  {
    ProgramDataOverride data(tooLong.c_str());
    EXPECT_EQ(DataDirectory(), L"C:\\ProgramData\\Quorvel");
  }
  const std::wstring muchTooLong(1000, L'z');
  {
    ProgramDataOverride data(muchTooLong.c_str());
    EXPECT_EQ(DataDirectory(), L"C:\\ProgramData\\Quorvel");
  }
}

TEST(Paths, DirectoryOfAPath) {
  EXPECT_EQ(DirectoryOfPath(L"C:\\Program Files\\App\\svc.exe"), L"C:\\Program Files\\App");
  EXPECT_EQ(DirectoryOfPath(L"C:/Apps/svc.exe"), L"C:/Apps");
  EXPECT_EQ(DirectoryOfPath(L"C:\\Apps/sub\\svc.exe"), L"C:\\Apps/sub");
  EXPECT_EQ(DirectoryOfPath(L"svc.exe"), L".");
  EXPECT_EQ(DirectoryOfPath(L""), L".");
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(ModulePath(), std::wstring(self, length));
  EXPECT_EQ(ModuleDirectory() + L"\\support_tests.exe", std::wstring(self, length));
}

TEST_F(ScratchProgramData, LogLineFormatAndEncoding) {
  LogLine(L"service starting");
  LogLine(L"");
  LogLine(L"\x041F\x0440\x0438\x043B.exe");
  LogLine(L"two\nlines");
  const std::string log = ReadLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_NE(log.substr(0, 3), "\xEF\xBB\xBF") << "no byte-order mark";
  const std::vector<std::string> lines = SplitLines(log);
  ASSERT_EQ(lines.size(), 4u);
  const char* expected[] = {"service starting", "", "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xbb.exe",
                            "two\nlines"};
  for (size_t i = 0; i < 4; ++i) {
    std::string text;
    ASSERT_TRUE(LogLineText(lines[i], text)) << lines[i];
    // A text with its own line break is written unchanged.
    EXPECT_EQ(text, expected[i]);
  }

  // The stamp is the local time of the write.
  SYSTEMTIME now;
  GetLocalTime(&now);
  char date[16];
  snprintf(date, sizeof(date), "%04d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
  EXPECT_EQ(lines[0].substr(0, 10), date);
}

TEST_F(ScratchProgramData, LogLinesStayWholeUnderManyThreads) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLinesEach; ++i) {
        LogLine(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L" " +
                std::wstring(40 + t * 7, L'\x0436'));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const std::vector<std::string> lines = SplitLines(ReadLog());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
  std::map<int, int> next;
  const std::regex body(R"(^thread (\d+) line (\d+) ((?:\xd0\xb6)+)$)");
  for (const std::string& line : lines) {
    std::string text;
    ASSERT_TRUE(LogLineText(line, text)) << line;
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(text, parts, body)) << line;
    const int thread = std::stoi(parts[1].str());
    EXPECT_EQ(std::stoi(parts[2].str()), next[thread]++) << "lines of one thread keep their order";
    EXPECT_EQ(parts[3].length(), static_cast<size_t>(2 * (40 + thread * 7)));
  }
}

// Whatever a client chose (a key, a file name, the tool's words quoting a
// configuration) takes at most 200 characters of a line, and says how much
// more there was; nothing in it can start a line of its own.
TEST(ClientText, CutsAtTwoHundredCharactersAndSaysHowManyMore) {
  const std::wstring pair = L"\xD83D\xDE00";  // one character, two units
  std::wstring many, first;
  for (int i = 0; i < 300; ++i) many += pair;
  for (int i = 0; i < 200; ++i) first += pair;
  const struct {
    std::wstring text;
    unsigned long long alreadyCut;
    std::wstring shown;
  } cases[] = {
      {L"", 0, L""},
      {L"PostUp", 0, L"PostUp"},
      {std::wstring(200, L'x'), 0, std::wstring(200, L'x')},
      {std::wstring(201, L'x'), 0, std::wstring(200, L'x') + L"... (1 more characters)"},
      // The issue's key: P, 200,000 zero-width spaces, ostUp.
      {L"P" + std::wstring(200000, L'\x200B') + L"ostUp", 0,
       L"P" + std::wstring(199, L'\x200B') + L"... (199806 more characters)"},
      // Pairs count once, and the cut never splits one.
      {std::wstring(199, L'x') + pair + pair, 0,
       std::wstring(199, L'x') + pair + L"... (1 more characters)"},
      {std::wstring(100, L'x') + L"" + std::wstring(150, L'y'), 0,
       std::wstring(100, L'x') + std::wstring(100, L'y') + L"... (50 more characters)"},
      {many, 0, first + L"... (100 more characters)"},
      // Breaks and other controls cannot forge a line.
      {L"a\r\n2024-01-01 00:00:00  forged\x2028\x2029\x85\t\x7F", 0,
       L"a??2024-01-01 00:00:00  forged?????"},
      // What the caller cut already counts.
      {L"abc", 5, L"abc... (5 more characters)"},
      {std::wstring(250, L'x'), 7, std::wstring(200, L'x') + L"... (57 more characters)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.text.substr(0, 40)));
    EXPECT_EQ(ClientText(c.text, c.alreadyCut), c.shown);
  }
}

// Rotation that cannot rename keeps the current file growing up to twice
// the bound: ordinary lines to three quarters of that, audit lines to all
// of it; past that lines are dropped and audit lines refused, each counted,
// and the next generation begins by saying how many.
TEST_F(ScratchProgramData, AFrozenRotationKeepsWritingThenDropsKeepingRoomForAuditLines) {
  ScopedLimit<DWORD> bound(HelperLimits.LogRotateBytes, 4096);
  const std::wstring older = LogFilePath() + L".1";
  const std::wstring text100(77, L'o');  // a line of 100 bytes with its stamp and CR LF
  for (int i = 0; i < 60 && GetFileAttributesW(older.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    LogLine(text100);
  }
  ASSERT_NE(GetFileAttributesW(older.c_str()), INVALID_FILE_ATTRIBUTES) << "never rotated";
  const std::string olderBytes = ReadFileBytes(older);

  const size_t before = Count(LogTexts(), std::string(77, 'o'));

  FrozenLogRotation frozen(DataDirectory());
  ASSERT_TRUE(frozen.Frozen());
  for (int i = 0; i < 100; ++i) LogLine(text100);
  const ULONGLONG ordinaryEnd = FileSize(LogFilePath());
  EXPECT_GT(ordinaryEnd, 4096u) << "stopped at the bound of one generation";
  EXPECT_LE(ordinaryEnd, 6144u);
  EXPECT_GT(ordinaryEnd, 6144u - 100);
  int audited = 0, refused = 0;
  for (int i = 10; i < 50; ++i) {  // each 100 bytes too
    (LogAuditLine(L"request from pid " + std::to_wstring(i) + L" (a.exe, S-1-5-18): splitapps" +
                  std::wstring(29, L'a'))
         ? audited
         : refused)++;
  }
  LogLine(text100);  // still no room
  EXPECT_EQ(static_cast<ULONGLONG>(audited), (8192 - ordinaryEnd) / 100);
  EXPECT_GT(refused, 0);
  EXPECT_LE(FileSize(LogFilePath()), 8192u);
  EXPECT_EQ(ReadFileBytes(older), olderBytes) << "the older generation was touched";
  const std::vector<std::string> frozenLines = LogTexts();
  const size_t written = Count(frozenLines, std::string(77, 'o')) - before;
  EXPECT_EQ(Count(frozenLines, "request from pid "), static_cast<size_t>(audited));

  frozen.Thaw();
  Sleep(1100);  // the next rename is tried a second after the last
  LogLine(L"after");
  const std::vector<std::string> fresh = LogTexts();
  EXPECT_EQ(LogTextsSince(older, 0), frozenLines) << "the frozen generation became helper.log.1";
  ASSERT_EQ(fresh.size(), 4u) << Joined(fresh);
  EXPECT_EQ(fresh[0], "log continued from helper.log.1");
  EXPECT_EQ(fresh[1], std::to_string(101 - written) +
                          " log lines dropped while helper.log could not be renamed");
  EXPECT_EQ(fresh[2], std::to_string(refused) +
                          " requests refused while helper.log could not be renamed: no room for "
                          "their audit lines");
  EXPECT_EQ(fresh[3], "after");
}

// No line goes into a directory the check has not accepted: until one is,
// lines wait in memory, and the file is held so that no other process can
// delete it meanwhile (nor, on Windows, rename the directory around it).
TEST_F(ScratchProgramData, LinesWaitForATrustedDirectoryAndTheFileIsHeld) {
  CloseLogFile();
  ASSERT_TRUE(DeleteFileW(LogFilePath().c_str())) << ErrorText(GetLastError());
  ASSERT_TRUE(RemoveDirectoryW(DataDirectory().c_str())) << ErrorText(GetLastError());
  SetLastError(ERROR_ACCESS_DENIED);
  LogLine(L"before");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "logging keeps the last error";
  EXPECT_EQ(GetFileAttributesW(DataDirectory().c_str()), INVALID_FILE_ATTRIBUTES)
      << "a log line made the directory";
  ASSERT_TRUE(EnsureTrustedDataDirectory());
  LogLine(L"after");
  const std::vector<std::string> lines = SplitLines(ReadLog());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(21), "before");
  EXPECT_EQ(lines[1].substr(21), "after");
  // Held, not opened by name per line: a line goes where the file went.
  const std::wstring moved = LogFilePath() + L".moved";
  ASSERT_TRUE(MoveFileExW(LogFilePath().c_str(), moved.c_str(), 0)) << ErrorText(GetLastError());
  LogLine(L"held");
  EXPECT_EQ(SplitLines(ReadFileBytes(moved)).size(), 3u);
  EXPECT_EQ(GetFileAttributesW(LogFilePath().c_str()), INVALID_FILE_ATTRIBUTES);
}

// Held back, lines have a bound too, its last quarter kept for audit lines;
// an audit line past it is refused (and its request with it).
TEST_F(ScratchProgramData, LinesHeldBackKeepRoomForAuditLines) {
  CloseLogFile();
  for (int i = 0; i < 300; ++i) LogLine(L"ordinary " + std::to_wstring(i));
  int audited = 0;
  for (int i = 0; i < 100; ++i) audited += LogAuditLine(L"audit " + std::to_wstring(i));
  EXPECT_EQ(audited, 64);
  ASSERT_TRUE(EnsureTrustedDataDirectory());
  const std::vector<std::string> lines = LogTexts();
  EXPECT_EQ(Count(lines, "ordinary "), 192u);
  EXPECT_EQ(Count(lines, "audit "), 64u);
  EXPECT_EQ(lines.back(), "audit 63");
}

std::vector<BYTE> SidBytes(const wchar_t* text) {
  PSID sid = nullptr;
  if (!text || !ConvertStringSidToSidW(text, &sid)) return {};
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  std::vector<BYTE> result(bytes, bytes + GetLengthSid(sid));
  LocalFree(sid);
  return result;
}

PSID AsSid(std::vector<BYTE>& bytes) { return bytes.empty() ? nullptr : bytes.data(); }

const char* VerdictName(DirectoryVerdict verdict) {
  static const char* const kNames[] = {"missing", "trusted", "reparse point", "not a directory",
                                       "foreign owner"};  // in the enum's order
  return kNames[static_cast<int>(verdict)];
}

// Every file and directory, relative to `root`, with its content ("<dir>"
// for a directory).
std::map<std::wstring, std::string> TreeContents(const std::wstring& root,
                                                 const std::wstring& below = L"") {
  std::map<std::wstring, std::string> contents;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((root + below + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return contents;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring relative = below + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      contents[relative] = "<dir>";
      for (const auto& entry : TreeContents(root, relative)) contents.insert(entry);
    } else {
      contents[relative] = ReadFileBytes(root + relative);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return contents;
}

// The names in `directory` that start with `prefix`.
std::vector<std::wstring> NamesStarting(const std::wstring& directory, const std::wstring& prefix) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\" + prefix + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// Which directories the helper may write its files into, from what the
// check sees: values Wine never produces (every owner there reads as Wine's
// user), then real names as this system reports them.
TEST_F(ScratchProgramData, DataDirectoryTrustFollowsAttributesAndOwner) {
  std::vector<BYTE> self = SidBytes(L"S-1-5-21-7-7-7-1001");
  const struct {
    DWORD attributes;
    const wchar_t* owner;
    DirectoryVerdict verdict;
  } cases[] = {
      {INVALID_FILE_ATTRIBUTES, L"S-1-5-18", DirectoryVerdict::Missing},
      {FILE_ATTRIBUTE_DIRECTORY, L"S-1-5-18", DirectoryVerdict::Trusted},      // Local System
      {FILE_ATTRIBUTE_DIRECTORY, L"S-1-5-32-544", DirectoryVerdict::Trusted},  // Administrators
      {FILE_ATTRIBUTE_DIRECTORY, L"S-1-5-21-7-7-7-1001", DirectoryVerdict::Trusted},  // self
      {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE, L"S-1-5-32-544",
       DirectoryVerdict::Trusted},
      {FILE_ATTRIBUTE_DIRECTORY, L"S-1-5-21-7-7-7-1002", DirectoryVerdict::ForeignOwner},
      {FILE_ATTRIBUTE_DIRECTORY, L"S-1-5-32-545", DirectoryVerdict::ForeignOwner},  // Users
      {FILE_ATTRIBUTE_DIRECTORY, L"S-1-1-0", DirectoryVerdict::ForeignOwner},       // Everyone
      {FILE_ATTRIBUTE_DIRECTORY, nullptr, DirectoryVerdict::ForeignOwner},  // owner unreadable
      // A link is refused whoever owns it: it leads somewhere else.
      {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, L"S-1-5-18",
       DirectoryVerdict::ReparsePoint},
      {FILE_ATTRIBUTE_REPARSE_POINT, L"S-1-5-21-7-7-7-1001", DirectoryVerdict::ReparsePoint},
      {FILE_ATTRIBUTE_ARCHIVE, L"S-1-5-18", DirectoryVerdict::NotADirectory},
      {FILE_ATTRIBUTE_NORMAL, L"S-1-5-21-7-7-7-1001", DirectoryVerdict::NotADirectory},
  };
  for (const auto& c : cases) {
    std::vector<BYTE> owner = SidBytes(c.owner);
    EXPECT_STREQ(VerdictName(JudgeDirectory(c.attributes, AsSid(owner), AsSid(self))),
                 VerdictName(c.verdict))
        << "attributes 0x" << std::hex << c.attributes << " owner "
        << (c.owner ? WideToUtf8(c.owner) : "none");
  }

  std::vector<BYTE> processUser = ProcessUserSid();
  ASSERT_FALSE(processUser.empty()) << ErrorText(GetLastError());
  ASSERT_TRUE(CreateDirectoryW((root_ + L"\\made").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(root_ + L"\\file", "x"));
  ASSERT_TRUE(PlantSymbolicLink(root_ + L"\\link", root_ + L"\\made"));
  const struct {
    const wchar_t* name;
    DirectoryVerdict verdict;
  } names[] = {
      {L"made", DirectoryVerdict::Trusted},
      {L"file", DirectoryVerdict::NotADirectory},
      {L"absent", DirectoryVerdict::Missing},
      {L"link", DirectoryVerdict::ReparsePoint},
  };
  for (const auto& n : names) {
    PathFacts facts = InspectPath(root_ + L"\\" + n.name);
    EXPECT_STREQ(
        VerdictName(JudgeDirectory(facts.attributes, AsSid(facts.owner), AsSid(processUser))),
        VerdictName(n.verdict))
        << WideToUtf8(n.name) << ": attributes 0x" << std::hex << facts.attributes;
  }
  RemoveSymbolicLink(root_ + L"\\link");
}

// A data directory the check refuses is renamed aside whole, and a new one
// takes its name. Under Wine a Unix symbolic link cannot be renamed: Wine
// moves its target instead (contents and all) and the link stays, leading
// nowhere, so nothing can be made in its place and the check says so.
TEST_F(ScratchProgramData, RefusedDataDirectoryIsRenamedAsideWithNothingLost) {
  const std::wstring data = DataDirectory();
  ASSERT_EQ(data, root_ + L"\\Quorvel");
  CloseLogFile();
  RemoveTree(data);
  const std::map<std::wstring, std::string> planted = {
      {L"\\Quorvel.conf", "PrivateKey = theirs\r\n"},
      {L"\\helper.log", "not ours\r\n"},
      {L"\\sub", "<dir>"},
      {L"\\sub\\kept.txt", "kept"},
  };
  const bool wine = RunningUnderWine();
  const struct {
    const char* what;
    bool link;            // the data directory is a link to a directory elsewhere
    const wchar_t* user;  // whom the check trusts besides Local System and Administrators
    bool trusted;         // what the check answers
    bool remade;          // a new, empty directory stands at the name
    const char* reason;
  } cases[] = {
      // Made here by this process, but judged for a user who owns nothing:
      // a foreign owner, as a directory made by an ordinary user would be.
      // The new directory is this process's too, so the second look
      // refuses it as well.
      {"foreign owner", false, L"S-1-5-21-7-7-7-1002", false, true, "(owned by "},
      {"link to a directory", true, nullptr, !wine, !wine, "(a reparse point)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring source = c.link ? root_ + L"\\elsewhere" : data;
    ASSERT_TRUE(CreateDirectoryW(source.c_str(), nullptr)) << ErrorText(GetLastError());
    for (const auto& entry : planted) {
      if (entry.second == "<dir>") {
        ASSERT_TRUE(CreateDirectoryW((source + entry.first).c_str(), nullptr));
      } else {
        ASSERT_TRUE(WriteFileBytes(source + entry.first, entry.second));
      }
    }
    if (c.link) {
      ASSERT_TRUE(PlantSymbolicLink(data, source));
    }
    std::vector<BYTE> user = c.user ? SidBytes(c.user) : ProcessUserSid();

    EXPECT_EQ(EnsureTrustedDirectory(data, AsSid(user)), c.trusted);

    const std::vector<std::wstring> aside = NamesStarting(root_, L"Quorvel.untrusted-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(TreeContents(root_ + L"\\" + aside[0]), planted) << "not renamed aside whole";
    if (c.remade) {
      EXPECT_EQ(GetFileAttributesW(data.c_str()) &
                    (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
                static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
      // The line waits until the log is opened in an accepted directory;
      // nothing is written into a refused one.
      EXPECT_EQ(GetFileAttributesW(LogFilePath().c_str()), INVALID_FILE_ATTRIBUTES);
    }
    if (c.remade && c.trusted && OpenLogFile(data)) {
      const std::vector<std::string> log = LogTexts();
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log[0].rfind(std::string("data directory not trusted ") + c.reason, 0), 0u)
          << log[0];
      EXPECT_NE(log[0].find("; renamed aside to " + WideToUtf8(root_ + L"\\" + aside[0])),
                std::string::npos)
          << log[0];
      CloseLogFile();
    }

    if (c.link) RemoveSymbolicLink(data);
    RemoveTree(data);
    RemoveTree(root_ + L"\\" + aside[0]);
    RemoveTree(source);
  }
}

}  // namespace

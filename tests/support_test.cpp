// Paths under ProgramData, text conversion, and the helper log.
#include <windows.h>

#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "service_harness.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "test_server.h"

namespace {

// A fresh, empty ProgramData of our own for one test.
class ScratchProgramData : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = NewScratchDirectory(L"support");
    ASSERT_FALSE(root_.empty()) << ErrorText(GetLastError());
    override_ = std::make_unique<ProgramDataOverride>(root_.c_str());
  }
  void TearDown() override {
    override_.reset();
    RemoveTree(root_);
  }
  std::string ReadLog() { return ReadFileBytes(LogFilePath()); }
  std::wstring root_;
  std::unique_ptr<ProgramDataOverride> override_;
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

TEST_F(ScratchProgramData, DeletedDataDirectoryComesBack) {
  LogLine(L"first");
  ASSERT_TRUE(DeleteFileW((root_ + L"\\Quorvel\\helper.log").c_str())) << ErrorText(GetLastError());
  ASSERT_TRUE(RemoveDirectoryW((root_ + L"\\Quorvel").c_str())) << ErrorText(GetLastError());
  LogLine(L"second");
  const std::vector<std::string> lines = SplitLines(ReadLog());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(21), "second");
}

TEST_F(ScratchProgramData, LinesWhileTheFileIsHeldElsewhereAreDroppedThenLoggingResumes) {
  LogLine(L"before");
  HANDLE holder =
      CreateFileW(LogFilePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << ErrorText(GetLastError());
  SetLastError(ERROR_ACCESS_DENIED);
  LogLine(L"while held");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "logging keeps the last error";
  CloseHandle(holder);
  LogLine(L"after");
  const std::vector<std::string> lines = SplitLines(ReadLog());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(21), "before");
  EXPECT_EQ(lines[1].substr(21), "after");
}

}  // namespace

// Console mode: the console's stop signals end the server the way a service
// stop does, and a console close waits for that to finish before the system
// ends the process.
#include <gtest/gtest.h>
#include <map>
#include <thread>

#include "client_io.h"
#include "control/pipe_server.h"
#include "rig.h"
#include "service/entry.h"
#include "service_harness.h"
#include "support/paths.h"
#include "test_server.h"

namespace {

class ConsoleModeStop : public ::testing::TestWithParam<DWORD> {
 protected:
  static void SetUpTestSuite() { RemoveHelperServices(); }
};

TEST_P(ConsoleModeStop, EndsTheServerPromptly) {
  int exitCode = -1;
  std::thread console([&] { exitCode = RunConsoleMode(); });
  std::string reply;
  for (int i = 0; i < 200 && reply.empty(); ++i) {
    reply = SendRequestBytes("ping\n", 10).reply;
    if (reply.empty()) Sleep(10);
  }
  EXPECT_EQ(reply, "OK\n");

  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(ConsoleControlHandler(GetParam()));
  const bool closing = GetParam() != CTRL_C_EVENT && GetParam() != CTRL_BREAK_EVENT;
  // The system ends the process once the handler of a close returns, so the
  // server must be down by then; Ctrl+C must not block the console.
  if (closing) {
    DWORD error = 0;
    HANDLE pipe = OpenHelperPipe(0, error);
    EXPECT_EQ(pipe, INVALID_HANDLE_VALUE) << "the handler returned while the server still ran";
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
  }
  console.join();
  EXPECT_LT(GetTickCount64() - start, 2000u);
  EXPECT_EQ(exitCode, 0);
  DWORD error = 0;
  HANDLE pipe = OpenHelperPipe(0, error);
  EXPECT_EQ(pipe, INVALID_HANDLE_VALUE) << "the pipe must be gone";
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleModeStop,
                         ::testing::Values(CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
                                           CTRL_SHUTDOWN_EVENT));

// A server that cannot start is a failure of the whole mode, with its reason
// in the log, not a clean stop.
TEST(ConsoleModeStart, ServerThatCannotStartFailsWithTheReasonLogged) {
  {
    ScratchDataDirectory data(L"console");
    ASSERT_TRUE(data.Ready());
    HANDLE (*const original)() = CreatePipeIoEvent;
    CreatePipeIoEvent = []() -> HANDLE {
      SetLastError(ERROR_NO_SYSTEM_RESOURCES);
      return nullptr;
    };
    const int exitCode = RunConsoleMode();
    CreatePipeIoEvent = original;
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(LogTextsSince(LogFilePath(), 0),
              std::vector<std::string>{"control pipe not served: CreateEvent failed err=1450"});
  }
}

}  // namespace

namespace {

using FrozenLog = WithoutHelperServices;

// The sum of a request's audit lines: one each, or the count of a
// "(repeated N times)" line.
size_t AuditedRequests(const std::vector<std::string>& lines, const std::string& word) {
  size_t audited = 0;
  for (const std::string& line : lines) {
    if (line.rfind("request from ", 0) != 0) continue;
    const size_t repeated = line.find(": " + word + " (repeated ");
    if (repeated != std::string::npos) {
      audited += std::stoul(line.substr(repeated + word.size() + 13));
    } else if (line.size() > word.size() + 2 &&
               line.compare(line.size() - word.size() - 2, std::string::npos, ": " + word) == 0) {
      ++audited;
    }
  }
  return audited;
}

// A reader that holds both files of the log open (as any user may) freezes
// its rotation. Through 3,000 requests the helper keeps writing up to the
// total bound, ordinary lines first dropped, and a change whose audit line
// finds no room is refused, never made unlogged; the next generation says
// how many of each.
TEST_F(FrozenLog, NoRequestChangesAnythingWithoutItsAuditLine) {
  RigLayout layout;
  layout.limits = L"LogRotateBytes=1024";
  HelperRig rig(L"frozen-log", layout);
  ASSERT_TRUE(rig.StartConsole());
  const std::wstring older = rig.LogPath() + L".1";
  // Filled until it rotates by refused configurations: a line each, and an
  // audit word ("connect") not among those counted below.
  const std::string hook = "connect " + ToBase64("[Interface]\nPostUp = x\n");
  for (int i = 0; i < 500 && GetFileAttributesW(older.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    ASSERT_EQ(Send(hook), "ERR connect failed");
  }
  ASSERT_NE(GetFileAttributesW(older.c_str()), INVALID_FILE_ATTRIBUTES) << "never rotated";
  const std::string olderBytes = ReadFileBytes(older);

  FrozenLogRotation frozen(rig.DataDir());
  ASSERT_TRUE(frozen.Frozen());
  const ULONGLONG offset = FileSize(rig.LogPath());
  const char* const words[] = {"splitapps", "bypassnets", "bypassdomains"};
  std::map<std::string, size_t> accepted;
  size_t refused = 0;
  for (int i = 0; i < 3000; ++i) {
    // A pause of more than a second: each word's count is then due, and
    // each comes with a new first line, however fast the requests are.
    if (i == 1500) Sleep(1100);
    const std::string word = words[i % 3];
    const std::string reply = Send(word + " entry" + std::to_string(i % 7) + ".example");
    if (reply == "OK") {
      ++accepted[word];
    } else {
      ASSERT_EQ(reply, "ERR log full") << "request " << i;
      ++refused;
    }
  }
  EXPECT_GT(refused, 0u) << "the log never filled";
  EXPECT_GT(accepted["bypassnets"], 0u);
  EXPECT_LE(FileSize(rig.LogPath()), 2048u) << "past the total bound";
  EXPECT_EQ(ReadFileBytes(older), olderBytes) << "the older generation was touched";
  const std::vector<std::string> frozenLines = LogTextsSince(rig.LogPath(), offset);
  const size_t ordinaryKept =
      Count(frozenLines, "bypass nets set: ") + Count(frozenLines, "bypass domains set: ");

  frozen.Thaw();
  Sleep(1100);  // the next rename is tried a second after the last
  ASSERT_EQ(Send("disconnect"), "OK");
  const std::vector<std::string> fresh = LogTextsSince(rig.LogPath(), 0);
  std::vector<std::string> both = LogTextsSince(older, offset);
  both.insert(both.end(), fresh.begin(), fresh.end());
  for (const char* word : words) {
    SCOPED_TRACE(word);
    EXPECT_EQ(AuditedRequests(both, word), accepted[word]) << Joined(both);
  }
  ASSERT_GE(fresh.size(), 3u) << Joined(fresh);
  EXPECT_EQ(fresh[0], "log continued from helper.log.1");
  EXPECT_EQ(fresh[1], std::to_string(accepted["bypassnets"] + accepted["bypassdomains"] -
                                     ordinaryKept) +
                          " log lines dropped while helper.log could not be renamed");
  EXPECT_EQ(fresh[2], std::to_string(refused) +
                          " requests refused while helper.log could not be renamed: no room for "
                          "their audit lines");
}

}  // namespace

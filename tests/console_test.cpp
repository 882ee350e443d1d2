// Console mode: the console's stop signals end the server the way a service
// stop does, and a console close waits for that to finish before the system
// ends the process.
#include <gtest/gtest.h>
#include <thread>

#include "client_io.h"
#include "control/pipe_server.h"
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

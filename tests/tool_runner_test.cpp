// One run of the tunnel tool, in-process against the tool stand-in: exit
// codes, what the tool writes reaching the log, a tool that floods or hangs,
// and no handle of the helper reaching the tool but its output pipe.
#include "tunnel/tool_runner.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "rig.h"
#include "service_harness.h"
#include "support/handles.h"
#include "support/paths.h"
#include "test_server.h"

namespace {

class ToolRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(data_.Ready());
    ASSERT_TRUE(CopyFileW(TestbedFile(L"amneziawg.exe").c_str(), tool_.c_str(), FALSE));
  }
  // Runs the tool with a behaviour; returns the exit code and the log lines
  // that the run added.
  int Run(const std::string& behaviour, const std::wstring& arguments,
          std::vector<std::string>& log) {
    WriteFileBytes(dir_ + L"\\amneziawg-behaviour.txt", behaviour);
    DeleteFileW((dir_ + L"\\amneziawg-state.txt").c_str());
    const ULONGLONG from = FileSize(LogFilePath());
    const int code = RunTunnelTool(tool_, arguments);
    log = LogTextsSince(LogFilePath(), from);
    return code;
  }
  ScratchDataDirectory data_{L"tool"};
  const std::wstring& dir_ = data_.Root();
  const std::wstring tool_ = dir_ + L"\\amneziawg.exe";
};

// The tool's words may quote what a client sent: cut as a client's text is.
TEST(ToolOutput, ShowsLineBreaksAsBarsAndKeepsTwoHundredCharacters) {
  EXPECT_EQ(ToolOutputForLog("a\r\nb\nc\rd\r\n\r\n"), L"a | b | c | d");
  EXPECT_EQ(ToolOutputForLog(""), L"");
  EXPECT_EQ(ToolOutputForLog(std::string(5000, 'x')),
            std::wstring(200, L'x') + L"... (4800 more characters)");
  // Bytes the reader read past its 2 KiB and dropped count as cut too.
  EXPECT_EQ(ToolOutputForLog(std::string(2048, 'x'), 1000),
            std::wstring(200, L'x') + L"... (2848 more characters)");
  EXPECT_EQ(ToolOutputForLog("short", 7), L"short... (7 more characters)");
  EXPECT_EQ(ToolOutputForLog("caf\xC3\xA9"), L"caf\x00E9");
  EXPECT_EQ(ToolOutputForLog(std::string("a\0b", 3)), L"ab");
  EXPECT_EQ(ToolOutputForLog("a\tb\x1b[2Jc"), L"a?b?[2Jc");
}

TEST_F(ToolRun, ExitCodesAndTheToolsOwnWords) {
  const std::wstring install = L"/installtunnelservice \"" + dir_ + L"\\Probe.conf\"";
  std::vector<std::string> log;
  EXPECT_EQ(Run("ignore-uninstall\n", L"/uninstalltunnelservice Probe", log), 0);
  EXPECT_EQ(log, std::vector<std::string>{});

  EXPECT_EQ(Run("install-fail-first 1 3\nprint no adapter\nprint driver missing\n", install, log),
            3);
  // Standard output and error both reach the log, in the order written.
  EXPECT_EQ(log, std::vector<std::string>{"amneziawg.exe exited 3: no adapter | no adapter | "
                                          "driver missing | driver missing"});

  // Several MiB of output neither block the tool nor the helper, and only
  // the first 200 characters are logged, with how many more there were:
  // the first 2 KiB kept are 32 lines of 62 characters and a line break
  // (shown as " | ", the last dropped), 2,077 characters; the rest of the
  // 5 MiB is counted by the byte.
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Run("install-fail-first 1 7\nflood 5242880\n", install, log), 7);
  EXPECT_LT(GetTickCount64() - start, 20000u);
  ASSERT_EQ(log.size(), 1u);
  std::string flood;
  for (int i = 0; i < 4; ++i) {
    std::string line = "flood " + std::to_string(i) + " ";
    line.resize(62, 'x');
    flood += (i == 0 ? "" : " | ") + line;
  }
  flood.resize(200);
  EXPECT_EQ(log[0], "amneziawg.exe exited 7: " + flood + "... (" +
                        std::to_string(2077 - 200 + 5242880 - 2048) + " more characters)");
}

TEST_F(ToolRun, NoHandleOfTheHelperReachesTheTool) {
  // A handle that other code of the process made inheritable, at a value
  // high enough that the tool cannot hold one of its own there: inherited
  // handles keep their values, a valid one there can only be ours.
  std::vector<UniqueHandle> filler;
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  while (reinterpret_cast<uintptr_t>(event.get()) < 0x4000) {
    HANDLE next = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event.get(), GetCurrentProcess(), &next, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    filler.push_back(std::move(event));
    event.reset(next);
  }
  ASSERT_TRUE(SetHandleInformation(event.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
  const std::string value = std::to_string(reinterpret_cast<uintptr_t>(event.get()));
  std::vector<std::string> log;
  EXPECT_EQ(
      Run("ignore-uninstall\nprobe-handle " + value + "\n", L"/uninstalltunnelservice Probe", log),
      0);
  const std::vector<std::string> journal = ReadLines(dir_ + L"\\amneziawg-journal.txt");
  std::string probe;
  for (const std::string& line : journal) {
    if (line.rfind("probe-handle", 0) == 0) probe = line;
  }
  EXPECT_EQ(probe, "probe-handle " + value + " invalid");
}

TEST_F(ToolRun, AToolThatHangsIsLeftRunningAfterThirtySeconds) {
  std::vector<std::string> log;
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Run("hang-ms 45000\n", L"/uninstalltunnelservice Probe", log), kToolStillRunning);
  const ULONGLONG took = GetTickCount64() - start;
  EXPECT_GE(took, 29500u);
  EXPECT_LT(took, 35000u);
  EXPECT_EQ(log, std::vector<std::string>{"amneziawg.exe still running after 30 s; left running"});
  // Still running, not killed.
  const std::vector<std::string> journal = ReadLines(dir_ + L"\\amneziawg-journal.txt");
  ASSERT_FALSE(journal.empty());
  const DWORD pid = std::stoul(journal[0].substr(journal[0].find("pid=") + 4));
  UniqueHandle tool(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(tool) << ErrorText(GetLastError());
  EXPECT_EQ(WaitForSingleObject(tool.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateProcess(tool.get(), 9);
  WaitForSingleObject(tool.get(), 5000);
}

}  // namespace

// Starting and stopping the pipe server: a stop must end it promptly wherever
// it falls, and never execute a request that had not fully arrived.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <random>
#include <thread>

#include "client_io.h"
#include "control/pipe_server.h"
#include "support/helper_state.h"
#include "test_server.h"

namespace {

constexpr ULONGLONG kPromptStopMs = 2000;

class PipeServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RemoveHelperServices(); }
};

TEST_F(PipeServer, StopWhileWaitingForAClient) {
  TestPipeServer server;
  EXPECT_EQ(Request("ping\n"), "OK\n");
  EXPECT_LT(server.Stop(), kPromptStopMs);
  DWORD error = 0;
  HANDLE pipe = OpenHelperPipe(0, error);
  EXPECT_EQ(pipe, INVALID_HANDLE_VALUE) << "the pipe must be gone after a stop";
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
}

TEST_F(PipeServer, AlreadySignalledStopCreatesNoInstance) {
  HelperState.StopEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  const ULONGLONG start = GetTickCount64();
  std::atomic<bool> sawPipe{false};
  std::thread watcher([&] {
    for (int i = 0; i < 50; ++i) {
      if (WaitNamedPipeW(kHelperPipePath, 0) || GetLastError() != ERROR_FILE_NOT_FOUND) {
        sawPipe = true;
      }
      Sleep(2);
    }
  });
  RunPipeServer();
  EXPECT_LT(GetTickCount64() - start, 500u);
  watcher.join();
  EXPECT_FALSE(sawPipe);
  CloseHandle(HelperState.StopEvent);
  HelperState.StopEvent = nullptr;
}

TEST_F(PipeServer, StopWhileAClientOwesItsLineExecutesNothing) {
  TestPipeServer server;
  RawClient client;
  ASSERT_TRUE(client.connected()) << ErrorText(client.error);
  ASSERT_TRUE(client.Write("pi"));
  Sleep(200);
  EXPECT_LT(server.Stop(), kPromptStopMs);
  EXPECT_EQ(client.ReadAll(), "");
}

TEST_F(PipeServer, StopAtAnyMomentEndsTheServerPromptly) {
  // Clients keep the server cycling through accept, read, reply and the
  // creation of the next instance; the stop falls at a random point each
  // round, also between two instances.
  std::mt19937 random(12345);
  for (int round = 0; round < 15; ++round) {
    TestPipeServer server;
    std::atomic<bool> running{true};
    std::atomic<int> answered{0};
    std::thread clients([&] {
      while (running) {
        if (SendRequestBytes("ping\n", 50).reply == "OK\n") ++answered;
      }
    });
    Sleep(20 + random() % 60);
    const ULONGLONG took = server.Stop();
    running = false;
    clients.join();
    EXPECT_LT(took, kPromptStopMs) << "round " << round;
    EXPECT_GT(answered.load(), 0) << "round " << round;
  }
}

TEST_F(PipeServer, PipeCarriesTheIntendedAccessList) {
  TestPipeServer server;
  RawClient client;
  ASSERT_TRUE(client.connected()) << ErrorText(client.error);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  const DWORD result = GetSecurityInfo(client.pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, &dacl, nullptr, &descriptor);
  ASSERT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS)) << ErrorText(result);
  ASSERT_NE(dacl, nullptr);
  wchar_t* sddl = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr))
      << ErrorText(GetLastError());
  const std::wstring text = sddl;
  LocalFree(sddl);
  LocalFree(descriptor);
  // Generic rights are mapped to the pipe's specific rights when stored:
  // compare the trustees and that anonymous and everyone are absent.
  EXPECT_EQ(dacl->AceCount, 3) << testing::PrintToString(text);
  EXPECT_NE(text.find(L";;;SY)"), std::wstring::npos) << testing::PrintToString(text);
  EXPECT_NE(text.find(L";;;BA)"), std::wstring::npos) << testing::PrintToString(text);
  EXPECT_NE(text.find(L";;;AU)"), std::wstring::npos) << testing::PrintToString(text);
  EXPECT_EQ(text.find(L";;;WD)"), std::wstring::npos) << testing::PrintToString(text);
  EXPECT_EQ(text.find(L";;;AN)"), std::wstring::npos) << testing::PrintToString(text);
}

}  // namespace

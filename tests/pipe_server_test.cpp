// Starting and stopping the pipe server: a stop must end it promptly wherever
// it falls, and never execute a request that had not fully arrived.
#include "control/pipe_server.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "client_io.h"
#include "control/client_identity.h"
#include "rig.h"
#include "service_harness.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/paths.h"
#include "test_server.h"

namespace {

constexpr ULONGLONG kPromptStopMs = 2000;

using PipeServer = WithoutHelperServices;

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
      if (WaitNamedPipeW(kPipePath, 0) || GetLastError() != ERROR_FILE_NOT_FOUND) {
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

// The stop and a client arrive while the server waits in its accept: both
// events are signalled when it wakes, and the stop must win. Suspending the
// server thread makes the two arrive together every time.
TEST_F(PipeServer, StopArrivingWithAClientServesNothing) {
  HelperState.StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  UniqueHandle server(CreateThread(
      nullptr, 0, [](LPVOID) -> DWORD { return RunPipeServer(); }, nullptr, 0, nullptr));
  ASSERT_TRUE(server) << ErrorText(GetLastError());
  for (int i = 0; i < 200 && !WaitNamedPipeW(kPipePath, 10); ++i) Sleep(10);
  Sleep(100);  // into its accept
  ASSERT_NE(SuspendThread(server.get()), static_cast<DWORD>(-1)) << ErrorText(GetLastError());
  RawClient client;
  const bool connected = client.connected() && client.Write("ping\n");
  SetEvent(HelperState.StopEvent);
  ResumeThread(server.get());
  EXPECT_TRUE(connected) << ErrorText(client.error);
  EXPECT_EQ(client.ReadAll(), "") << "a request was served after the stop";
  EXPECT_EQ(WaitForSingleObject(server.get(), 2000), WAIT_OBJECT_0);
  CloseHandle(HelperState.StopEvent);
  HelperState.StopEvent = nullptr;
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

// Another process created the pipe's name before the server started. Its
// single-instance limit makes Wine, which ignores FILE_FLAG_FIRST_PIPE_INSTANCE,
// refuse the server's instance too (with ERROR_PIPE_BUSY; Windows refuses a
// first instance of a taken name whatever its limit, with ERROR_ACCESS_DENIED).
UniqueFileHandle SquatThePipeName() {
  return UniqueFileHandle(CreateNamedPipeW(kPipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                           kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
}

class HeldPipeName : public PipeServer {
 protected:
  void SetUp() override {
    PipeServer::SetUp();
    ASSERT_TRUE(data_.Ready());
  }
  std::vector<std::string> Log() const { return LogTextsSince(LogFilePath(), 0); }

  ScratchDataDirectory data_{L"squat"};
};

const std::vector<std::string> kHeldOnce = {"control pipe name is held by another process"};

TEST_F(HeldPipeName, IsReportedOnceAndServedOnlyOnceFreed) {
  UniqueFileHandle squatter = SquatThePipeName();
  ASSERT_TRUE(squatter) << ErrorText(GetLastError());
  TestPipeServer server(PipeName::HeldByTest);
  Sleep(1700);  // three retries and more
  EXPECT_EQ(Log(), kHeldOnce);

  // Meanwhile a client reaches the squatter, and nothing answers it.
  {
    RawClient client(0);
    ASSERT_TRUE(client.connected()) << ErrorText(client.error);
    ASSERT_TRUE(client.Write("ping\n"));
    char received[16] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(squatter.get(), received, sizeof(received), &got, nullptr))
        << ErrorText(GetLastError());
    EXPECT_EQ(std::string(received, got), "ping\n");
    DisconnectNamedPipe(squatter.get());
    EXPECT_EQ(client.ReadAll(), "");
  }

  squatter.reset();
  std::string reply;
  const ULONGLONG freedAt = GetTickCount64();
  while (reply.empty() && GetTickCount64() - freedAt < 3000) reply = Request("ping\n");
  EXPECT_EQ(reply, "OK\n") << "not served after the name was freed";
  EXPECT_EQ(Log(), kHeldOnce);
}

TEST_F(HeldPipeName, StopWhileHeldIsPrompt) {
  UniqueFileHandle squatter = SquatThePipeName();
  ASSERT_TRUE(squatter) << ErrorText(GetLastError());
  TestPipeServer server(PipeName::HeldByTest);
  Sleep(700);
  EXPECT_LT(server.Stop(), kPromptStopMs);
  EXPECT_EQ(Log(), kHeldOnce);
}

// Naming an account may wait seconds for a domain controller: never on the
// thread that serves every client.
TEST_F(HeldPipeName, AnAccountLookupThatNeverReturnsHoldsNoRequest) {
  static std::atomic<int> asked{0};
  NameAccount = [](PSID, std::wstring&) {
    ++asked;
    Sleep(INFINITE);
    return false;
  };
  TestPipeServer server;
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Request("splitapps a.exe\n"), "OK\n");
  EXPECT_EQ(Request("bypassnets 10.0.0.0/8\n"), "OK\n");
  EXPECT_EQ(Request("ping\n"), "OK\n");
  EXPECT_LT(GetTickCount64() - start, 1000u);
  for (int i = 0; i < 100 && asked == 0; ++i) Sleep(10);
  EXPECT_EQ(asked.load(), 1) << "the naming thread was not asked, or asked twice";
  const std::vector<std::string> audit = Starting(Log(), "request from");
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_NE(audit[1].find(", S-1-5-"), std::string::npos) << audit[1];
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
  UniqueLocalMemory descriptorOwner(descriptor);
  ASSERT_NE(dacl, nullptr);
  wchar_t* sddl = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr))
      << ErrorText(GetLastError());
  const std::wstring text = sddl;
  LocalFree(sddl);
  // Windows stores generic rights mapped to the pipe's specific rights, Wine
  // keeps them as written: compare each account's rights after mapping.
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  // Authenticated Users may read and write but not create instances: with
  // that right any local user could serve other users' requests.
  const std::map<std::wstring, DWORD> expected = {
      {L"S-1-5-18", GENERIC_ALL},      // Local System
      {L"S-1-5-32-544", GENERIC_ALL},  // Administrators
      {L"S-1-5-11", (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE},
  };
  std::map<std::wstring, DWORD> granted;
  for (WORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << testing::PrintToString(text);
    wchar_t* sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, &sid));
    DWORD mask = ace->Mask;
    MapGenericMask(&mask, &mapping);
    granted[sid] = mask;
    LocalFree(sid);
  }
  std::map<std::wstring, DWORD> wanted;
  for (auto [sid, mask] : expected) {
    MapGenericMask(&mask, &mapping);
    wanted[sid] = mask;
  }
  EXPECT_EQ(granted, wanted) << testing::PrintToString(text);
}

}  // namespace

// ------------------------------------------ one client against the real helper

using FloodedHelper = WithoutHelperServices;

// The name never lapses between two instances: a process spinning on
// CreateNamedPipeW would take it in that moment, and the helper's next
// instance would join the squatter's pipe. Wine enforces neither the
// first-instance flag nor pipe access lists, so the moment itself is what
// is watched: WaitNamedPipeW answers ERROR_FILE_NOT_FOUND exactly while no
// instance exists.
TEST_F(FloodedHelper, ThePipeNameNeverLapsesAndTheLogStaysBounded) {
  RigLayout layout;
  layout.limits = L"LogRotateBytes=65536";
  HelperRig rig(L"flood", layout);
  ASSERT_TRUE(rig.StartConsole());
  std::atomic<bool> clientsDone{false};
  std::atomic<int> lapses{0}, looks{0};
  std::thread watcher([&] {
    while (!clientsDone) {
      if (!WaitNamedPipeW(kPipePath, 1) && GetLastError() == ERROR_FILE_NOT_FOUND) ++lapses;
      ++looks;
    }
  });
  int answered = 0;
  for (int i = 0; i < 2000; ++i) answered += Send("ping") == "OK";
  clientsDone = true;
  watcher.join();
  EXPECT_EQ(answered, 2000);
  EXPECT_GT(looks.load(), 2000) << "the watcher hardly looked";
  EXPECT_EQ(lapses.load(), 0) << "the name did not exist " << lapses << " times";

  // Identical audit lines within a second: one line, then the count.
  for (int i = 0; i < 200; ++i) ASSERT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
  Sleep(1100);
  ASSERT_EQ(Send("splitapps"), "OK");
  size_t audited = 0;
  for (const std::string& line : Starting(rig.Log(), "request from")) {
    if (line.find(": bypassnets") == std::string::npos) continue;
    const size_t repeated = line.find(" (repeated ");
    audited += repeated == std::string::npos ? 1 : std::stoul(line.substr(repeated + 11));
  }
  EXPECT_EQ(audited, 200u);
  EXPECT_LT(Starting(rig.Log(), "request from").size(), 20u);

  // However much a client sends, two generations of at most the bound.
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(Send("bypassnets 10." + std::to_string(i % 250) + ".0.0/16"), "OK");
  ASSERT_EQ(Send("bypassnets 10.99.0.0/16;10.98.0.0/16"), "OK");
  WIN32_FILE_ATTRIBUTE_DATA current{}, older{};
  ASSERT_TRUE(GetFileAttributesExW(rig.LogPath().c_str(), GetFileExInfoStandard, &current));
  ASSERT_TRUE(GetFileAttributesExW((rig.LogPath() + L".1").c_str(), GetFileExInfoStandard, &older));
  EXPECT_LE(current.nFileSizeLow, 65536u);
  EXPECT_LE(older.nFileSizeLow, 65536u);
  EXPECT_GT(older.nFileSizeLow, 60000u) << "rotated long before the bound";
  const std::vector<std::string> log = LogTextsSince(rig.LogPath(), 0);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "log continued from helper.log.1");
  EXPECT_EQ(log.back(), "bypass nets set: 2");
}

// Starting and stopping the pipe server: a stop must end it promptly wherever
// it falls, and never execute a request that had not fully arrived.
#include "control/pipe_server.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "client_io.h"
#include "control/client_identity.h"
#include "control/command_runner.h"
#include "rig.h"
#include "service_harness.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/paths.h"
#include "support/text.h"
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
    // Cycling first (a loaded machine can take longer than a fixed pause
    // to answer the first ping), then the stop at a random point.
    const ULONGLONG start = GetTickCount64();
    while (answered == 0 && GetTickCount64() - start < 5000) Sleep(1);
    Sleep(random() % 60);
    const ULONGLONG took = server.Stop();
    running = false;
    clients.join();
    EXPECT_LT(took, kPromptStopMs) << "round " << round;
    EXPECT_GT(answered.load(), 0) << "round " << round << ": the server never answered";
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

// ------------------------------------------------------ many clients at once

// Clients of this process that connect and say nothing.
void ConnectSilently(int count, std::vector<std::unique_ptr<RawClient>>& silent) {
  for (int i = 0; i < count; ++i) {
    silent.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(silent.back()->connected()) << ErrorText(silent.back()->error);
  }
}

// One process holds at most its share of the connections: the one over it
// is answered with a refusal of its own, before anything of it is read,
// while the others stay connected and are served.
TEST_F(PipeServer, AProcessOverItsShareIsRefusedAndTheOthersServed) {
  const ScopedLimit perProcess(HelperLimits.PipeClientsPerProcess, size_t{3});
  TestPipeServer server;
  std::vector<std::unique_ptr<RawClient>> silent;
  ASSERT_NO_FATAL_FAILURE(ConnectSilently(3, silent));
  {
    RawClient over;
    ASSERT_TRUE(over.connected()) << ErrorText(over.error);
    over.Write("ping\n");
    EXPECT_EQ(over.ReadAll(), "ERR too many connections from this process\n");
  }
  ASSERT_TRUE(silent[0]->Write("ping\n"));
  EXPECT_EQ(silent[0]->ReadAll(), "OK\n");
  silent.clear();
  EXPECT_EQ(Request("ping\n"), "OK\n");
}

// At the bound on clients in all no instance listens: a newcomer waits, as
// behind a busy helper, and is served as soon as a client has gone. A stop
// with every slot taken is as prompt as ever.
TEST_F(PipeServer, AtTheBoundANewcomerWaitsForAFreeSlot) {
  const ScopedLimit inAll(HelperLimits.PipeClientsAtMost, size_t{3});
  TestPipeServer server;
  std::vector<std::unique_ptr<RawClient>> silent;
  ASSERT_NO_FATAL_FAILURE(ConnectSilently(3, silent));
  DWORD error = 0;
  HANDLE none = OpenHelperPipe(0, error);
  EXPECT_EQ(none, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY)) << ErrorText(error);
  if (none != INVALID_HANDLE_VALUE) CloseHandle(none);

  std::atomic<ULONGLONG> answeredAt{0};
  std::string reply;
  std::thread newcomer([&] {
    reply = SendRequestBytes("ping\n", 5000).reply;
    answeredAt = GetTickCount64();
  });
  Sleep(300);
  EXPECT_EQ(answeredAt.load(), 0u) << "served beyond the bound";
  const ULONGLONG freedAt = GetTickCount64();
  silent.pop_back();
  newcomer.join();
  EXPECT_EQ(reply, "OK\n");
  EXPECT_LT(answeredAt - freedAt, 1000u);

  silent.push_back(std::make_unique<RawClient>());
  ASSERT_TRUE(silent.back()->connected()) << ErrorText(silent.back()->error);
  EXPECT_LT(server.Stop(), kPromptStopMs);
  for (const auto& client : silent) EXPECT_EQ(client->ReadAll(), "");
}

// Past their first read, requests hold at most the bound in bytes: a second
// long request is read on only once the first has been answered, its client
// meanwhile waiting in its write.
TEST_F(PipeServer, LongRequestsHoldNoMoreThanTheirBound) {
  const ScopedLimit held(HelperLimits.PipeHeldBytes, size_t{65536});
  TestPipeServer server;
  RawClient first, second;
  ASSERT_TRUE(first.connected() && second.connected()) << ErrorText(first.error);
  ASSERT_TRUE(first.Write("ping " + std::string(57344 - 5, 'x')));
  Sleep(200);  // all of it read
  std::atomic<bool> written{false};
  std::thread writer([&] { written = second.Write("ping " + std::string(40000, 'y')); });
  Sleep(500);
  EXPECT_FALSE(written) << "the second request was read past the bound";
  ASSERT_TRUE(first.Write("\n"));
  EXPECT_EQ(first.ReadAll(), "OK\n");
  writer.join();
  EXPECT_TRUE(written);
  ASSERT_TRUE(second.Write("\n"));
  EXPECT_EQ(second.ReadAll(), "OK\n");
}

// What the command thread is handed, and when.
struct CommandLog {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::set<DWORD> threads;
  int running = 0;
  int mostAtOnce = 0;
};
CommandLog* Commands = nullptr;

class PipeCommands : public PipeServer {
 protected:
  void SetUp() override {
    PipeServer::SetUp();
    Commands = &log_;
    saved_ = RunPipeCommand;
  }
  void TearDown() override {
    RunPipeCommand = saved_;
    Commands = nullptr;
    PipeServer::TearDown();
  }
  CommandLog log_;
  std::wstring (*saved_)(const std::wstring&, HANDLE) = nullptr;
};

// Requests run in the order they were completed, not in the order their
// clients connected; one at a time, always on the same thread; and each
// with its own client's pipe, connected: what the command writes to it
// reaches that client, before its reply.
TEST_F(PipeCommands, RunOneAtATimeInTheOrderCompletedWithTheirOwnClient) {
  RunPipeCommand = [](const std::wstring& line, HANDLE client) -> std::wstring {
    {
      std::lock_guard<std::mutex> lock(Commands->mutex);
      Commands->lines.push_back(WideToUtf8(line));
      Commands->threads.insert(GetCurrentThreadId());
      Commands->mostAtOnce = std::max(Commands->mostAtOnce, ++Commands->running);
    }
    const std::string mark = WideToUtf8(line) + ":";
    DWORD written = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!WriteFile(client, mark.data(), static_cast<DWORD>(mark.size()), nullptr, &overlapped)) {
      GetOverlappedResult(client, &overlapped, &written, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    Sleep(20);
    std::lock_guard<std::mutex> lock(Commands->mutex);
    --Commands->running;
    return L"OK";
  };
  TestPipeServer server;
  RawClient early, late;
  ASSERT_TRUE(early.connected() && late.connected()) << ErrorText(early.error);
  Sleep(100);  // both are being read
  ASSERT_TRUE(late.Write("late\n"));
  Sleep(100);
  ASSERT_TRUE(early.Write("early\n"));
  EXPECT_EQ(late.ReadAll(), "late:OK\n");
  EXPECT_EQ(early.ReadAll(), "early:OK\n");

  std::vector<std::thread> clients;
  std::vector<std::string> replies(8);
  for (size_t i = 0; i < replies.size(); ++i) {
    clients.emplace_back([&replies, i] {
      replies[i] = SendRequestBytes("c" + std::to_string(i) + "\n", 5000).reply;
    });
  }
  for (std::thread& client : clients) client.join();
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i], "c" + std::to_string(i) + ":OK\n");
  }
  server.Stop();
  ASSERT_GE(log_.lines.size(), 2u);
  EXPECT_EQ(log_.lines[0], "late");
  EXPECT_EQ(log_.lines[1], "early");
  EXPECT_EQ(log_.mostAtOnce, 1) << "two commands ran at once";
  EXPECT_EQ(log_.threads.size(), 1u) << "commands ran on more than one thread";
}

// A stop while a command runs lets it finish and delivers its reply; a
// request complete but not yet run is never run, and its client gets
// nothing.
TEST_F(PipeCommands, AStopLetsTheRunningCommandAnswerAndRunsNoOther) {
  static HANDLE release = nullptr;
  release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  RunPipeCommand = [](const std::wstring& line, HANDLE) -> std::wstring {
    {
      std::lock_guard<std::mutex> lock(Commands->mutex);
      Commands->lines.push_back(WideToUtf8(line));
    }
    if (line == L"slow") WaitForSingleObject(release, 5000);
    return L"OK";
  };
  TestPipeServer server;
  RawClient slow, queued;
  ASSERT_TRUE(slow.connected() && queued.connected()) << ErrorText(slow.error);
  ASSERT_TRUE(slow.Write("slow\n"));
  Sleep(100);
  ASSERT_TRUE(queued.Write("queued\n"));
  Sleep(100);
  std::thread stopper([&] { server.Stop(); });
  Sleep(200);
  SetEvent(release);
  stopper.join();
  EXPECT_EQ(slow.ReadAll(), "OK\n");
  EXPECT_EQ(queued.ReadAll(), "");
  EXPECT_EQ(log_.lines, std::vector<std::string>{"slow"});
  CloseHandle(release);
}

// A process whose clients connect and close in bursts, more of them than
// its share, while the command thread is busy (their ends closed before the
// server got round to them): a closed client holds no connection of its
// process, so its next request is served, not refused.
TEST_F(PipeCommands, ClientsThatClosedAtOnceDoNotCountAgainstTheirProcess) {
  static HANDLE release = nullptr;
  release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  RunPipeCommand = [](const std::wstring& line, HANDLE) -> std::wstring {
    if (line == L"slow") WaitForSingleObject(release, 5000);
    return L"OK";
  };
  TestPipeServer server;
  RawClient slow;
  ASSERT_TRUE(slow.connected()) << ErrorText(slow.error);
  ASSERT_TRUE(slow.Write("slow\n"));
  Sleep(100);
  for (size_t i = 0; i < HelperLimits.PipeClientsPerProcess + 4; ++i) {
    RawClient dropped;
    ASSERT_TRUE(dropped.connected()) << ErrorText(dropped.error);
  }
  Sleep(100);  // each close seen, none of their requests run yet
  std::string reply;
  std::thread next([&] { reply = SendRequestBytes("ping\n", 5000).reply; });
  Sleep(100);
  SetEvent(release);
  next.join();
  EXPECT_EQ(reply, "OK\n");
  EXPECT_EQ(slow.ReadAll(), "OK\n");
  CloseHandle(release);
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

// Clients that connect and say nothing hold nothing up: every connected
// client is read at once, and a request waits only for the commands ahead
// of it. Sixteen silent connections from two processes, as a local user's
// programs could hold them; `ping` and `state` still answer at once.
TEST_F(FloodedHelper, SilentClientsHoldNoRequestUp) {
  HelperRig rig(L"idle");
  ASSERT_TRUE(rig.StartConsole());
  std::vector<RunningProcess> idlers;
  unsigned silent = 0;
  for (int i = 0; i < 2; ++i) {
    unsigned opened = 0, refused = 0;
    idlers.push_back(StartPipeIdler(8, opened, refused));
    ASSERT_TRUE(idlers.back().valid());
    silent += opened - refused;
  }
  EXPECT_EQ(silent, 16u) << "silent clients connected";
  for (const char* request : {"ping", "state"}) {
    const ULONGLONG start = GetTickCount64();
    const std::string reply = Send(request, 20000);
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_LT(took, 100u) << request << " waited behind silent clients";
    EXPECT_TRUE(reply == "OK" || reply.rfind("{\"connected\":false", 0) == 0) << reply;
  }
}

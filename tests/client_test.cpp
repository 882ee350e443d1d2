// The command-line client's answer when it cannot get a reply: a helper that
// is not running is not the same as one that is busy with someone else; and
// a pipe served by anyone but the helper service gets nothing at all.
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

#include "service_harness.h"
#include "support/handles.h"
#include "support/protocol.h"
#include "test_server.h"

namespace {

TEST(ControlClient, TellsAMissingHelperFromABusyOne) {
  RemoveHelperServices();
  // Nothing serves the pipe.
  ProcessResult result = RunProgram(ControlClientExePath(), L"--console-helper --wait-ms 300 ping");
  EXPECT_EQ(result.exitCode, 2u);
  EXPECT_NE(result.output.find("the helper is not running"), std::string::npos) << result.output;

  // A server whose only instance is taken by another client.
  UniqueFileHandle instance(CreateNamedPipeW(kPipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                             kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
  ASSERT_TRUE(instance) << ErrorText(GetLastError());
  RawClient holder;
  ASSERT_TRUE(holder.connected()) << ErrorText(holder.error);
  result = RunProgram(ControlClientExePath(), L"--console-helper --wait-ms 300 ping");
  EXPECT_EQ(result.exitCode, 3u);
  EXPECT_NE(result.output.find("the helper is busy"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("not running"), std::string::npos) << result.output;
}

// What a squatting server, an instance of the pipe made by the test process,
// saw of one client: every byte, and the impersonation level the client
// allows it (-1 when it could not be read).
struct SquatterReport {
  std::string received;
  int impersonationLevel = -1;
  DWORD impersonationError = 0;
};

class Squatter {
 public:
  Squatter()
      : pipe_(CreateNamedPipeW(kPipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                               PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
                               nullptr)) {
    created_ = pipe_.valid();
    if (created_) {
      thread_ = std::thread([this] {
        Serve();
        pipe_.reset();  // the client reads until the end of the pipe
      });
    }
  }
  bool created() const { return created_; }
  // Ends the wait for a client that never came, and hands over what it saw.
  SquatterReport Finish() {
    // A poke may find the helper's listening instance instead, when one
    // is served beside this: poked until this one has its client.
    for (int poke = 0; poke < 500 && !connected_; ++poke) {
      HANDLE client = CreateFileW(kPipePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
      if (!connected_) Sleep(10);
    }
    if (thread_.joinable()) thread_.join();
    return report_;
  }
  ~Squatter() { Finish(); }
  bool taken() const { return connected_; }

 private:
  void Serve() {
    if (!ConnectNamedPipe(pipe_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    connected_ = true;
    char buffer[256];
    DWORD got = 0;
    while (report_.received.find('\n') == std::string::npos &&
           ReadFile(pipe_.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
      report_.received.append(buffer, got);
    }
    if (report_.received.empty()) return;
    // Windows lets a server impersonate only once it has read from the pipe.
    if (!ImpersonateNamedPipeClient(pipe_.get())) {
      report_.impersonationError = GetLastError();
    } else {
      HANDLE token = nullptr;
      SECURITY_IMPERSONATION_LEVEL level{};
      DWORD size = 0;
      if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
          GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &size)) {
        report_.impersonationLevel = level;
      } else {
        report_.impersonationError = GetLastError();
      }
      if (token) CloseHandle(token);
      RevertToSelf();
    }
    DWORD written = 0;
    WriteFile(pipe_.get(), "OK\n", 3, &written, nullptr);
    FlushFileBuffers(pipe_.get());
  }

  UniqueFileHandle pipe_;
  bool created_ = false;
  std::thread thread_;
  std::atomic<bool> connected_{false};
  SquatterReport report_;
};

using ControlClientServerCheck = WithoutHelperServices;

// Who serves the pipe when quorvelctl runs: the helper service, a squatter in
// the test process, or both (the squatter added an instance while the
// service's only instance is taken by another client).
TEST_F(ControlClientServerCheck, SendsOnlyToTheHelperServiceUnlessTold) {
  const std::string wrongServer = "quorvelctl: \\\\.\\pipe\\QuorvelHelper is served by process " +
                                  std::to_string(GetCurrentProcessId()) +
                                  ", not by the QuorvelHelper service\r\n";
  struct Case {
    const char* name;
    bool helperService;
    bool squatter;
    const wchar_t* arguments;
    DWORD exitCode;
    std::string output;  // stdout and stderr, in text mode
  };
  // The service cases come last: the service is installed once, at the
  // first case that needs it.
  const std::vector<Case> cases = {
      {"squatter", false, true, L"ping", 4, wrongServer},
      {"squatter, console helper", false, true, L"--console-helper ping", 0, "OK\r\n"},
      {"wait first", false, true, L"--wait-ms 5000 --console-helper ping", 0, "OK\r\n"},
      {"wait last", false, true, L"--console-helper --wait-ms 5000 ping", 0, "OK\r\n"},
      {"helper service", true, false, L"ping", 0, "OK\r\n"},
      {"an answer in JSON", true, false, L"state", 0,
       "{\"connected\":false,\"physical\":null,\"physical6\":null,\"routes\":0,\"split_routes\":0,"
       "\"sniffer\":\"stopped\",\"bypassnets\":0,\"splitapps\":0,\"bypassdomains\":0,"
       "\"domain_routes\":0,\"dns_answers_unrouted\":0,\"dns_send_failures\":0,"
       "\"missed_first_connections\":0,\"missed_by_app\":[],\"warnings\":[]}\r\n"},
      {"an error", true, false, L"explain 10.1.2", 1, "ERR bad address\r\n"},
      {"squatter beside the helper service", true, true, L"ping", 4, wrongServer},
  };
  bool installed = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.helperService && !installed) {
      const ProcessResult install = RunProgram(HelperExePath(), L"--install");
      ASSERT_EQ(install.exitCode, 0u) << install.output;
      ASSERT_TRUE(WaitForServiceState(L"QuorvelHelper", SERVICE_RUNNING, 15000));
      ASSERT_EQ(Request("ping\n"), "OK\n");
      installed = true;
    }
    // Beside the helper service the client finds the instance that has
    // listened longest: the one the helper always keeps listening, unless a
    // silent client holds it first, and the helper's next instance comes
    // after the squatter's. Where the holder took the squatter's instance
    // instead, or the client still found the helper's, it runs again; each
    // run that found the helper's is served as usual and the squatter gets
    // no byte.
    std::unique_ptr<Squatter> squatter;
    std::unique_ptr<RawClient> holder;
    ProcessResult result;
    for (int run = 0;; ++run) {
      holder.reset();  // first: a squatter it holds ends only once it goes
      if (c.squatter) {
        squatter = std::make_unique<Squatter>();
        ASSERT_TRUE(squatter->created()) << ErrorText(GetLastError());
      }
      if (c.helperService && c.squatter) {
        holder = std::make_unique<RawClient>();
        ASSERT_TRUE(holder->connected()) << ErrorText(holder->error);
        Sleep(100);  // the helper's next instance made meanwhile
        if (squatter->taken() && run < 19) continue;
      }
      result = RunProgram(ControlClientExePath(), c.arguments);
      ASSERT_TRUE(result.started) << ErrorText(result.error);
      if (!(c.helperService && c.squatter) || result.output != "OK\r\n" || run == 19) break;
      EXPECT_EQ(squatter->Finish().received, "") << "the squatter received bytes";
    }
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.output, c.output);
    if (!squatter) continue;

    const SquatterReport report = squatter->Finish();
    if (c.exitCode == 4) {
      EXPECT_EQ(report.received, "") << "the squatter received bytes";
      continue;
    }
    EXPECT_EQ(report.received, "ping\n");
    // The client allows identification at most, so a squatter cannot act
    // with its rights. Wine ignores the client's SQOS and reads 2
    // (impersonation) for any client: there only the reading is checked.
    ASSERT_GE(report.impersonationLevel, 0) << ErrorText(report.impersonationError);
    if (RunningUnderWine()) {
      RecordProperty("WineImpersonationLevel", report.impersonationLevel);
    } else {
      EXPECT_LE(report.impersonationLevel, static_cast<int>(SecurityIdentification));
    }
  }
}

}  // namespace

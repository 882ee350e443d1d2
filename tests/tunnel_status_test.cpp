// "status" and the tunnel-service probes behind it, against the tunnel
// stand-in registered in the real service control manager. The pipe server
// runs in the test process: quicker than the installed helper, and the
// probes are the same code.
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "service_harness.h"
#include "test_server.h"
#include "tunnel/service_probes.h"

namespace {

constexpr wchar_t kTunnelService[] = L"AmneziaWGTunnel$Quorvel";
constexpr wchar_t kOtherTunnelService[] = L"AmneziaWGTunnel$Other";
// Shares the tunnel's name as a prefix: only an exact name may count.
constexpr wchar_t kLongerTunnelService[] = L"AmneziaWGTunnel$QuorvelOld";
constexpr DWORD kServiceStartTimeoutMs = 15000;

void RemoveAllTunnelServices() {
  RemoveHelperServices();
  RemoveServiceAndWait(kOtherTunnelService);
  RemoveServiceAndWait(kLongerTunnelService);
}

void StartAndWaitRunning(const wchar_t* name) {
  const DWORD error = StartNamedService(name);
  ASSERT_EQ(error, 0u) << ErrorText(error);
  ASSERT_TRUE(WaitForServiceState(name, SERVICE_RUNNING, kServiceStartTimeoutMs))
      << "state " << ServiceState(name);
}

void StopAndWaitStopped(const wchar_t* name) {
  const DWORD error = ControlNamedService(name, SERVICE_CONTROL_STOP);
  ASSERT_EQ(error, 0u) << ErrorText(error);
  ASSERT_TRUE(WaitForServiceState(name, SERVICE_STOPPED, 10000)) << "state " << ServiceState(name);
}

class TunnelStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveAllTunnelServices();
    server_ = std::make_unique<TestPipeServer>();
  }
  void TearDown() override {
    server_.reset();
    RemoveAllTunnelServices();
  }
  std::unique_ptr<TestPipeServer> server_;
};

TEST_F(TunnelStatusTest, FollowsTheTunnelServiceState) {
  EXPECT_EQ(Request("status\n"), "STOPPED\n") << "no tunnel service";

  const DWORD created = CreateStandinService(kTunnelService);
  ASSERT_EQ(created, 0u) << ErrorText(created);
  EXPECT_EQ(Request("status\n"), "STOPPED\n") << "registered, never started";

  ASSERT_NO_FATAL_FAILURE(StartAndWaitRunning(kTunnelService));
  EXPECT_EQ(Request("status\n"), "RUNNING\n");

  ASSERT_NO_FATAL_FAILURE(StopAndWaitStopped(kTunnelService));
  ASSERT_TRUE(ServiceExists(kTunnelService));
  EXPECT_EQ(Request("status\n"), "STOPPED\n") << "stopped, still registered";
  EXPECT_EQ(Request("ping\n"), "OK\n");
}

TEST_F(TunnelStatusTest, OtherTunnelsRunningNeverCount) {
  for (const wchar_t* name : {kOtherTunnelService, kLongerTunnelService}) {
    const DWORD created = CreateStandinService(name);
    ASSERT_EQ(created, 0u) << ErrorText(created);
    ASSERT_NO_FATAL_FAILURE(StartAndWaitRunning(name));
  }
  EXPECT_EQ(Request("status\n"), "STOPPED\n");
  EXPECT_EQ(Request("ping\n"), "OK\n");
}

TEST_F(TunnelStatusTest, IsStoppedWhileTheTunnelIsStillStarting) {
  const DWORD created = CreateStandinService(kTunnelService, L"--start-pending-ms 2000");
  ASSERT_EQ(created, 0u) << ErrorText(created);
  // StartServiceW may return only once the service reports; it runs aside so
  // the pending phase can be watched whatever the manager does.
  DWORD startError = 0;
  std::thread starter([&] { startError = StartNamedService(kTunnelService); });
  const bool pending =
      WaitForServiceState(kTunnelService, SERVICE_START_PENDING, kServiceStartTimeoutMs);
  std::string reply;
  if (pending) reply = Request("status\n");
  const DWORD stateAfter = ServiceState(kTunnelService);
  starter.join();
  ASSERT_EQ(startError, 0u) << ErrorText(startError);
  ASSERT_TRUE(pending) << "state " << ServiceState(kTunnelService);
  // Only meaningful if the tunnel was still pending when it was answered.
  ASSERT_EQ(stateAfter, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(reply, "STOPPED\n");

  ASSERT_TRUE(WaitForServiceState(kTunnelService, SERVICE_RUNNING, kServiceStartTimeoutMs));
  EXPECT_EQ(Request("status\n"), "RUNNING\n");
}

// The server in the test process is not the helper service: quorvelctl is
// told so, or it would refuse to send.
TEST_F(TunnelStatusTest, ControlClientPrintsTheStatus) {
  ProcessResult result = RunProgram(ControlClientExePath(), L"--console-helper status");
  ASSERT_TRUE(result.started) << ErrorText(result.error);
  EXPECT_EQ(result.exitCode, 0u);
  // The client's stdout is in text mode: its line feed arrives as CR LF.
  EXPECT_EQ(result.output, "STOPPED\r\n");

  const DWORD created = CreateStandinService(kTunnelService);
  ASSERT_EQ(created, 0u) << ErrorText(created);
  ASSERT_NO_FATAL_FAILURE(StartAndWaitRunning(kTunnelService));
  result = RunProgram(ControlClientExePath(), L"--console-helper status");
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(result.output, "RUNNING\r\n");
}

// The probes themselves, without the pipe.
class TunnelProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveAllTunnelServices(); }
  void TearDown() override { RemoveAllTunnelServices(); }
};

ULONGLONG TimedWait(int timeoutMs) {
  const ULONGLONG start = GetTickCount64();
  WaitForTunnelServiceGone(timeoutMs);
  return GetTickCount64() - start;
}

TEST_F(TunnelProbeTest, NoTunnelServiceMeansNothingToWaitFor) {
  EXPECT_EQ(TunnelServiceName(), std::wstring(kTunnelService));
  EXPECT_FALSE(TunnelServiceExists());
  EXPECT_FALSE(TunnelServiceRunning());
  EXPECT_LT(TimedWait(0), 250u);
  EXPECT_LT(TimedWait(5000), 250u) << "waited although there is no service";
}

TEST_F(TunnelProbeTest, ProbesFollowRegistrationAndState) {
  const DWORD created = CreateStandinService(kTunnelService);
  ASSERT_EQ(created, 0u) << ErrorText(created);
  EXPECT_TRUE(TunnelServiceExists());
  EXPECT_FALSE(TunnelServiceRunning());

  // Registered but stopped still counts as present: the wait runs its course.
  EXPECT_LT(TimedWait(0), 250u);
  const ULONGLONG waited = TimedWait(600);
  // GetTickCount64 may tick in steps of about 16 ms on Windows.
  EXPECT_GE(waited, 580u);
  EXPECT_LT(waited, 1500u);

  ASSERT_NO_FATAL_FAILURE(StartAndWaitRunning(kTunnelService));
  EXPECT_TRUE(TunnelServiceRunning());
  EXPECT_TRUE(TunnelServiceExists());

  ASSERT_NO_FATAL_FAILURE(StopAndWaitStopped(kTunnelService));
  EXPECT_FALSE(TunnelServiceRunning());
  EXPECT_TRUE(TunnelServiceExists());
}

TEST_F(TunnelProbeTest, WaitEndsSoonAfterTheServiceIsDeleted) {
  const DWORD created = CreateStandinService(kTunnelService);
  ASSERT_EQ(created, 0u) << ErrorText(created);

  ULONGLONG returnedAt = 0;
  std::thread waiter([&] {
    WaitForTunnelServiceGone(20000);
    returnedAt = GetTickCount64();
  });
  Sleep(700);
  const ULONGLONG deletedAt = GetTickCount64();
  const DWORD deleteError = DeleteNamedService(kTunnelService);
  waiter.join();
  ASSERT_EQ(deleteError, 0u) << ErrorText(deleteError);
  EXPECT_FALSE(TunnelServiceExists());
  // One probe step is 300 ms; allow one more step for a probe that held a
  // handle just as the deletion came.
  EXPECT_LT(returnedAt - deletedAt, 1000u);
}

}  // namespace

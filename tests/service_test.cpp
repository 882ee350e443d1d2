// The helper as an installed service: --install and --uninstall, what it
// registers, its life under the real service control manager of the build's
// Wine prefix, the controls it answers, its log, and its exit codes.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "client_io.h"
#include "rig.h"
#include "support/code_directory.h"
#include "support/text.h"
#include "service/install.h"
#include "service/lifecycle.h"
#include "service_harness.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "test_server.h"

namespace {

constexpr wchar_t kHelperService[] = L"QuorvelHelper";
// Starting a service under Wine means a new process and prefix bookkeeping:
// a few hundred milliseconds normally, generous here so a loaded machine
// does not fail the suite.
constexpr DWORD kServiceStartTimeoutMs = 15000;

// Why a registration would not last: a service marked for deletion refuses
// configuration changes. Returns the error, or 0 when it accepts them.
DWORD RegistrationRefusesChanges(SC_HANDLE manager) {
  UniqueServiceHandle service(OpenServiceW(manager, kHelperService, SERVICE_CHANGE_CONFIG));
  if (!service) return GetLastError();
  const BOOL changed =
      ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  return changed ? 0 : GetLastError();
}

class HelperServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A helper service left behind by any earlier test would own the pipe.
    RemoveHelperServices();
    ASSERT_FALSE(ServiceExists(kHelperService)) << "a previous helper service could not be removed";
    helper_ = HelperExePath();
    logPath_ = ServiceLogPath();
    logStart_ = FileSize(logPath_);
  }
  void TearDown() override { RemoveHelperServices(); }

  // Runs the helper with the given command-line tail; it must finish quickly
  // and print nothing.
  DWORD RunHelperExpectingSilence(const std::wstring& arguments) {
    const ProcessResult result = RunProgram(helper_, arguments);
    EXPECT_TRUE(result.started) << ErrorText(result.error);
    EXPECT_TRUE(result.finished) << "still running after " << result.elapsedMs << " ms";
    EXPECT_EQ(result.output, "");
    return result.exitCode;
  }

  void InstallAndWaitUntilServing() {
    ASSERT_EQ(RunHelperExpectingSilence(L"--install"), 0u);
    ASSERT_TRUE(WaitForServiceState(kHelperService, SERVICE_RUNNING, kServiceStartTimeoutMs))
        << "state " << ServiceState(kHelperService);
    ASSERT_EQ(Request("ping\n"), "OK\n");
  }

  // An uninstall whose deletion stays pending (another program holds a handle
  // to the service, or the old instance is still stopping) followed by an
  // install, as an upgrade does. The install must either leave a lasting
  // registration or say that it did not: a 0 on the doomed registration would
  // leave no service once the last handle closes. releaseAfterMs < 0: the
  // handle is held until the install has returned.
  void InstallWhileDeletionPending(int releaseAfterMs, DWORD& installed, DWORD& refusal) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager) << ErrorText(GetLastError());
    UniqueServiceHandle held(OpenServiceW(manager.get(), kHelperService, SERVICE_QUERY_STATUS));
    ASSERT_TRUE(held) << ErrorText(GetLastError());
    EXPECT_EQ(RunHelperExpectingSilence(L"--uninstall"), 0u);
    EXPECT_TRUE(WaitForServiceState(kHelperService, SERVICE_STOPPED, 10000));

    std::thread release([&held, releaseAfterMs] {
      if (releaseAfterMs >= 0) {
        Sleep(releaseAfterMs);
        held.reset();
      }
    });
    installed = RunHelperExpectingSilence(L"--install");
    release.join();
    held.reset();
    refusal = RegistrationRefusesChanges(manager.get());
  }

  std::vector<std::string> LogSinceStart() const { return LogTextsSince(logPath_, logStart_); }

  std::wstring helper_;
  std::wstring logPath_;
  ULONGLONG logStart_ = 0;
};

void ExpectHelperRegistration(const ServiceConfig& config, const std::wstring& helper) {
  ASSERT_TRUE(config.found) << ErrorText(config.error);
  EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(config.binaryPath, L"\"" + helper + L"\" --run");
  EXPECT_EQ(config.displayName, L"Quorvel Helper");
}

TEST_F(HelperServiceTest, InstallRegistersAutoStartServiceAndStartsIt) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilServing());
  ExpectHelperRegistration(QueryConfig(kHelperService), helper_);
  // Stop, and power events: back from sleep the network may have changed.
  SERVICE_STATUS status{};
  ASSERT_EQ(ControlNamedService(kHelperService, SERVICE_CONTROL_INTERROGATE, &status), 0u);
  EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP |
                                                          SERVICE_ACCEPT_PRESHUTDOWN |
                                                          SERVICE_ACCEPT_POWEREVENT));

  // A description, and a restart after a crash: twice, 2 s apart, the count
  // forgotten after a day. Wine 8 keeps the description but not the failure
  // actions (accepted, not stored; reading them back fails with 124).
  const ServiceRecovery recovery = QueryRecovery(kHelperService);
  EXPECT_EQ(recovery.description, kServiceDescription);
  if (RunningUnderWine() && recovery.error == ERROR_INVALID_LEVEL) return;
  EXPECT_EQ(recovery.error, 0u) << ErrorText(recovery.error);
  EXPECT_EQ(recovery.resetSeconds, 86400u);
  ASSERT_EQ(recovery.actions.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(recovery.actions[i].Type, SC_ACTION_RESTART);
    EXPECT_EQ(recovery.actions[i].Delay, 2000u);
  }
  EXPECT_EQ(recovery.actions[2].Type, SC_ACTION_NONE) << "past the last, the manager repeats it";
}

TEST_F(HelperServiceTest, InstallIgnoresArgumentsAfterTheSwitch) {
  // Nothing of the extra arguments may leak into the registration.
  EXPECT_EQ(RunHelperExpectingSilence(L"--install extra args"), 0u);
  ExpectHelperRegistration(QueryConfig(kHelperService), helper_);
  ASSERT_TRUE(WaitForServiceState(kHelperService, SERVICE_RUNNING, kServiceStartTimeoutMs));
  EXPECT_EQ(Request("ping\n"), "OK\n");
}

TEST_F(HelperServiceTest, LogsStartAndStopAndStopsWithinTwoSeconds) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilServing());
  ASSERT_TRUE(WaitForLogText(logPath_, logStart_, "service starting", 5000))
      << "log " << std::string(logPath_.begin(), logPath_.end()) << Joined(LogSinceStart());

  SERVICE_STATUS status{};
  const ULONGLONG start = GetTickCount64();
  ASSERT_EQ(ControlNamedService(kHelperService, SERVICE_CONTROL_STOP, &status), 0u);
  const bool stopped = WaitForServiceState(kHelperService, SERVICE_STOPPED, 10000);
  const ULONGLONG took = GetTickCount64() - start;
  ASSERT_TRUE(stopped) << "state " << ServiceState(kHelperService);
  EXPECT_LE(took, 2000u);

  // The stop line is written before SERVICE_STOPPED is reported.
  const std::vector<std::string> texts = LogSinceStart();
  const auto starting = std::find(texts.begin(), texts.end(), "service starting");
  const auto stopping = std::find(texts.begin(), texts.end(), "service stopping");
  ASSERT_NE(stopping, texts.end()) << Joined(texts);
  EXPECT_LT(starting, stopping) << Joined(texts);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "service starting"), 1) << Joined(texts);
  for (const std::string& text : texts)
    EXPECT_EQ(text.rfind("<malformed>", 0), std::string::npos) << text;

  // Stopped means the pipe is gone too.
  EXPECT_EQ(SendRequestBytes("ping\n", 0).outcome, RequestOutcome::Unreachable);
}

// A stop that waits for a running connect tells the manager of progress only
// when the connect's next step begins, each report with a hint that covers
// its step: while the tool hangs the checkpoint stands still, as the
// manager must see it to tell a hung service (a timer that raised it every
// second, whatever happened, hid exactly that).
TEST_F(HelperServiceTest, AStopThatWaitsReportsOnlyRealProgress) {
  RigLayout layout;
  layout.limits = L"ToolWaitMs=1500;AfterFailedInstallMs=300;BetweenInstallsMs=100";
  HelperRig rig(L"stop-progress", layout);
  ASSERT_TRUE(rig.InstallService());
  // Every run outlasts the helper's wait for it: three attempts, 1.9 s each.
  ASSERT_TRUE(rig.WriteToolBehaviour("hang-ms 2000\n"));
  // The helper's wait for the tool begins after the request was sent: a
  // bound that holds however late a loaded machine starts the tool (the
  // tool's own journal line can come hundreds of milliseconds after it).
  const ULONGLONG connectSent = GetTickCount64();
  std::thread connect([] { Send("connect " + ToBase64("[Interface]\n")); });
  ASSERT_TRUE(WaitUntil([&] { return !rig.ToolJournal().empty(); }, 5000)) << "no tool run";
  Sleep(300);
  SERVICE_STATUS status{};
  ASSERT_EQ(ControlNamedService(kHelperService, SERVICE_CONTROL_STOP, &status), 0u);
  struct Report {
    ULONGLONG at;
    DWORD checkPoint, waitHint;
  };
  std::vector<Report> reports;  // each new checkpoint, when first seen
  const bool stopped = WaitUntil(
      [&] {
        SERVICE_STATUS_PROCESS now{};
        if (!ServiceStatusNow(kHelperService, now)) return true;
        if (now.dwCurrentState == SERVICE_STOP_PENDING &&
            (reports.empty() || reports.back().checkPoint != now.dwCheckPoint)) {
          reports.push_back({GetTickCount64(), now.dwCheckPoint, now.dwWaitHint});
        }
        return now.dwCurrentState == SERVICE_STOPPED;
      },
      30000);
  connect.join();
  ASSERT_TRUE(stopped);
  ASSERT_GE(reports.size(), 3u) << "the connect's later attempts reported no step";
  // The first report is the stop's own; the next comes only when the hung
  // tool run is given up (1.5 s after it began), not a second after the stop.
  // (A timer that ticks every second also fails the spacing checked below.)
  EXPECT_GE(reports[1].at - connectSent, 1450u) << "progress while the tool hung";
  for (size_t i = 0; i + 1 < reports.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_GT(reports[i + 1].checkPoint, reports[i].checkPoint);
    EXPECT_LE(reports[i + 1].at - reports[i].at, reports[i].waitHint)
        << "the hint did not cover its step";
    // Between two steps of the connect, nothing: each run of the tool hung
    // for the helper's whole wait.
    if (i > 0 && i + 2 < reports.size()) {
      EXPECT_GE(reports[i + 1].at - reports[i].at, 1300u) << "progress while the tool hung";
    }
  }
}

TEST_F(HelperServiceTest, AnswersInterrogateAndRefusesOtherControls) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilServing());

  SERVICE_STATUS status{};
  const DWORD interrogated =
      ControlNamedService(kHelperService, SERVICE_CONTROL_INTERROGATE, &status);
  ASSERT_EQ(interrogated, 0u) << ErrorText(interrogated);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(status.dwControlsAccepted & SERVICE_ACCEPT_STOP);

  // A user-defined control reaches the handler, which does not know it.
  // Wine 8 hands the control to the handler but drops the handler's answer:
  // ControlService succeeds whatever it returned (checked with a probe
  // service returning 120 and 5). There the answer is checked directly below.
  const DWORD userDefined = ControlNamedService(kHelperService, 200);
  if (RunningUnderWine()) {
    EXPECT_TRUE(userDefined == 0 || userDefined == ERROR_CALL_NOT_IMPLEMENTED)
        << ErrorText(userDefined);
  } else {
    EXPECT_EQ(userDefined, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED))
        << ErrorText(userDefined);
  }

  // Neither control may have disturbed the service.
  EXPECT_EQ(ServiceState(kHelperService), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(Request("ping\n"), "OK\n");
}

// The handler's answers as the manager would pass them on. Only controls
// that change nothing are sent: stop would signal the process-wide stop event.
TEST(ServiceControlHandlerTest, AnswersOnlyInterrogateAmongHarmlessControls) {
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  // Preshutdown stops the helper as a stop does: its routes go before the
  // machine goes down.
  HelperState.StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_PRESHUTDOWN, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForSingleObject(HelperState.StopEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(HelperState.StopEvent);
  HelperState.StopEvent = nullptr;
  for (DWORD control : {DWORD{SERVICE_CONTROL_PAUSE}, DWORD{SERVICE_CONTROL_CONTINUE},
                        DWORD{SERVICE_CONTROL_PARAMCHANGE}, DWORD{128}, DWORD{200}, DWORD{255}}) {
    EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr),
              static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED))
        << "control " << control;
  }
}

TEST_F(HelperServiceTest, InstallAgainRestoresConfigurationWithoutRestart) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilServing());
  const DWORD processBefore = ServiceProcessId(kHelperService);
  ASSERT_NE(processBefore, 0u);

  {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager) << ErrorText(GetLastError());
    UniqueServiceHandle service(OpenServiceW(manager.get(), kHelperService, SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(service) << ErrorText(GetLastError());
    const std::wstring stalePath = L"\"" + helper_ + L"\" --run --stale";
    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_IGNORE, stalePath.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr, L"Stale Helper"))
        << ErrorText(GetLastError());
  }
  const ServiceConfig stale = QueryConfig(kHelperService);
  ASSERT_EQ(stale.displayName, L"Stale Helper") << "the manager did not take the change";
  ASSERT_EQ(stale.startType, static_cast<DWORD>(SERVICE_DEMAND_START));

  EXPECT_EQ(RunHelperExpectingSilence(L"--install"), 0u);
  ExpectHelperRegistration(QueryConfig(kHelperService), helper_);
  EXPECT_EQ(ServiceState(kHelperService), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(ServiceProcessId(kHelperService), processBefore) << "the service was restarted";
  EXPECT_EQ(Request("ping\n"), "OK\n");
}

TEST_F(HelperServiceTest, UninstallStopsAndDeletesAndIsHarmlessWhenNothingIsInstalled) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilServing());
  ASSERT_TRUE(WaitForLogText(logPath_, logStart_, "service starting", 5000));

  EXPECT_EQ(RunHelperExpectingSilence(L"--uninstall"), 0u);
  EXPECT_TRUE(WaitForServiceGone(kHelperService, 10000))
      << "state " << ServiceState(kHelperService);
  // Stopped through its own stop sequence, not killed.
  EXPECT_TRUE(WaitForLogText(logPath_, logStart_, "service stopping", 2000))
      << Joined(LogSinceStart());
  EXPECT_EQ(SendRequestBytes("ping\n", 0).outcome, RequestOutcome::Unreachable);

  EXPECT_EQ(RunHelperExpectingSilence(L"--uninstall"), 0u);
  EXPECT_FALSE(ServiceExists(kHelperService));
}

TEST_F(HelperServiceTest, InstallDuringPendingDeletionIsLastingOrFails) {
  // Its wait for the old registration to go is 10 s in the product; the
  // outcome, not the wait, is what counts here.
  helper_ = LimitedHelperExePath();
  SetEnvironmentVariableW(L"QUORVEL_TEST_LIMITS", L"ServiceDeletionWaitMs=1000");
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilServing());
  DWORD installed = 0, refusal = 0;
  ASSERT_NO_FATAL_FAILURE(InstallWhileDeletionPending(-1, installed, refusal));
  // Either a registration that lasts, or exit code 2 (it could not be
  // created while the old one was still pending deletion). Nothing else.
  if (installed == 0) {
    EXPECT_EQ(refusal, 0u) << "--install exited 0, but: " << ErrorText(refusal);
  } else {
    EXPECT_EQ(installed, 2u);
  }
}

// The other program lets go while the install waits: the old registration
// goes and the install creates a lasting one.
TEST_F(HelperServiceTest, InstallAfterPendingDeletionCompletesRegistersAnew) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilServing());
  DWORD installed = 1, refusal = 0;
  ASSERT_NO_FATAL_FAILURE(InstallWhileDeletionPending(1500, installed, refusal));
  EXPECT_EQ(installed, 0u);
  EXPECT_EQ(refusal, 0u) << "the new registration is doomed too: " << ErrorText(refusal);
  EXPECT_TRUE(WaitForServiceState(kHelperService, SERVICE_RUNNING, 10000));
  EXPECT_EQ(Request("ping\n"), "OK\n");
}

// Only the exact switches count. Everything else means service mode, which
// outside the service control manager must fail with 1 instead of serving,
// printing, or registering anything.
TEST_F(HelperServiceTest, AnythingButAnExactSwitchFailsWithoutRegistering) {
  const std::vector<std::wstring> cases = {
      L"",  // no argument at all
      L"--bogus",
      // Switches are case-sensitive, have no single-dash, slash or prefix
      // forms, and are not trimmed.
      L"--Install",
      L"--UNINSTALL",
      L"-install",
      L"/install",
      L"--install=1",
      L"\" --install\"",
      L"\"--install \"",
      // The service's own switch, used outside the manager.
      L"--run",
      L"--run --install",
  };
  // Windows refuses a dispatcher outside the manager at once (1063). Wine 8
  // first waits about 10 s for a control pipe that never comes, so the cases
  // run side by side and the bound is looser there; it still catches a
  // helper that serves or hangs instead of exiting.
  const ULONGLONG bound = RunningUnderWine() ? 15000 : 3000;
  std::vector<ProcessResult> results(cases.size());
  std::vector<std::thread> runners;
  for (size_t i = 0; i < cases.size(); ++i) {
    runners.emplace_back([&, i] { results[i] = RunProgram(helper_, cases[i], 30000); });
  }
  for (std::thread& runner : runners) runner.join();

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("arguments: " + std::string(cases[i].begin(), cases[i].end()));
    const ProcessResult& result = results[i];
    ASSERT_TRUE(result.started) << ErrorText(result.error);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_LT(result.elapsedMs, bound);
    EXPECT_EQ(result.output, "");
  }
  EXPECT_FALSE(ServiceExists(kHelperService));
}

// The helper loads code as LocalSystem from its own directory and awg\:
// only from directories only administrators can change.
TEST(CodeDirectories, OnlyAdministratorsMayChangeThem) {
  const wchar_t kInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::wstring installer = kInstaller;
  const struct {
    std::wstring sddl;
    const wchar_t* fault;  // the start of what is wrong; nullptr: nothing
  } cases[] = {
      {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", nullptr},
      {L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)", nullptr},
      {L"O:" + installer + L"D:(A;;FA;;;" + installer + L")(A;;0x1200a9;;;AU)", nullptr},
      {L"O:SYD:(A;OICIIO;GA;;;CO)(A;;FA;;;OW)(D;;FA;;;WD)(A;;FA;;;SY)", nullptr},
      {L"O:SYD:", nullptr},  // an empty list: nobody may do anything
      {L"O:BUD:(A;;FA;;;SY)", L"it is owned by S-1-5-32-545"},
      {L"O:SYD:(A;OICI;0x1301bf;;;AU)", L"S-1-5-11 may change it"},  // Modify
      {L"O:SYD:(A;OICIIO;FA;;;BU)", L"S-1-5-32-545 may change it"},  // what is made inside
      {L"O:SYD:(A;;0x4;;;WD)", L"S-1-1-0 may change it"},            // add a subdirectory
      {L"O:SYD:(A;;WD;;;IU)", L"S-1-5-4 may change it"},             // rewrite the list
      {L"O:SYD:(A;;GW;;;S-1-5-21-1-2-3-1001)", L"S-1-5-21-1-2-3-1001 may change it"},
      {L"O:SY", L"it has no access list"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.sddl));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    const UniqueLocalMemory held(descriptor);
    const std::wstring fault = CodeDirectoryDescriptorFault(descriptor);
    if (!c.fault) {
      EXPECT_EQ(fault, L"") << WideToUtf8(fault);
    } else {
      EXPECT_EQ(fault.rfind(c.fault, 0), 0u) << WideToUtf8(fault);
    }
  }
}

// What a file moved in from a user's folder keeps: write rights for others,
// whatever the directory's list says. Under Wine a Unix mode of 0666 reads
// back as Everyone with full control; on Windows the list says the same.
bool LetEveryoneWriteFile(const std::wstring& file);

// Which files of a directory count as code: by the end of the name, in
// any case; subdirectories never, whatever their name.
TEST(CodeDirectories, EveryCodeFileIsJudgedAndNothingElse) {
  const std::wstring directory = NewScratchDirectory(L"code-files");
  ASSERT_FALSE(directory.empty());
  ASSERT_TRUE(CreateDirectoryW((directory + L"\\folder.dll").c_str(), nullptr));
  const struct {
    const wchar_t* name;
    bool code;
  } cases[] = {
      {L"notes.txt", false}, {L"library.dllx", false}, {L"dll", false},  {L".dll.txt", false},
      {L"Tool.EXE", true},   {L"lower.dll", true},     {L"Driver.Sys", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.name));
    const std::wstring file = directory + L"\\" + c.name;
    ASSERT_TRUE(WriteFileBytes(file, "x"));
    ASSERT_TRUE(LetEveryoneWriteFile(file));
    const CodeFault fault = FirstChangeableCodeFile(directory);
    if (c.code) {
      EXPECT_EQ(fault.Path, file);
      EXPECT_EQ(fault.Why, L"S-1-1-0 may change it");
    } else {
      EXPECT_FALSE(fault.Found()) << WideToUtf8(fault.Path);
    }
    ASSERT_TRUE(DeleteFileW(file.c_str()));
  }
  EXPECT_FALSE(FirstChangeableCodeFile(directory, {L".dll"}).Found());
  EXPECT_TRUE(FirstChangeableCodeFile(directory + L"\\missing").Found());
  RemoveTree(directory);
}

bool LetEveryoneChange(const std::wstring& directory) {
  return SetAccessList(directory, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)") &&
         CodeDirectoryFault(directory) == L"S-1-1-0 may change it";
}
bool LetOnlyAdministratorsChange(const std::wstring& directory) {
  return SetAccessList(directory, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)") &&
         CodeDirectoryFault(directory).empty();
}

TEST_F(HelperServiceTest, CodeIsNeverLoadedFromADirectoryUsersCanChange) {
  HelperRig rig(L"changeable");
  ASSERT_EQ(CodeDirectoryFault(rig.Dir()), L"") << "a rig as made is protected";
  ASSERT_TRUE(LetEveryoneChange(rig.ToolDir()));
  const std::string awgLine = WideToUtf8(ChangeableDirectoryText(rig.ToolDir()));
  ProcessResult install = RunProgram(rig.HelperPath(), L"--install");
  EXPECT_EQ(install.exitCode, 3u);
  EXPECT_EQ(install.output, awgLine + ": S-1-1-0 may change it\n");
  EXPECT_FALSE(ServiceExists(kHelperService));

  // Running anyway, the helper treats what lies there as missing.
  ASSERT_TRUE(rig.StartConsole());
  EXPECT_EQ(Send("connect " + ToBase64("[Interface]\n")), "ERR connect failed");
  EXPECT_EQ(Count(rig.Log(), "not loading amneziawg.exe: " + awgLine), 1u);
  EXPECT_EQ(Count(rig.Log(), "amneziawg.exe not found"), 1u);
  EXPECT_TRUE(rig.ToolJournal().empty()) << "the tool ran";
  rig.KillConsole();

  // The helper's own directory: no install, and no WinDivert from it.
  ASSERT_TRUE(LetOnlyAdministratorsChange(rig.ToolDir()));
  ASSERT_TRUE(LetEveryoneChange(rig.Dir()));
  const std::string ownLine = WideToUtf8(ChangeableDirectoryText(rig.Dir()));
  install = RunProgram(rig.HelperPath(), L"--install");
  EXPECT_EQ(install.exitCode, 3u);
  EXPECT_EQ(install.output, ownLine + ": S-1-1-0 may change it\n");
  EXPECT_FALSE(ServiceExists(kHelperService));
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  EXPECT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
  EXPECT_TRUE(rig.WaitForLog("WinDivert.dll not loaded; per-app split disabled", 5000));
  EXPECT_EQ(Count(rig.Log(), "not loading WinDivert.dll: " + ownLine), 1u);
  EXPECT_TRUE(rig.SnifferJournal().empty()) << "WinDivert was loaded";
  EXPECT_EQ(Send("disconnect"), "OK");
}


bool LetEveryoneWriteFile(const std::wstring& file) {
  const bool set = RunningUnderWine() ? SetHostFileMode(file, "0666")
                                      : SetAccessList(file, L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)");
  return set && CodeFileFault(file) == L"S-1-1-0 may change it";
}
bool LetOnlyAdministratorsWrite(const std::wstring& file) {
  const bool set = RunningUnderWine() ? SetHostFileMode(file, "0755")
                                      : SetAccessList(file, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;WD)");
  return set && CodeFileFault(file).empty();
}

// --install in the rig, its log in the rig's ProgramData.
ProcessResult InstallFromRig(const HelperRig& rig) {
  ProgramDataOverride programData((rig.Dir() + L"\\ProgramData").c_str());
  return RunProgram(rig.HelperPath(), L"--install");
}

// A directory only administrators can change may still hold a file someone
// else can: judged file by file, at --install and again right before each
// load or run, and what fails counts as missing.
TEST_F(HelperServiceTest, CodeFilesUsersCanChangeAreNeitherInstalledNorLoaded) {
  HelperRig rig(L"changeable-files");
  const std::wstring library = rig.Dir() + L"\\WinDivert.dll";
  const std::wstring driver = rig.Dir() + L"\\WinDivert64.sys";
  const std::wstring toolDll = rig.ToolDir() + L"\\tunnel-driver.dll";
  ASSERT_TRUE(WriteFileBytes(driver, "driver"));
  ASSERT_TRUE(WriteFileBytes(toolDll, "library"));
  for (const std::wstring& file : {rig.HelperPath(), library, driver, toolDll,
                                   rig.ToolDir() + L"\\amneziawg.exe"}) {
    ASSERT_EQ(CodeFileFault(file), L"") << "a rig as made is protected: " << WideToUtf8(file);
  }
  const auto refusal = [](const std::wstring& file) {
    return WideToUtf8(ChangeableDirectoryText(file)) + ": S-1-1-0 may change it";
  };
  const auto notLoading = [](const std::wstring& file) {
    return "not loading " + WideToUtf8(file) +
           ": it can be changed by non-administrators (S-1-1-0 may change it)";
  };
  const auto installRefused = [&](const std::wstring& file) {
    const ProcessResult install = InstallFromRig(rig);
    EXPECT_EQ(install.exitCode, 3u) << WideToUtf8(file);
    EXPECT_EQ(install.output, refusal(file) + "\n");
    EXPECT_EQ(Count(rig.Log(), "install refused: " + refusal(file)), 1u) << Joined(rig.Log());
    EXPECT_FALSE(ServiceExists(kHelperService));
  };

  // WinDivert's library, then its driver (which the library would install
  // into the kernel): no install, and WinDivert not loaded (nor any other).
  const struct {
    const std::wstring& file;
    size_t loadsRefused;  // by the end of the case
  } winDivertFiles[] = {{library, 1}, {driver, 2}};
  for (const auto& c : winDivertFiles) {
    SCOPED_TRACE(WideToUtf8(c.file));
    ASSERT_TRUE(LetEveryoneWriteFile(c.file));
    installRefused(c.file);
    ASSERT_TRUE(rig.StartConsole());
    ASSERT_EQ(Send("splitapps browser.exe"), "OK");
    EXPECT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
    EXPECT_TRUE(rig.WaitForLog("WinDivert.dll not loaded; per-app split disabled", 5000,
                               c.loadsRefused));
    EXPECT_EQ(Count(rig.Log(), notLoading(c.file)), 1u) << Joined(rig.Log());
    EXPECT_TRUE(rig.SnifferJournal().empty()) << "WinDivert was loaded";
    EXPECT_EQ(Send("disconnect"), "OK");
    rig.KillConsole();
    ASSERT_TRUE(LetOnlyAdministratorsWrite(c.file));
  }

  // A DLL beside the tool, which the tool would load as LocalSystem.
  ASSERT_TRUE(LetEveryoneWriteFile(toolDll));
  installRefused(toolDll);
  ASSERT_TRUE(rig.StartConsole());
  const size_t toolRuns = rig.ToolJournal().size();
  EXPECT_EQ(Send("connect " + ToBase64("[Interface]\n")), "ERR connect failed");
  EXPECT_EQ(Count(rig.Log(), notLoading(toolDll)), 1u) << Joined(rig.Log());
  EXPECT_EQ(Count(rig.Log(), "amneziawg.exe not found"), 1u);
  EXPECT_EQ(rig.ToolJournal().size(), toolRuns) << "the tool ran";
  rig.KillConsole();

  // The helper itself.
  ASSERT_TRUE(LetOnlyAdministratorsWrite(toolDll));
  ASSERT_TRUE(LetEveryoneWriteFile(rig.HelperPath()));
  installRefused(rig.HelperPath());
  ASSERT_TRUE(LetOnlyAdministratorsWrite(rig.HelperPath()));
  ASSERT_EQ(InstallFromRig(rig).exitCode, 0u) << "every file protected again";
}

// The maintainer's check, as it runs on a real machine, with the stand-ins
// answering for Windows: every line passes, and the totals say so.
TEST_F(HelperServiceTest, TheWindowsCheckPassesAgainstTheStandIns) {
  HelperRig rig(L"windows-check");
  // The tunnel's routes are its AllowedIPs: documentation prefixes only.
  const std::string tunnel = "service-route AmneziaWGTunnel$Quorvel ";
  ASSERT_TRUE(rig.WriteRouteScenario(
      std::string(kPhysicalDefaultRoute) + "route6 ::/0 fe80::1 7 10\nalias 30 Quorvel\n" +
      tunnel + "192.0.2.0 255.255.255.0 10.66.0.1 30 1\n" + tunnel +
      "198.51.100.0 255.255.255.0 10.66.0.1 30 1\n" + tunnel +
      "203.0.113.0 255.255.255.0 10.66.0.1 30 1\n" + tunnel +
      "192.31.196.0 255.255.255.0 10.66.0.1 30 1\n" +
      "service-route6 AmneziaWGTunnel$Quorvel 2001:db8::/32 fe80::1e 30 1\n"));
  ASSERT_TRUE(rig.InstallService());
  const std::wstring check = rig.Dir() + L"\\windows_check.exe";
  ASSERT_TRUE(CopyFileW(WindowsCheckExePath().c_str(), check.c_str(), FALSE));
  const ProcessResult result =
      RunProgram(check, L"--data-dir " + Quote(rig.DataDir()) + L" --feed " +
                            Quote(rig.Dir() + L"\\windivert-feed.txt"),
                 120000);
  ASSERT_TRUE(result.finished) << result.output;
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_EQ(result.output.find("FAIL"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find(" passed, 0 failed"), std::string::npos) << result.output;
  size_t passed = 0;
  for (size_t at = result.output.find("PASS  "); at != std::string::npos;
       at = result.output.find("PASS  ", at + 1)) {
    ++passed;
  }
  EXPECT_GE(passed, 30u) << "checks left out:\n" << result.output;
  // The domain step ran against the stand-in's DNS hold, and the tunnel the
  // check connected took documentation prefixes only, and the sink its
  // domain answers from.
  EXPECT_NE(result.output.find("PASS  its address had 192.31.196.1/32 when the answer came"),
            std::string::npos)
      << result.output;
  // Facts, not checks: the listed copy's two TCP connects as its own
  // WinDivert handle saw them (the feed gave the first the tunnel's source,
  // as Windows gives a connect whose route was chosen before its host
  // route), where their packets leave from those sources, and what the
  // helper made of them.
  for (const char* fact :
       {"      fact: first TCP connect to 192.0.2.11: the event's local address 10.203.113.2 "
        "(the tunnel's); from it, packets leave by interface 7 (the physical one)",
        "      fact: second TCP connect to 192.0.2.11: the event's local address 192.168.1.2; "
        "from it, packets leave by interface 7 (the physical one)",
        "      fact: state counts 1 first connections through the tunnel; explain 192.0.2.11 "
        "quorvel-check-listed.exe says first_connection null"}) {
    EXPECT_NE(result.output.find(fact), std::string::npos) << fact << "\n" << result.output;
  }
  const std::string config = ReadFileBytes(rig.ConfigPath());
  EXPECT_NE(config.find("AllowedIPs = 192.0.2.0/24, 198.51.100.0/24, 203.0.113.0/24, "
                        "192.31.196.0/24, 2001:db8::/32\n"),
            std::string::npos)
      << config;
}

}  // namespace

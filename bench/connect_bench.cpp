// The helper's own share of a successful connect: the round trip of a
// `connect` request to the real QuorvelHelper.exe, against the least any
// connect must do with the same tool, measured in the same run.
//
//   connect_bench [--rounds N] [--warmup N] [--self-check] [--verbose] [--strict]
//
// The helper runs in console mode from a rig of the tests' (rigs\connect-bench
// beside the built helper: a copy of it with the test bed's iphlpapi.dll and
// WinDivert.dll beside it, its amneziawg.exe in awg\, whose tunnel service
// reports running as soon as it starts, and a ProgramData of its own).
//
// Two sides take turns, one round each per turn, the one going first
// alternating:
// - helper: `connect <configuration>` until the reply (which must be OK),
//   then, timed apart, `disconnect` until its reply;
// - baseline: the tool run with the helper's own install arguments (the same
//   configuration file) until it exits with 0, then the service's state
//   polled every 2 ms until it runs, through one manager and service handle
//   opened once; then, timed apart, the tool run to uninstall until it exits.
// Before the next round either side waits, untimed, until the service is
// gone. Under Wine a process start alone costs from some 30 ms to some
// 300 ms on this two-processor machine, depending on what else runs, and a
// connect holds two (the tool and its service), so absolute times say little
// about the helper: the judged figure is the difference between the two
// sides, the median of the differences of the rounds of one turn (so a slow
// phase of the machine falls on both), with the difference of the medians
// printed beside it. The two kinds of process start were timed against each
// other by hand (the helper's tool runner, with its output pipe and handle
// list, and a bare CreateProcessW): their medians agreed within a few ms,
// so the tool runs of both sides cost alike. What is left varies from round
// to round by as much as the process starts do; --self-check shows how far
// the differences stray with nothing between the sides.
//
// The helper polls the service every 500 ms while waiting for it to run,
// having probed it once before the first pause: where the service does not
// yet run when the tool has exited, the connect costs such a pause, which
// no other work of the helper's comes near. The report therefore says how
// often the service already ran when the baseline's tool had exited, and how
// many connects took 400 ms or more above their round's baseline.
//
// --self-check puts a second baseline in the helper's place (the helper still
// runs, and its warm-up connect writes the configuration file): the
// difference then is noise of the method.
//
// The pipe name and the tunnel service's name are fixed: the program refuses
// to run when the pipe is served or the tunnel service exists already (the
// helper would remove a tunnel that is not this benchmark's), and on every
// way out it ends its helper and removes the tunnel service it may leave.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.h"
#include "client_io.h"
#include "rig.h"
#include "service_harness.h"
#include "support/protocol.h"
#include "tunnel/service_probes.h"

namespace {

constexpr double kTargetMs = 50;
constexpr double kGoalMs = 20;
// A connect this much slower than its round's baseline has waited for the
// service at least once.
constexpr double kPausedMs = 400;
constexpr DWORD kPollMs = 2;
constexpr DWORD kRequestWaitMs = 60000;
constexpr DWORD kToolWaitMs = 30000;
constexpr DWORD kServiceWaitMs = 15000;

struct Options {
  unsigned rounds = 20;
  unsigned warmup = 1;
  CommonOptions common;
};

// ---------------------------------------------------------------- the service

bool TunnelServiceGone() { return !ServiceExists(TunnelServiceName().c_str()); }

// Untimed, between rounds: a service still marked for deletion would make
// the next install fail.
bool WaitUntilGone() { return WaitForServiceGone(TunnelServiceName().c_str(), kServiceWaitMs); }

// ---------------------------------------------------------------- the sides

double MillisecondsSince(long long start, long long end) {
  return TicksToMicroseconds(end - start) / 1000;
}

struct HelperSide {
  std::string connectRequest;
  std::vector<double> connectMs;
  std::vector<double> disconnectMs;
};

bool Request(const std::string& line, const char* what) {
  const RequestResult result = SendRequestBytes(line, kRequestWaitMs);
  if (result.outcome == RequestOutcome::Replied && result.reply == "OK\n") return true;
  std::fprintf(stderr, "%s: %s (outcome %d, error %lu; see helper.log in the rig)\n", what,
               result.reply.empty() ? "no reply" : result.reply.c_str(),
               static_cast<int>(result.outcome), result.error);
  return false;
}

bool HelperRound(HelperSide& side, bool timed) {
  const long long start = TickNow();
  if (!Request(side.connectRequest, "connect")) return false;
  const long long connected = TickNow();
  if (!Request("disconnect\n", "disconnect")) return false;
  const long long disconnected = TickNow();
  if (!WaitUntilGone()) {
    std::fprintf(stderr, "the tunnel service was still there %lu ms after disconnect\n",
                 kServiceWaitMs);
    return false;
  }
  if (timed) {
    side.connectMs.push_back(MillisecondsSince(start, connected));
    side.disconnectMs.push_back(MillisecondsSince(connected, disconnected));
  }
  return true;
}

struct BaselineSide {
  std::wstring tool;
  std::wstring installArguments;
  std::wstring uninstallArguments;
  std::vector<double> toolMs;     // the install run
  std::vector<double> runningMs;  // from its exit until the service runs
  std::vector<double> connectMs;  // the two together
  std::vector<double> uninstallMs;
  unsigned runningAtExit = 0;  // rounds whose first poll found it running
};

bool RunTool(const std::wstring& tool, const std::wstring& arguments) {
  Child run;
  if (!run.Start(tool, arguments, CREATE_NO_WINDOW)) {
    std::fprintf(stderr, "cannot start %ls (%lu)\n", tool.c_str(), GetLastError());
    return false;
  }
  if (!run.WaitForExit(kToolWaitMs) || run.ExitCode() != 0) {
    std::fprintf(stderr, "%ls %ls: exit code %lu (see amneziawg-journal.txt in the rig)\n",
                 tool.c_str(), arguments.c_str(), run.ExitCode());
    return false;
  }
  return true;
}

// Polls until the service runs; the handles are closed before the service is
// uninstalled, or it would stay marked for deletion. Counts the polls.
bool PollUntilRunning(unsigned& polls) {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueServiceHandle service(
      manager ? OpenServiceW(manager.get(), TunnelServiceName().c_str(), SERVICE_QUERY_STATUS)
              : nullptr);
  if (!service) {
    std::fprintf(stderr, "the tool exited but the service cannot be opened (%lu)\n",
                 GetLastError());
    return false;
  }
  const ULONGLONG deadline = GetTickCount64() + kServiceWaitMs;
  for (polls = 1;; ++polls) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING) {
      return true;
    }
    if (GetTickCount64() >= deadline) {
      std::fprintf(stderr, "the service did not run within %lu ms\n", kServiceWaitMs);
      return false;
    }
    Sleep(kPollMs);
  }
}

bool BaselineRound(BaselineSide& side, bool timed) {
  unsigned polls = 0;
  const long long start = TickNow();
  if (!RunTool(side.tool, side.installArguments)) return false;
  const long long exited = TickNow();
  if (!PollUntilRunning(polls)) return false;
  const long long running = TickNow();
  if (!RunTool(side.tool, side.uninstallArguments)) return false;
  const long long uninstalled = TickNow();
  if (!WaitUntilGone()) {
    std::fprintf(stderr, "the tunnel service was still there %lu ms after uninstall\n",
                 kServiceWaitMs);
    return false;
  }
  if (timed) {
    side.toolMs.push_back(MillisecondsSince(start, exited));
    side.runningMs.push_back(MillisecondsSince(exited, running));
    side.connectMs.push_back(MillisecondsSince(start, running));
    side.uninstallMs.push_back(MillisecondsSince(running, uninstalled));
    if (polls == 1) ++side.runningAtExit;
  }
  return true;
}

// ---------------------------------------------------------------- report

double Min(const std::vector<double>& values) {
  double least = values.empty() ? 0 : values[0];
  for (double v : values) least = v < least ? v : least;
  return least;
}

void PrintSpread(const char* what, const std::vector<double>& ms) {
  std::printf("%s: median %.1f ms, range %.1f .. %.1f ms\n", what, Median(ms), Min(ms), Max(ms));
}

std::vector<double> Differences(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> result;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) result.push_back(a[i] - b[i]);
  return result;
}

void PrintRounds(const HelperSide& helper, const BaselineSide& baseline) {
  std::printf(
      "round  connect  baseline (tool + until running)  difference  disconnect  uninstall\n");
  for (size_t i = 0; i < helper.connectMs.size(); ++i) {
    std::printf("%5zu  %7.1f  %8.1f (%6.1f + %5.1f)          %10.1f  %10.1f  %9.1f\n", i,
                helper.connectMs[i], baseline.connectMs[i], baseline.toolMs[i],
                baseline.runningMs[i], helper.connectMs[i] - baseline.connectMs[i],
                helper.disconnectMs[i], baseline.uninstallMs[i]);
  }
}

// ---------------------------------------------------------------- driver

int RunBenchmark(const Options& options) {
  if (PipeIsServed(kPipePath)) {
    std::fprintf(stderr, "%ls is already served by another process; stop it first\n", kPipePath);
    return kExitFailed;
  }
  if (!TunnelServiceGone()) {
    std::fprintf(stderr,
                 "the tunnel service %ls exists already in this prefix and is not this "
                 "benchmark's; remove it first (wine sc delete)\n",
                 TunnelServiceName().c_str());
    return kExitFailed;
  }

  // Ends its helper and removes the tunnel service on every way out.
  HelperRig rig(L"connect-bench");
  if (!rig.StartConsole()) {
    std::fprintf(stderr, "the helper in %ls did not start serving\n", rig.Dir().c_str());
    return kExitFailed;
  }

  HelperSide helper;
  helper.connectRequest = "connect " + ToBase64(kBenchConfiguration) + "\n";
  BaselineSide baseline;
  baseline.tool = rig.ToolDir() + L"\\amneziawg.exe";
  // The helper's own arguments, on the file its first connect writes.
  baseline.installArguments = L"/installtunnelservice \"" + rig.ConfigPath() + L"\"";
  baseline.uninstallArguments = L"/uninstalltunnelservice Quorvel";
  if (TunnelServiceName() != L"AmneziaWGTunnel$Quorvel") {
    std::fprintf(stderr, "the tunnel is no longer called Quorvel; update this benchmark\n");
    return kExitFailed;
  }

  BaselineSide baselineB = baseline;
  const bool selfCheck = options.common.selfCheck;

  // The helper goes first: its connect writes the configuration file.
  for (unsigned i = 0; i < options.warmup; ++i) {
    if (!HelperRound(helper, false) || !BaselineRound(baseline, false)) return kExitFailed;
  }
  if (!RunInterleaved(
          options.rounds, 1,
          [&](unsigned count) {
            for (unsigned i = 0; i < count; ++i) {
              if (!(selfCheck ? BaselineRound(baselineB, true) : HelperRound(helper, true))) {
                return false;
              }
            }
            return true;
          },
          [&](unsigned count) {
            for (unsigned i = 0; i < count; ++i) {
              if (!BaselineRound(baseline, true)) return false;
            }
            return true;
          })) {
    return kExitFailed;
  }

  // In a self-check the second baseline stands in the helper's place.
  if (selfCheck) {
    helper.connectMs = baselineB.connectMs;
    helper.disconnectMs = baselineB.uninstallMs;
    std::printf(
        "SELF-CHECK: a second baseline in the helper's place; every difference below is "
        "method noise\n");
  }
  std::printf(
      "%u rounds per side, taking turns, after %u warm-up rounds each; the tool's service runs "
      "at once\n",
      options.rounds, options.warmup);
  if (options.common.verbose) PrintRounds(helper, baseline);
  PrintSpread("helper connect round trip", helper.connectMs);
  PrintSpread("baseline: tool install run, then service polled until it runs", baseline.connectMs);
  PrintSpread("  of which the tool run", baseline.toolMs);
  PrintSpread("  of which until the service runs", baseline.runningMs);
  std::printf(
      "  service already running at the first poll after the tool exited: %u of %u rounds\n",
      baseline.runningAtExit, options.rounds);
  const std::vector<double> connectShare = Differences(helper.connectMs, baseline.connectMs);
  unsigned paused = 0;
  for (double d : connectShare) paused += d >= kPausedMs ? 1 : 0;
  std::printf(
      "connects %.0f ms or more above their round's baseline (a wait for the service): "
      "%u of %u\n",
      kPausedMs, paused, options.rounds);
  PrintSpread("helper disconnect round trip", helper.disconnectMs);
  PrintSpread("baseline: tool uninstall run", baseline.uninstallMs);

  const std::vector<double> disconnectShare =
      Differences(helper.disconnectMs, baseline.uninstallMs);
  std::printf(
      "\nhelper's share of a disconnect: median of round differences %.1f ms, range %.1f "
      ".. %.1f ms; difference of medians %.1f ms (not judged)\n",
      Median(disconnectShare), Min(disconnectShare), Max(disconnectShare),
      Median(helper.disconnectMs) - Median(baseline.uninstallMs));
  const double share = Median(connectShare);
  const bool met = share < kTargetMs;
  std::printf(
      "helper's share of a connect: median of round differences %.1f ms, range %.1f .. "
      "%.1f ms; difference of medians %.1f ms (target < %.0f ms: %s; goal < %.0f ms: %s)\n",
      share, Min(connectShare), Max(connectShare),
      Median(helper.connectMs) - Median(baseline.connectMs), kTargetMs, met ? "met" : "MISSED",
      kGoalMs, share < kGoalMs ? "met" : "not met");
  return options.common.strict && !met ? kExitTargetMissed : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(
          argc, argv, options.common,
          {{L"--rounds", &options.rounds, 1, 1000}, {L"--warmup", &options.warmup, 1, 100}}, {})) {
    std::fprintf(stderr,
                 "usage: connect_bench [--rounds N] [--warmup N] [--self-check] [--verbose]\n"
                 "                     [--strict]\n");
    return kExitFailed;
  }
  const int result = RunBenchmark(options);
  std::fflush(stdout);
  return result;
}

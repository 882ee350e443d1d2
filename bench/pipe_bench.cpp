// How fast the helper answers on its control pipe, and whether serving
// requests makes it grow, measured against a minimal server with the same
// pipe settings. Absolute times mean little on a shared machine (and under
// Wine every pipe call is a round trip to the wine server), so the numbers
// that matter are ratios to that baseline, measured in the same run.
//
//   pipe_bench [--requests N] [--block N] [--pause MS] [--warmup N]
//              [--helper PATH] [--self-check] [--verbose] [--strict]
//
// How the method was chosen (--self-check puts a second, identical echo
// server in the helper's place, so any ratio far from 1 is method noise):
// - Blocks of hundreds of requests per server gave identical servers ratios
//   anywhere from 0.3 to 2.8 on a two-CPU machine: latency jumps between
//   levels that persist for hundreds of requests. Switching servers every
//   few requests (--block, default 10) lets such phases hit both alike.
// - Requests fired back to back reach the server before it has created its
//   next instance; the client's immediate retries then compete with the
//   server for the wine server and the CPUs, which slows the server further.
//   Any extra work in a server tipped it into that state, doubling its
//   times in some runs and not in others. Real clients do not hammer the
//   helper, so each request is preceded by an untimed pause (--pause,
//   default 1 ms; 0 restores back to back) and reaches a server that is
//   waiting for it. Identical servers then agree within about 5 %.
//
// The same executable, started with --echo-server, is the baseline server:
// the helper runs as its own process, so the baseline does too. The helper
// measured is the one this build made (its path is fixed at build time), or
// --helper PATH. The clock, statistics, child processes, options and report
// line are those of every benchmark (bench_common.h).
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bench_common.h"
#include "control/pipe_server.h"  // kPipeSecurityDescriptor: the very rules the helper uses
#include "service_harness.h"      // HelperExePath: the helper this build made
#include "support/handles.h"
#include "support/paths.h"
#include "support/protocol.h"
#include "support/security.h"

namespace {

constexpr char kPing[] = "ping\n";
constexpr char kGrow[] = "grow\n";
constexpr char kExpectedReply[] = "OK\n";
// What the baseline server keeps per "grow" request: large enough to stand
// out of the noise of the memory counters, small enough not to matter.
constexpr size_t kGrowBytes = 4u << 20;
constexpr DWORD kStartupWaitMs = 30000;
constexpr DWORD kRequestDeadlineMs = 10000;
constexpr double kRatioTarget = 1.3;
constexpr long long kGrowthTargetKiB = 1024;
// The run is cut into this many stretches of time to show how stable the
// ratio is over the run.
constexpr unsigned kSegments = 10;

// ---------------------------------------------------------------- baseline

// The least a server with the helper's pipe settings must do per request:
// one instance at a time, overlapped accept that a stop can interrupt, read
// up to the line feed, write the reply, close without disconnecting (so the
// client still reads the reply and then sees end of file, as with the
// helper). Its one event is created once and reused.
int RunEchoServer(const wchar_t* pipeName, const wchar_t* stopName) {
  HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, stopName);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stop || !event) return 2;

  const UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(kPipeSecurityDescriptor);
  // A baseline without the descriptor would not be comparable.
  if (!descriptor) return 3;
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};

  // Deliberately kept until exit: "grow" requests let the benchmark check
  // that the memory counters see another process's private allocations.
  std::vector<std::unique_ptr<char[]>> ballast;
  char chunk[kPipeBufferBytes];

  for (;;) {
    HANDLE pipe = CreateNamedPipeW(
        pipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) return 4;  // the benchmark sees the exit code

    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD transferred = 0;
    bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
    if (!connected) {
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        const HANDLE waits[] = {event, stop};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
          CancelIoEx(pipe, &overlapped);
          GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
          CloseHandle(pipe);
          return 0;
        }
        connected = GetOverlappedResult(pipe, &overlapped, &transferred, TRUE) != FALSE;
      }
    }

    if (connected) {
      std::string request;
      for (;;) {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        DWORD got = 0;
        if (!ReadFile(pipe, chunk, sizeof(chunk), nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
          break;
        }
        if (!GetOverlappedResult(pipe, &overlapped, &got, TRUE) || got == 0) break;
        request.append(chunk, got);
        if (request.find('\n') != std::string::npos) break;
      }
      if (request.compare(0, sizeof(kGrow) - 1, kGrow) == 0) {
        std::unique_ptr<char[]> block(new char[kGrowBytes]);
        // Touched, so that counters based on resident pages see it too.
        std::memset(block.get(), 0x5a, kGrowBytes);
        ballast.push_back(std::move(block));
      }
      overlapped = OVERLAPPED{};
      overlapped.hEvent = event;
      if (WriteFile(pipe, kExpectedReply, sizeof(kExpectedReply) - 1, nullptr, &overlapped) ||
          GetLastError() == ERROR_IO_PENDING) {
        GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
      }
    }
    CloseHandle(pipe);
  }
}

// ---------------------------------------------------------------- client

struct PipeClientStats {
  unsigned long long notListening = 0;  // opens that found no free instance yet
  unsigned long long requestsNotListening = 0;  // requests with at least one such open
  // Where a round trip goes: opening (with its retries) against writing the
  // request and reading to the end. Performance-counter ticks.
  std::vector<long long> openTicks;
  std::vector<long long> exchangeTicks;
};

// One request exactly as the helper's clients make it: open, write the
// line, read until the server closes, close. Both servers get this same
// work. An instance that is not there yet (the server is between two
// instances) is retried at once instead of after a sleep: a sleep would
// swamp the round trip being measured. Without retryMissing a missing pipe
// fails at once, for probing a server that is still starting.
bool Exchange(const wchar_t* pipeName, const char* request, std::string& reply, DWORD& error,
              PipeClientStats& stats, bool retryMissing = true) {
  reply.clear();
  const long long start = TickNow();
  HANDLE pipe = INVALID_HANDLE_VALUE;
  ULONGLONG deadline = 0;
  const unsigned long long countedAt = stats.notListening;
  for (;;) {
    pipe =
        CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    error = GetLastError();
    if (error != ERROR_PIPE_BUSY && !(error == ERROR_FILE_NOT_FOUND && retryMissing)) {
      return false;
    }
    // The clock is read only on this slow path.
    const ULONGLONG now = GetTickCount64();
    if (deadline == 0) deadline = now + kRequestDeadlineMs;
    if (now >= deadline) return false;
    if (stats.notListening++ == countedAt) ++stats.requestsNotListening;
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(pipeName, static_cast<DWORD>(deadline - now));
    } else {
      Sleep(0);
    }
  }
  const long long opened = TickNow();

  bool ok = true;
  DWORD written = 0;
  const DWORD length = static_cast<DWORD>(std::strlen(request));
  if (!WriteFile(pipe, request, length, &written, nullptr) || written != length) {
    error = GetLastError();
    ok = false;
  }
  char buffer[4096];
  while (ok) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr)) {
      error = GetLastError();
      // The server closing its end after the reply is the normal end.
      ok = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
      break;
    }
    if (got == 0) break;
    reply.append(buffer, got);
  }
  CloseHandle(pipe);
  const long long done = TickNow();
  stats.openTicks.push_back(opened - start);
  stats.exchangeTicks.push_back(done - opened);
  if (ok && reply != kExpectedReply) {
    error = 0;
    ok = false;
  }
  return ok;
}

// ---------------------------------------------------------------- memory

struct MemorySample {
  bool valid = false;
  SIZE_T privateUsage = 0;
  SIZE_T pagefileUsage = 0;
  SIZE_T workingSet = 0;
  bool handlesValid = false;
  DWORD handles = 0;
};

MemorySample SampleMemory(HANDLE process) {
  // The server has just closed the instance of the last request; give it
  // the moment it takes to reach its next accept, so the sample shows the
  // server at rest rather than mid-request.
  Sleep(200);
  MemorySample sample;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters))) {
    sample.valid = true;
    sample.privateUsage = counters.PrivateUsage;
    sample.pagefileUsage = counters.PagefileUsage;
    sample.workingSet = counters.WorkingSetSize;
  }
  // Wine answers with 0 for other processes: no process runs without handles.
  sample.handlesValid = GetProcessHandleCount(process, &sample.handles) && sample.handles != 0;
  return sample;
}

// The counters in order of preference for judging growth.
constexpr int kCounterCount = 3;
constexpr const char* kCounterNames[kCounterCount] = {"PrivateUsage", "PagefileUsage",
                                                      "WorkingSetSize"};
SIZE_T Counter(const MemorySample& sample, int index) {
  switch (index) {
    case 0:
      return sample.privateUsage;
    case 1:
      return sample.pagefileUsage;
    default:
      return sample.workingSet;
  }
}

long long KiB(SIZE_T bytes) { return static_cast<long long>(bytes / 1024); }
long long GrowthKiB(SIZE_T before, SIZE_T after) {
  return static_cast<long long>(after / 1024) - static_cast<long long>(before / 1024);
}

// Waits for a freshly started server to answer a ping. The first answer is
// the "first request" of the memory measurement.
bool WaitUntilServing(const Child& child, const wchar_t* pipeName, const char* label) {
  PipeClientStats stats;  // start-up probes are not part of the measurement
  const ULONGLONG deadline = GetTickCount64() + kStartupWaitMs;
  std::string reply;
  DWORD error = 0;
  while (GetTickCount64() < deadline) {
    if (!child.Running()) {
      std::fprintf(stderr, "%s exited during start-up with code %lu\n", label, child.ExitCode());
      return false;
    }
    if (Exchange(pipeName, kPing, reply, error, stats, false)) return true;
    if (error == 0) {
      std::fprintf(stderr, "%s answered \"%s\" instead of OK\n", label, reply.c_str());
      return false;
    }
    Sleep(20);
  }
  std::fprintf(stderr, "%s did not answer within %lu ms (last error %lu)\n", label, kStartupWaitMs,
               error);
  return false;
}

// ---------------------------------------------------------------- driver

struct Options {
  unsigned requests = 10000;  // timed requests per server
  unsigned block = 10;        // requests to one server before switching to the other
  unsigned pauseMs = 1;       // idle time before each request, outside the timing
  unsigned warmup = 100;
  std::wstring helperPath;
  // selfCheck: a second echo server in the helper's place; verbose: ratios
  // per stretch and where the time goes.
  CommonOptions common;
};

struct Server {
  const char* label;
  const wchar_t* pipeName;
  const Child* child;
  std::vector<double> samples;    // microseconds, every timed request, in order
  PipeClientStats client;         // timed requests only
  unsigned long long served = 0;  // every request it answered, warm-up included
};

// Runs `count` requests against one server; false on the first wrong or
// missing reply, which voids the whole run.
bool RunRequests(Server& server, unsigned count, bool timed, unsigned pauseMs) {
  std::string reply;
  DWORD error = 0;
  PipeClientStats untimed;
  for (unsigned i = 0; i < count; ++i) {
    if (pauseMs > 0) Sleep(pauseMs);
    const long long start = TickNow();
    const bool ok = Exchange(server.pipeName, kPing, reply, error, timed ? server.client : untimed);
    const long long end = TickNow();
    if (!ok) {
      std::fprintf(stderr, "%s: request %llu failed (error %lu, reply \"%s\")%s\n", server.label,
                   server.served + 1, error, reply.c_str(),
                   server.child->Running() ? "" : ", server process has exited");
      return false;
    }
    ++server.served;
    if (timed) server.samples.push_back(TicksToMicroseconds(end - start));
  }
  return true;
}

int RunBenchmark(const Options& options) {
  const bool selfCheck = options.common.selfCheck;
  const std::wstring helperPath = options.helperPath.empty() ? HelperExePath() : options.helperPath;
  if (!selfCheck) {
    if (GetFileAttributesW(helperPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::fprintf(stderr, "helper not found: %ls (use --helper PATH)\n", helperPath.c_str());
      return kExitFailed;
    }
    // Another helper on the fixed name (an installed service, a leftover
    // console helper) would be measured instead of ours, and ours would fail.
    if (PipeIsServed(kPipePath)) {
      std::fprintf(stderr, "%ls is already served by another process; stop it first\n", kPipePath);
      return kExitFailed;
    }
  }

  const std::wstring self = std::to_wstring(GetCurrentProcessId());
  const std::wstring echoPipe = L"\\\\.\\pipe\\QuorvelBenchEcho-" + self;
  const std::wstring subjectPipe = selfCheck ? echoPipe + L"-b" : kPipePath;
  const char* const subject = selfCheck ? "echo-b" : "helper";
  const std::wstring stopName = L"QuorvelBenchEchoStop-" + self;
  UniqueHandle echoStop(CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
  if (!echoStop) {
    std::fprintf(stderr, "cannot create the stop event (%lu)\n", GetLastError());
    return kExitFailed;
  }

  Child echo, helper;
  const bool started =
      selfCheck ? helper.Start(ModulePath(), L"--echo-server " + subjectPipe + L" " + stopName, 0)
                // Its own process group, so that Ctrl+Break reaches the helper alone.
                : helper.Start(helperPath, L"--console", CREATE_NEW_PROCESS_GROUP);
  if (!started) {
    std::fprintf(stderr, "cannot start %s (%lu)\n", subject, GetLastError());
    return kExitFailed;
  }
  if (!echo.Start(ModulePath(), L"--echo-server " + echoPipe + L" " + stopName, 0)) {
    std::fprintf(stderr, "cannot start the echo server (%lu)\n", GetLastError());
    return kExitFailed;
  }

  Server helperServer{subject, subjectPipe.c_str(), &helper, {}, {}, 0};
  Server echoServer{"echo", echoPipe.c_str(), &echo, {}, {}, 0};
  if (!WaitUntilServing(helper, helperServer.pipeName, subject)) return kExitFailed;
  ++helperServer.served;
  const MemorySample helperFirst = SampleMemory(helper.Process());
  if (!WaitUntilServing(echo, echoServer.pipeName, "echo server")) return kExitFailed;
  ++echoServer.served;
  const MemorySample echoFirst = SampleMemory(echo.Process());

  if (!RunRequests(helperServer, options.warmup, false, options.pauseMs) ||
      !RunRequests(echoServer, options.warmup, false, options.pauseMs) ||
      !RunInterleaved(
          options.requests, options.block,
          [&](unsigned count) { return RunRequests(helperServer, count, true, options.pauseMs); },
          [&](unsigned count) { return RunRequests(echoServer, count, true, options.pauseMs); })) {
    return kExitFailed;
  }

  const MemorySample helperLast = SampleMemory(helper.Process());
  const MemorySample echoLast = SampleMemory(echo.Process());

  // Can a counter see another process grow at all? The echo server keeps
  // kGrowBytes per "grow" request; a counter that misses that is no
  // evidence that the helper does not grow.
  std::string reply;
  DWORD error = 0;
  PipeClientStats calibration;
  bool calibrated = Exchange(echoServer.pipeName, kGrow, reply, error, calibration);
  const MemorySample echoGrown = SampleMemory(echo.Process());
  calibrated = calibrated && echoGrown.valid && echoLast.valid;

  if (!selfCheck) std::printf("helper stop: %s\n", StopChild(helper).c_str());
  SetEvent(echoStop.get());
  if (!echo.WaitForExit(kChildExitWaitMs) || echo.ExitCode() != 0) {
    std::printf("echo server did not stop cleanly (exit code %lu)\n", echo.ExitCode());
  }
  if (selfCheck && (!helper.WaitForExit(kChildExitWaitMs) || helper.ExitCode() != 0)) {
    std::printf("echo-b did not stop cleanly (exit code %lu)\n", helper.ExitCode());
  }

  // ---- speed
  if (selfCheck) {
    std::printf("\nSELF-CHECK: two identical echo servers; every ratio below is method noise\n");
  }
  std::printf(
      "\n%u timed requests per server, alternating every %u, %u ms pause before each, "
      "after %u warm-up requests each\n",
      options.requests, options.block, options.pauseMs, options.warmup);
  for (const Server* server : {&helperServer, &echoServer}) {
    std::printf("%-6s mean %.1f us, max %.1f us, instance not yet listening %.3f per request\n",
                server->label, Mean(server->samples), Max(server->samples),
                static_cast<double>(server->client.notListening) / server->samples.size());
  }

  // A helper always has an instance listening: no request of its own should
  // ever find none.
  const double helperNotListening =
      static_cast<double>(helperServer.client.requestsNotListening) /
      static_cast<double>(helperServer.samples.size());
  const bool listeningMet = selfCheck || helperServer.client.requestsNotListening == 0;
  std::printf("%s requests that found no instance listening: %.4f (target 0) %s\n",
              helperServer.label, helperNotListening, listeningMet ? "met" : "MISSED");

  Comparison speed{};
  speed.what = "ping round trip";
  speed.unit = "us";
  speed.subject = subject;
  speed.subjectSamples = &helperServer.samples;
  speed.baseline = "echo";
  speed.baselineSamples = &echoServer.samples;
  speed.target = kRatioTarget;
  speed.judgeP95 = true;
  PrintStretches(speed, kSegments, options.common.verbose);
  if (options.common.verbose) {
    for (const Server* server : {&helperServer, &echoServer}) {
      const auto open = TicksToMicroseconds(server->client.openTicks);
      const auto rest = TicksToMicroseconds(server->client.exchangeTicks);
      std::printf(
          "%-6s open median %.1f us p95 %.1f us; write to end of reply median %.1f us "
          "p95 %.1f us\n",
          server->label, Median(open), Percentile(open, 0.95), Median(rest),
          Percentile(rest, 0.95));
    }
  }

  // ---- memory
  // The counter the verdict rests on: the first, in order of preference,
  // that saw the echo server's extra kGrowBytes (within a quarter). Wine,
  // for one, leaves PrivateUsage at zero for other processes.
  const long long grownKiB = static_cast<long long>(kGrowBytes / 1024);
  int chosen = -1;
  if (calibrated) {
    std::printf("counter check: the echo server kept %lld KiB more; seen as", grownKiB);
    for (int i = 0; i < kCounterCount; ++i) {
      const long long seen = GrowthKiB(Counter(echoLast, i), Counter(echoGrown, i));
      std::printf("%s %s %+lld KiB", i == 0 ? "" : ",", kCounterNames[i], seen);
      if (chosen < 0 && seen >= grownKiB * 3 / 4 && seen <= grownKiB * 5 / 4) chosen = i;
    }
    std::printf("\n");
  } else {
    std::printf("counter check: could not be made (error %lu)\n", error);
  }
  for (const auto& [label, first, last, served] :
       {std::tuple{subject, &helperFirst, &helperLast, helperServer.served},
        std::tuple{"echo", &echoFirst, &echoLast, echoServer.served}}) {
    if (!first->valid || !last->valid) continue;
    std::printf("%-6s counters after 1 -> %llu requests:", label, served);
    for (int i = 0; i < kCounterCount; ++i) {
      std::printf("%s %s %lld -> %lld KiB", i == 0 ? "" : ",", kCounterNames[i],
                  KiB(Counter(*first, i)), KiB(Counter(*last, i)));
    }
    if (first->handlesValid && last->handlesValid) {
      std::printf(", handles %lu -> %lu\n", first->handles, last->handles);
    } else {
      std::printf(", handle count not reported\n");
    }
  }

  // ---- summary
  std::printf("\n");
  const bool speedMet = PrintComparison(speed);
  bool memoryMet = false;
  if (!helperFirst.valid || !helperLast.valid) {
    std::printf("%s memory: GetProcessMemoryInfo failed\n", subject);
  } else if (chosen < 0) {
    std::printf("%s memory: no counter tracks private allocations here, so no verdict\n", subject);
  } else {
    const long long growth = GrowthKiB(Counter(helperFirst, chosen), Counter(helperLast, chosen));
    memoryMet = growth <= kGrowthTargetKiB;
    std::printf(
        "%s %s memory: first %lld KiB, after %llu requests %lld KiB, growth %lld KiB "
        "(target <= %lld: %s)\n",
        subject, chosen == 0 ? "private" : kCounterNames[chosen], KiB(Counter(helperFirst, chosen)),
        helperServer.served, KiB(Counter(helperLast, chosen)), growth, kGrowthTargetKiB,
        memoryMet ? "met" : "MISSED");
    if (chosen != 0) {
      std::printf(
          "  (measured with %s because PrivateUsage did not show the check's "
          "allocation)\n",
          kCounterNames[chosen]);
    }
  }

  if (options.common.strict && !(speedMet && memoryMet && listeningMet)) return kExitTargetMissed;
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"--echo-server") == 0) {
    return RunEchoServer(argv[2], argv[3]);
  }
  Options options;
  constexpr unsigned kMost = 10000000;
  if (!ParseOptions(argc, argv, options.common,
                    {{L"--requests", &options.requests, kSegments, kMost},
                     {L"--block", &options.block, 1, kMost},
                     {L"--pause", &options.pauseMs, 0, kMost},
                     {L"--warmup", &options.warmup, 0, kMost}},
                    {{L"--helper", &options.helperPath}})) {
    std::fprintf(stderr,
                 "usage: pipe_bench [--requests N] [--block N] [--pause MS] [--warmup N]\n"
                 "                  [--helper PATH] [--self-check] [--verbose] [--strict]\n");
    return kExitFailed;
  }
  const int result = RunBenchmark(options);
  std::fflush(stdout);
  return result;
}

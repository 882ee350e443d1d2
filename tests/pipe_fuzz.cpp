// pipe_fuzz: random requests against the real QuorvelHelper.exe, started in
// console mode from a rig with the stand-ins, for a chosen time.
//
//   pipe_fuzz [--seconds N] [--seed S] [--report-every SECONDS]
//
// Requests: random bytes, every command word with random arguments, random
// chunking, clients that close before their line is complete or before they
// read the reply. After every batch `ping` must answer. At the end the helper
// must still run, its log must hold only lines the helper writes, no connect
// may have been run (the fuzzer never sends a valid payload, so the tool
// stand-in must never have been asked to install), and its memory and
// handles must not have grown. Prints the seed first, so a failure can be
// replayed; exits 0 when everything held, 1 otherwise.
//
// CTest runs it for 30 seconds; scripts/soak.sh runs it for as long as asked.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "client_io.h"
#include "rig.h"
#include "service_harness.h"
#include "support/protocol.h"

namespace {

constexpr int kBatch = 25;
constexpr SIZE_T kMemoryGrowthLimit = 2 * 1024 * 1024;
constexpr DWORD kHandleGrowthLimit = 32;

struct Stats {
  unsigned long long requests = 0;
  unsigned long long failures = 0;  // a ping that was not answered
};

struct Sample {
  SIZE_T memory = 0;
  DWORD handles = 0;
};

// The handles a process holds, from the system's handle table: Wine's
// GetProcessHandleCount answers 0 for every process.
DWORD HandleCount(DWORD processId) {
  using QueryFn = LONG(NTAPI*)(ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT backTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
  };
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  while (query && query(kSystemExtendedHandleInformation, buffer.data(),
                        static_cast<ULONG>(buffer.size()), &needed) != 0) {
    if (buffer.size() >= (64u << 20)) return 0;
    buffer.resize(buffer.size() * 2);
  }
  if (!query) return 0;
  const ULONG_PTR count = *reinterpret_cast<const ULONG_PTR*>(buffer.data());
  const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + 2 * sizeof(ULONG_PTR));
  DWORD held = 0;
  for (ULONG_PTR i = 0; i < count; ++i) held += entries[i].processId == processId;
  return held;
}

Sample Measure(HANDLE process) {
  Sample sample;
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  // PagefileUsage: Wine reports another process's PrivateUsage as 0.
  if (GetProcessMemoryInfo(process, &counters, sizeof(counters))) {
    sample.memory = counters.PagefileUsage;
  }
  sample.handles = HandleCount(GetProcessId(process));
  return sample;
}

class Fuzzer {
 public:
  explicit Fuzzer(unsigned seed) : random_(seed) {}

  // One random request; the reply, if any, is not judged (ping is).
  void Request() {
    const unsigned kind = Below(10);
    std::string line;
    if (kind < 2) {
      line = RandomBytes(Below(3) == 0 ? Below(20000) : Below(200));
    } else {
      static const char* const words[] = {"ping",       "status",        "splitapps", "bypassnets",
                                          "disconnect", "connect",       "PING",      "BypassNets",
                                          "SPLITAPPS",  "bypassdomains", "pin",       "",
                                          "connectx"};
      line = words[Below(sizeof(words) / sizeof(words[0]))];
      line += Below(4) == 0 ? "" : " " + Argument(line);
    }
    if (Below(8) != 0) line += Below(2) ? "\n" : "\r\n";
    Send(line);
  }

  bool Ping() { return SendRequestBytes("ping\n", 20000).reply == "OK\n"; }

 private:
  unsigned Below(unsigned n) { return n == 0 ? 0 : random_() % n; }

  std::string RandomBytes(size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(Below(256));
    return bytes;
  }

  // Arguments that a list or connect parser might trip over. A connect
  // payload is never valid Base64: one character outside the alphabet, or
  // a length that is not a multiple of four.
  std::string Argument(const std::string& word) {
    std::string text;
    switch (Below(5)) {
      case 0:
        text = RandomBytes(Below(300));
        break;
      case 1:
        for (unsigned i = Below(50); i > 0; --i) {
          text += std::to_string(Below(400)) + "." + std::to_string(Below(300)) + "." +
                  std::to_string(Below(300)) + "." + std::to_string(Below(300));
          if (Below(2)) text += "/" + std::to_string(static_cast<int>(Below(70)) - 20);
          text += Below(3) ? ";" : " ;\t";
        }
        break;
      case 2:
        text = std::string(Below(100000), ";\t /"[Below(4)]);
        break;
      case 3:
        for (unsigned i = Below(30); i > 0; --i) text += "app" + std::to_string(i) + ".EXE;";
        break;
      default:
        text = std::string(Below(2000), "ABCDabcd0189+/="[Below(15)]);
        break;
    }
    if (word == "connect" || word == "connectx") {
      // At the front, where neither the cut at a NUL nor the trimming of
      // carriage returns can take it away.
      text.insert(0, Below(2) ? "!" : "=");
    }
    return text;
  }

  // Sends the bytes the way a random client would: in one write or in
  // pieces, reading the reply or not, closing early or not. A client that
  // neither completes its line nor closes would only make the helper wait
  // out its deadline, so a line without its line feed is always closed
  // after, and only short lines go in pieces.
  void Send(const std::string& bytes) {
    DWORD error = 0;
    HANDLE pipe = OpenHelperPipe(20000, error);
    if (pipe == INVALID_HANDLE_VALUE) return;
    unsigned style = Below(6);
    if (bytes.find('\n') == std::string::npos) style = Below(2) ? 1 : 3;
    if (style == 2 && bytes.size() > 2000) style = 0;
    size_t sent = 0;
    const size_t cut = style == 1 ? Below(static_cast<unsigned>(bytes.size()) + 1) : bytes.size();
    while (sent < cut) {
      const size_t piece = style == 2 ? 1 + Below(64) : cut - sent;
      DWORD written = 0;
      const DWORD count = static_cast<DWORD>(piece < cut - sent ? piece : cut - sent);
      if (!WriteFile(pipe, bytes.data() + sent, count, &written, nullptr)) break;
      sent += written;
      if (style == 2 && Below(4) == 0) Sleep(1);
    }
    if (style != 1 && style != 3) {  // 1: closes early; 3: never reads
      std::string reply;
      ReadUntilEnd(pipe, reply, error);
    }
    CloseHandle(pipe);
  }

  std::mt19937 random_;
};

// Only the lines the helper itself writes while no tunnel is up; who asked
// for a change, never with what the request held.
bool IsHelperLine(const std::string& text) {
  static const std::regex known(
      R"(bypass (nets|domains) set: \d+|request from pid \d+ \(pipe_fuzz\.exe, [^()]+\): )"
      R"((connect|disconnect|bypassnets|bypassdomains|splitapps)( \(repeated \d+ times\))?)");
  return std::regex_match(text, known);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  unsigned seconds = 30;
  unsigned seed = std::random_device{}();
  unsigned reportEvery = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    const unsigned value = static_cast<unsigned>(std::wcstoul(argv[i + 1], nullptr, 10));
    if (option == L"--seconds") seconds = value;
    if (option == L"--seed") seed = value;
    if (option == L"--report-every") reportEvery = value;
  }
  std::printf("pipe_fuzz: seed %u, %u s\n", seed, seconds);
  std::fflush(stdout);

  RemoveHelperServices();
  HelperRig rig(L"fuzz");
  if (!rig.StartConsole()) {
    std::printf("FAIL: the helper did not start\n");
    return 1;
  }
  Fuzzer fuzzer(seed);
  Stats stats;
  const ULONGLONG start = GetTickCount64();
  ULONGLONG nextReport = start + reportEvery * 1000ULL;
  Sample baseline;
  bool measured = false;
  while (GetTickCount64() - start < seconds * 1000ULL) {
    for (int i = 0; i < kBatch; ++i, ++stats.requests) fuzzer.Request();
    ++stats.requests;
    if (!fuzzer.Ping()) {
      ++stats.failures;
      std::printf("FAIL: ping not answered after request %llu\n", stats.requests);
    }
    // The first third of the run fills caches and the heap's free lists;
    // growth counts from there.
    if (!measured && GetTickCount64() - start > seconds * 1000ULL / 3) {
      baseline = Measure(rig.ConsoleProcess());
      measured = true;
    }
    if (reportEvery && GetTickCount64() >= nextReport) {
      const Sample now = Measure(rig.ConsoleProcess());
      const double elapsed = (GetTickCount64() - start) / 1000.0;
      std::printf("%6.0f s: %llu requests (%.1f/s), %llu failures, memory %zu KiB, %lu handles\n",
                  elapsed, stats.requests, stats.requests / elapsed, stats.failures,
                  now.memory / 1024, now.handles);
      std::fflush(stdout);
      nextReport += reportEvery * 1000ULL;
    }
  }

  bool ok = stats.failures == 0;
  if (WaitForSingleObject(rig.ConsoleProcess(), 0) == WAIT_OBJECT_0) {
    std::printf("FAIL: the helper has ended\n");
    return 1;
  }
  const Sample end = Measure(rig.ConsoleProcess());
  const double elapsed = (GetTickCount64() - start) / 1000.0;
  std::printf(
      "%llu requests in %.0f s (%.1f/s), %llu failures; memory %zu -> %zu KiB, handles "
      "%lu -> %lu\n",
      stats.requests, elapsed, stats.requests / elapsed, stats.failures, baseline.memory / 1024,
      end.memory / 1024, baseline.handles, end.handles);
  // A reading of 0 is a failed reading, and growth from or to it means
  // nothing: the check must not pass then.
  if (!measured || baseline.memory == 0 || end.memory == 0 || baseline.handles == 0 ||
      end.handles == 0) {
    std::printf("FAIL: the helper's memory or handles could not be read\n");
    ok = false;
  } else {
    if (end.memory > baseline.memory + kMemoryGrowthLimit) {
      std::printf("FAIL: memory grew\n");
      ok = false;
    }
    if (end.handles > baseline.handles + kHandleGrowthLimit) {
      std::printf("FAIL: handles grew\n");
      ok = false;
    }
  }
  for (const std::string& line : rig.Log()) {
    if (!IsHelperLine(line)) {
      std::printf("FAIL: log line the helper does not write: %.200s\n", line.c_str());
      ok = false;
      break;
    }
  }
  for (const std::string& line : rig.ToolJournal()) {
    if (line.find("/installtunnelservice") != std::string::npos) {
      std::printf("FAIL: a connect was run: %s\n", line.c_str());
      ok = false;
      break;
    }
  }
  std::printf(ok ? "pipe_fuzz: passed\n" : "pipe_fuzz: FAILED (seed %u)\n", seed);
  return ok ? 0 : 1;
}

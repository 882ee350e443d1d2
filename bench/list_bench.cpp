// Country-sized bypass lists: what the helper adds to the bare route calls
// when a list of N networks is installed and cleared, what a listed
// application's new destination costs beside such a list, and how long
// `state` and `explain` take with it in place. In-process against the IP
// Helper stand-in beside the program.
//
//   list_bench [--rounds N] [--sizes LIST] [--pipe-rounds N] [--pipe-sizes LIST]
//              [--self-check] [--verbose] [--strict]
//
// Method:
// - Install: BypassNetsCommand with the list's text while connected (the
//   parse, the journal, the creates, the summary: the request without the
//   pipe) against a bare loop of CreateIpForwardEntry2 with the same rows
//   for as many networks of its own. Clear: BypassNetsCommand with an empty
//   list against the bare loop's deletes. The sides take turns, the one
//   going first alternating; the judged ratio is the median of the
//   per-turn ratios (target 1.5, goal 1.2).
// - The list's networks are host routes two addresses apart, so none
//   merges with another: every entry is a route.
// - A new split destination: 100 AddSplitHostRoute calls for new addresses
//   (each one real create), then ClearSplitHostRoutes (not timed), against
//   100 bare creates (their deletes not timed either), taking turns. What
//   the helper adds to a bare create with the list in place, over what it
//   adds with the list empty (measured just before), must stay at most 1.2:
//   the cost of a new destination does not grow with the table.
// - `state` and `explain`: the answer's making, in-process, with the list in
//   place (target 1 ms at every size).
// - Through the pipe (list_bench_pipe.cpp): the real helper's `bypassnets`
//   request, to its last route, against the bare creates, through the
//   in-memory IP Helper stand-in (target 1.2, goal 1.1), with where the time
//   goes per entry; --pipe-rounds 0 leaves it out.
// - --self-check puts the bare loop in the helper's place for install and
//   clear.
// - Only ever against the stand-in: the program refuses to run when the
//   iphlpapi.dll it loaded is not the one beside it.
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bench_common.h"
#include "control/state_answers.h"
#include "list_bench_pipe.h"
#include "routing/bypass_nets.h"
#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "routing/route_table.h"
#include "service_harness.h"
#include "support/data_directory.h"
#include "support/helper_state.h"
#include "tunnel/session.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

constexpr double kRatioTarget = 1.5;
constexpr double kRatioGoal = 1.2;
constexpr double kSplitGrowthTarget = 1.2;
constexpr double kBesideGrowthTarget = 1.1;  // routes beside the list: at most 10% more routes
constexpr double kAnswerTargetMs = 1.0;
constexpr unsigned kSplitCalls = 100;
constexpr unsigned kAnswerSamples = 50;

// Documentation addresses (RFC 5737) and a made-up interface.
constexpr uint32_t kInterface = 7;
const char kScenario[] = "route 0.0.0.0 0.0.0.0 192.0.2.1 7 25\n";
constexpr uint32_t kHelperBase = 0x0A400000;    // 10.64.0.0: the list
constexpr uint32_t kBaselineBase = 0x0A800000;  // 10.128.0.0: the bare loop's
constexpr uint32_t kSecondBase = 0x0AC00000;    // 10.192.0.0: --self-check's
constexpr uint32_t kSplitBase = 0x0B000000;     // 11.0.0.0: split destinations
constexpr uint32_t kSplitBareBase = 0x0B800000;

struct Options {
  unsigned rounds = 3;
  std::wstring sizes = L"1000,10000";
  unsigned pipeRounds = 5;  // 0: the road through the pipe is left out
  std::wstring pipeSizes = L"1000,10000,50000,68000";
  CommonOptions common;
};

IpAddress Host(uint32_t base, unsigned i) { return IpAddress::FromIPv4(htonl(base + 2 * i)); }
IpAddress Gateway() { return IpAddress::FromIPv4(IPv4("192.0.2.1")); }

unsigned long long BareFailures = 0;

double BareCreates(uint32_t base, unsigned count) {
  const long long start = TickNow();
  for (unsigned i = 0; i < count; ++i) {
    const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kInterface, {Host(base, i), 32}, Gateway());
    BareFailures += CreateIpForwardEntry2(&row) != NO_ERROR;
  }
  return TicksToMicroseconds(TickNow() - start) / 1000;
}

double BareDeletes(uint32_t base, unsigned count) {
  const long long start = TickNow();
  for (unsigned i = 0; i < count; ++i) {
    const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kInterface, {Host(base, i), 32}, Gateway());
    BareFailures += DeleteIpForwardEntry2(&row) != NO_ERROR;
  }
  return TicksToMicroseconds(TickNow() - start) / 1000;
}

double Timed(const std::wstring& list) {
  const long long start = TickNow();
  BypassNetsCommand(list);
  return TicksToMicroseconds(TickNow() - start) / 1000;
}

size_t RoutesOfHelper() {
  MutexLock lock(Routes.Lock);
  size_t ours = 0;
  Routes.ForEach([&](const RoutePrefix&, const RecordedRoute& route) {
    ours += route.State == RouteState::Ours;
  });
  return ours;
}

// One turn of the split case: kSplitCalls new destinations (ms), then
// taken back. `round` keeps every turn's addresses new.
double SplitTurn(unsigned round) {
  const long long start = TickNow();
  for (unsigned i = 0; i < kSplitCalls; ++i) {
    BareFailures += !AddSplitHostRoute(Host(kSplitBase, round * kSplitCalls + i));
  }
  const double ms = TicksToMicroseconds(TickNow() - start) / 1000;
  ClearSplitHostRoutes();
  return ms;
}
double SplitBareTurn() {
  const double ms = BareCreates(kSplitBareBase, kSplitCalls);
  BareDeletes(kSplitBareBase, kSplitCalls);  // not timed, as the helper's clear is not
  return ms;
}

// What the helper adds to one bare create, per destination (us): the median
// of subject[i] - baseline[i] over turns.
double AddedPerCall(const std::vector<double>& subject, const std::vector<double>& baseline) {
  std::vector<double> added;
  for (size_t i = 0; i < subject.size() && i < baseline.size(); ++i) {
    added.push_back((subject[i] - baseline[i]) * 1000 / kSplitCalls);
  }
  return added.empty() ? 0 : Median(added);
}

bool SplitRun(unsigned rounds, unsigned& round, std::vector<double>& subject,
              std::vector<double>& baseline) {
  SplitTurn(round++);  // warms both sides' paths; not counted
  SplitBareTurn();
  return RunInterleaved(
      rounds, 1,
      [&](unsigned) {
        subject.push_back(SplitTurn(round++));
        return true;
      },
      [&](unsigned) {
        baseline.push_back(SplitBareTurn());
        return true;
      });
}

double AnswerMs(const std::function<std::wstring()>& answer) {
  std::vector<double> samples;
  for (unsigned i = 0; i < kAnswerSamples; ++i) {
    const long long start = TickNow();
    const std::wstring text = answer();
    samples.push_back(TicksToMicroseconds(TickNow() - start) / 1000);
    if (text.empty()) return -1;
  }
  return Median(samples);
}

std::wstring ListText(uint32_t base, unsigned count) {
  std::wstring text;
  text.reserve(count * 16);
  for (unsigned i = 0; i < count; ++i) {
    if (i != 0) text += L';';
    text += FormatAddress(Host(base, i));
  }
  return text;
}

// What a machine with a tunnel up has beside a list: the tunnel's AllowedIPs
// (everything, in halves, as the README advises, and its own network), and
// another adapter (a second VPN, say) with 50 /22s of its own inside the
// range the clustered list covers, each of which keeps the entries it
// overlaps from merging past it.
std::vector<RoutePrefix> TunnelAllowedIPs() {
  return {{IpAddress::FromIPv4(htonl(0x00000000)), 1},
          {IpAddress::FromIPv4(htonl(0x80000000)), 1},
          {IpAddress::FromIPv4(htonl(0x0A080000)), 24}};
}
std::string RoutesBeside() {
  std::string lines = "route 192.168.7.0 255.255.255.0 0.0.0.0 9 1\n";
  for (uint32_t i = 0; i < 50; ++i) {
    const uint32_t address = 0x20000000 + i * 0xB0400;  // 32.0.0.0 on, over the whole list
    const IpAddress start = IpAddress::FromIPv4(htonl(address & ~0x3FFu));
    lines += "route " + WideToUtf8(FormatAddress(start)) + " 255.255.252.0 198.51.100.1 9 5\n";
  }
  return lines;
}

// A list shaped like a country's: runs of adjacent /24s (1, 2, 4, 8 or 16,
// each aligned, so each run is one network), a quarter of them with a host
// of theirs listed as well, the runs apart from each other. The same list
// every time.
std::wstring ClusteredListText(unsigned count) {
  std::wstring text;
  unsigned entries = 0;
  uint32_t seed = 20261209;
  const auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  const auto add = [&](uint32_t address, int length) {
    if (entries++ != 0) text += L';';
    text += FormatAddress(IpAddress::FromIPv4(htonl(address))) + L"/" + std::to_wstring(length);
  };
  constexpr uint32_t kFirst = 0x20000000;  // 32.0.0.0
  uint32_t block = 0;                      // in /24s from kFirst
  while (entries < count) {
    const uint32_t run = 1u << (next() % 5);
    block = (block + run - 1) & ~(run - 1);
    for (uint32_t i = 0; i < run && entries < count; ++i) add(kFirst + ((block + i) << 8), 24);
    if (next() % 4 == 0 && entries < count) add(kFirst + (block << 8) + 1, 32);
    block += 2 * run;
  }
  return text;
}

bool Judge(const char* what, const std::string& size, const std::vector<double>& subject,
           const std::vector<double>& baseline, const char* subjectName, const char* baselineName,
           bool verbose) {
  const std::string label = size + ": " + what;
  Comparison c{};
  c.what = label.c_str();
  c.unit = "ms";
  c.subject = subjectName;
  c.subjectSamples = &subject;
  c.baseline = baselineName;
  c.baselineSamples = &baseline;
  c.target = kRatioTarget;
  c.goal = kRatioGoal;
  c.paired = true;
  if (verbose) PrintStretches(c, 3, true);
  return PrintComparison(c);
}

int RunBenchmark(const Options& options, const std::vector<unsigned>& sizes,
                 const std::vector<unsigned>& pipeSizes) {
  if (!RequireStandinBeside(L"iphlpapi.dll")) return kExitFailed;
  if (!StartWithEmptyRouteFiles(L"list-bench-data")) return kExitFailed;
  WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), kScenario);
  SetPhysicalRoute(kFamilyIPv4, {kInterface, IpAddress::FromIPv4(IPv4("192.0.2.1"))});
  HelperState.TunnelConnected = true;
  const bool selfCheck = options.common.selfCheck;
  bool met = true;

  unsigned splitRound = 0;
  std::printf("%u rounds per side and size, taking turns\n", options.rounds);

  for (const unsigned size : sizes) {
    const std::string label = std::to_string(size) + " networks";
    const std::wstring list = ListText(kHelperBase, size);
    std::vector<double> install, installBare, clear, clearBare;
    size_t installed = 0;
    if (!RunInterleaved(
            options.rounds, 1,
            [&](unsigned) {
              if (selfCheck) {
                install.push_back(BareCreates(kSecondBase, size));
                clear.push_back(BareDeletes(kSecondBase, size));
                return true;
              }
              install.push_back(Timed(list));
              installed = RoutesOfHelper();
              clear.push_back(Timed(L""));
              return installed == size;
            },
            [&](unsigned) {
              installBare.push_back(BareCreates(kBaselineBase, size));
              clearBare.push_back(BareDeletes(kBaselineBase, size));
              return true;
            })) {
      std::fprintf(stderr, "%s: %zu routes installed, not %u\n", label.c_str(), installed, size);
      return kExitFailed;
    }
    const char* subject = selfCheck ? "bare-b" : "helper";
    met = Judge("install", label, install, installBare, subject, "bare creates",
                options.common.verbose) && met;
    met = Judge("clear", label, clear, clearBare, subject, "bare deletes", options.common.verbose) &&
          met;
    if (selfCheck) continue;

    // New split destinations with the list empty, then with it in place;
    // then the answers.
    std::vector<double> emptySplit, emptyBare, split, splitBare;
    if (!SplitRun(options.rounds * 10, splitRound, emptySplit, emptyBare)) return kExitFailed;
    BypassNetsCommand(list);
    if (!SplitRun(options.rounds * 10, splitRound, split, splitBare)) return kExitFailed;
    // The stand-in's own create costs more in a small table (it writes a
    // table of a few rows whole), so what is compared is what the helper
    // adds to it.
    const double emptyAdded = AddedPerCall(emptySplit, emptyBare);
    const double added = AddedPerCall(split, splitBare);
    const double growth = emptyAdded > 0 ? added / emptyAdded : 0;
    const bool splitMet = emptyAdded > 0 && growth <= kSplitGrowthTarget;
    std::printf("%s: new split destination: the helper adds %.1f us to a bare create (%.1f us), "
                "%.1f us (to %.1f us) with the list empty; ratio %.2f (target <= %.1f: %s)\n",
                label.c_str(), added, Median(splitBare) * 1000 / kSplitCalls, emptyAdded,
                Median(emptyBare) * 1000 / kSplitCalls, growth, kSplitGrowthTarget,
                splitMet ? "met" : "MISSED");
    met = splitMet && met;
    const double stateMs = AnswerMs(DescribeState);
    const double explainMs = AnswerMs([] { return ExplainAddress(L"10.64.0.9"); });
    for (const auto& [what, ms] : {std::pair<const char*, double>{"state", stateMs},
                                   std::pair<const char*, double>{"explain", explainMs}}) {
      const bool answerMet = ms >= 0 && ms <= kAnswerTargetMs;
      std::printf("%s: %s median %.3f ms (target <= %.0f ms: %s)\n", label.c_str(), what, ms,
                  kAnswerTargetMs, answerMet ? "met" : "MISSED");
      met = answerMet && met;
    }
    BypassNetsCommand(L"");
  }
  if (!selfCheck && !sizes.empty()) {
    // Merging: a clustered list of the largest size asked for, made as
    // fewer routes than it has entries; first with nothing beside it, then
    // beside the routes of a machine with a tunnel up, which keep some
    // entries from merging.
    const unsigned size = sizes.back();
    const std::wstring clustered = ClusteredListText(size);
    size_t alone = 0;
    for (const bool beside : {false, true}) {
      ClearBypassRoutes();  // the next install reads the table again
      if (beside) {
        WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), std::string(kScenario) + RoutesBeside());
        SetTunnelNetworks({}, TunnelAllowedIPs());
      }
      std::vector<double> install;
      size_t routes = 0;
      for (unsigned round = 0; round < options.rounds; ++round) {
        install.push_back(Timed(clustered));
        routes = RoutesOfHelper();
        BypassNetsCommand(L"");
      }
      const bool merged = routes > 0 && routes < size;
      std::printf("clustered list of %u networks%s: made as %zu routes (%.1f entries a route), "
                  "installed in median %.1f ms (%s)\n",
                  size, beside ? " beside a tunnel's and another adapter's routes" : "", routes,
                  routes ? double(size) / double(routes) : 0.0, Median(install),
                  merged ? "merged" : "NOT MERGED");
      met = merged && met;
      if (!beside) {
        alone = routes;
        continue;
      }
      const double growth = alone ? double(routes) / double(alone) : 0;
      const bool kept = alone > 0 && growth <= kBesideGrowthTarget;
      std::printf("routes beside the list: %zu routes against %zu alone, ratio %.3f (target <= %.2f: "
                  "%s)\n",
                  routes, alone, growth, kBesideGrowthTarget, kept ? "met" : "MISSED");
      met = kept && met;
      SetTunnelNetworks({}, {});
    }
    WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), kScenario);
  }
  ClearBypassRoutes();
  if (!selfCheck && options.pipeRounds != 0 &&
      !RunPipeRoad(pipeSizes, options.pipeRounds, options.common, met)) {
    return kExitFailed;
  }
  if (BareFailures != 0) {
    std::fprintf(stderr, "%llu calls failed (see iphlpapi-journal.txt)\n", BareFailures);
    return kExitFailed;
  }
  return options.common.strict && !met ? kExitTargetMissed : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  std::vector<unsigned> sizes, pipeSizes;
  if (!ParseOptions(argc, argv, options.common,
                    {{L"--rounds", &options.rounds, 1, 1000},
                     {L"--pipe-rounds", &options.pipeRounds, 0, 1000}},
                    {{L"--sizes", &options.sizes}, {L"--pipe-sizes", &options.pipeSizes}}) ||
      !ParseSizeList(options.sizes, 70000, sizes) ||
      !ParseSizeList(options.pipeSizes, 70000, pipeSizes)) {
    std::fprintf(
        stderr,
        "usage: list_bench [--rounds N] [--sizes N,N,...] [--pipe-rounds N]\n"
        "                  [--pipe-sizes N,N,...] [--self-check] [--verbose] [--strict]\n");
    return kExitFailed;
  }
  const int result = RunBenchmark(options, sizes, pipeSizes);
  std::fflush(stdout);
  return result;
}

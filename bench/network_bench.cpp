// How fast the helper's routes follow the physical network: the time from a
// change of the system's table (the IP Helper stand-in's callbacks, fired in
// this process by StandinNotifyChanges) until the last route has moved to
// the new default route, with the watcher's debounce set to nothing, against
// the same creates and deletes made in a bare loop through the same
// stand-in, for tables of 1, 100 and 1000 routes. The debounce itself (the
// product's 200 ms after the last change) is measured apart and reported.
//
//   network_bench [--rounds N] [--sizes LIST] [--self-check] [--verbose] [--strict]
//
// Method:
// - The helper's side is the real watcher: its registration with the
//   stand-in, the callback, the worker's wake-up, the table read, the
//   physical route found in it, and the move (journal line, create, delete,
//   journal line taken back, for each route). Its routes move between two
//   default routes, interface 7 and interface 12, one round each way.
// - The baseline moves as many routes of its own between the same two rows
//   with CreateIpForwardEntry2 and DeleteIpForwardEntry2 alone. Both sides'
//   routes lie in the stand-in's one route file, so each call of either
//   side reads and writes the same amount.
// - The sides take turns, one round each, the one going first alternating;
//   the judged ratio is the median of the per-turn ratios (target 1.5, goal
//   1.2). --self-check puts a second bare loop in the helper's place.
// - Only ever against the stand-in: the program refuses to run when the
//   iphlpapi.dll it loaded is not the one beside it.
#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "bench_common.h"
#include "iphlpapi_standin.h"
#include "routing/network_watch.h"
#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "routing/route_table.h"
#include "service_harness.h"
#include "support/data_directory.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/log.h"
#include "support/paths.h"

namespace {

constexpr double kRatioTarget = 1.5;
constexpr double kRatioGoal = 1.2;
constexpr unsigned kSegments = 5;
constexpr DWORD kMoveWaitMs = 120000;
constexpr unsigned kDebounceRounds = 5;

// Documentation addresses (RFC 5737) and made-up interfaces.
const NextHop kRoutes[2] = {{7, IpAddress::FromIPv4(IPv4("192.0.2.1"))},
                            {12, IpAddress::FromIPv4(IPv4("198.51.100.1"))}};
const char* const kScenarios[2] = {
    "route 0.0.0.0 0.0.0.0 192.0.2.1 7 25\n",
    "route 0.0.0.0 0.0.0.0 192.0.2.1 7 50\nroute 0.0.0.0 0.0.0.0 198.51.100.1 12 10\n",
};

struct Options {
  unsigned rounds = 6;  // timed rounds per side and size
  std::wstring sizes = L"1,100,1000";
  CommonOptions common;
};

// Route i of a side: the helper's in 10.64.0.0/10, the baseline's in
// 10.128.0.0/10, host routes.
RoutePrefix HostPrefix(uint32_t base, unsigned i) {
  return {IpAddress::FromIPv4(htonl(base + i)), 32};
}

// Whether the physical route is `to` and every route of the helper's goes
// through it: the move lets the lock go between rows, and takes the new
// route before its first.
bool MovedTo(const NextHop& to) {
  MutexLock lock(Routes.Lock);
  if (Routes.Physical(kFamilyIPv4) != to) return false;
  bool all = true;
  Routes.ForEach([&](const RoutePrefix&, const RecordedRoute& route) {
    all = all && route.InterfaceIndex == to.InterfaceIndex;
  });
  return all;
}

// One round of the helper's side: the table changes to `to`, and the time
// until every route has followed (ms).
bool HelperRound(StandinNotifyChangesFn notify, int to, double& ms) {
  if (!WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), kScenarios[to])) return false;
  const long long start = TickNow();
  notify();
  const ULONGLONG deadline = GetTickCount64() + kMoveWaitMs;
  while (!MovedTo(kRoutes[to])) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(1);
  }
  ms = TicksToMicroseconds(TickNow() - start) / 1000;
  return true;
}

// One round of a bare loop: its routes from `1 - to` to `to` (ms). Counts
// the calls that failed, which must stay 0.
unsigned long long BareFailures = 0;
double BareRound(uint32_t base, unsigned count, int to) {
  const long long start = TickNow();
  for (unsigned i = 0; i < count; ++i) {
    const RoutePrefix prefix = HostPrefix(base, i);
    const NextHop& from = kRoutes[1 - to];
    const MIB_IPFORWARD_ROW2 made = BypassRouteRow(kRoutes[to].InterfaceIndex, prefix,
                                                   kRoutes[to].Gateway);
    const MIB_IPFORWARD_ROW2 gone =
        BypassRouteRow(from.InterfaceIndex, prefix, from.Gateway);
    BareFailures += CreateIpForwardEntry2(&made) != NO_ERROR;
    BareFailures += DeleteIpForwardEntry2(&gone) != NO_ERROR;
  }
  return TicksToMicroseconds(TickNow() - start) / 1000;
}

void CreateBare(uint32_t base, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kRoutes[0].InterfaceIndex, HostPrefix(base, i),
                                                  kRoutes[0].Gateway);
    BareFailures += CreateIpForwardEntry2(&row) != NO_ERROR;
  }
}

void DeleteBare(uint32_t base, unsigned count, int on) {
  for (unsigned i = 0; i < count; ++i) {
    const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kRoutes[on].InterfaceIndex, HostPrefix(base, i),
                                                  kRoutes[on].Gateway);
    DeleteIpForwardEntry2(&row);
  }
}

struct SizeResult {
  std::string what;
  std::vector<double> subject;
  std::vector<double> baseline;
  std::vector<double> unchanged;  // passes that find nothing to do (ms)
};

// The longest a pass that changes nothing may take at the largest list a
// request can hold (about 68,000 routes): judged at every size, so a pass
// that grows faster than the table shows long before that.
constexpr double kUnchangedPassMs = 50;

int RunBenchmark(const Options& options, const std::vector<unsigned>& sizes) {
  if (!RequireStandinBeside(L"iphlpapi.dll")) return kExitFailed;
  const auto notify = reinterpret_cast<StandinNotifyChangesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"iphlpapi.dll"), "StandinNotifyChanges")));
  if (!notify) {
    std::fprintf(stderr,
                 "the IP Helper stand-in beside this program has no StandinNotifyChanges\n");
    return kExitFailed;
  }
  if (!StartWithEmptyRouteFiles(L"network-bench-data")) return kExitFailed;
  const bool selfCheck = options.common.selfCheck;
  constexpr uint32_t kHelperBase = 0x0A400000, kBaselineBase = 0x0A800000, kSecondBase = 0x0AC00000;

  // The debounce as the product has it, for one route.
  WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), kScenarios[0]);
  SetPhysicalRoute(kFamilyIPv4, kRoutes[0]);
  AddBypassRoute(HostPrefix(kHelperBase, 0), RouteOrigin::List);
  StartNetworkWatch();
  std::vector<double> product;
  int at = 0;
  for (unsigned i = 0; i < kDebounceRounds; ++i) {
    double ms = 0;
    at = 1 - at;
    if (!HelperRound(notify, at, ms)) return kExitFailed;
    product.push_back(ms);
  }
  StopNetworkWatch();
  HelperLimits.NetworkQuietMs = 0;
  HelperLimits.NetworkLongestMs = 0;

  std::vector<SizeResult> results;
  for (const unsigned size : sizes) {
    StopNetworkWatch();
    ClearBypassRoutes();
    WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), kScenarios[0]);
    SetPhysicalRoute(kFamilyIPv4, kRoutes[0]);
    if (!selfCheck) {
      for (unsigned i = 0; i < size; ++i)
        AddBypassRoute(HostPrefix(kHelperBase, i), RouteOrigin::List);
    } else {
      CreateBare(kSecondBase, size);
    }
    CreateBare(kBaselineBase, size);
    StartNetworkWatch();
    SizeResult result{std::to_string(size) + " routes", {}, {}, {}};
    int helperAt = 0, baselineAt = 0;
    if (!RunInterleaved(
            options.rounds, 1,
            [&](unsigned) {
              helperAt = 1 - helperAt;
              double ms = 0;
              if (selfCheck) {
                ms = BareRound(kSecondBase, size, helperAt);
              } else if (!HelperRound(notify, helperAt, ms)) {
                std::fprintf(stderr, "the routes did not follow within %lu ms\n", kMoveWaitMs);
                return false;
              }
              result.subject.push_back(ms);
              return true;
            },
            [&](unsigned) {
              baselineAt = 1 - baselineAt;
              result.baseline.push_back(BareRound(kBaselineBase, size, baselineAt));
              return true;
            })) {
      return kExitFailed;
    }
    StopNetworkWatch();
    DeleteBare(kBaselineBase, size, baselineAt);
    // A look at a table where every route is in place: the table read and
    // the comparison with the helper's records, nothing made. The bare
    // loop's rows are gone by then: the table holds the helper's routes.
    if (!selfCheck) {
      for (unsigned i = 0; i < options.rounds; ++i) {
        const long long started = TickNow();
        FollowPhysicalNetwork();
        result.unchanged.push_back(TicksToMicroseconds(TickNow() - started) / 1000);
      }
    }
    if (selfCheck) DeleteBare(kSecondBase, size, helperAt);
    results.push_back(std::move(result));
  }
  ClearBypassRoutes();
  if (BareFailures != 0) {
    std::fprintf(stderr, "%llu calls of the bare loop failed (see iphlpapi-journal.txt)\n",
                 BareFailures);
    return kExitFailed;
  }

  if (selfCheck) std::printf("SELF-CHECK: a second bare loop in the helper's place\n");
  std::printf("%u rounds per side and size, taking turns\n", options.rounds);
  // With the product's quiet time a route follows after the debounce and
  // its move; the move of one route alone is the judged run of size 1.
  const double alone =
      sizes[0] == 1 && !results[0].subject.empty() && !selfCheck ? Median(results[0].subject) : 0;
  std::printf(
      "debounce (not judged): one route followed in median %.1f ms with the product's "
      "200 ms quiet time%s",
      Median(product), alone > 0 ? "" : "\n");
  if (alone > 0) {
    std::printf(", %.1f ms of it the move: the debounce took %.1f ms\n", alone,
                Median(product) - alone);
  }
  bool met = true;
  for (const SizeResult& r : results) {
    Comparison c{};
    c.what = r.what.c_str();
    c.unit = "ms";
    c.subject = selfCheck ? "bare-b" : "change-to-moved";
    c.subjectSamples = &r.subject;
    c.baseline = "bare creates+deletes";
    c.baselineSamples = &r.baseline;
    c.target = kRatioTarget;
    c.goal = kRatioGoal;
    c.paired = true;
    if (options.common.verbose) PrintStretches(c, kSegments, true);
    met = PrintComparison(c) && met;
    if (!r.unchanged.empty()) {
      const double median = Median(r.unchanged);
      const bool passMet = median <= kUnchangedPassMs;
      std::printf("%s: a pass that changes nothing median %.2f ms p95 %.2f ms (target <= %.0f ms: %s)\n",
                  r.what.c_str(), median, Percentile(r.unchanged, 0.95), kUnchangedPassMs,
                  passMet ? "met" : "MISSED");
      met = passMet && met;
    }
  }
  return options.common.strict && !met ? kExitTargetMissed : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  std::vector<unsigned> sizes;
  if (!ParseOptions(argc, argv, options.common, {{L"--rounds", &options.rounds, kSegments, 10000}},
                    {{L"--sizes", &options.sizes}}) ||
      !ParseSizeList(options.sizes, 100000, sizes)) {
    std::fprintf(stderr,
                 "usage: network_bench [--rounds N] [--sizes N,N,...] [--self-check] [--verbose]\n"
                 "                     [--strict]\n");
    return kExitFailed;
  }
  const int result = RunBenchmark(options, sizes);
  std::fflush(stdout);
  return result;
}

// What the socket sniffer pays per event for a destination whose bypass
// route exists already: AddSplitHostRoute(destination) for a recorded
// destination, measured in-process against a bare std::map lookup under a
// std::mutex whose map holds the same destinations (route_bench_baseline.h),
// for tables of several sizes.
//
//   route_bench [--samples N] [--calls N] [--warmup N] [--sizes LIST]
//               [--self-check] [--verbose] [--strict]
//
// Method (the reasons are those of pipe_bench.cpp, scaled down):
// - One call takes some tens of nanoseconds, and Wine's performance counter
//   ticks every 100 ns, so a sample is the mean of --calls back-to-back calls
//   (default 1000). The two sides switch after every sample, the one going
//   first alternating, so phases of a busy machine hit both alike.
// - The figures are medians of the samples. The 95th percentile is printed
//   but not judged: at this scale it tells how often the scheduler cut into
//   a sample, not what a call costs.
// - The helper's table gets its destinations in the same order, interleaved
//   with the baseline's, so that both maps have the same shape and their
//   nodes a like spread in memory. The measured destination goes into the
//   helper's table through one real AddSplitHostRoute, whose route the IP
//   Helper stand-in beside this program records (and ClearBypassRoutes takes
//   out again at the end); the other destinations, which no call measured
//   here touches, are recorded through AddBypassRoute while the route store
//   asks a system of this program's (its seam) that answers every create
//   with "exists already", because every route the stand-in creates
//   rewrites its whole route file. Someone else's routes, as far as the
//   helper knows: never deleted, and an empty list forgets them again.
// - --self-check puts a second bare table in the helper's place: any ratio
//   far from 1 is noise of the method.
//
// Only ever against the stand-in: the program refuses to run when the
// iphlpapi.dll it loaded is not the one beside it, so that it never creates a
// route in a real system (on Windows the system's copy is always loaded).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bench_common.h"
#include "route_bench_baseline.h"
#include "service_harness.h"
#include "routing/route_table.h"
#include "support/helper_state.h"

namespace {

constexpr double kRatioTarget = 2.0;
constexpr double kRatioGoal = 1.5;
constexpr unsigned kSegments = 10;
constexpr uint8_t kHostPrefix = 32;

// Documentation addresses (RFC 5737): nothing real is ever routed to them.
constexpr uint8_t kDestination[4] = {203, 0, 113, 7};
constexpr uint8_t kGateway[4] = {192, 0, 2, 1};
constexpr uint32_t kInterfaceIndex = 7;

uint32_t NetworkOrder(const uint8_t (&bytes)[4]) {
  uint32_t address;
  std::memcpy(&address, bytes, sizeof(address));
  return address;
}

struct Options {
  unsigned samples = 5000;  // timed samples per side and table size
  unsigned calls = 1000;    // calls per sample
  unsigned warmup = 100;    // untimed samples per side before each size
  std::wstring sizes = L"1,100,5000";
  CommonOptions common;
};

using LookupFunction = bool (*)(const IpAddress&);

struct Side {
  const char* label;
  LookupFunction lookup;
  std::vector<double> samples;  // nanoseconds per call, in order
};

void TimeSamples(Side& side, unsigned count, unsigned calls, bool timed) {
  const IpAddress destination = IpAddress::FromIPv4(NetworkOrder(kDestination));
  for (unsigned s = 0; s < count; ++s) {
    const long long start = TickNow();
    for (unsigned i = 0; i < calls; ++i) side.lookup(destination);
    const long long end = TickNow();
    if (timed) side.samples.push_back(TicksToNanoseconds(end - start) / calls);
  }
}

// The system the filler destinations are recorded through: each is there
// already, someone else's.
class ThereAlready final : public RouteSystem {
 public:
  DWORD CreateRoute(const RoutePrefix&, const NextHop&) override {
    return ERROR_OBJECT_ALREADY_EXISTS;
  }
  void DeleteRoute(const RoutePrefix&, const NextHop&) override {}
  bool InterfaceLuid(uint32_t, uint64_t& luid) override {
    luid = 0;
    return false;
  }
};

// Takes the filler destinations out of the helper's table (they are the
// list's, and the list becomes empty), leaving the one recorded through the
// stand-in, so that the helper's own clean-up deletes only the route it
// created.
void KeepOnlyRecordedRoute() { InstallBypassRoutes({}); }

// Gives the helper's table (unless it is not measured) and both bare tables
// the measured destination and size - 1 others, inserted in the same order.
void FillTables(unsigned size, bool helperMeasured) {
  if (helperMeasured) KeepOnlyRecordedRoute();
  const uint32_t destination = NetworkOrder(kDestination);
  for (BareRouteTable& bare : BareTables) {
    bare.table.clear();
    bare.table.emplace(destination, kHostPrefix);
  }
  ThereAlready thereAlready;
  if (helperMeasured) Routes.UseSystem(thereAlready);
  // Host addresses spread over the whole space, as the destinations of a
  // machine's connections are; the same sequence on every run.
  uint32_t next = 0x2545F491u;
  while (BareTables[0].table.size() < size) {
    next = next * 1664525u + 1013904223u;
    if (!BareTables[0].table.emplace(next, kHostPrefix).second) continue;
    if (helperMeasured) AddBypassRoute({IpAddress::FromIPv4(next), kHostPrefix}, RouteOrigin::List);
    BareTables[1].table.emplace(next, kHostPrefix);
  }
  Routes.UseSystem(IpHelperRouteSystem());
}

size_t HelperTableSize() {
  MutexLock lock(Routes.Lock);
  return Routes.Size();
}

struct SizeResult {
  unsigned size;
  std::string what;
  Side subject;
  Side baseline;
};

int RunBenchmark(const Options& options, const std::vector<unsigned>& sizes) {
  const bool selfCheck = options.common.selfCheck;
  const bool helperMeasured = !selfCheck;
  const uint32_t destination = NetworkOrder(kDestination);

  if (helperMeasured) {
    if (!RequireStandinBeside(L"iphlpapi.dll")) return kExitFailed;
    // The interface the routes go through exists (the stand-in refuses
    // routes on one that does not, as Windows does).
    WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"),
                   "alias " + std::to_string(kInterfaceIndex) + " Ethernet\n");
    SetPhysicalRoute(kFamilyIPv4,
                     {kInterfaceIndex, IpAddress::FromIPv4(NetworkOrder(kGateway))});
    AddSplitHostRoute(IpAddress::FromIPv4(destination));
    if (HelperTableSize() != 1) {
      std::fprintf(stderr,
                   "the first AddSplitHostRoute recorded %zu destinations instead of 1 (see "
                   "iphlpapi-journal.txt beside this program)\n",
                   HelperTableSize());
      ClearBypassRoutes();
      return kExitFailed;
    }
  }

  std::vector<SizeResult> results;
  bool faulty = false;
  for (const unsigned size : sizes) {
    FillTables(size, helperMeasured);
    SizeResult result{size,
                      "recorded destination, " + std::to_string(size) + " in table",
                      {selfCheck ? "map+mutex-b" : "AddSplitHostRoute",
                       selfCheck ? &BareLookup1 : &AddSplitHostRoute,
                       {}},
                      {"map+mutex", &BareLookup0, {}}};
    TimeSamples(result.subject, options.warmup, options.calls, false);
    TimeSamples(result.baseline, options.warmup, options.calls, false);
    RunInterleaved(
        options.samples, 1,
        [&](unsigned count) {
          TimeSamples(result.subject, count, options.calls, true);
          return true;
        },
        [&](unsigned count) {
          TimeSamples(result.baseline, count, options.calls, true);
          return true;
        });
    // Every call must have found the destination, or a side measured another path.
    if (BareTables[0].misses != 0 || BareTables[1].misses != 0 ||
        (helperMeasured && HelperTableSize() != size)) {
      std::fprintf(stderr,
                   "table of %u: a lookup missed (bare misses %llu and %llu, helper table %zu "
                   "entries)\n",
                   size, BareTables[0].misses, BareTables[1].misses, HelperTableSize());
      faulty = true;
      break;
    }
    results.push_back(std::move(result));
  }
  if (helperMeasured) {
    KeepOnlyRecordedRoute();
    ClearBypassRoutes();
  }
  if (faulty) return kExitFailed;

  if (selfCheck) {
    std::printf("SELF-CHECK: two identical bare tables; every ratio below is method noise\n");
  }
  std::printf(
      "%u timed samples of %u calls per side and table size, alternating every sample, after "
      "%u warm-up samples each\n",
      options.samples, options.calls, options.warmup);
  std::vector<Comparison> comparisons;
  for (const SizeResult& r : results) {
    Comparison c{};
    c.what = r.what.c_str();
    c.unit = "ns";
    c.subject = r.subject.label;
    c.subjectSamples = &r.subject.samples;
    c.baseline = r.baseline.label;
    c.baselineSamples = &r.baseline.samples;
    c.target = kRatioTarget;
    c.judgeP95 = false;
    c.goal = kRatioGoal;
    comparisons.push_back(c);
    std::printf(options.common.verbose ? "table of %u:\n" : "table of %u: ", r.size);
    PrintStretches(comparisons.back(), kSegments, options.common.verbose);
  }
  std::printf("\n");
  bool met = true;
  for (const Comparison& c : comparisons) met = PrintComparison(c) && met;
  return options.common.strict && !met ? kExitTargetMissed : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  constexpr unsigned kMost = 100000000;
  std::vector<unsigned> sizes;
  if (!ParseOptions(argc, argv, options.common,
                    {{L"--samples", &options.samples, kSegments, kMost},
                     {L"--calls", &options.calls, 1, kMost},
                     {L"--warmup", &options.warmup, 0, kMost}},
                    {{L"--sizes", &options.sizes}}) ||
      !ParseSizeList(options.sizes, 1000000, sizes)) {
    std::fprintf(stderr,
                 "usage: route_bench [--samples N] [--calls N] [--warmup N] [--sizes N,N,...]\n"
                 "                   [--self-check] [--verbose] [--strict]\n");
    return kExitFailed;
  }
  const int result = RunBenchmark(options, sizes);
  std::fflush(stdout);
  return result;
}

// list_bench's road through the pipe: a client sends `bypassnets` with the
// whole list to the real helper, connected, and the reply comes once the
// last route is made. Timed against the same creates in a bare loop through
// the same stand-in, the in-memory IP Helper (testbed/iphlpapi-memory.dll),
// whose create costs a few microseconds as Windows' does, so that what the
// helper adds per entry is not hidden behind a slow create.
//
// The helper runs in console mode from a rig (rigs\list-bench-pipe) with the
// in-memory stand-in as its iphlpapi.dll. The bare loop runs in this process
// through a second copy of it, loaded by its own name from the rig, which
// reads the same scenario but keeps a table of its own.
//
// The helper has no timing hooks, so the breakdown is made beside it:
// - read: the round trip of a request of the same size with an unknown
//   command word (read whole, made UTF-16, then refused);
// - parse, merge, journal: the helper's own pieces run in this process on
//   the same text (ParseBypassNets; MergeNets;
//   JournalRoutes, formatting and writing the lines, into this process's
//   own journal); the request's UTF-8 to UTF-16 is in the read, as the
//   helper does it for every request;
// - creates: the bare loop;
// - rest: the round trip less all of those (the route table's bookkeeping,
//   the state lock, the audit line and what the pieces cost apart that they
//   do not together).
#include "list_bench_pipe.h"

#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client_io.h"
#include "rig.h"
#include "routing/journal_line.h"
#include "routing/net_entries.h"
#include "routing/net_merge.h"
#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "service_harness.h"
#include "support/address.h"
#include "support/text.h"

namespace {

constexpr double kTarget = 1.2;
constexpr double kGoal = 1.1;
constexpr DWORD kRequestWaitMs = 120000;
constexpr uint32_t kInterface = 7;          // the rig's physical default route
constexpr uint32_t kListBase = 0x0A400000;  // 10.64.0.0, host routes two apart
constexpr uint32_t kBareBase = 0x0A800000;

using RouteCall = DWORD(WINAPI*)(const MIB_IPFORWARD_ROW2*);

struct BareStandin {
  RouteCall create = nullptr;
  RouteCall remove = nullptr;
  unsigned long long failures = 0;
};

IpAddress Host(uint32_t base, unsigned i) { return IpAddress::FromIPv4(htonl(base + 2 * i)); }
IpAddress Gateway() { return IpAddress::FromIPv4(htonl(0xC0A80101)); }  // 192.168.1.1

double MsSince(long long start) { return TicksToMicroseconds(TickNow() - start) / 1000; }

std::string ListRequest(const char* word, unsigned count) {
  std::string text = word;
  text += ' ';
  text.reserve(count * 13 + 16);
  for (unsigned i = 0; i < count; ++i) {
    if (i != 0) text += ';';
    text += WideToUtf8(FormatAddress(Host(kListBase, i)));
  }
  return text + "\n";
}

// The round trip (ms), or -1 when the reply is not `expected`.
double TimedRequest(const std::string& request, const char* expected) {
  const long long start = TickNow();
  const RequestResult result = SendRequestBytes(request, kRequestWaitMs);
  const double ms = MsSince(start);
  if (result.outcome != RequestOutcome::Replied || result.reply != expected) {
    std::fprintf(stderr, "%.20s...: outcome %d, reply \"%s\"\n", request.c_str(),
                 static_cast<int>(result.outcome), result.reply.c_str());
    return -1;
  }
  return ms;
}

// `routes` of the helper's `state`, or -1.
long long RoutesOfState() {
  const RequestResult result = SendRequestBytes("state\n", kRequestWaitMs);
  const size_t at = result.reply.find("\"routes\":");
  if (at == std::string::npos) return -1;
  return std::strtoll(result.reply.c_str() + at + 9, nullptr, 10);
}

double BareLoop(BareStandin& bare, RouteCall call, unsigned count) {
  const long long start = TickNow();
  for (unsigned i = 0; i < count; ++i) {
    const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kInterface, {Host(kBareBase, i), 32}, Gateway());
    bare.failures += call(&row) != NO_ERROR;
  }
  return MsSince(start);
}

struct Pieces {
  std::vector<double> parse, merge, journal;  // ms
};

void TimePieces(const std::string& request, Pieces& pieces) {
  // The helper reads every request as UTF-16, unknown ones too: that is
  // in the read.
  const std::wstring text = Utf8ToWide({request.data() + 11, request.size() - 12});
  long long start = TickNow();
  const std::vector<RoutePrefix> list = ParseBypassNets(text);
  pieces.parse.push_back(MsSince(start));
  start = TickNow();
  const std::vector<MergedNet> merged = MergeNets(list, {});
  pieces.merge.push_back(MsSince(start));
  std::vector<JournaledRoute> entries;
  entries.reserve(merged.size());
  for (const MergedNet& net : merged) entries.push_back({kInterface, net.Prefix, Gateway(), 0});
  std::vector<uint32_t> lines;
  start = TickNow();
  const bool journaled = JournalRoutes(entries, lines);
  pieces.journal.push_back(journaled ? MsSince(start) : -1);
  WithdrawJournalLines(lines);
}

double PerEntry(const std::vector<double>& ms, unsigned size) { return Median(ms) * 1000 / size; }

}  // namespace

bool RunPipeRoad(const std::vector<unsigned>& sizes, unsigned rounds, const CommonOptions& common,
                 bool& met) {
  HelperRig rig(L"list-bench-pipe");
  // Both copies of the in-memory stand-in: the helper's as iphlpapi.dll,
  // the bare loop's under its own name, so that this process's file-backed
  // iphlpapi.dll stays what the in-process lines use.
  const std::wstring memory = TestbedFile(L"iphlpapi-memory.dll");
  if (!CopyFileW(memory.c_str(), (rig.Dir() + L"\\iphlpapi.dll").c_str(), FALSE) ||
      !CopyFileW(memory.c_str(), (rig.Dir() + L"\\iphlpapi-memory.dll").c_str(), FALSE)) {
    std::fprintf(stderr, "could not copy %ls into the rig\n", memory.c_str());
    return false;
  }
  HMODULE module = LoadLibraryW((rig.Dir() + L"\\iphlpapi-memory.dll").c_str());
  BareStandin bare;
  if (module) {
    bare.create = reinterpret_cast<RouteCall>(
        reinterpret_cast<void*>(GetProcAddress(module, "CreateIpForwardEntry2")));
    bare.remove = reinterpret_cast<RouteCall>(
        reinterpret_cast<void*>(GetProcAddress(module, "DeleteIpForwardEntry2")));
  }
  if (!bare.create || !bare.remove) {
    std::fprintf(stderr, "the in-memory stand-in's route calls could not be loaded\n");
    return false;
  }
  // It refuses what Windows refuses, or the bare loop would time less than
  // the work a create is.
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kInterface, {Host(kBareBase, 0), 32}, Gateway());
  const MIB_IPFORWARD_ROW2 elsewhere = BypassRouteRow(99, {Host(kBareBase, 0), 32}, Gateway());
  const DWORD answers[] = {bare.create(&row), bare.create(&row), bare.create(&elsewhere),
                           bare.remove(&row), bare.remove(&row)};
  const DWORD expected[] = {NO_ERROR, ERROR_OBJECT_ALREADY_EXISTS, ERROR_NOT_FOUND, NO_ERROR,
                            ERROR_NOT_FOUND};
  for (size_t i = 0; i < sizeof(answers) / sizeof(answers[0]); ++i) {
    if (answers[i] != expected[i]) {
      std::fprintf(stderr, "the in-memory stand-in answered call %zu with %lu, not %lu\n", i,
                   answers[i], expected[i]);
      return false;
    }
  }
  if (!rig.StartConsole()) {
    std::fprintf(stderr, "the helper in %ls did not start serving\n", rig.Dir().c_str());
    return false;
  }
  if (TimedRequest("connect " + ToBase64(kBenchConfiguration) + "\n", "OK\n") < 0) return false;
  const long long before = RoutesOfState();
  std::printf("through the pipe (helper in %ls, in-memory IP Helper), %u rounds per size\n",
              rig.Dir().c_str(), rounds);

  for (const unsigned size : sizes) {
    const std::string request = ListRequest("bypassnets", size);
    const std::string unknown = ListRequest("xbypassnets", size);
    std::vector<double> whole, clear, creates, deletes, read;
    Pieces pieces;
    long long made = 0;
    const bool ran =
        RunInterleaved(rounds, 1,
                       {[&](unsigned) {
                          whole.push_back(TimedRequest(request, "OK\n"));
                          made = RoutesOfState() - before;
                          clear.push_back(TimedRequest("bypassnets\n", "OK\n"));
                          return whole.back() >= 0 && clear.back() >= 0 && made == size;
                        },
                        [&](unsigned) {
                          creates.push_back(BareLoop(bare, bare.create, size));
                          deletes.push_back(BareLoop(bare, bare.remove, size));
                          return bare.failures == 0;
                        },
                        [&](unsigned) {
                          read.push_back(TimedRequest(unknown, "ERR unknown\n"));
                          TimePieces(request, pieces);
                          return read.back() >= 0 && pieces.journal.back() >= 0;
                        }});
    if (!ran) {
      std::fprintf(stderr,
                   "%u networks through the pipe: %lld routes made, %llu bare calls failed\n", size,
                   made, bare.failures);
      return false;
    }
    const std::string label = std::to_string(size) + " networks: pipe install";
    Comparison c{};
    c.what = label.c_str();
    c.unit = "ms";
    c.subject = "request to last route";
    c.subjectSamples = &whole;
    c.baseline = "bare creates";
    c.baselineSamples = &creates;
    c.target = kTarget;
    c.goal = kGoal;
    c.paired = true;
    if (common.verbose) PrintStretches(c, 3, true);
    met = PrintComparison(c) && met;
    const double total = PerEntry(whole, size);
    const double parts[] = {PerEntry(read, size), PerEntry(pieces.parse, size),
                            PerEntry(pieces.merge, size), PerEntry(pieces.journal, size),
                            PerEntry(creates, size)};
    double rest = total;
    for (const double part : parts) rest -= part;
    std::printf(
        "%u networks: us per entry: whole %.2f = read %.2f + parse %.2f + merge %.2f + "
        "journal %.2f + creates %.2f + rest %.2f (clear %.2f, bare deletes %.2f)\n",
        size, total, parts[0], parts[1], parts[2], parts[3], parts[4], rest, PerEntry(clear, size),
        PerEntry(deletes, size));
  }
  return true;
}

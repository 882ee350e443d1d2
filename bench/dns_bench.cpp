// The DNS hold: what it adds to a DNS answer on its way in. In-process
// against the WinDivert and IP Helper stand-ins beside the program.
//
//   dns_bench [--rounds N] [--packets N] [--self-check] [--verbose] [--strict]
//
// Method:
// - Known address: a block of --packets answers of a listed domain whose
//   address is routed already is fed to the hold (receive, parse, the
//   route's lookup, send) until the stand-in says every one was handed out
//   and the receive waits again; against a bare loop on a network handle of
//   its own that receives and sends the same packets. Per packet, paired
//   ratio of the turns' medians, target 1.3, goal 1.1.
// - New address: one answer at a time, each with an address not routed yet,
//   from the feed to the receive waiting again (the route made before the
//   send), against the bare loop receiving the same packet, creating the
//   same host route and sending it. Target 1.2.
// - The same hold against a bare loop that first asks GetBestRoute2 for the
//   address, as the hold must before it takes a destination out of the
//   tunnel: what the hold adds beside that question. No target.
// - --self-check puts a second bare loop in the hold's place.
// - Only ever against the stand-ins: the program refuses to run when the
//   DLLs it loaded are not the ones beside it.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "routing/route_row.h"
#include "routing/route_table.h"
#include "service_harness.h"
#include "split/bypass_domains.h"
#include "split/dns_hold.h"
#include "split/windivert_abi.h"
#include "support/helper_state.h"
#include "windivert_standin.h"

namespace {

constexpr double kKnownTarget = 1.3, kKnownGoal = 1.1, kNewTarget = 1.2;
constexpr DWORD kIdleWaitMs = 20000;
constexpr uint32_t kInterface = 7;
// Connected: the tunnel's adapter with the halves of the address space, so
// the hold asks Windows whether the tunnel is the path, as it does then.
const char kScenario[] =
    "route 0.0.0.0 0.0.0.0 192.0.2.1 7 25\nalias 7 Ethernet\nalias 30 Quorvel\n"
    "route 0.0.0.0 128.0.0.0 10.8.0.1 30 1\nroute 128.0.0.0 128.0.0.0 10.8.0.1 30 1\n";

struct Options {
  unsigned rounds = 20;
  unsigned packets = 200;
  CommonOptions common;
};

void Put16(std::string& out, unsigned value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

// A feed line: 192.0.2.53:53 to this machine, an answer for www.bank.example
// giving `address` (host byte order), TTL 600.
std::string AnswerLine(uint32_t address) {
  std::string dns;
  Put16(dns, 0x1234);
  Put16(dns, 0x8180);
  Put16(dns, 1);
  Put16(dns, 1);
  Put16(dns, 0);
  Put16(dns, 0);
  dns += std::string("\3www\4bank\7example\0", 18);
  Put16(dns, 1);
  Put16(dns, 1);
  dns += "\xC0\x0C";
  Put16(dns, 1);
  Put16(dns, 1);
  Put16(dns, 0);
  Put16(dns, 600);
  Put16(dns, 4);
  for (int shift = 24; shift >= 0; shift -= 8) dns.push_back(static_cast<char>(address >> shift));
  std::string packet("\x45\x00", 2);
  Put16(packet, static_cast<unsigned>(28 + dns.size()));
  packet += std::string("\0\0\x40\0\x40\x11\0\0\xC0\0\2\x35\x0A\0\0\2", 16);
  Put16(packet, 53);
  Put16(packet, 50000);
  Put16(packet, static_cast<unsigned>(8 + dns.size()));
  Put16(packet, 0);
  packet += dns;
  std::string line = "packet in ";
  static const char kHex[] = "0123456789abcdef";
  for (const unsigned char byte : packet) {
    line += kHex[byte >> 4];
    line += kHex[byte & 15];
  }
  return line;
}

struct Standin {
  WinDivertStandinFeedLineFn feedLine = nullptr;
  WinDivertStandinWaitIdleFn waitIdle = nullptr;
};

// What the baseline does for each packet before it sends it on.
enum class BareWork { kNothing, kCreate, kAskThenCreate };

// The baseline: a handle of its own at the network layer, receiving and
// sending every packet, creating a host route for each first when told.
class BareLoop {
 public:
  // A placeholder that holds no handle (the hold's side).
  explicit BareLoop(std::nullptr_t) : work_(BareWork::kNothing) {}
  explicit BareLoop(BareWork work) : work_(work) {
    const HMODULE module = GetModuleHandleW(L"WinDivert.dll");
    open_ = reinterpret_cast<WinDivertOpenFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertOpen")));
    recv_ = reinterpret_cast<WinDivertRecvFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertRecv")));
    send_ = reinterpret_cast<WinDivertSendFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertSend")));
    shutdown_ = reinterpret_cast<WinDivertShutdownFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertShutdown")));
    close_ = reinterpret_cast<WinDivertCloseFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertClose")));
    handle_ = open_("inbound and !loopback and udp.SrcPort == 53", kWinDivertLayerNetwork, 0, 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~BareLoop() {
    if (!thread_.joinable()) return;
    shutdown_(handle_, kWinDivertShutdownRecv);
    thread_.join();
    close_(handle_);
  }
  bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
  unsigned long long Failures() const { return failures_; }
  unsigned long long Handled() const { return handled_; }

 private:
  void Run() {
    std::vector<uint8_t> packet(0xFFFF);
    for (;;) {
      WinDivertAddress address{};
      UINT length = 0;
      if (!recv_(handle_, packet.data(), static_cast<UINT>(packet.size()), &length, &address)) {
        return;
      }
      if (work_ != BareWork::kNothing && length >= 4) {
        // The answer's address: the packet's last four bytes.
        IpAddress host{kFamilyIPv4};
        std::memcpy(host.Bytes, packet.data() + length - 4, 4);
        if (work_ == BareWork::kAskThenCreate) {
          SOCKADDR_INET to{};
          to.Ipv4.sin_family = AF_INET;
          std::memcpy(&to.Ipv4.sin_addr, host.Bytes, 4);
          MIB_IPFORWARD_ROW2 best{};
          SOCKADDR_INET source{};
          // The tunnel's half of the address space is the answer here.
          failures_ += GetBestRoute2(nullptr, 0, nullptr, &to, 0, &best, &source) != NO_ERROR ||
                       best.InterfaceIndex != 30;
        }
        const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kInterface, {host, 32},
                                                      IpAddress::FromIPv4(IPv4("192.0.2.1")));
        failures_ += CreateIpForwardEntry2(&row) != NO_ERROR;
      }
      failures_ += !send_(handle_, packet.data(), length, nullptr, &address);
      ++handled_;
    }
  }

  const BareWork work_;
  WinDivertOpenFn open_ = nullptr;
  WinDivertRecvFn recv_ = nullptr;
  WinDivertSendFn send_ = nullptr;
  WinDivertShutdownFn shutdown_ = nullptr;
  WinDivertCloseFn close_ = nullptr;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::atomic<unsigned long long> failures_{0};
  std::atomic<unsigned long long> handled_{0};
  std::thread thread_;
};

// Feeds the lines to the newest network handle and waits until all of them
// went through; microseconds per line.
double FeedThrough(const Standin& standin, const std::vector<std::string>& lines) {
  const long long start = TickNow();
  for (const std::string& line : lines) standin.feedLine(line.c_str());
  if (!standin.waitIdle(kIdleWaitMs)) return -1;
  return TicksToMicroseconds(TickNow() - start) / static_cast<double>(lines.size());
}

bool Report(const char* what, const std::vector<double>& subject, const std::vector<double>& bare,
            const char* subjectName, const char* bareName, double target, double goal,
            bool verbose) {
  Comparison c{};
  c.what = what;
  c.unit = "us";
  c.subject = subjectName;
  c.subjectSamples = &subject;
  c.baseline = bareName;
  c.baselineSamples = &bare;
  c.target = target;
  c.goal = goal;
  c.paired = true;
  if (verbose) PrintStretches(c, 3, true);
  return PrintComparison(c);
}

int RunBenchmark(const Options& options) {
  // Loaded here from beside the program, as the hold loads it later.
  LoadLibraryW(BesideTests(L"WinDivert.dll").c_str());
  if (!RequireStandinBeside(L"WinDivert.dll") || !RequireStandinBeside(L"iphlpapi.dll")) {
    return kExitFailed;
  }
  if (!StartWithEmptyRouteFiles(L"dns-bench-data")) return kExitFailed;
  WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), kScenario);
  const HMODULE module = GetModuleHandleW(L"WinDivert.dll");
  Standin standin;
  standin.feedLine = reinterpret_cast<WinDivertStandinFeedLineFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "WinDivertStandinFeedLine")));
  standin.waitIdle = reinterpret_cast<WinDivertStandinWaitIdleFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "WinDivertStandinWaitIdle")));
  if (!standin.feedLine || !standin.waitIdle) return kExitFailed;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    HelperState.PhysicalRoute = {kInterface, IPv4("192.0.2.1")};
  }
  HelperState.TunnelConnected = true;
  const bool selfCheck = options.common.selfCheck;
  SetBypassDomains(L"bank.example");

  // Each side has the only network handle while it is timed: the hold is
  // started for its turns and stopped after them (untimed), its first
  // answer routing the known address again; the bare loop likewise.
  const uint32_t known = 0xCB007107;  // 203.0.113.7
  const std::vector<std::string> block(options.packets, AnswerLine(known));
  const auto startHold = [&]() -> std::unique_ptr<BareLoop> {
    if (selfCheck) {
      auto loop = std::make_unique<BareLoop>(BareWork::kCreate);
      return FeedThrough(standin, {AnswerLine(known)}) >= 0 ? std::move(loop) : nullptr;
    }
    StartDnsHold();
    for (int i = 0; i < 500 && !DnsHoldRunning(); ++i) Sleep(10);
    // A packet the stand-in does not take would make every sample a wait
    // for nothing: the hold must route the first answer.
    if (!DnsHoldRunning() || FeedThrough(standin, {AnswerLine(known)}) < 0 ||
        CountBypassRoutes().DomainRoutes != 1) {
      std::fprintf(stderr, "the DNS hold did not start or made no route for its first answer\n");
      return nullptr;
    }
    return std::make_unique<BareLoop>(nullptr);
  };
  std::vector<double> hold, bare, holdNew, bareNew, bareAskNew;
  uint32_t fresh = 0xC6120000;  // 198.18.0.0/15, set aside for benchmarks
  bool ok = RunInterleaved(
      options.rounds, 1,
      [&](unsigned) {
        std::unique_ptr<BareLoop> side = startHold();
        if (!side) return false;
        const double us = FeedThrough(standin, block);
        std::vector<double> each;
        const size_t before = CountBypassRoutes().DomainRoutes;
        for (unsigned i = 0; i < 10; ++i) each.push_back(FeedThrough(standin, {AnswerLine(++fresh)}));
        hold.push_back(us);
        holdNew.push_back(Median(each));
        const bool routed = selfCheck || CountBypassRoutes().DomainRoutes == before + 10;
        if (!selfCheck) StopDnsHold();
        side.reset();
        return us >= 0 && Median(each) >= 0 && routed;
      },
      [&](unsigned) {
        double us = 0;
        bool all = true;
        {
          BareLoop loop(BareWork::kNothing);
          if (!loop.Open()) return false;
          us = FeedThrough(standin, block);
          all = loop.Handled() == block.size() && loop.Failures() == 0;
        }
        const auto newAddresses = [&](BareWork work) {
          std::vector<double> each;
          BareLoop loop(work);
          for (unsigned i = 0; i < 10; ++i) {
            each.push_back(FeedThrough(standin, {AnswerLine(++fresh)}));
          }
          all = all && loop.Handled() == 10 && loop.Failures() == 0 &&
                *std::min_element(each.begin(), each.end()) >= 0;
          return Median(each);
        };
        bare.push_back(us);
        bareNew.push_back(newAddresses(BareWork::kCreate));
        bareAskNew.push_back(newAddresses(BareWork::kAskThenCreate));
        return all && us >= 0;
      });
  ClearBypassRoutes();
  if (!ok) {
    std::fprintf(stderr,
                 "a packet was not handled (not handed out within %lu ms, not routed, or a bare "
                 "call failed)\n",
                 kIdleWaitMs);
    return kExitFailed;
  }
  const char* subject = selfCheck ? "bare-b" : "hold";
  std::printf("%u rounds per side, taking turns; %u packets a block\n", options.rounds,
              options.packets);
  bool met = Report("a known address's answer, per packet", hold, bare, subject, "bare loop",
                    kKnownTarget, kKnownGoal, options.common.verbose);
  met = Report("a new address's answer, arrival to release", holdNew, bareNew, subject,
               "bare loop", kNewTarget, 0, options.common.verbose) &&
        met;
  Report("a new address's answer, against a bare loop that asks the path first", holdNew,
         bareAskNew, subject, "asking loop", 0, 0, options.common.verbose);
  return options.common.strict && !met ? kExitTargetMissed : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options.common,
                    {{L"--rounds", &options.rounds, 5, 1000}, {L"--packets", &options.packets, 10, 10000}},
                    {})) {
    std::fprintf(stderr,
                 "usage: dns_bench [--rounds N] [--packets N] [--self-check] [--verbose] [--strict]\n");
    return kExitFailed;
  }
  const int result = RunBenchmark(options);
  std::fflush(stdout);
  return result;
}

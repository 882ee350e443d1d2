// The DNS hold: what it adds to DNS on its way through. In-process against
// the WinDivert and IP Helper stand-ins beside the program.
//
//   dns_bench [--rounds N] [--packets N] [--self-check] [--verbose] [--strict]
//
// Method (every question is for a listed name, every answer answers one):
// - Known address: a block of --packets questions and their answers, of an
//   address routed already, is fed to the hold (receive, read, remember or
//   match, the route's renewal, send) until the stand-in says every one was
//   handed out and the receive waits again; against a bare loop on a
//   network handle of its own with the same filter that receives and sends
//   the same packets. Per packet, paired ratio of the turns' medians,
//   target 1.1.
// - New address: a question (not timed), then its answer with an address
//   not routed yet, from the feed to the receive waiting again (the route
//   made before the send), against a bare loop that keeps the same rules in
//   one thread: it matches the answer to the question, asks GetBestRoute2
//   whether the tunnel is the path, writes a journal line, creates the
//   route and sends. Target 1.2, goal 1.1.
// - A question: a block of --packets questions alone, against the bare
//   receive-and-send loop. Per packet, target 1.2.
// - The hold takes packets with two receivers, the bare loop with one: the
//   blocks show what a burst costs each. Not judged: one known address's
//   answer alone (after its question), from arrival to release, against
//   the bare loop.
// - Nothing waits behind a slow route: a listed name's answer with a new
//   address whose create the IP Helper stand-in makes take 50 ms, then
//   while it waits an answer for a name not listed, timed from its feed to
//   its send (the WinDivert stand-in's journal); against the same answer
//   alone through the bare loop. Median of five a turn, target 1.2.
// - --self-check puts a second bare loop in the hold's place.
// - Only ever against the stand-ins: the program refuses to run when the
//   DLLs it loaded are not the ones beside it.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "routing/route_table.h"
#include "service_harness.h"
#include "split/bypass_domains.h"
#include "split/dns_answer.h"
#include "split/dns_filter.h"
#include "split/dns_hold.h"
#include "split/dns_questions.h"
#include "split/address_scope.h"
#include "split/windivert_abi.h"
#include "split/windivert_library.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "windivert_standin.h"

namespace {

constexpr double kKnownTarget = 1.1, kNewTarget = 1.2, kNewGoal = 1.1, kQuestionTarget = 1.2;
constexpr double kUnlistedTarget = 1.2;
constexpr DWORD kIdleWaitMs = 20000;
constexpr uint32_t kInterface = 7;
constexpr uint32_t kTunnelInterface = 30;
// Connected: the tunnel's adapter with the halves of the address space, so
// the hold asks Windows whether the tunnel is the path, as it does then.
const char kScenario[] =
    "route 0.0.0.0 0.0.0.0 192.0.2.1 7 25\nalias 7 Ethernet\nalias 30 Quorvel\n"
    "route 0.0.0.0 128.0.0.0 10.8.0.1 30 1\nroute 128.0.0.0 128.0.0.0 10.8.0.1 30 1\n";
// A journal line as the route journal writes one: padded, at a slot.
constexpr size_t kJournalLineWidth = 128;

struct Options {
  unsigned rounds = 20;
  unsigned packets = 200;
  CommonOptions common;
};

void Put16(std::string& out, unsigned value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

// A feed line: a UDP packet between this machine's 10.0.0.2:50000 and the
// resolver 192.0.2.53:53 holding a DNS message about www.bank.example: the
// question (outbound) or its answer giving `address` (host byte order, TTL
// 600), with DNS id `id` (ids stay below 0x10000 in a run).
std::string DnsLine(bool answer, unsigned id, uint32_t address = 0, bool listed = true,
                    bool afterQuestion = true) {
  std::string dns;
  Put16(dns, id);
  Put16(dns, answer ? 0x8180 : 0x0100);
  Put16(dns, 1);
  Put16(dns, answer ? 1 : 0);
  Put16(dns, 0);
  Put16(dns, 0);
  dns += listed ? std::string("\3www\4bank\7example\0", 18)
                : std::string("\3www\5other\7example\0", 19);
  Put16(dns, 1);
  Put16(dns, 1);
  if (answer) {
    dns += "\xC0\x0C";
    Put16(dns, 1);
    Put16(dns, 1);
    Put16(dns, 0);
    Put16(dns, 600);
    Put16(dns, 4);
    for (int shift = 24; shift >= 0; shift -= 8) dns.push_back(static_cast<char>(address >> shift));
  }
  const std::string resolver("\xC0\0\2\x35", 4), local("\x0A\0\0\2", 4);
  std::string packet("\x45\x00", 2);
  Put16(packet, static_cast<unsigned>(28 + dns.size()));
  packet += std::string("\0\0\x40\0\x40\x11\0\0", 8);
  packet += answer ? resolver + local : local + resolver;
  Put16(packet, answer ? 53 : 50000);
  Put16(packet, answer ? 50000 : 53);
  Put16(packet, static_cast<unsigned>(8 + dns.size()));
  Put16(packet, 0);
  packet += dns;
  // An answer arrives only once its question has left, as a real one can.
  char after[24];
  std::snprintf(after, sizeof(after), "packet in after=%04x ", id & 0xFFFF);
  std::string line = !answer ? "packet out " : afterQuestion ? after : "packet in ";
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
enum class BareWork { kNothing, kRules };

// The baseline: a handle of its own at the network layer with the hold's
// filter, receiving and sending every packet; with kRules it first keeps
// the hold's rules in its one thread, with the product's own reader,
// question table and address judgement: a question for a listed name is
// remembered, an answer that matches one has each new address's path asked
// (GetBestRoute2), its journal line written and its route created.
class BareLoop {
 public:
  // A placeholder that holds no handle (the hold's side).
  explicit BareLoop(std::nullptr_t) : work_(BareWork::kNothing) {}
  explicit BareLoop(BareWork work) : work_(work) {
    if (!LoadWinDivert(library_, L"dns_bench") || !library_.Send || !library_.Shutdown) return;
    list_.Names = {"bank.example"};
    if (work_ == BareWork::kRules) {
      journal_.reset(CreateFileW(BesideTests(L"dns-bench-bare.journal").c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    }
    handle_ = library_.Open(DnsHoldFilter({}).c_str(), kWinDivertLayerNetwork, 0, 0);
    if (handle_ != INVALID_HANDLE_VALUE) thread_ = std::thread([this] { Run(); });
  }
  ~BareLoop() {
    if (!thread_.joinable()) return;
    library_.Shutdown(handle_, kWinDivertShutdownRecv);
    thread_.join();
    library_.Close(handle_);
  }
  bool Open() const {
    return handle_ != INVALID_HANDLE_VALUE && (work_ == BareWork::kNothing || journal_.valid());
  }
  unsigned long long Failures() const { return failures_; }
  unsigned long long Handled() const { return handled_; }
  unsigned long long Created() const { return created_; }

 private:
  void Run() {
    std::vector<uint8_t> packet(0xFFFF);
    for (;;) {
      WinDivertAddress address{};
      UINT length = 0;
      if (!library_.Recv(handle_, packet.data(), static_cast<UINT>(packet.size()), &length,
                         &address)) {
        return;
      }
      if (work_ == BareWork::kRules) KeepTheRules(packet.data(), length, address);
      failures_ += !library_.Send(handle_, packet.data(), length, nullptr, &address);
      ++handled_;
    }
  }

  void KeepTheRules(const uint8_t* packet, UINT length, const WinDivertAddress& address) {
    DnsPacket dns;
    DnsQuestion question;
    if (!DnsPacketOf(packet, length, dns) || !ReadDnsQuestion(dns.Message, dns.Length, question) ||
        !CoveringDomain(list_, question.Name)) {
      return;
    }
    if (address.Flags & kWinDivertOutboundBit) {
      questions_.Remember(dns, question, GetTickCount64());
      return;
    }
    std::vector<DnsAddress> addresses;
    if (!questions_.Answer(dns, question, GetTickCount64()) || !AnswerMayRoute(dns, question) ||
        !ReadDnsAddresses(dns.Message, dns.Length, question, addresses)) {
      return;
    }
    for (const DnsAddress& one : addresses) {
      if (!GloballyReachable(one.Address)) continue;
      SOCKADDR_INET to{};
      to.Ipv4.sin_family = AF_INET;
      std::memcpy(&to.Ipv4.sin_addr, one.Address.Bytes, 4);
      MIB_IPFORWARD_ROW2 best{};
      SOCKADDR_INET source{};
      failures_ += GetBestRoute2(nullptr, 0, nullptr, &to, 0, &best, &source) != NO_ERROR ||
                   best.InterfaceIndex != kTunnelInterface;
      const RoutePrefix prefix{one.Address, 32};
      const IpAddress gateway = IpAddress::FromIPv4(IPv4("192.0.2.1"));
      std::string line = RouteJournalLine({kInterface, prefix, gateway, 0});
      line.resize(kJournalLineWidth - 2, ' ');
      line += "\r\n";
      LARGE_INTEGER at{};
      at.QuadPart = static_cast<LONGLONG>(created_ * kJournalLineWidth);
      DWORD written = 0;
      failures_ += !SetFilePointerEx(journal_.get(), at, nullptr, FILE_BEGIN) ||
                   !WriteFile(journal_.get(), line.data(), static_cast<DWORD>(line.size()),
                              &written, nullptr);
      const MIB_IPFORWARD_ROW2 row = BypassRouteRow(kInterface, prefix, gateway);
      failures_ += CreateIpForwardEntry2(&row) != NO_ERROR;
      ++created_;
    }
  }

  const BareWork work_;
  WinDivertLibrary library_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  BypassDomainList list_;
  DnsQuestionTable questions_;
  UniqueFileHandle journal_;
  std::atomic<unsigned long long> failures_{0};
  std::atomic<unsigned long long> handled_{0};
  std::atomic<unsigned long long> created_{0};
  std::thread thread_;
};

// Feeds the lines to the network handles and waits until all of them went
// through; microseconds per line.
double FeedThrough(const Standin& standin, const std::vector<std::string>& lines) {
  const long long start = TickNow();
  for (const std::string& line : lines) standin.feedLine(line.c_str());
  if (!standin.waitIdle(kIdleWaitMs)) return -1;
  return TicksToMicroseconds(TickNow() - start) / static_cast<double>(lines.size());
}

// One answer with a new address after its question (not timed): from the
// answer's feed to the receive waiting again, microseconds; the median of
// ten.
double NewAddresses(const Standin& standin, unsigned& id, uint32_t& fresh) {
  std::vector<double> each;
  for (unsigned i = 0; i < 10; ++i) {
    ++id;
    if (FeedThrough(standin, {DnsLine(false, id)}) < 0) return -1;
    each.push_back(FeedThrough(standin, {DnsLine(true, id, ++fresh)}));
  }
  return *std::min_element(each.begin(), each.end()) < 0 ? -1 : Median(each);
}

// The same for an answer of the known address: one answer's own way, with
// no other packet to share the receivers with.
double KnownAlone(const Standin& standin, unsigned& id, uint32_t known) {
  std::vector<double> each;
  for (unsigned i = 0; i < 10; ++i) {
    ++id;
    if (FeedThrough(standin, {DnsLine(false, id)}) < 0) return -1;
    each.push_back(FeedThrough(standin, {DnsLine(true, id, known)}));
  }
  return *std::min_element(each.begin(), each.end()) < 0 ? -1 : Median(each);
}

// The stand-in's clock, as its journal's t= gives it: microseconds of the
// performance counter.
unsigned long long StandinMicroseconds() {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  const long long q = now.QuadPart, f = frequency.QuadPart;
  return static_cast<unsigned long long>(q / f * 1000000 + q % f * 1000000 / f);
}

// When the WinDivert stand-in journaled the send of the inbound packet with
// DNS id `id` ("send dir=in ... dnsid=<hex> t=<us>"), or 0.
unsigned long long SentAt(unsigned id) {
  char key[32];
  std::snprintf(key, sizeof(key), "dnsid=%04x t=", id & 0xFFFF);
  const std::vector<std::string> lines = ReadLines(BesideTests(L"windivert-journal.txt"));
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (line->rfind("send dir=in ", 0) != 0) continue;
    const size_t at = line->find(key);
    if (at != std::string::npos)
      return std::strtoull(line->c_str() + at + std::strlen(key), nullptr, 10);
  }
  return 0;
}

// An answer for a name not listed, fed alone (no question before it: the
// hold sends such an answer on as it is): from its feed to its send,
// microseconds; -1 when it was not sent. With `behindSlow`, a listed name's
// answer with a new address comes first, whose route the IP Helper
// stand-in takes kSlowCreateMs to make, and the unlisted one comes while
// that one waits for it.
constexpr DWORD kSlowCreateMs = 50;
double UnlistedAnswer(const Standin& standin, unsigned& id, uint32_t& fresh, bool behindSlow) {
  unsigned listed = 0;
  unsigned long long listedFed = 0;
  if (behindSlow) {
    listed = ++id;
    if (FeedThrough(standin, {DnsLine(false, listed)}) < 0) return -1;
    listedFed = StandinMicroseconds();
    standin.feedLine(DnsLine(true, listed, ++fresh).c_str());
    Sleep(5);  // taken, and waiting for its route
  }
  const unsigned unlisted = ++id;
  const unsigned long long fed = StandinMicroseconds();
  standin.feedLine(DnsLine(true, unlisted, 0x5DB8D822, false, false).c_str());
  if (!standin.waitIdle(kIdleWaitMs)) return -1;
  const unsigned long long sent = SentAt(unlisted);
  // The listed one must have waited for its slow route, and been sent after
  // the unlisted one came, or nothing was measured behind it.
  if (behindSlow && (SentAt(listed) < listedFed + kSlowCreateMs * 1000 || SentAt(listed) < fed)) {
    std::fprintf(stderr, "the listed answer did not wait for its slow route\n");
    return -1;
  }
  return sent > fed ? static_cast<double>(sent - fed) : -1;
}

// The median of five.
double UnlistedAnswers(const Standin& standin, unsigned& id, uint32_t& fresh, bool behindSlow) {
  std::vector<double> each;
  for (int i = 0; i < 5; ++i) {
    each.push_back(UnlistedAnswer(standin, id, fresh, behindSlow));
    if (each.back() < 0) return -1;
  }
  return Median(each);
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
  SetPhysicalRoute(kFamilyIPv4, {kInterface, IpAddress::FromIPv4(IPv4("192.0.2.1"))});
  HelperState.TunnelConnected = true;
  const bool selfCheck = options.common.selfCheck;
  SetBypassDomains(L"bank.example");

  // Each side has the only network-layer handle while it is timed: the hold
  // is started for its turns and stopped after them (untimed), its first
  // answer routing the known address again; the bare loops likewise. DNS
  // ids go up through the run, so every answer answers its own question.
  const uint32_t known = 0x5DB8D822;  // 93.184.216.34
  unsigned id = 0;
  const auto pairs = [&] {
    std::vector<std::string> lines;
    for (unsigned i = 0; i < options.packets / 2; ++i) {
      ++id;
      lines.push_back(DnsLine(false, id));
      lines.push_back(DnsLine(true, id, known));
    }
    return lines;
  };
  const auto questions = [&] {
    std::vector<std::string> lines;
    for (unsigned i = 0; i < options.packets; ++i) lines.push_back(DnsLine(false, ++id));
    return lines;
  };
  const auto startHold = [&]() -> std::unique_ptr<BareLoop> {
    if (selfCheck) return std::make_unique<BareLoop>(BareWork::kNothing);
    StartDnsHold({});
    for (int i = 0; i < 500 && !DnsHoldRunning(); ++i) Sleep(10);
    // A packet the stand-in does not take would make every sample a wait
    // for nothing: the hold must route the first answer.
    ++id;
    if (!DnsHoldRunning() ||
        FeedThrough(standin, {DnsLine(false, id), DnsLine(true, id, known)}) < 0 ||
        CountBypassRoutes().DomainRoutes != 1) {
      std::fprintf(stderr, "the DNS hold did not start or made no route for its first answer\n");
      return nullptr;
    }
    return std::make_unique<BareLoop>(nullptr);
  };
  std::vector<double> hold, bare, holdNew, bareNew, holdAsk, bareAsk, holdAlone, bareAlone;
  std::vector<double> holdSlow, bareUnlisted;
  uint32_t fresh = 0x64800000;  // 100.128.0.0 on: globally reachable, and the tunnel's path
  bool ok = RunInterleaved(
      options.rounds, 1,
      [&](unsigned) {
        std::unique_ptr<BareLoop> side = startHold();
        if (!side) return false;
        const double us = FeedThrough(standin, pairs());
        const double ask = FeedThrough(standin, questions());
        const double alone = KnownAlone(standin, id, known);
        double added = 0, unlistedSlow = 0;
        bool routed = false;
        if (selfCheck) {
          side.reset();
          BareLoop rules(BareWork::kRules);
          added = NewAddresses(standin, id, fresh);
          routed = rules.Created() == 10;
        } else {
          const size_t before = CountBypassRoutes().DomainRoutes;
          added = NewAddresses(standin, id, fresh);
          routed = CountBypassRoutes().DomainRoutes == before + 10;
          WriteFileBytes(
              BesideTests(L"iphlpapi-scenario.txt"),
              std::string(kScenario) + "create-delay " + std::to_string(kSlowCreateMs) + "\n");
          unlistedSlow = UnlistedAnswers(standin, id, fresh, true);
          WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), kScenario);
          StopDnsHold();
        }
        if (!selfCheck) holdSlow.push_back(unlistedSlow);
        hold.push_back(us);
        holdAsk.push_back(ask);
        holdNew.push_back(added);
        holdAlone.push_back(alone);
        return us >= 0 && ask >= 0 && alone >= 0 && added >= 0 && unlistedSlow >= 0 && routed;
      },
      [&](unsigned) {
        double us = 0, ask = 0, alone = 0, added = 0, unlisted = 0;
        bool all = true;
        {
          BareLoop loop(BareWork::kNothing);
          if (!loop.Open()) return false;
          us = FeedThrough(standin, pairs());
          ask = FeedThrough(standin, questions());
          alone = KnownAlone(standin, id, known);
          unlisted = UnlistedAnswers(standin, id, fresh, false);
          all = loop.Handled() == options.packets / 2 * 2 + options.packets + 20 + 5 &&
                loop.Failures() == 0;
        }
        {
          BareLoop loop(BareWork::kRules);
          if (!loop.Open()) return false;
          added = NewAddresses(standin, id, fresh);
          all = all && loop.Created() == 10 && loop.Failures() == 0;
        }
        bare.push_back(us);
        bareAsk.push_back(ask);
        bareNew.push_back(added);
        bareAlone.push_back(alone);
        bareUnlisted.push_back(unlisted);
        return all && us >= 0 && ask >= 0 && alone >= 0 && added >= 0 && unlisted >= 0;
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
  bool met = Report("a known address's answer and its question, per packet", hold, bare, subject,
                    "bare loop", kKnownTarget, 0, options.common.verbose);
  met = Report("a new address's answer, arrival to release", holdNew, bareNew, subject,
               "rules loop", kNewTarget, kNewGoal, options.common.verbose) &&
        met;
  met = Report("a question, per packet", holdAsk, bareAsk, subject, "bare loop", kQuestionTarget, 0,
               options.common.verbose) &&
        met;
  // The blocks above share two receivers on the hold's side; one answer
  // alone shows what the hold adds to each.
  Report("a known address's answer alone, arrival to release", holdAlone, bareAlone, subject,
         "bare loop", 0, 0, options.common.verbose);
  if (!selfCheck) {
    met = Report("an unlisted answer while a listed one waits for a slow route, feed to send",
                 holdSlow, bareUnlisted, subject, "bare loop", kUnlistedTarget, 0,
                 options.common.verbose) &&
          met;
  }
  return options.common.strict && !met ? kExitTargetMissed : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options.common,
                    {{L"--rounds", &options.rounds, 5, 1000}, {L"--packets", &options.packets, 10, 1000}},
                    {})) {
    std::fprintf(stderr,
                 "usage: dns_bench [--rounds N] [--packets N] [--self-check] [--verbose] [--strict]\n");
    return kExitFailed;
  }
  const int result = RunBenchmark(options);
  std::fflush(stdout);
  return result;
}

#include "split/dns_hold.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "routing/route_table.h"
#include "split/bypass_domains.h"
#include "split/dns_answer.h"
#include "split/dns_filter.h"
#include "split/dns_questions.h"
#include "split/dns_route_maker.h"
#include "split/address_scope.h"
#include "split/windivert_abi.h"
#include "split/windivert_library.h"
#include "split/windivert_worker.h"
#include "support/helper_state.h"
#include "support/log.h"

namespace {

// The longest a packet is held: past it, it goes on before the rest of its
// routes are made.
constexpr uint64_t kHoldAtMostMicroseconds = 50000;
constexpr DWORD kFailedReceivePauseMs = 50;
constexpr UINT kLargestPacket = 0xFFFF;
constexpr uint64_t kSendFailureLines = 5;

// The hold while it runs: started by StartDnsHold, ended by StopDnsHold,
// whose callers never overlap. Its receivers publish their handles through
// it, so that a stop reaches the threads blocked in their receives.
std::unique_ptr<WinDivertWorker> Worker;
// Whether the hold's own handle is open, for `state` (read from the command
// thread, written by the hold's thread).
std::atomic<bool> HoldHandleOpen{false};
// Said once per connect.
std::atomic<bool> QueueFullSaid{false};
// Counted since the hold started, for `state`.
std::atomic<uint64_t> AnswersUnrouted{0};
std::atomic<uint64_t> SendFailures{0};

uint64_t CounterFrequency() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    return static_cast<uint64_t>(value.QuadPart);
  }();
  return frequency;
}

// When the packet reached the driver: the performance counter it stamped the
// packet with. A packet that waited in the queue while earlier answers were
// held has used some of its time already, and a receive's own clock would
// let a backlog hold each answer its whole time again. A stamp in the
// future or more than a second old is no such value (a driver that stamps
// from another clock): then the receive's time counts.
LARGE_INTEGER ArrivalOf(const WinDivertAddress& address) {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const int64_t stamp = address.Timestamp;
  if (stamp > 0 && stamp <= now.QuadPart &&
      static_cast<uint64_t>(now.QuadPart - stamp) <= CounterFrequency()) {
    now.QuadPart = stamp;
  }
  return now;
}

// Receives until the handle is shut down for receive and its queue is
// empty: after a stop the shutdown still hands out what is queued, so every
// held answer goes on before the handle closes.
template <typename OnPacket>
void ReceiveUntilShutdown(const WinDivertLibrary& library, HANDLE handle,
                          const WinDivertWorker& worker, OnPacket onPacket) {
  std::unique_ptr<uint8_t[]> packet(new uint8_t[kLargestPacket]);
  for (;;) {
    WinDivertAddress address{};
    UINT received = 0;
    if (!library.Recv(handle, packet.get(), kLargestPacket, &received, &address)) {
      if (!worker.Running()) break;
      Sleep(kFailedReceivePauseMs);
      continue;
    }
    onPacket(packet.get(), received, address, ArrivalOf(address));
  }
}

// A packet the hold received goes back on as it came, with its address.
// One that cannot be is lost to whoever waited for it: never silently.
void SendOn(const WinDivertLibrary& library, HANDLE handle, const uint8_t* packet, UINT length,
            const WinDivertAddress& address) {
  if (library.Send(handle, packet, length, nullptr, &address)) return;
  const DWORD error = GetLastError();
  const uint64_t failures = ++SendFailures;
  if (failures <= kSendFailureLines) {
    LogLine(L"WinDivertSend failed err=" + std::to_wstring(error) + L"; a DNS packet was lost" +
            (failures == kSendFailureLines ? L" (further failures only counted)" : L""));
  }
}

void NoteUnrouted() {
  ++AnswersUnrouted;
  if (!QueueFullSaid.exchange(true)) {
    LogLine(L"DNS route queue full: answers go on without their routes");
  }
}

// The questions remembered by the receivers of one handle, shared by them:
// a question received by one may be answered to the other.
class SharedQuestions {
 public:
  bool Remember(const DnsPacket& packet, const DnsQuestion& question, uint64_t nowMs) {
    AcquireSRWLockExclusive(&lock_);
    const bool remembered = table_.Remember(packet, question, nowMs);
    ReleaseSRWLockExclusive(&lock_);
    return remembered;
  }
  bool Answer(const DnsPacket& packet, const DnsQuestion& response, uint64_t nowMs) {
    AcquireSRWLockExclusive(&lock_);
    const bool answered = table_.Answer(packet, response, nowMs);
    ReleaseSRWLockExclusive(&lock_);
    return answered;
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  DnsQuestionTable table_;
};

// What a packet a watcher received means. An outbound question for a listed
// name is remembered (its packet is sent on after, so its answer always
// finds it); an inbound answer that answers a remembered question gives the
// addresses of its new routes and their domain, and renews those routed
// already (the common case: a name asked again) with one lookup each. Null
// for anything else: a packet that does not read, a name not listed (known
// from the header and the question, before any record is read), an answer
// nobody here asked for, an error, one sent to a broadcast or multicast
// address, or one whose addresses are routed or not globally reachable.
std::shared_ptr<DnsRouteJob> Consider(const uint8_t* packet, UINT length,
                                      const WinDivertAddress& address, SharedQuestions& questions) {
  DnsPacket dns;
  DnsQuestion question;
  if (!DnsPacketOf(packet, length, dns) || !ReadDnsQuestion(dns.Message, dns.Length, question)) {
    return nullptr;
  }
  const std::shared_ptr<const BypassDomainList> list = std::atomic_load(&HelperState.BypassDomains);
  const std::string* domain = CoveringDomain(*list, question.Name);
  if (!domain) return nullptr;
  const bool outbound = (address.Flags & kWinDivertOutboundBit) != 0;
  if (outbound) {
    questions.Remember(dns, question, GetTickCount64());
    return nullptr;
  }
  if (!questions.Answer(dns, question, GetTickCount64()) || !AnswerMayRoute(dns, question)) {
    return nullptr;
  }
  std::vector<DnsAddress> addresses;
  if (!ReadDnsAddresses(dns.Message, dns.Length, question, addresses)) return nullptr;
  std::shared_ptr<DnsRouteJob> job;
  for (DnsAddress one : addresses) {
    // An IPv4-mapped address is the IPv4 address it stands for, as the
    // split and explain take it.
    one.Address = Unmapped(one.Address);
    if (!GloballyReachable(one.Address) || RenewDomainRoute(one.Address, one.Ttl, *domain)) {
      continue;
    }
    if (!job) {
      job = std::make_shared<DnsRouteJob>();
      job->Domain = *domain;
    }
    job->Addresses.push_back(one);
  }
  return job;
}

// Sends a packet on once the routes its answer asks for exist, at most
// kHoldAtMostMicroseconds after it arrived; a question, and any packet
// that is no answer bringing new routes, goes on at once. An answer whose
// routes another is having made is handed to the route maker: the receiver
// goes back to receiving, so that no answer waits behind it.
void HoldAndRelease(const WinDivertLibrary& library, HANDLE handle, const WinDivertWorker& worker,
                    DnsRouteMaker& maker, SharedQuestions& questions, const uint8_t* packet,
                    UINT length, const WinDivertAddress& address, const LARGE_INTEGER& arrived) {
  const std::shared_ptr<DnsRouteJob> job = Consider(packet, length, address, questions);
  if (!job) {
    SendOn(library, handle, packet, length, address);
    return;
  }
  auto held = std::make_shared<HeldDnsAnswer>();
  held->Deadline.QuadPart =
      arrived.QuadPart +
      static_cast<LONGLONG>(CounterFrequency() * kHoldAtMostMicroseconds / 1000000);
  held->Packet.assign(packet, packet + length);
  held->Address = address;
  if (maker.BeginInline(held)) {
    // One address at a time, none begun once the hold is stopping, so a
    // stop waits for the call in progress only.
    size_t made = 0;
    for (; made < job->Addresses.size() && worker.Running(); ++made) {
      AddDomainRoute(job->Addresses[made].Address, job->Addresses[made].Ttl, job->Domain);
    }
    maker.EndInline();
    maker.Release(held, made < job->Addresses.size());
  } else if (!maker.Hold(job, held)) {
    NoteUnrouted();
    SendOn(library, handle, packet, length, address);
  }
}

// DNS over TCP: read from copies, in the order captured (one handle for
// both directions, so a question is always read before its answer), the
// routes of an answer made once read.
void WatchTcpAnswers(const WinDivertLibrary& library, WinDivertWorker& worker,
                     DnsRouteMaker& maker) {
  const HANDLE handle = library.Open(DnsTcpFilter().c_str(), kWinDivertLayerNetwork, 0,
                                     kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LogLine(L"WinDivertOpen failed for DNS over TCP err=" + std::to_wstring(error));
    return;
  }
  worker.Publish(handle, library.Shutdown);
  SharedQuestions questions;
  ReceiveUntilShutdown(library, handle, worker,
                       [&](const uint8_t* packet, UINT length, const WinDivertAddress& address,
                           const LARGE_INTEGER&) {
                         if (!worker.Running()) return;
                         const std::shared_ptr<DnsRouteJob> job =
                             Consider(packet, length, address, questions);
                         if (job && !maker.Hold(job, nullptr)) NoteUnrouted();
                       });
  worker.Withdraw(handle);
  library.Close(handle);
}

void HoldThread(WinDivertWorker& worker,
                const std::vector<std::pair<IpAddress, uint16_t>>& endpoints) {
  WinDivertLibrary library;
  if (!LoadWinDivert(library, L"domain bypass")) return;
  // A stop must be able to end the receive at once: no DNS answer may be
  // needed for a disconnect to finish.
  if (!library.Send || !library.Shutdown) {
    LogLine(L"WinDivert exports missing; domain bypass disabled");
    return;
  }
  const HANDLE handle =
      library.Open(DnsHoldFilter(endpoints).c_str(), kWinDivertLayerNetwork, 0, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LogLine(L"WinDivertOpen failed for the DNS hold err=" + std::to_wstring(error));
    return;
  }
  LogLine(L"WinDivert DNS hold started");
  worker.Publish(handle, library.Shutdown);
  HoldHandleOpen = true;
  {
    DnsRouteMaker maker(
        [&](const uint8_t* packet, UINT length, const WinDivertAddress& address) {
          SendOn(library, handle, packet, length, address);
        },
        [](const DnsAddress& address, const std::string& domain) {
          AddDomainRoute(address.Address, address.Ttl, domain);
        },
        [&worker] { return worker.Running(); });
    SharedQuestions questions;
    // Two receivers on the one handle: while one makes an answer's routes
    // itself, the other keeps the rest of the machine's DNS moving.
    const auto receive = [&] {
      ReceiveUntilShutdown(library, handle, worker,
                           [&](const uint8_t* packet, UINT length, const WinDivertAddress& address,
                               const LARGE_INTEGER& arrived) {
                             if (worker.Running()) {
                               HoldAndRelease(library, handle, worker, maker, questions, packet,
                                              length, address, arrived);
                             } else {
                               SendOn(library, handle, packet, length, address);
                             }
                           });
    };
    std::thread second, tcp;
    try {
      second = std::thread(receive);
    } catch (const std::system_error& failure) {
      LogLine(L"DNS hold has one receiver err=" + std::to_wstring(failure.code().value()));
    }
    try {
      tcp = std::thread(WatchTcpAnswers, std::cref(library), std::ref(worker), std::ref(maker));
    } catch (const std::system_error& failure) {
      LogLine(L"DNS over TCP not watched err=" + std::to_wstring(failure.code().value()));
    }
    receive();
    if (second.joinable()) second.join();
    if (tcp.joinable()) tcp.join();
  }
  HoldHandleOpen = false;
  worker.Withdraw(handle);
  library.Close(handle);
  LogLine(L"WinDivert DNS hold stopped");
}

}  // namespace

void StartDnsHold(const std::vector<std::pair<IpAddress, uint16_t>>& tunnelEndpoints) {
  if (std::atomic_load(&HelperState.BypassDomains)->Names.empty()) return;
  if (Worker) return;
  QueueFullSaid = false;
  AnswersUnrouted = 0;
  SendFailures = 0;
  Worker = std::make_unique<WinDivertWorker>(
      [tunnelEndpoints](WinDivertWorker& worker) { HoldThread(worker, tunnelEndpoints); });
  if (!Worker->Started()) {
    LogLine(L"DNS hold thread not started err=" + std::to_wstring(Worker->StartError()));
    Worker.reset();
  }
}

void StopDnsHold() {
  // Its destructor shuts down every receive and joins: every packet still
  // queued is let through first.
  Worker.reset();
  ClearDomainRoutes();
}

DnsHoldCounts CountDnsHold() { return {AnswersUnrouted.load(), SendFailures.load()}; }

bool DnsHoldRunning() { return HoldHandleOpen; }

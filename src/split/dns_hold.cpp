#include "split/dns_hold.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
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
#include "split/global_address.h"
#include "split/windivert_abi.h"
#include "split/windivert_library.h"
#include "support/helper_state.h"
#include "support/log.h"

namespace {

// The longest a packet is held: past it, it goes on before the rest of its
// routes are made.
constexpr uint64_t kHoldAtMostMicroseconds = 50000;
constexpr DWORD kFailedReceivePauseMs = 50;
constexpr UINT kLargestPacket = 0xFFFF;
// The route maker's queue, in addresses waiting for their routes: a few
// answers' worth. A flood of answers with new addresses (each matched to a
// question this machine asked, so only its own resolver's, or an on-path
// network's) finds it full and goes on at once without routes, rather than
// piling up work a disconnect would then wait for.
constexpr size_t kAddressesWaitingAtMost = 256;
constexpr uint64_t kSendFailureLines = 5;

std::atomic<bool> Running{false};
std::thread Worker;
// How StopDnsHold reaches the threads blocked in their receives (as for the
// sniffer): each handle published once open, withdrawn before it closes.
enum Watch { kHold, kTcp };
std::mutex WakeMutex;
HANDLE OpenHandles[2] = {nullptr, nullptr};
WinDivertShutdownFn HoldShutdown = nullptr;
// Said once per connect.
std::atomic<bool> LateReleaseSaid{false};
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

uint64_t MicrosecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const uint64_t ticks = now.QuadPart > start.QuadPart ? now.QuadPart - start.QuadPart : 0;
  const uint64_t frequency = CounterFrequency();
  return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

void Publish(Watch watch, HANDLE handle, WinDivertShutdownFn shutdown) {
  std::lock_guard<std::mutex> lock(WakeMutex);
  OpenHandles[watch] = handle;
  if (shutdown) HoldShutdown = shutdown;
  // A stop that came before the handle was published found nothing to shut.
  if (handle && !Running) shutdown(handle, kWinDivertShutdownRecv);
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
void ReceiveUntilShutdown(const WinDivertLibrary& library, HANDLE handle, OnPacket onPacket) {
  std::unique_ptr<uint8_t[]> packet(new uint8_t[kLargestPacket]);
  for (;;) {
    WinDivertAddress address{};
    UINT received = 0;
    if (!library.Recv(handle, packet.get(), kLargestPacket, &received, &address)) {
      if (!Running) break;
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

// The routes of one answer, and the addresses they are for.
struct RouteJob {
  std::vector<DnsAddress> Addresses;
  std::string Domain;
  bool Done = false;
};

// A receiver's own route calls: one address at a time, none begun once the
// hold is stopping, so a stop waits for the call in progress only.
void MakeRoutes(const RouteJob& job) {
  for (size_t i = 0; i < job.Addresses.size() && Running; ++i) {
    AddDomainRoute(job.Addresses[i].Address, job.Addresses[i].Ttl, job.Domain);
  }
}

// An answer whose routes the receiver that holds it makes itself, and the
// copy of it the route maker sends on at its deadline if the route calls
// are still under way by then. Sent once: by whichever of the two takes
// `Sent` first.
struct HeldAnswer {
  std::vector<uint8_t> Packet;
  WinDivertAddress Address{};
  LARGE_INTEGER Deadline{};  // performance counter
  std::atomic<bool> Sent{false};
};

using SendFn = std::function<void(const uint8_t*, UINT, const WinDivertAddress&)>;

// The route maker: one thread beside the hold's receivers. When it is idle,
// the receiver of an answer with new addresses makes their routes itself
// (no hand-over between threads on the answer's way) and the maker times
// it, sending the answer on at its deadline if the route calls take longer.
// While it is busy (a route call of its own, or another receiver's call
// timed), answers' routes are queued to it, and their receivers wait for
// them until their deadlines. Windows' own lock and condition variable.
class RouteMaker {
 public:
  explicit RouteMaker(SendFn send) : send_(std::move(send)), thread_([this] { Run(); }) {}
  // What still waits is dropped: a stop waits for the route call in
  // progress, never for the queue.
  ~RouteMaker() {
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    jobs_.clear();
    waiting_ = 0;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    thread_.join();
  }
  RouteMaker(const RouteMaker&) = delete;
  RouteMaker& operator=(const RouteMaker&) = delete;

  // True when the caller may make an answer's routes itself now (nothing
  // queued or made by the maker, no other receiver's calls timed): the
  // maker sends `held` on at its deadline unless EndInline comes first.
  bool BeginInline(const std::shared_ptr<HeldAnswer>& held) {
    AcquireSRWLockExclusive(&lock_);
    const bool free = !stopping_ && !busy_ && !inline_ && jobs_.empty();
    // The maker only needs waking when it sleeps without a deadline: one
    // sleeping until an earlier answer's deadline looks again by then, and
    // this answer's deadline is later.
    bool wake = false;
    if (free) {
      inline_ = true;
      timed_ = held;
      wake = sleepsWithoutDeadline_;
    }
    ReleaseSRWLockExclusive(&lock_);
    if (wake) WakeAllConditionVariable(&changed_);
    return free;
  }
  // The maker is woken only when jobs wait for it: else it finds the calls
  // ended when its deadline comes, and an answer's way has one thread's
  // wake-up fewer.
  void EndInline() {
    AcquireSRWLockExclusive(&lock_);
    inline_ = false;
    timed_.reset();
    const bool wake = !jobs_.empty();
    ReleaseSRWLockExclusive(&lock_);
    if (wake) WakeAllConditionVariable(&changed_);
  }

  // Queues the job, unless its addresses would take the queue past
  // kAddressesWaitingAtMost: false then, and nothing queued.
  bool Offer(const std::shared_ptr<RouteJob>& job) {
    AcquireSRWLockExclusive(&lock_);
    const bool room = !stopping_ && waiting_ + job->Addresses.size() <= kAddressesWaitingAtMost;
    if (room) {
      jobs_.push_back(job);
      waiting_ += job->Addresses.size();
    }
    ReleaseSRWLockExclusive(&lock_);
    if (room) WakeAllConditionVariable(&changed_);
    return room;
  }

  // Waits until the job offered is done or `timeoutUs` has passed.
  bool WaitDone(const std::shared_ptr<RouteJob>& job, uint64_t timeoutUs) {
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
      if (job->Done) break;
      const uint64_t spent = MicrosecondsSince(start);
      if (spent >= timeoutUs) break;
      // Whole milliseconds, rounded up: the deadline is never cut short.
      const DWORD waitMs = static_cast<DWORD>((timeoutUs - spent + 999) / 1000);
      SleepConditionVariableSRW(&changed_, &lock_, waitMs, 0);
    }
    const bool done = job->Done;
    ReleaseSRWLockExclusive(&lock_);
    return done;
  }

 private:
  void Run() {
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
      if (stopping_) break;
      if (timed_) {
        // A receiver's own route calls: wait for their end, or send its
        // answer on at the deadline; queued jobs wait meanwhile, so that
        // this thread is never behind a route call when the deadline comes.
        const std::shared_ptr<HeldAnswer> held = timed_;
        const uint64_t left = MicrosecondsUntil(held->Deadline);
        if (left > 0 && !held->Sent) {
          SleepConditionVariableSRW(&changed_, &lock_, static_cast<DWORD>((left + 999) / 1000), 0);
          continue;
        }
        timed_.reset();
        ReleaseSRWLockExclusive(&lock_);
        if (!held->Sent.exchange(true)) {
          send_(held->Packet.data(), static_cast<UINT>(held->Packet.size()), held->Address);
          if (!LateReleaseSaid.exchange(true)) {
            LogLine(L"DNS answer released before its route was made");
          }
        }
        AcquireSRWLockExclusive(&lock_);
        continue;
      }
      if (!Running) {
        // The hold is stopping: what waits is dropped now, so that no route
        // call of the maker's keeps a receiver's last one waiting for the
        // route table.
        jobs_.clear();
        waiting_ = 0;
      }
      if (jobs_.empty()) {
        sleepsWithoutDeadline_ = true;
        SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        sleepsWithoutDeadline_ = false;
        continue;
      }
      const std::shared_ptr<RouteJob> job = jobs_.front();
      jobs_.pop_front();
      waiting_ -= job->Addresses.size();
      busy_ = true;
      // One address at a time, the lock let go for each route call: a stop
      // waits for the one in progress only.
      for (size_t i = 0; i < job->Addresses.size() && !stopping_ && Running; ++i) {
        ReleaseSRWLockExclusive(&lock_);
        AddDomainRoute(job->Addresses[i].Address, job->Addresses[i].Ttl, job->Domain);
        AcquireSRWLockExclusive(&lock_);
      }
      busy_ = false;
      job->Done = true;
      WakeAllConditionVariable(&changed_);
    }
    ReleaseSRWLockExclusive(&lock_);
  }

  static uint64_t MicrosecondsUntil(const LARGE_INTEGER& deadline) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    if (now.QuadPart >= deadline.QuadPart) return 0;
    const uint64_t ticks = static_cast<uint64_t>(deadline.QuadPart - now.QuadPart);
    const uint64_t frequency = CounterFrequency();
    return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
  }

  const SendFn send_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  std::deque<std::shared_ptr<RouteJob>> jobs_;
  size_t waiting_ = 0;  // addresses of the jobs queued
  bool busy_ = false;   // a job's route calls under way
  // A receiver's own route calls under way (never two: the second would
  // wait behind the first, and both receivers with it), and its answer
  // while it is not sent on yet.
  bool inline_ = false;
  std::shared_ptr<HeldAnswer> timed_;
  bool sleepsWithoutDeadline_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

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
std::shared_ptr<RouteJob> Consider(const uint8_t* packet, UINT length,
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
  std::shared_ptr<RouteJob> job;
  for (DnsAddress one : addresses) {
    // An IPv4-mapped address is the IPv4 address it stands for, as the
    // split and explain take it.
    one.Address = Unmapped(one.Address);
    if (!GloballyReachable(one.Address) || RenewDomainRoute(one.Address, one.Ttl, *domain)) {
      continue;
    }
    if (!job) {
      job = std::make_shared<RouteJob>();
      job->Domain = *domain;
    }
    job->Addresses.push_back(one);
  }
  return job;
}

// Sends a packet on once the routes its answer asks for exist, at most
// kHoldAtMostMicroseconds after it arrived; a question, and any packet
// that is no answer bringing new routes, goes on at once.
void HoldAndRelease(const WinDivertLibrary& library, HANDLE handle, RouteMaker& maker,
                    SharedQuestions& questions, const uint8_t* packet, UINT length,
                    const WinDivertAddress& address, const LARGE_INTEGER& arrived) {
  const std::shared_ptr<RouteJob> job = Consider(packet, length, address, questions);
  if (job) {
    auto held = std::make_shared<HeldAnswer>();
    held->Deadline.QuadPart =
        arrived.QuadPart +
        static_cast<LONGLONG>(CounterFrequency() * kHoldAtMostMicroseconds / 1000000);
    held->Packet.assign(packet, packet + length);
    held->Address = address;
    if (maker.BeginInline(held)) {
      MakeRoutes(*job);
      maker.EndInline();
      if (held->Sent.exchange(true)) return;  // the maker sent it at its deadline
    } else if (!maker.Offer(job)) {
      NoteUnrouted();
    } else {
      const uint64_t spent = MicrosecondsSince(arrived);
      const uint64_t left = spent < kHoldAtMostMicroseconds ? kHoldAtMostMicroseconds - spent : 0;
      if (!maker.WaitDone(job, left) && !LateReleaseSaid.exchange(true)) {
        LogLine(L"DNS answer released before its route was made");
      }
    }
  }
  SendOn(library, handle, packet, length, address);
}

// DNS over TCP: read from copies, in the order captured (one handle for
// both directions, so a question is always read before its answer), the
// routes of an answer made once read.
void WatchTcpAnswers(const WinDivertLibrary& library, RouteMaker& maker) {
  const HANDLE handle = library.Open(DnsTcpFilter().c_str(), kWinDivertLayerNetwork, 0,
                                     kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LogLine(L"WinDivertOpen failed for DNS over TCP err=" + std::to_wstring(error));
    return;
  }
  Publish(kTcp, handle, library.Shutdown);
  SharedQuestions questions;
  ReceiveUntilShutdown(library, handle,
                       [&](const uint8_t* packet, UINT length, const WinDivertAddress& address,
                           const LARGE_INTEGER&) {
                         if (!Running) return;
                         const std::shared_ptr<RouteJob> job =
                             Consider(packet, length, address, questions);
                         if (job && !maker.Offer(job)) NoteUnrouted();
                       });
  Publish(kTcp, nullptr, nullptr);
  library.Close(handle);
}

void HoldThread() {
  WinDivertLibrary library;
  if (!LoadWinDivert(library, L"domain bypass")) return;
  // A stop must be able to end the receive at once: no DNS answer may be
  // needed for a disconnect to finish.
  if (!library.Send || !library.Shutdown) {
    LogLine(L"WinDivert exports missing; domain bypass disabled");
    return;
  }
  std::vector<std::pair<IpAddress, uint16_t>> endpoints;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    endpoints = HelperState.TunnelFacts.Endpoints;
  }
  const HANDLE handle = library.Open(DnsHoldFilter(endpoints).c_str(), kWinDivertLayerNetwork, 0, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LogLine(L"WinDivertOpen failed for the DNS hold err=" + std::to_wstring(error));
    return;
  }
  LogLine(L"WinDivert DNS hold started");
  Publish(kHold, handle, library.Shutdown);
  {
    RouteMaker maker([&](const uint8_t* packet, UINT length, const WinDivertAddress& address) {
      SendOn(library, handle, packet, length, address);
    });
    SharedQuestions questions;
    // Two receivers on the one handle: while one makes an answer's routes
    // itself, the other keeps the rest of the machine's DNS moving.
    const auto receive = [&] {
      ReceiveUntilShutdown(library, handle,
                           [&](const uint8_t* packet, UINT length, const WinDivertAddress& address,
                               const LARGE_INTEGER& arrived) {
                             if (Running) {
                               HoldAndRelease(library, handle, maker, questions, packet, length,
                                              address, arrived);
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
      tcp = std::thread(WatchTcpAnswers, std::cref(library), std::ref(maker));
    } catch (const std::system_error& failure) {
      LogLine(L"DNS over TCP not watched err=" + std::to_wstring(failure.code().value()));
    }
    receive();
    if (second.joinable()) second.join();
    if (tcp.joinable()) tcp.join();
  }
  Publish(kHold, nullptr, nullptr);
  library.Close(handle);
  LogLine(L"WinDivert DNS hold stopped");
}

}  // namespace

void StartDnsHold() {
  if (std::atomic_load(&HelperState.BypassDomains)->Names.empty()) return;
  if (Running.exchange(true)) return;
  LateReleaseSaid = false;
  QueueFullSaid = false;
  AnswersUnrouted = 0;
  SendFailures = 0;
  try {
    Worker = std::thread(HoldThread);
  } catch (const std::system_error& failure) {
    Running = false;
    LogLine(L"DNS hold thread not started err=" + std::to_wstring(failure.code().value()));
  }
}

void StopDnsHold() {
  if (Running.exchange(false) && Worker.joinable()) {
    {
      std::lock_guard<std::mutex> lock(WakeMutex);
      for (const HANDLE open : OpenHandles) {
        if (open) HoldShutdown(open, kWinDivertShutdownRecv);
      }
    }
    Worker.join();
  }
  ClearDomainRoutes();
}

DnsHoldCounts CountDnsHold() { return {AnswersUnrouted.load(), SendFailures.load()}; }

bool DnsHoldRunning() {
  std::lock_guard<std::mutex> lock(WakeMutex);
  return OpenHandles[kHold] != nullptr;
}

void SetBypassDomainsAndHold(const std::wstring& argument) {
  SetBypassDomains(argument);
  if (!HelperState.TunnelConnected) return;  // the next connect starts the hold
  if (std::atomic_load(&HelperState.BypassDomains)->Names.empty()) {
    StopDnsHold();
  } else {
    StartDnsHold();
  }
}

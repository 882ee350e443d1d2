#include "split/dns_hold.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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
#include "split/open_connections.h"
#include "split/windivert_abi.h"
#include "split/windivert_library.h"
#include "support/helper_state.h"
#include "support/log.h"

namespace {

// Inbound DNS answers over UDP, of both families, are diverted: nothing else
// ever is, and every packet received is sent on with its address as it came.
// Answers over TCP (large ones, or a resolver's choice) are only copied: a
// stream cannot be held one segment at a time, so their routes follow them.
constexpr const char* kHoldFilter = "inbound and !loopback and udp.SrcPort == 53";
constexpr const char* kTcpFilter = "inbound and !loopback and tcp.SrcPort == 53";
// The longest a packet is held: past it, it goes on before the rest of its
// routes are made.
constexpr uint64_t kHoldAtMostMicroseconds = 50000;
constexpr DWORD kFailedReceivePauseMs = 50;
constexpr UINT kLargestPacket = 0xFFFF;

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

// An address a listed domain's answer may route around the tunnel: not
// loopback, link-local, multicast or unspecified (as for split), nor private
// to the LAN, which no public name should lead out of the tunnel to.
bool DomainRoutable(const IpAddress& address) {
  if (!SplitRoutable(address)) return false;
  const uint8_t* b = address.Bytes;
  if (address.IsIPv4()) {
    const bool private10 = b[0] == 10;
    const bool private172 = b[0] == 172 && (b[1] & 0xF0) == 16;
    const bool private192 = b[0] == 192 && b[1] == 168;
    return !private10 && !private172 && !private192;
  }
  return (b[0] & 0xFE) != 0xFC;  // fc00::/7, unique local
}

// The routes of one held answer, made on the route maker's thread so that
// the hold can stop waiting for them after kHoldAtMostMicroseconds however
// long a route call takes.
struct RouteJob {
  std::vector<DnsAddress> Addresses;
  std::string Domain;
  bool Done = false;
};

void MakeRoutes(const RouteJob& job) {
  for (const DnsAddress& one : job.Addresses) AddDomainRoute(one.Address, one.Ttl, job.Domain);
}

// The route maker: one thread beside the hold, taking the jobs in order.
// Windows' own lock and condition variable: a hand-over between two threads
// is on every new address's way.
class RouteMaker {
 public:
  RouteMaker() : thread_([this] { Run(); }) {}
  ~RouteMaker() {
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    thread_.join();  // the job under way finishes; those queued still run
  }
  RouteMaker(const RouteMaker&) = delete;
  RouteMaker& operator=(const RouteMaker&) = delete;

  // Queues the job and waits until it is done or `timeoutUs` has passed.
  bool MakeWithin(const std::shared_ptr<RouteJob>& job, uint64_t timeoutUs) {
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    AcquireSRWLockExclusive(&lock_);
    jobs_.push_back(job);
    WakeAllConditionVariable(&changed_);
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
      while (!stopping_ && jobs_.empty()) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
      if (jobs_.empty()) break;
      const std::shared_ptr<RouteJob> job = jobs_.front();
      jobs_.pop_front();
      ReleaseSRWLockExclusive(&lock_);
      MakeRoutes(*job);
      AcquireSRWLockExclusive(&lock_);
      job->Done = true;
      WakeAllConditionVariable(&changed_);
    }
    ReleaseSRWLockExclusive(&lock_);
  }

  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  std::deque<std::shared_ptr<RouteJob>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

// The addresses a packet's answer gives a listed domain that have no route
// yet, and the domain; those routed already (the common case: an answer
// asked again) are renewed here, with one lookup each. Null for a packet
// that is no such answer.
std::shared_ptr<RouteJob> NewRoutesOf(const uint8_t* packet, UINT length) {
  const uint8_t* message = nullptr;
  size_t messageLength = 0;
  DnsAnswer answer;
  if (!DnsPayloadOf(packet, length, message, messageLength) ||
      !ReadDnsAnswer(message, messageLength, answer)) {
    return nullptr;
  }
  const std::shared_ptr<const BypassDomainList> list = std::atomic_load(&HelperState.BypassDomains);
  const std::string* domain = CoveringDomain(*list, answer.Name);
  if (!domain) return nullptr;
  std::shared_ptr<RouteJob> job;
  for (const DnsAddress& one : answer.Addresses) {
    if (!DomainRoutable(one.Address) || RenewDomainRoute(one.Address, one.Ttl, *domain)) continue;
    if (!job) {
      job = std::make_shared<RouteJob>();
      job->Domain = *domain;
    }
    job->Addresses.push_back(one);
  }
  return job;
}

// Sends a packet on once the routes its answer asks for exist, at most
// kHoldAtMostMicroseconds after it arrived; a packet that is no answer of a
// listed domain goes on at once.
void HoldAndRelease(const WinDivertLibrary& library, HANDLE handle, RouteMaker& maker,
                    const uint8_t* packet, UINT length, const WinDivertAddress& address,
                    const LARGE_INTEGER& arrived) {
  if (const std::shared_ptr<RouteJob> job = NewRoutesOf(packet, length)) {
    const uint64_t spent = MicrosecondsSince(arrived);
    const uint64_t left = spent < kHoldAtMostMicroseconds ? kHoldAtMostMicroseconds - spent : 0;
    if (!maker.MakeWithin(job, left) && !LateReleaseSaid.exchange(true)) {
      LogLine(L"DNS answer released before its route was made");
    }
  }
  library.Send(handle, packet, length, nullptr, &address);
}

// Answers over TCP: read from the copies, their routes made once read.
void WatchTcpAnswers(const WinDivertLibrary& library) {
  const HANDLE handle = library.Open(kTcpFilter, kWinDivertLayerNetwork, 0,
                                     kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LogLine(L"WinDivertOpen failed for DNS over TCP err=" + std::to_wstring(error));
    return;
  }
  Publish(kTcp, handle, library.Shutdown);
  ReceiveUntilShutdown(library, handle,
                       [](const uint8_t* packet, UINT length, const WinDivertAddress&,
                          const LARGE_INTEGER&) {
                         if (!Running) return;
                         if (const std::shared_ptr<RouteJob> job = NewRoutesOf(packet, length)) {
                           MakeRoutes(*job);
                         }
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
  const HANDLE handle = library.Open(kHoldFilter, kWinDivertLayerNetwork, 0, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LogLine(L"WinDivertOpen failed for the DNS hold err=" + std::to_wstring(error));
    return;
  }
  LogLine(L"WinDivert DNS hold started");
  Publish(kHold, handle, library.Shutdown);
  std::thread tcp;
  try {
    tcp = std::thread(WatchTcpAnswers, std::cref(library));
  } catch (const std::system_error& failure) {
    LogLine(L"DNS over TCP not watched err=" + std::to_wstring(failure.code().value()));
  }
  {
    RouteMaker maker;
    ReceiveUntilShutdown(library, handle,
                         [&](const uint8_t* packet, UINT length, const WinDivertAddress& address,
                             const LARGE_INTEGER& arrived) {
                           if (Running) {
                             HoldAndRelease(library, handle, maker, packet, length, address,
                                            arrived);
                           } else {
                             library.Send(handle, packet, length, nullptr, &address);
                           }
                         });
  }
  if (tcp.joinable()) tcp.join();
  Publish(kHold, nullptr, nullptr);
  library.Close(handle);
  LogLine(L"WinDivert DNS hold stopped");
}

}  // namespace

void StartDnsHold() {
  if (std::atomic_load(&HelperState.BypassDomains)->Names.empty()) return;
  if (Running.exchange(true)) return;
  LateReleaseSaid = false;
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

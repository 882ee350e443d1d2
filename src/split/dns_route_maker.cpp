#include "split/dns_route_maker.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "support/log.h"

namespace {

LONGLONG Now() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// Whole milliseconds until `deadline`, rounded up: a deadline is never cut
// short.
DWORD MillisecondsUntil(LONGLONG deadline) {
  const LONGLONG now = Now();
  if (now >= deadline) return 0;
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  const uint64_t ticks = static_cast<uint64_t>(deadline - now);
  const uint64_t perMs = static_cast<uint64_t>(frequency.QuadPart) / 1000;
  return static_cast<DWORD>(perMs ? (ticks + perMs - 1) / perMs : 1);
}

}  // namespace

DnsRouteMaker::DnsRouteMaker(SendFn send, MakeFn make, std::function<bool()> running)
    : send_(std::move(send)), make_(std::move(make)), running_(std::move(running)) {
  try {
    maker_ = std::thread([this] { MakeQueued(); });
    timekeeper_ = std::thread([this] { KeepTime(); });
  } catch (const std::system_error& failure) {
    LogLine(L"DNS route maker not started err=" + std::to_wstring(failure.code().value()));
  }
}

DnsRouteMaker::~DnsRouteMaker() {
  AcquireSRWLockExclusive(&lock_);
  stopping_ = true;
  jobs_.clear();
  waiting_ = 0;
  std::vector<std::shared_ptr<HeldDnsAnswer>> left;
  left.swap(held_);
  ReleaseSRWLockExclusive(&lock_);
  WakeAllConditionVariable(&work_);
  WakeAllConditionVariable(&time_);
  if (maker_.joinable()) maker_.join();
  if (timekeeper_.joinable()) timekeeper_.join();
  for (const std::shared_ptr<HeldDnsAnswer>& held : left) Release(held, true);
}

bool DnsRouteMaker::BeginInline(const std::shared_ptr<HeldDnsAnswer>& held) {
  AcquireSRWLockExclusive(&lock_);
  const bool free = Started() && !stopping_ && !busy_ && !inline_ && jobs_.empty();
  bool wake = false;
  if (free) {
    inline_ = true;
    held_.push_back(held);
    // Only a timekeeper that sleeps past this deadline needs waking.
    wake = timekeeperWakes_ == 0 || held->Deadline.QuadPart < timekeeperWakes_;
  }
  ReleaseSRWLockExclusive(&lock_);
  if (wake) WakeAllConditionVariable(&time_);
  return free;
}

void DnsRouteMaker::EndInline() {
  AcquireSRWLockExclusive(&lock_);
  inline_ = false;
  // The maker is woken only when jobs wait for it.
  const bool wake = !jobs_.empty();
  ReleaseSRWLockExclusive(&lock_);
  if (wake) WakeAllConditionVariable(&work_);
}

bool DnsRouteMaker::Hold(const std::shared_ptr<DnsRouteJob>& job,
                         const std::shared_ptr<HeldDnsAnswer>& held) {
  AcquireSRWLockExclusive(&lock_);
  const bool room =
      Started() && !stopping_ && waiting_ + job->Addresses.size() <= kDnsAddressesWaitingAtMost;
  bool wakeTimekeeper = false;
  if (room) {
    jobs_.push_back({job, held});
    waiting_ += job->Addresses.size();
    if (held) {
      held_.push_back(held);
      wakeTimekeeper = timekeeperWakes_ == 0 || held->Deadline.QuadPart < timekeeperWakes_;
    }
  }
  ReleaseSRWLockExclusive(&lock_);
  if (room) WakeAllConditionVariable(&work_);
  if (wakeTimekeeper) WakeAllConditionVariable(&time_);
  return room;
}

void DnsRouteMaker::ForgetHeldLocked(const HeldDnsAnswer* held) {
  held_.erase(std::remove_if(
                  held_.begin(), held_.end(),
                  [held](const std::shared_ptr<HeldDnsAnswer>& one) { return one.get() == held; }),
              held_.end());
}

void DnsRouteMaker::Release(const std::shared_ptr<HeldDnsAnswer>& held, bool late) {
  if (!held) return;
  AcquireSRWLockExclusive(&lock_);
  ForgetHeldLocked(held.get());
  ReleaseSRWLockExclusive(&lock_);
  if (held->Sent.exchange(true)) return;
  send_(held->Packet.data(), static_cast<UINT>(held->Packet.size()), held->Address);
  if (late && !lateSaid_.exchange(true)) LogLine(L"DNS answer released before its route was made");
}

void DnsRouteMaker::MakeQueued() {
  AcquireSRWLockExclusive(&lock_);
  for (;;) {
    if (stopping_) break;
    // Never two route calls at once: the second would only wait behind the
    // first, and a stop would wait for both.
    if (jobs_.empty() || inline_) {
      SleepConditionVariableSRW(&work_, &lock_, INFINITE, 0);
      continue;
    }
    const Queued next = std::move(jobs_.front());
    jobs_.pop_front();
    waiting_ -= next.Job->Addresses.size();
    busy_ = true;
    // One address at a time, the lock let go for each route call: a stop
    // waits for the one in progress only. Once the hold is stopping, what
    // waits goes on at once.
    size_t made = 0;
    ReleaseSRWLockExclusive(&lock_);
    for (; made < next.Job->Addresses.size() && running_(); ++made) {
      make_(next.Job->Addresses[made], next.Job->Domain);
    }
    Release(next.Held, made < next.Job->Addresses.size());
    AcquireSRWLockExclusive(&lock_);
    busy_ = false;
  }
  ReleaseSRWLockExclusive(&lock_);
}

void DnsRouteMaker::KeepTime() {
  AcquireSRWLockExclusive(&lock_);
  for (;;) {
    if (stopping_) break;
    std::shared_ptr<HeldDnsAnswer> earliest;
    for (const std::shared_ptr<HeldDnsAnswer>& held : held_) {
      if (!earliest || held->Deadline.QuadPart < earliest->Deadline.QuadPart) earliest = held;
    }
    if (!earliest) {
      timekeeperWakes_ = 0;
      SleepConditionVariableSRW(&time_, &lock_, INFINITE, 0);
      continue;
    }
    const DWORD waitMs = MillisecondsUntil(earliest->Deadline.QuadPart);
    if (waitMs > 0) {
      timekeeperWakes_ = earliest->Deadline.QuadPart;
      SleepConditionVariableSRW(&time_, &lock_, waitMs, 0);
      continue;
    }
    ReleaseSRWLockExclusive(&lock_);
    Release(earliest, true);
    AcquireSRWLockExclusive(&lock_);
  }
  timekeeperWakes_ = 0;
  ReleaseSRWLockExclusive(&lock_);
}

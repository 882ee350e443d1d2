#pragma once
// The DNS hold's route maker: it makes the routes of answers' new addresses
// on a thread of its own, holds each answer until its routes exist, and
// sends it on then, or at its deadline if they are still being made (a
// timekeeper thread watches the deadlines, so that no answer waits behind a
// slow route call, its own or another's). The receivers hand answers over
// and go back to receiving at once: an answer that needs no new route never
// waits behind one that does.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "split/dns_answer.h"
#include "split/windivert_abi.h"

// The routes of one answer, and the addresses they are for.
struct DnsRouteJob {
  std::vector<DnsAddress> Addresses;
  std::string Domain;
};

// An answer held for its routes: sent once, by whichever of the route
// maker, the receiver that makes its routes itself, the timekeeper or the
// stop takes `Sent` first.
struct HeldDnsAnswer {
  std::vector<uint8_t> Packet;
  WinDivertAddress Address{};
  LARGE_INTEGER Deadline{};  // performance counter
  std::atomic<bool> Sent{false};
};

// The route maker's queue, in addresses waiting for their routes: a few
// answers' worth. A flood of answers with new addresses (each matched to a
// question this machine asked, so only its own resolver's, or an on-path
// network's) finds it full and goes on at once without routes, rather than
// piling up work a disconnect would then wait for.
constexpr size_t kDnsAddressesWaitingAtMost = 256;

class DnsRouteMaker {
 public:
  using SendFn = std::function<void(const uint8_t*, UINT, const WinDivertAddress&)>;
  using MakeFn = std::function<void(const DnsAddress&, const std::string& domain)>;
  // `make` makes one route; `running` turns false when the hold stops:
  // from then on no route call is begun and what waits goes on at once.
  DnsRouteMaker(SendFn send, MakeFn make, std::function<bool()> running);
  // Every answer still held goes on; routes still waiting are dropped: a
  // stop waits for the route call in progress, never for the queue.
  ~DnsRouteMaker();
  DnsRouteMaker(const DnsRouteMaker&) = delete;
  DnsRouteMaker& operator=(const DnsRouteMaker&) = delete;

  bool Started() const { return maker_.joinable() && timekeeper_.joinable(); }

  // Nothing queued or being made: the caller makes `job`'s routes itself
  // now, with no hand-over between threads on the answer's way, and sends
  // `held` on after them (Release); the timekeeper sends it at its deadline
  // if they take longer. False: the caller hands the job over (Hold).
  bool BeginInline(const std::shared_ptr<HeldDnsAnswer>& held);
  void EndInline();
  // Holds `held` (null: routes only, nothing to hold) until `job`'s routes
  // exist or its deadline passes, unless the job's addresses would take the
  // queue past kDnsAddressesWaitingAtMost: false then, nothing queued, and
  // the caller sends its answer on without routes.
  bool Hold(const std::shared_ptr<DnsRouteJob>& job, const std::shared_ptr<HeldDnsAnswer>& held);
  // Sends `held` on unless it has been sent already. `late`: its routes were
  // not all made.
  void Release(const std::shared_ptr<HeldDnsAnswer>& held, bool late);

 private:
  struct Queued {
    std::shared_ptr<DnsRouteJob> Job;
    std::shared_ptr<HeldDnsAnswer> Held;
  };
  void MakeQueued();
  void KeepTime();
  // lock_ held.
  void ForgetHeldLocked(const HeldDnsAnswer* held);

  const SendFn send_;
  const MakeFn make_;
  const std::function<bool()> running_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE work_ = CONDITION_VARIABLE_INIT;  // the maker's: jobs, stop
  CONDITION_VARIABLE time_ = CONDITION_VARIABLE_INIT;  // the timekeeper's: deadlines, stop
  std::deque<Queued> jobs_;                            // first in, first made
  size_t waiting_ = 0;                                 // addresses of the jobs queued
  bool busy_ = false;                                  // the maker's route calls under way
  bool inline_ = false;                                // a receiver's route calls under way
  std::vector<std::shared_ptr<HeldDnsAnswer>> held_;   // answers not yet sent
  LONGLONG timekeeperWakes_ = 0;                       // when it sleeps until; 0: no deadline
  bool stopping_ = false;
  std::atomic<bool> lateSaid_{false};
  std::thread maker_;
  std::thread timekeeper_;
};

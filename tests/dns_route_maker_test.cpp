// The DNS hold's route maker and the WinDivert worker in-process, with the
// route calls and the library's shutdown replaced: when a held answer goes
// on, that it goes on once, and what a stop does with what waits.
#include "split/dns_route_maker.h"

#include <windows.h>

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "split/windivert_worker.h"

namespace {

// The performance counter in milliseconds: the tick count's steps are as
// coarse as 16 ms.
ULONGLONG NowMs() {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<ULONGLONG>(now.QuadPart * 1000 / frequency.QuadPart);
}

// What the maker sent, by the answer's first byte, and when (NowMs).
struct Sent {
  std::mutex mutex;
  std::map<uint8_t, std::vector<ULONGLONG>> at;
  size_t Times(uint8_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    return at[id].size();
  }
};

std::shared_ptr<HeldDnsAnswer> Answer(uint8_t id, ULONGLONG holdMs) {
  auto held = std::make_shared<HeldDnsAnswer>();
  held->Packet = {id};
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  held->Deadline.QuadPart =
      now.QuadPart + static_cast<LONGLONG>(frequency.QuadPart * holdMs / 1000);
  return held;
}

std::shared_ptr<DnsRouteJob> Job(size_t addresses, const std::string& domain) {
  auto job = std::make_shared<DnsRouteJob>();
  job->Addresses.resize(addresses);
  job->Domain = domain;
  return job;
}

// Each case: the route call's time for the domain "slow" (others are
// immediate), and when each held answer must have gone on.
TEST(DnsRouteMaker, AnAnswerGoesOnWhenItsRoutesExistOrAtItsDeadlineAndOnce) {
  Sent sent;
  std::atomic<bool> running{true};
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> made{0};
  std::atomic<bool> slowCall{false};
  {
    DnsRouteMaker maker(
        [&](const uint8_t* packet, UINT, const WinDivertAddress&) {
          std::lock_guard<std::mutex> lock(sent.mutex);
          sent.at[packet[0]].push_back(NowMs());
        },
        [&](const DnsAddress&, const std::string& domain) {
          if (domain == "slow") {
            slowCall = true;
            WaitForSingleObject(release, 5000);
          }
          ++made;
        },
        [&] { return running.load(); });
    ASSERT_TRUE(maker.Started());
    const ULONGLONG start = NowMs();
    // Slow routes for 1, quick ones for 2 queued behind them: both wait,
    // and both go on at their deadlines, not behind the call.
    ASSERT_TRUE(maker.Hold(Job(1, "slow"), Answer(1, 50)));
    ASSERT_TRUE(maker.Hold(Job(1, "quick"), Answer(2, 80)));
    // Past the bound: refused whole, nothing queued.
    EXPECT_FALSE(maker.Hold(Job(kDnsAddressesWaitingAtMost, "quick"), Answer(3, 50)));
    Sleep(300);
    {
      std::lock_guard<std::mutex> lock(sent.mutex);
      ASSERT_EQ(sent.at[1].size(), 1u);
      ASSERT_EQ(sent.at[2].size(), 1u);
      EXPECT_GE(sent.at[1][0] - start, 40u) << "went on before its deadline";
      EXPECT_LT(sent.at[1][0] - start, 200u) << "waited behind its route call";
      EXPECT_GE(sent.at[2][0] - start, 70u);
      EXPECT_LT(sent.at[2][0] - start, 200u);
      EXPECT_EQ(sent.at[3].size(), 0u);
    }
    // Once the calls end, 4's quick route is made and it goes on at once,
    // long before its deadline; the late ones are not sent again.
    SetEvent(release);
    ASSERT_TRUE(maker.Hold(Job(1, "quick"), Answer(4, 5000)));
    for (int i = 0; i < 100 && sent.Times(4) == 0; ++i) Sleep(10);
    EXPECT_EQ(sent.Times(4), 1u);
    EXPECT_EQ(made.load(), 3);
    EXPECT_EQ(sent.Times(1), 1u);
    EXPECT_EQ(sent.Times(2), 1u);

    // A stop: what waits goes on at once, and no route call is begun.
    ResetEvent(release);
    slowCall = false;
    ASSERT_TRUE(maker.Hold(Job(1, "slow"), Answer(5, 5000)));
    for (int i = 0; i < 500 && !slowCall; ++i) Sleep(1);
    ASSERT_TRUE(slowCall);
    ASSERT_TRUE(maker.Hold(Job(1, "quick"), Answer(6, 5000)));
    running = false;
    SetEvent(release);
  }
  EXPECT_EQ(sent.Times(5), 1u);
  EXPECT_EQ(sent.Times(6), 1u);
  EXPECT_EQ(made.load(), 4) << "a route call begun after the stop";
  CloseHandle(release);
}

std::atomic<int> Shutdowns{0};
BOOL CountShutdown(HANDLE, int) {
  ++Shutdowns;
  return TRUE;
}

// A stop shuts down every handle published; one published after the stop
// is shut down as it is published; a handle without a shutdown is left to
// the owner's own wake-up, and the destructor joins.
TEST(WinDivertWorker, AStopReachesEveryHandleWhenEverItIsPublished) {
  Shutdowns = 0;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE late = reinterpret_cast<HANDLE>(3);
  bool unwakeable = false;
  {
    WinDivertWorker worker([&](WinDivertWorker& self) {
      self.Publish(reinterpret_cast<HANDLE>(1), CountShutdown);
      self.Publish(reinterpret_cast<HANDLE>(2), nullptr);
      WaitForSingleObject(go, 5000);
      self.Publish(late, CountShutdown);
      self.Withdraw(late);
    });
    ASSERT_TRUE(worker.Started());
    for (int i = 0; i < 500 && !worker.AnyPublished(); ++i) Sleep(1);
    Sleep(20);
    unwakeable = worker.RequestStop();
    EXPECT_FALSE(worker.Running());
    EXPECT_EQ(Shutdowns.load(), 1);
    SetEvent(go);
  }
  EXPECT_TRUE(unwakeable);
  EXPECT_EQ(Shutdowns.load(), 2) << "the handle published after the stop was not shut down";
  CloseHandle(go);
}

}  // namespace

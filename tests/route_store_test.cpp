// The route store in-process, through its seam: a system of the test's own
// stands in for the IP Helper, so what the store asks of it is counted
// exactly and nothing reaches a route table.
#include "routing/route_store.h"

#include <winsock2.h>

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/text.h"

namespace {

RoutePrefix Host(uint32_t last) {
  return HostPrefix(IpAddress::FromIPv4(htonl(0x0A000000 + last)));
}

// Creates succeed unless the prefix is listed with another answer; the
// interface's LUID is known only for the interfaces listed.
class TestSystem final : public RouteSystem {
 public:
  DWORD CreateRoute(const RoutePrefix& prefix, const NextHop&) override {
    ++creates;
    const auto answer = answers.find(prefix);
    return answer == answers.end() ? NO_ERROR : answer->second;
  }
  void DeleteRoute(const RoutePrefix& prefix, const NextHop&) override { deleted.insert(prefix); }
  bool InterfaceLuid(uint32_t interfaceIndex, uint64_t& luid) override {
    ++luidAsks;
    if (luids.count(interfaceIndex) == 0) return false;
    luid = luids[interfaceIndex];
    return true;
  }
  std::map<RoutePrefix, DWORD> answers;
  std::map<uint32_t, uint64_t> luids;
  std::set<RoutePrefix> deleted;
  size_t creates = 0;
  size_t luidAsks = 0;
};

// What an observer is told, as "+prefix" and "-prefix".
class Changes final : public RouteObserver {
 public:
  void Changed(const RoutePrefix& prefix, const RecordedRoute* before,
               const RecordedRoute* after) override {
    if (before) seen.push_back("-" + WideToUtf8(FormatPrefix(prefix)));
    if (after) seen.push_back("+" + WideToUtf8(FormatPrefix(prefix)));
  }
  void Cleared() override { seen.push_back("clear"); }
  std::vector<std::string> seen;
};

std::string Counted(const RouteStoreCounts& c) {
  std::string text = std::to_string(c.Own);
  for (const size_t* each : {c.OwnFor, c.RecordedFor, c.OnlyFor}) {
    text += " " + std::to_string(each[0]) + std::to_string(each[1]) + std::to_string(each[2]);
  }
  return text;  // own, own per reason, recorded per reason, sole reason (list split domain)
}

// The counts follow every way a record changes, each reason apart, and are
// what a walk of the table finds; the observer hears of each change once.
TEST(RouteStore, TheCountsAreKeptByEveryChange) {
  TestSystem system;
  Changes changes;
  RouteStore store(system, &changes);
  MutexLock lock(store.Lock);
  store.SetPhysical(kFamilyIPv4, {7, IpAddress::FromIPv4(htonl(0xC0A80101))});
  system.answers[Host(3)] = ERROR_OBJECT_ALREADY_EXISTS;
  const struct {
    const char* step;
    std::function<void()> change;
    std::string counts;
  } steps[] = {
      {"a list route",
       [&]() NO_THREAD_SAFETY_ANALYSIS {
         RecordedRoute route;
         route.ForList = true;
         RoutePass pass;
         ASSERT_TRUE(store.RecordAndMake(Host(1), route, pass));
       },
       "1 100 100 100"},
      {"a split route",
       [&]() NO_THREAD_SAFETY_ANALYSIS {
         RecordedRoute route;
         route.ForSplit = true;
         RoutePass pass;
         ASSERT_TRUE(store.RecordAndMake(Host(2), route, pass));
       },
       "2 110 110 110"},
      {"someone else's, for a domain",
       [&]() NO_THREAD_SAFETY_ANALYSIS {
         RecordedRoute route;
         route.ForDomain = true;
         RoutePass pass;
         ASSERT_TRUE(store.RecordAndMake(Host(3), route, pass));
       },
       "2 110 111 111"},
      {"the split route also the list's",
       [&]() NO_THREAD_SAFETY_ANALYSIS {
         store.Update(Host(2), [](RecordedRoute& route) { route.ForList = true; });
       },
       "2 210 211 101"},
      {"the list route waits",
       [&]() NO_THREAD_SAFETY_ANALYSIS {
         store.Update(Host(1), [](RecordedRoute& route) { route.State = RouteState::Waiting; });
       },
       "1 110 211 101"},
      {"the list lets go of both",
       [&]() NO_THREAD_SAFETY_ANALYSIS {
         store.Revise(kFamilyIPv4, [](const RoutePrefix&, RecordedRoute& route) {
           route.ForList = false;
           return route.ForSplit || route.ForDomain;
         });
       },
       "1 010 011 011"},
      {"the domain's goes", [&]() NO_THREAD_SAFETY_ANALYSIS { store.Erase(Host(3)); },
       "1 010 010 010"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.step);
    step.change();
    EXPECT_EQ(Counted(store.Counts()), step.counts);
  }
  size_t own = 0;
  store.ForEach([&](const RoutePrefix&, const RecordedRoute& route) {
    own += route.State == RouteState::Ours;
  });
  EXPECT_EQ(own, store.Counts().Own);
  EXPECT_EQ(changes.seen, (std::vector<std::string>{"+10.0.0.1/32", "+10.0.0.2/32", "+10.0.0.3/32",
                                                    "-10.0.0.2/32", "+10.0.0.2/32", "-10.0.0.1/32",
                                                    "+10.0.0.1/32", "-10.0.0.1/32", "-10.0.0.2/32",
                                                    "+10.0.0.2/32", "-10.0.0.3/32"}));
  store.Clear();
  EXPECT_EQ(Counted(store.Counts()), "0 000 000 000");
  EXPECT_EQ(store.Size(), 0u);
  EXPECT_EQ(system.deleted, (std::set<RoutePrefix>{Host(2)})) << "only the helper's own row goes";
}

// An interface whose LUID Windows cannot give is asked about once a pass,
// not once a row (a country-sized list through an interface Windows no
// longer knows took seconds); a LUID it gave is kept across passes.
TEST(RouteStore, AnUnknownInterfaceIsAskedAboutOnceAPass) {
  TestSystem system;
  RouteStore store(system, nullptr);
  MutexLock lock(store.Lock);
  const NextHop lost{9, IpAddress::FromIPv4(htonl(0xC0A80101))};
  {
    RoutePass pass(RoutePass::kBatchFailureLines);
    for (uint32_t i = 1; i <= 100; ++i)
      EXPECT_EQ(store.JournalEntry(Host(i), lost, pass).InterfaceLuid, 0u);
  }
  EXPECT_EQ(system.luidAsks, 1u);
  {
    RoutePass pass;  // the next pass asks again: the interface may be back
    system.luids[9] = 0x1234;
    EXPECT_EQ(store.JournalEntry(Host(1), lost, pass).InterfaceLuid, 0x1234u);
  }
  {
    RoutePass pass;
    for (uint32_t i = 1; i <= 10; ++i)
      EXPECT_EQ(store.JournalEntry(Host(i), lost, pass).InterfaceLuid, 0x1234u);
  }
  EXPECT_EQ(system.luidAsks, 2u);
}

// What a create's answer makes of a route: the helper's, someone else's
// (recorded, never deleted) or not recorded at all, so a later ask tries
// again; without a physical route it waits, and nothing is asked.
TEST(RouteStore, ACreatesAnswerDecidesWhatIsRecorded) {
  const struct {
    const char* what;
    bool captured;
    DWORD answer;
    bool recorded;
    RouteState state;
    size_t creates;
  } cases[] = {
      {"made", true, NO_ERROR, true, RouteState::Ours, 1},
      {"there already", true, ERROR_OBJECT_ALREADY_EXISTS, true, RouteState::Theirs, 1},
      {"refused", true, ERROR_INVALID_PARAMETER, false, RouteState::Waiting, 1},
      {"no network", false, NO_ERROR, true, RouteState::Waiting, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestSystem system;
    system.answers[Host(1)] = c.answer;
    RouteStore store(system, nullptr);
    MutexLock lock(store.Lock);
    if (c.captured) store.SetPhysical(kFamilyIPv4, {7, IpAddress::FromIPv4(htonl(0xC0A80101))});
    RecordedRoute route;
    route.ForList = true;
    RoutePass pass(0);  // nothing logged
    EXPECT_EQ(store.RecordAndMake(Host(1), route, pass), c.recorded);
    const RecordedRoute* found = store.Find(Host(1));
    ASSERT_EQ(found != nullptr, c.recorded);
    if (found) {
      EXPECT_EQ(found->State, c.state);
      EXPECT_TRUE(found->ForList);
    }
    EXPECT_EQ(system.creates, c.creates);
    store.Clear();
    EXPECT_EQ(system.deleted.size(), c.state == RouteState::Ours ? 1u : 0u);
  }
}

}  // namespace

// Following the physical network through the real QuorvelHelper.exe: the IP
// Helper stand-in changes its table when the test rewrites its scenario and
// tells the helper as Windows does; the helper must move, restore and park
// its routes, never take the tunnel's own default route, and leave nothing
// behind.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "client_io.h"
#include "rig.h"
#include "routing/network_watch.h"
#include "service/lifecycle.h"
#include "service_harness.h"
#include "test_server.h"

namespace {

// The tunnel's own adapter, with the lowest metric of all: a tunnel whose
// peer takes all traffic installs such a default route.
const std::string kTunnel =
    "alias 30 Quorvel\n"
    "service-route AmneziaWGTunnel$Quorvel 0.0.0.0 0.0.0.0 10.66.0.1 30 1\n";
const std::string kOn7 = "route 0.0.0.0 0.0.0.0 192.168.1.1 7 25\n" + kTunnel;
const std::string kOn12 =
    "route 0.0.0.0 0.0.0.0 192.168.1.1 7 50\nroute 0.0.0.0 0.0.0.0 10.12.0.1 12 10\n" + kTunnel;
constexpr DWORD kFollowWaitMs = 2500;  // 2 s at most to settle, then the move
DWORD NetworkSettleMs() { return 600; }  // the 200 ms quiet time, and the look

using FollowingTheNetwork = WithoutHelperServices;

// The route changes the helper asked for, from `from` on, each as
// "<create|delete> <if> <destination> <next hop>" (failed ones left out).
std::vector<std::string> Changes(const HelperRig& rig, size_t from = 0) {
  std::vector<std::string> changes;
  const std::vector<std::string> journal = rig.RouteJournal();
  for (size_t i = from; i < journal.size(); ++i) {
    const std::string& line = journal[i];
    if (line.rfind("create ", 0) != 0 && line.rfind("delete ", 0) != 0) continue;
    if (line.find(" rc=0") == std::string::npos) continue;
    const auto field = [&](const std::string& name) {
      const size_t at = line.find(" " + name + "=") + name.size() + 2;
      return line.substr(at, line.find(' ', at) - at);
    };
    changes.push_back(line.substr(0, 6) + " " + field("if") + " " + field("dest") + " " +
                      field("nexthop"));
  }
  return changes;
}

// Connected, with a bypass network and a split host route through interface
// 7, both listed in the journal.
void ConnectWithTwoRoutes(HelperRig& rig, RunningProcess& browser,
                          const std::string& scenario = kOn7) {
  ASSERT_TRUE(rig.WriteRouteScenario(scenario));
  ASSERT_TRUE(rig.StartConsole());
  browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  ASSERT_TRUE(browser.valid()) << ErrorText(GetLastError());
  ASSERT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000));
  ASSERT_TRUE(rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) + " 1.1.1.1\n"));
  ASSERT_TRUE(rig.WaitForRoute("1.1.1.1/32", 5000));
  ASSERT_EQ(rig.ListedRoutes(),
            (std::vector<std::string>{"7 10.0.0.0/8 192.168.1.1", "7 1.1.1.1/32 192.168.1.1"}));
}

// A new default route on another interface, and a new gateway on the same
// one: every route moves, the new row made before the old one is deleted
// (once), and the journal lists only the new rows. The tunnel's own route,
// with the lowest metric of all, is never taken.
TEST_F(FollowingTheNetwork, RoutesMoveWithTheDefaultRoute) {
  const struct {
    const char* what;
    std::string scenario;
    std::string to;  // "<if> <gateway>"
  } cases[] = {
      {"another interface", kOn12, "12 10.12.0.1"},
      {"another gateway", "route 0.0.0.0 0.0.0.0 192.168.1.254 7 25\n" + kTunnel,
       "7 192.168.1.254"},
      // PPP and some mobile links: a default route without a gateway.
      {"an on-link default route",
       "route 0.0.0.0 0.0.0.0 192.168.1.1 7 25\nroute 0.0.0.0 0.0.0.0 0.0.0.0 12 10\n" + kTunnel,
       "12 0.0.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HelperRig rig(L"follow-move");
    RunningProcess browser;
    ASSERT_NO_FATAL_FAILURE(ConnectWithTwoRoutes(rig, browser));
    const size_t before = rig.RouteJournal().size();
    ASSERT_TRUE(rig.WriteRouteScenario(c.scenario));
    const std::string interfaceIndex = c.to.substr(0, c.to.find(' '));
    const std::string gateway = c.to.substr(c.to.find(' ') + 1);
    EXPECT_TRUE(rig.WaitForLog("physical default route changed: ifIndex=" + interfaceIndex +
                                   " gw=" + gateway + "; 2 bypass routes moved",
                               kFollowWaitMs))
        << Joined(rig.Log());
    EXPECT_EQ(Changes(rig, before), (std::vector<std::string>{
                                        "create " + interfaceIndex + " 10.0.0.0/8 " + gateway,
                                        "delete 7 10.0.0.0/8 192.168.1.1",
                                        "create " + interfaceIndex + " 1.1.1.1/32 " + gateway,
                                        "delete 7 1.1.1.1/32 192.168.1.1",
                                    }));
    std::vector<std::string> listed = rig.ListedRoutes();  // in whatever slots they took
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{interfaceIndex + " 1.1.1.1/32 " + gateway,
                                                interfaceIndex + " 10.0.0.0/8 " + gateway}));
    // Host routes the sniffer asks for afterwards go the new way.
    ASSERT_TRUE(rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) + " 8.8.8.8\n"));
    ASSERT_TRUE(rig.WaitForRoute("8.8.8.8/32", 5000));
    EXPECT_EQ(Changes(rig).back(), "create " + interfaceIndex + " 8.8.8.8/32 " + gateway);
    EXPECT_EQ(Count(Starting(rig.RouteJournal(), "create "), " if=30 "), 0u)
        << "a route through the tunnel";
  }
}

// A look that finds nothing that says move moves nothing: an equal metric
// on another interface, a table that cannot be read whole, and a tunnel
// whose adapter cannot be found (its own default route would look physical).
TEST_F(FollowingTheNetwork, RoutesStayWhenNothingSaysMove) {
  const std::string on12 = "route 0.0.0.0 0.0.0.0 192.168.1.1 12 25\n" + kTunnel;
  const struct {
    const char* what;
    std::string start, change;
    const char* said;  // logged once, or nothing
  } cases[] = {
      {"an equal metric elsewhere", on12,
       "route 0.0.0.0 0.0.0.0 192.168.1.1 7 25\n" + on12, nullptr},
      {"a table that grows at every look", kOn7, kOn7 + "grow-always 2\n", nullptr},
      {"the tunnel's adapter gone", kOn7,
       "route 0.0.0.0 0.0.0.0 192.168.1.1 7 25\nroute 0.0.0.0 0.0.0.0 10.66.0.1 30 1\n",
       "tunnel interface not found; routes not moved"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HelperRig rig(L"follow-stay");
    RunningProcess browser;
    ASSERT_TRUE(rig.WriteRouteScenario(c.start));
    ASSERT_TRUE(rig.StartConsole());
    browser = StartNamedProcess(rig.Dir(), L"browser.exe");
    ASSERT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
    ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
    const size_t before = rig.RouteJournal().size();
    const size_t callbacks = Count(rig.RouteJournal(), "callback ");
    ASSERT_TRUE(rig.WriteRouteScenario(c.change));
    ASSERT_TRUE(WaitUntil([&] { return Count(rig.RouteJournal(), "callback ") > callbacks; }, 2000));
    Sleep(800);  // the watcher settles, then looks
    EXPECT_EQ(Changes(rig, before), std::vector<std::string>{}) << Joined(rig.Log());
    if (c.said) {
      EXPECT_EQ(Count(rig.Log(), c.said), 1u) << Joined(rig.Log());
    }
    EXPECT_EQ(Count(rig.Log(), "physical default route lost"), 0u);
  }
}

// A burst of changes is looked at once it has settled: one move.
TEST_F(FollowingTheNetwork, TwentyChangesInOneSecondGiveOneMove) {
  HelperRig rig(L"follow-burst");
  RunningProcess browser;
  ASSERT_NO_FATAL_FAILURE(ConnectWithTwoRoutes(rig, browser));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(rig.WriteRouteScenario((i % 2 ? kOn7 : kOn12) + "# change " + std::to_string(i)));
    Sleep(50);
  }
  ASSERT_TRUE(rig.WriteRouteScenario(kOn12));
  EXPECT_TRUE(
      rig.WaitForLog("physical default route changed: ifIndex=12 gw=10.12.0.1; 2 bypass "
                     "routes moved",
                     kFollowWaitMs));
  Sleep(600);  // anything more would have come by now
  EXPECT_EQ(Count(rig.Log(), "physical default route changed"), 1u) << Joined(rig.Log());
}

// Windows deletes the routes of an interface that goes down, even for a
// moment; back with the same route, they come back. With no network at
// all, the routes wait (said once), and come with the next network.
TEST_F(FollowingTheNetwork, RoutesComeBackAfterAnInterfaceOrEveryNetworkWasGone) {
  HelperRig rig(L"follow-down");
  RunningProcess browser;
  ASSERT_NO_FATAL_FAILURE(ConnectWithTwoRoutes(rig, browser));
  size_t before = rig.RouteJournal().size();
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7 + "down 7\n"));
  ASSERT_TRUE(
      WaitUntil([&] { return Count(rig.RouteJournal(), "down if=7 removed=2") == 1; }, 1000));
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7));  // back before the burst settles
  EXPECT_TRUE(rig.WaitForLog("bypass routes restored: 2", kFollowWaitMs)) << Joined(rig.Log());
  std::vector<std::string> changes = Changes(rig, before);
  std::sort(changes.begin(), changes.end());
  EXPECT_EQ(changes, (std::vector<std::string>{"create 7 1.1.1.1/32 192.168.1.1",
                                               "create 7 10.0.0.0/8 192.168.1.1"}));
  EXPECT_EQ(rig.ListedRoutes().size(), 2u);

  ASSERT_TRUE(rig.WriteRouteScenario(kOn7 + "down 7\n"));
  EXPECT_TRUE(rig.WaitForLog("physical default route lost; bypass routes wait for a network",
                             kFollowWaitMs));
  EXPECT_TRUE(rig.ListedRoutes().empty()) << Joined(rig.ListedRoutes());
  before = rig.RouteJournal().size();
  ASSERT_TRUE(rig.WriteRouteScenario(kOn12 + "down 7\n"));
  EXPECT_TRUE(
      rig.WaitForLog("physical default route changed: ifIndex=12 gw=10.12.0.1; 2 bypass "
                     "routes moved",
                     kFollowWaitMs));
  changes = Changes(rig, before);
  std::sort(changes.begin(), changes.end());
  EXPECT_EQ(changes, (std::vector<std::string>{"create 12 1.1.1.1/32 10.12.0.1",
                                               "create 12 10.0.0.0/8 10.12.0.1"}));
  EXPECT_EQ(Count(rig.Log(), "physical default route lost"), 1u);
}

// The watcher reads the table without the route table's lock while a list
// installs, and every create tells it of a change: no route the helper made
// may ever look like someone else's and be left behind.
TEST_F(FollowingTheNetwork, ThousandsOfRoutesMadeWhileTheWatcherLooksAllGo) {
  const std::string scenario = kOn7 + "route6 ::/0 fe80::1 7 10\n";
  HelperRig rig(L"follow-race");
  ASSERT_TRUE(rig.WriteRouteScenario(scenario));
  ASSERT_TRUE(rig.StartConsole());
  std::string list;
  // Every other network, so that none merges with a neighbour.
  for (int i = 0; i < 4000; i += 2) {
    list += "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24;";
  }
  for (int i = 0; i < 2000; i += 2) {
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "2001:db8:%x::/48;", i);
    list += prefix;
  }
  std::atomic<bool> installing{true};
  std::thread changes([&] {
    for (int tick = 0; installing; ++tick) {
      rig.WriteRouteScenario(scenario + "# tick " + std::to_string(tick) + "\n");
      Sleep(300);
    }
  });
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
    ASSERT_EQ(Send("bypassnets " + list), "OK");
    EXPECT_EQ(rig.SystemRoutes().size(), 3000u);
    ASSERT_EQ(Send("bypassnets"), "OK");
    EXPECT_EQ(rig.SystemRoutes(), std::vector<std::string>{}) << "left after an empty list";
    ASSERT_EQ(Send("bypassnets " + list), "OK");
    ASSERT_EQ(Send("disconnect"), "OK");
    EXPECT_EQ(rig.SystemRoutes(), std::vector<std::string>{}) << "left after a disconnect";
    EXPECT_EQ(rig.ListedRoutes(), std::vector<std::string>{});
  }
  installing = false;
  changes.join();
}

// IPv6 networks and split destinations go through the physical IPv6 route
// as IPv4 ones go through the IPv4 route: made, journaled, deleted once at a
// disconnect and once after a kill, followed when the route moves; without
// an IPv6 route they make nothing, said once per connect.
TEST_F(FollowingTheNetwork, IPv6RoutesLikeIPv4Ones) {
  const std::string ipv6 = "route6 ::/0 fe80::1 7 10\ninterface 7 6 metric 5\n"
                           "service-route6 AmneziaWGTunnel$Quorvel ::/0 fe80::1e 30 1\n";
  HelperRig rig(L"follow-ipv6");
  RunningProcess browser;
  ASSERT_NO_FATAL_FAILURE(ConnectWithTwoRoutes(rig, browser, kOn7 + ipv6));
  EXPECT_TRUE(rig.WaitForLog("physical IPv6 default route: ifIndex=7 gw=fe80::1", 0));
  size_t before = rig.RouteJournal().size();
  ASSERT_EQ(Send("bypassnets 10.0.0.0/8;2001:db8::/32;2001:db7:1::5;fe80::/x;::/"), "OK");
  ASSERT_TRUE(rig.FeedSocketEvents("connect v6 " + std::to_string(browser.Id()) +
                                   " 2001:db9::7\nconnect v6 " + std::to_string(browser.Id()) +
                                   " ::ffff:8.8.4.4\nconnect v6 " + std::to_string(browser.Id()) +
                                   " fe80::9\n"));
  ASSERT_TRUE(rig.WaitForRoute("8.8.4.4/32", 5000));
  EXPECT_EQ(Changes(rig, before), (std::vector<std::string>{
                                      // in address order
                                      "create 7 2001:db7:1::5/128 fe80::1",
                                      "create 7 2001:db8::/32 fe80::1",
                                      "create 7 2001:db9::7/128 fe80::1",
                                      "create 7 8.8.4.4/32 192.168.1.1",
                                  }));
  const std::vector<std::string> log = rig.Log();
  EXPECT_EQ(Count(log, "bypass nets set: 3"), 1u) << Joined(log);
  // The split host route made before (1.1.1.1) is not the list's.
  EXPECT_EQ(Count(log, "bypass routes: 3/3 installed (3 routes) via ifIndex=7 gw=192.168.1.1"),
            1u)
      << Joined(log);
  EXPECT_EQ(Count(log, "bypass routes (IPv6): 2/2 installed (2 routes) via ifIndex=7 gw=fe80::1"),
            1u);
  EXPECT_EQ(Count(rig.ListedRoutes(), "fe80::1"), 3u) << Joined(rig.ListedRoutes());

  // The IPv6 route moves: its routes follow it, and the IPv4 ones stay.
  before = rig.RouteJournal().size();
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7 + "route6 ::/0 fe80::c 12 1\n"));
  EXPECT_TRUE(rig.WaitForLog(
      "physical IPv6 default route changed: ifIndex=12 gw=fe80::c; 3 bypass routes moved",
      kFollowWaitMs))
      << Joined(rig.Log());
  EXPECT_EQ(Count(Changes(rig, before), "create 12 "), 3u);
  EXPECT_EQ(Count(Changes(rig, before), "delete 7 "), 3u);

  // Every IPv6 route is deleted once at a disconnect, and once at the start
  // after a kill.
  before = rig.RouteJournal().size();
  ASSERT_EQ(Send("disconnect"), "OK");
  EXPECT_EQ(Count(Changes(rig, before), "delete 12 "), 3u) << Joined(Changes(rig, before));
  ASSERT_TRUE(RemoveServiceAndWait(L"AmneziaWGTunnel$Quorvel"));
  ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
  rig.KillConsole();
  before = rig.RouteJournal().size();
  ASSERT_TRUE(rig.StartConsole());
  EXPECT_EQ(Count(Changes(rig, before), "delete 12 "), 2u) << Joined(Changes(rig, before));
  EXPECT_EQ(ReadLines(rig.Dir() + L"\\iphlpapi-routes.txt"), std::vector<std::string>{});

  // No IPv6 route: IPv6 entries wait, said once at the connect; IPv4 works.
  rig.KillConsole();
  ASSERT_TRUE(RemoveServiceAndWait(L"AmneziaWGTunnel$Quorvel"));
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7));
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("bypassnets 10.0.0.0/8;2001:db8::/32;2001:db8:1::5"), "OK");
  before = rig.RouteJournal().size();
  ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
  EXPECT_EQ(Changes(rig, before), std::vector<std::string>{"create 7 10.0.0.0/8 192.168.1.1"});
  EXPECT_EQ(Count(rig.Log(), "no physical IPv6 default route"), 1u) << Joined(rig.Log());
}

// A look that finds the same route and every route in place reads the
// tables once and says and changes nothing.
TEST_F(FollowingTheNetwork, NothingChangedMeansOneTableReadAndNoLine) {
  HelperRig rig(L"follow-quiet");
  RunningProcess browser;
  ASSERT_NO_FATAL_FAILURE(ConnectWithTwoRoutes(rig, browser));
  // The look the helper's own routes brought (the stand-in tells of every
  // route made, as Windows does) is over before this one is counted.
  Sleep(NetworkSettleMs());
  const size_t journalBefore = rig.RouteJournal().size();
  const size_t logBefore = rig.Log().size();
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7 + "# nothing that matters\n"));
  const auto since = [&] {
    std::vector<std::string> calls = rig.RouteJournal();
    calls.erase(calls.begin(), calls.begin() + journalBefore);
    return calls;
  };
  ASSERT_TRUE(WaitUntil([&] { return Count(since(), "table2 ") >= 1; }, 2000));
  Sleep(300);
  std::vector<std::string> calls = since();
  calls.erase(
      std::remove_if(calls.begin(), calls.end(),
                     [](const std::string& line) { return line.rfind("callback", 0) == 0; }),
      calls.end());
  // One read of each family's table (the IPv4 one in one call: the size the
  // last read needed is offered first).
  EXPECT_EQ(calls,
            (std::vector<std::string>{"table buffer=1 rows=4 rc=0", "table2 family=23 rows=0 rc=0"}));
  EXPECT_EQ(rig.Log().size(), logBefore);
}

// Merged list routes keep their meaning: a route beside the list that would
// win over a merged route where the entry it replaces would have won keeps
// that entry a route of its own. The tunnel's AllowedIPs count from the
// connect on; another adapter's route from when the watcher sees it come,
// and when it goes the list is merged again. The routes the list now makes
// come before those it no longer makes go, so no listed address is ever
// without its route; a route through the physical gateway limits nothing.
TEST_F(FollowingTheNetwork, ListRoutesKeepTheirMeaningBesideOtherRoutes) {
  HelperRig rig(L"follow-beside");
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7));
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("bypassnets 10.0.0.0/9;10.128.0.0/9;10.1.2.0/24;172.16.0.0/12;172.16.5.0/24"),
            "OK");
  ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n[Peer]\nAllowedIPs = 172.16.0.0/16\n")),
            "OK");
  EXPECT_EQ(Changes(rig), (std::vector<std::string>{"create 7 10.0.0.0/8 192.168.1.1",
                                                    "create 7 172.16.0.0/12 192.168.1.1",
                                                    "create 7 172.16.5.0/24 192.168.1.1"}));
  Sleep(NetworkSettleMs());  // the look the helper's own routes brought
  const struct {
    const char* what;
    std::string scenario;
    std::vector<std::string> changes;
  } steps[] = {
      {"another adapter gains 10.128.0.0/9", kOn7 + "route 10.128.0.0 255.128.0.0 10.99.0.1 31 5\n",
       {"create 7 10.0.0.0/9 192.168.1.1", "create 7 10.128.0.0/9 192.168.1.1",
        "delete 7 10.0.0.0/8 192.168.1.1"}},
      {"a route through the physical gateway beside it",
       kOn7 + "route 10.128.0.0 255.128.0.0 10.99.0.1 31 5\n" +
           "route 10.0.0.0 255.240.0.0 192.168.1.1 7 5\n",
       {}},
      {"the other adapter's route gone", kOn7,
       {"create 7 10.0.0.0/8 192.168.1.1", "delete 7 10.0.0.0/9 192.168.1.1",
        "delete 7 10.128.0.0/9 192.168.1.1"}},
      // The table read before the move shows the helper's routes the old
      // way: they are its own, and limit nothing.
      {"a move to another network", kOn12,
       {"create 12 10.0.0.0/8 10.12.0.1", "delete 7 10.0.0.0/8 192.168.1.1",
        "create 12 172.16.0.0/12 10.12.0.1", "delete 7 172.16.0.0/12 192.168.1.1",
        "create 12 172.16.5.0/24 10.12.0.1", "delete 7 172.16.5.0/24 192.168.1.1"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const size_t before = rig.RouteJournal().size();
    const size_t callbacks = Count(rig.RouteJournal(), "callback ");
    ASSERT_TRUE(rig.WriteRouteScenario(step.scenario));
    ASSERT_TRUE(WaitUntil([&] { return Count(rig.RouteJournal(), "callback ") > callbacks; }, 2000));
    if (!step.changes.empty()) {
      WaitUntil([&] { return Changes(rig, before).size() >= step.changes.size(); }, kFollowWaitMs);
    }
    Sleep(NetworkSettleMs());  // nothing more comes
    EXPECT_EQ(Changes(rig, before), step.changes) << Joined(rig.Log());
  }
  EXPECT_EQ(Count(rig.Log(), "routes beside the bypass list changed: 2 list routes to make, 1 to "
                             "give up"),
            1u)
      << Joined(rig.Log());
  EXPECT_EQ(Count(rig.Log(), "routes beside the bypass list changed: 1 list routes to make, 2 to "
                             "give up"),
            1u)
      << Joined(rig.Log());
  EXPECT_EQ(rig.ListedRoutes(),
            (std::vector<std::string>{"12 10.0.0.0/8 10.12.0.1", "12 172.16.0.0/12 10.12.0.1",
                                      "12 172.16.5.0/24 10.12.0.1"}));
}

// The watch ends before any route is deleted: a disconnect cancels both
// registrations first, and no callback comes after a cancel has returned.
TEST_F(FollowingTheNetwork, NothingFollowsADisconnect) {
  HelperRig rig(L"follow-disconnect");
  RunningProcess browser;
  ASSERT_NO_FATAL_FAILURE(ConnectWithTwoRoutes(rig, browser));
  ASSERT_TRUE(rig.WriteRouteScenario(kOn12));  // a change on its way as the disconnect comes
  Sleep(100);
  ASSERT_EQ(Send("disconnect"), "OK");
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7));
  Sleep(kFollowWaitMs);
  const std::vector<std::string> journal = rig.RouteJournal();
  const auto first = [&](const std::string& start) {
    return std::find_if(journal.begin(), journal.end(),
                        [&](const std::string& line) { return line.rfind(start, 0) == 0; }) -
           journal.begin();
  };
  const auto lastDelete = first("delete ");
  ASSERT_LT(lastDelete, static_cast<long>(journal.size())) << Joined(journal);
  EXPECT_EQ(Count(journal, "notify-route family=0 initial=0"), 1u) << Joined(journal);
  EXPECT_EQ(Count(journal, "notify-interface family=0 initial=0"), 1u) << Joined(journal);
  for (const std::string& cancel : Starting(journal, "cancel handle=")) {
    const std::string handle = cancel.substr(0, cancel.find(' '));
    const auto cancelled = first("cancel handle=" + handle);
    EXPECT_LT(cancelled, first("delete ")) << "deleted while watching: " << Joined(journal);
    for (size_t i = cancelled; i < journal.size(); ++i) {
      EXPECT_NE(journal[i], "callback handle=" + handle) << "a callback after the cancel";
    }
  }
  EXPECT_EQ(Count(journal, "cancel handle="), 2u) << Joined(journal);
  EXPECT_EQ(Count(journal, "create pid="), 2u) << "a route made after the disconnect";
}

// A helper killed in the middle of a move leaves both rows of the route it
// was moving in the system; its journal lists both, and the next start
// deletes both.
TEST_F(FollowingTheNetwork, AKillInTheMiddleOfAMoveLeavesNothing) {
  HelperRig rig(L"follow-crash");
  RunningProcess browser;
  ASSERT_NO_FATAL_FAILURE(
      ConnectWithTwoRoutes(rig, browser, kOn7 + "create-crash-after 1.1.1.1/32 if=12\n"));
  ASSERT_TRUE(rig.WriteRouteScenario(kOn12 + "create-crash-after 1.1.1.1/32 if=12\n"));
  EXPECT_EQ(WaitForSingleObject(rig.ConsoleProcess(), kFollowWaitMs), WAIT_OBJECT_0);
  ASSERT_TRUE(rig.WriteRouteScenario(kOn7));
  ASSERT_TRUE(rig.StartConsole());
  EXPECT_TRUE(ReadLines(rig.Dir() + L"\\iphlpapi-routes.txt").empty())
      << Joined(ReadLines(rig.Dir() + L"\\iphlpapi-routes.txt"));
  EXPECT_TRUE(rig.WaitForLog("removed 3 bypass routes left by an earlier run", 0))
      << Joined(rig.Log());
}

// A helper that starts while the tunnel runs (restarted after a crash)
// counts itself connected: it captures the physical route, never the
// tunnel's, and lists sent afterwards apply at once.
TEST_F(FollowingTheNetwork, AHelperStartingWhileTheTunnelRunsTakesItUp) {
  HelperRig rig(L"follow-adopt");
  RunningProcess browser;
  ASSERT_NO_FATAL_FAILURE(ConnectWithTwoRoutes(rig, browser));
  rig.KillConsole();
  ASSERT_TRUE(rig.StartConsole());
  EXPECT_EQ(Send("status"), "RUNNING");
  EXPECT_EQ(Count(rig.Log(), "physical default route: ifIndex=7"), 2u) << Joined(rig.Log());
  EXPECT_EQ(Count(rig.Log(), "physical default route: ifIndex=30"), 0u) << Joined(rig.Log());
  EXPECT_TRUE(rig.ListedRoutes().empty()) << "the earlier run's routes went at the start";
  ASSERT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
  EXPECT_EQ(rig.ListedRoutes(), std::vector<std::string>{"7 10.0.0.0/8 192.168.1.1"});
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  EXPECT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000, 2));
  // And it follows the network.
  ASSERT_TRUE(rig.WriteRouteScenario(kOn12));
  EXPECT_TRUE(
      rig.WaitForLog("physical default route changed: ifIndex=12 gw=10.12.0.1; 1 bypass "
                     "routes moved",
                     kFollowWaitMs))
      << Joined(rig.Log());
}

}  // namespace

// Bypass routing in-process, against the IP Helper stand-in beside this test
// program: which default route is captured, exactly which rows are created
// and deleted, what is recorded and logged, and what two threads do to it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <psapi.h>

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rig.h"
#include "routing/bypass_nets.h"
#include "routing/journal_line.h"
#include "routing/physical_route.h"
#include "routing/route_journal.h"
#include "routing/net_merge.h"
#include "routing/network_watch.h"
#include "routing/route_table.h"
#include "service/lifecycle.h"
#include "service_harness.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/paths.h"
#include "support/protocol.h"
#include "support/text.h"
#include "test_server.h"
#include "tunnel/session.h"

namespace {

RoutePrefix Prefix(const char* address, uint8_t length) {
  return {IpAddress::FromIPv4(IPv4(address)), length};
}

NextHop Via(uint32_t interfaceIndex, const char* gateway) {
  return {interfaceIndex, IpAddress::FromIPv4(IPv4(gateway))};
}

void Publish(std::vector<RoutePrefix> list) {
  MutexLock lock(HelperState.BypassNetLock);
  HelperState.BypassNetList = std::move(list);
}

class Routing : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name :
         {L"iphlpapi-scenario.txt", L"iphlpapi-routes.txt", L"iphlpapi-journal.txt"}) {
      DeleteFileW(BesideTests(name).c_str());
    }
    ASSERT_TRUE(data_.Ready());
    ASSERT_TRUE(TakeOverRouteJournal());
    Scenario("");
    SetPhysicalRoute(kFamilyIPv4, Via(12, "192.168.1.1"));
    ClearBypassRoutes();
    Publish({});
    HelperState.TunnelConnected = false;
  }
  void TearDown() override { ClearBypassRoutes(); }

  // Interface 12, which the routes go through, exists in every scenario.
  void Scenario(const std::string& text) {
    ASSERT_TRUE(WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), "alias 12 Ethernet\n" + text));
  }
  // Journal lines from `from` on, without the process id, which is ours.
  std::vector<std::string> Journal(size_t from = 0) {
    std::vector<std::string> lines = ReadLines(BesideTests(L"iphlpapi-journal.txt"));
    std::vector<std::string> result;
    for (size_t i = from; i < lines.size(); ++i) {
      std::string line = lines[i];
      const size_t pid = line.find(" pid=");
      if (pid != std::string::npos) line.erase(pid, line.find(' ', pid + 1) - pid);
      result.push_back(line);
    }
    return result;
  }
  std::vector<std::string> Log() { return LogTextsSince(LogFilePath(), logFrom_); }
  // The routes the helper's journal lists (blank lines are withdrawn ones).
  std::vector<std::string> Listed() {
    std::vector<std::string> listed;
    for (const std::string& line : Slots()) {
      if (!line.empty()) listed.push_back(line);
    }
    return listed;
  }
  // The journal's slots as they lie in the file, withdrawn ones blank.
  std::vector<std::string> Slots() {
    std::vector<std::string> slots;
    for (const std::string& line : ReadLines(DataDirectory() + L"\\routes.journal")) {
      JournaledRoute route;
      const JournalSlot slot = ReadJournalSlot(line, route);
      EXPECT_NE(slot, JournalSlot::Damaged) << line;
      route.InterfaceLuid = 0;
      slots.push_back(slot == JournalSlot::Route ? RouteJournalLine(route) : "");
    }
    return slots;
  }
  std::vector<RoutePrefix> Recorded() {
    MutexLock lock(Routes.Lock);
    return Routes.Prefixes();
  }
  void MarkLog() { logFrom_ = FileSize(LogFilePath()); }

  ScratchDataDirectory data_{L"routing"};
  ULONGLONG logFrom_ = 0;
};

// The IPv4 default route with the lowest route metric, then the IPv6 one
// with the lowest sum of route and interface metric; never the tunnel's.
TEST_F(Routing, CaptureTakesTheDefaultRouteWithTheLowestMetric) {
  const std::string noIPv6 = "no physical IPv6 default route";
  const struct {
    std::string scenario;
    uint32_t interfaceIndex;
    const char* gateway;
    std::vector<std::string> log;
    uint32_t interface6 = 0;
    const char* gateway6 = "";
  } cases[] = {
      {"route 0.0.0.0 0.0.0.0 192.168.7.1 7 25\nroute 0.0.0.0 0.0.0.0 10.12.0.1 12 10\n",
       12,
       "10.12.0.1",
       {"physical default route: ifIndex=12", noIPv6}},
      {"route 0.0.0.0 0.0.0.0 192.168.7.1 7 10\nroute 0.0.0.0 0.0.0.0 10.12.0.1 12 10\n",
       7,
       "192.168.7.1",
       {"physical default route: ifIndex=7", noIPv6}},
      {"route 0.0.0.0 0.0.0.0 192.168.7.1 7 0xFFFFFFFF\n",
       0,
       "0.0.0.0",
       {"physical default route: ifIndex=0", noIPv6}},
      // The halves a tunnel installs are not default routes.
      {"route 0.0.0.0 128.0.0.0 10.8.0.1 20 1\nroute 128.0.0.0 128.0.0.0 10.8.0.1 20 1\n"
       "route 0.0.0.0 0.0.0.0 192.168.7.1 7 50\n",
       7,
       "192.168.7.1",
       {"physical default route: ifIndex=7", noIPv6}},
      {"", 0, "0.0.0.0", {"physical default route: ifIndex=0", noIPv6}},  // no routes at all
      // Grown between sizing and filling: read again, whole.
      {"route 0.0.0.0 0.0.0.0 192.168.7.1 7 25\ngrow 1\n",
       7,
       "192.168.7.1",
       {"physical default route: ifIndex=7", noIPv6}},
      // Growing at every look: unreadable, never an empty table.
      {"route 0.0.0.0 0.0.0.0 192.168.7.1 7 25\ngrow-always 1\n",
       0,
       "0.0.0.0",
       {"IPv4 route table unreadable; no physical default route", noIPv6}},
      // Equal metrics: the lowest interface index, whatever the rows' order.
      {"route 0.0.0.0 0.0.0.0 10.12.0.1 12 10\nroute 0.0.0.0 0.0.0.0 192.168.7.1 7 10\n",
       7,
       "192.168.7.1",
       {"physical default route: ifIndex=7", noIPv6}},
      // An on-link default route is a default route, and wins on metric.
      {"route 0.0.0.0 0.0.0.0 192.168.7.1 7 25\nroute 0.0.0.0 0.0.0.0 0.0.0.0 9 5\n",
       9,
       "0.0.0.0",
       {"physical default route: ifIndex=9", noIPv6}},
      // On-link: the interface is known, the gateway is not.
      {"route 0.0.0.0 0.0.0.0 0.0.0.0 9 5\n",
       9,
       "0.0.0.0",
       {"physical default route: ifIndex=9", noIPv6}},
      // The tunnel's adapter, with the lowest metric, is left out.
      {"route 0.0.0.0 0.0.0.0 10.66.0.1 30 1\nroute 0.0.0.0 0.0.0.0 192.168.7.1 7 25\n"
       "alias 30 Quorvel\n",
       7,
       "192.168.7.1",
       {"physical default route: ifIndex=7", noIPv6}},
      // IPv6: route metrics say 7, the sums of route and interface metric 12.
      {"route6 ::/0 fe80::7 7 10\nroute6 ::/0 fe80::c 12 20\ninterface 7 6 metric 50\n"
       "interface 12 6 metric 5\nroute6 2001:db8::/32 fe80::7 7 1\n",
       0,
       "0.0.0.0",
       {"physical default route: ifIndex=0", "physical IPv6 default route: ifIndex=12 gw=fe80::c"},
       12,
       "fe80::c"},
      // An interface that cannot be read is not the best of them: its
      // routes are unusable, never taken for metric 0.
      {"route6 ::/0 fe80::7 7 10\nroute6 ::/0 fe80::c 12 10\ninterface 7 6 metric 5\n"
       "interface-fail 12 6 1168\n",
       0,
       "0.0.0.0",
       {"physical default route: ifIndex=0", "physical IPv6 default route: ifIndex=7 gw=fe80::7"},
       7,
       "fe80::7"},
      {"route6 ::/0 fe80::c 12 10\ninterface-fail 12 6 1168\n",
       0,
       "0.0.0.0",
       {"physical default route: ifIndex=0", noIPv6}},
      {"route6 ::/0 fe80::7 7 10\nroute6 ::/0 fe80::1e 30 1\nalias 30 Quorvel\n",
       0,
       "0.0.0.0",
       {"physical default route: ifIndex=0", "physical IPv6 default route: ifIndex=7 gw=fe80::7"},
       7,
       "fe80::7"},
      {"route6 ::/0 fe80::1e 30 1\nalias 30 Quorvel\n",
       0,
       "0.0.0.0",
       {"physical default route: ifIndex=0", noIPv6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    Scenario(c.scenario);
    SetPhysicalRoute(kFamilyIPv4, Via(99, "1.2.3.4"));  // an earlier capture
    MarkLog();
    CapturePhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRouteOf(kFamilyIPv4).InterfaceIndex, c.interfaceIndex);
    EXPECT_EQ(WideToUtf8(FormatAddress(PhysicalRouteOf(kFamilyIPv4).Gateway)), c.gateway);
    EXPECT_EQ(PhysicalRouteOf(kFamilyIPv6).InterfaceIndex, c.interface6);
    EXPECT_EQ(WideToUtf8(FormatAddress(PhysicalRouteOf(kFamilyIPv6).Gateway)), c.gateway6);
    EXPECT_EQ(Log(), c.log);
  }
}

// Keyed by destination and prefix length; only the helper's own routes are
// journaled and deleted, each with the row it was made with, and the
// journal lists exactly those after every step.
TEST_F(Routing, RoutesAreCreatedRecordedJournaledAndOnlyTheHelpersDeleted) {
  const std::string via = " nexthop=192.168.1.1 site=0 metric=1 protocol=3 other=changed:Publish rc=";
  // Someone else's route, identical to one the helper then asks for.
  ASSERT_TRUE(
      WriteFileBytes(BesideTests(L"iphlpapi-routes.txt"), "12 172.16.0.0/12 192.168.1.1 1 3\n"));
  Scenario("create-fail 10.1.0.0/16 87\n");
  MarkLog();
  AddBypassRoute(Prefix("10.0.0.0", 8), RouteOrigin::List);
  AddBypassRoute(Prefix("10.0.0.0", 16), RouteOrigin::List);  // another prefix: another route
  AddBypassRoute(Prefix("10.0.0.0", 8), RouteOrigin::Split);  // recorded: nothing new
  AddBypassRoute(Prefix("172.16.0.0", 12), RouteOrigin::List);
  AddBypassRoute(Prefix("10.1.0.0", 16), RouteOrigin::List);
  EXPECT_EQ(Log(), std::vector<std::string>{"CreateIpForwardEntry2 failed rc=87 for 10.1.0.0/16"});
  EXPECT_EQ(Listed(),
            (std::vector<std::string>{"12 10.0.0.0/8 192.168.1.1", "12 10.0.0.0/16 192.168.1.1"}))
      << "a failed or foreign route left its line";
  Scenario("");
  AddBypassRoute(Prefix("10.1.0.0", 24), RouteOrigin::List);
  AddBypassRoute(Prefix("10.1.0.0", 16), RouteOrigin::List);  // not recorded, so tried again
  EXPECT_EQ(Recorded(), (std::vector<RoutePrefix>{Prefix("10.0.0.0", 8), Prefix("10.0.0.0", 16),
                                                  Prefix("10.1.0.0", 16), Prefix("10.1.0.0", 24),
                                                  Prefix("172.16.0.0", 12)}));
  EXPECT_EQ(Listed(),
            (std::vector<std::string>{"12 10.0.0.0/8 192.168.1.1", "12 10.0.0.0/16 192.168.1.1",
                                      "12 10.1.0.0/24 192.168.1.1", "12 10.1.0.0/16 192.168.1.1"}));

  ClearBypassRoutes();
  ClearBypassRoutes();  // nothing recorded: no call at all
  EXPECT_TRUE(Recorded().empty());
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(ReadFileBytes(DataDirectory() + L"\\routes.journal"), "");
  EXPECT_EQ(Journal(), (std::vector<std::string>{
                           "create if=12 dest=10.0.0.0/8" + via + "0",
                           "create if=12 dest=10.0.0.0/16" + via + "0",
                           "create if=12 dest=172.16.0.0/12" + via + "5010",
                           "create if=12 dest=10.1.0.0/16" + via + "87",
                           "create if=12 dest=10.1.0.0/24" + via + "0",
                           "create if=12 dest=10.1.0.0/16" + via + "0",
                           // In key order; never 172.16.0.0/12, which is not ours.
                           "delete if=12 dest=10.0.0.0/8" + via + "0",
                           "delete if=12 dest=10.0.0.0/16" + via + "0",
                           "delete if=12 dest=10.1.0.0/16" + via + "0",
                           "delete if=12 dest=10.1.0.0/24" + via + "0",
                       }));
  EXPECT_EQ(ReadFileBytes(BesideTests(L"iphlpapi-routes.txt")),
            "12 172.16.0.0/12 192.168.1.1 1 3\n");

  // Deletes that fail still empty the record; a row is deleted as it was
  // made, whatever the physical route says now.
  AddBypassRoute(Prefix("10.2.0.0", 16), RouteOrigin::List);
  SetPhysicalRoute(kFamilyIPv4, Via(7, "192.168.7.1"));
  Scenario("delete-fail 5\n");
  const size_t before = Journal().size();
  ClearBypassRoutes();
  EXPECT_EQ(Journal(before), std::vector<std::string>{"delete if=12 dest=10.2.0.0/16" + via + "5"});
  EXPECT_TRUE(Recorded().empty());

  // Windows makes no route to a multicast or class E destination, nor on
  // an interface that does not exist: failed, not recorded, no line left.
  SetPhysicalRoute(kFamilyIPv4, Via(12, "192.168.1.1"));
  EXPECT_FALSE(AddBypassRoute(Prefix("224.0.0.0", 4), RouteOrigin::List));
  EXPECT_FALSE(AddBypassRoute(Prefix("240.0.0.0", 4), RouteOrigin::List));
  SetPhysicalRoute(kFamilyIPv4, Via(99, "192.168.1.1"));
  EXPECT_FALSE(AddBypassRoute(Prefix("10.3.0.0", 16), RouteOrigin::List));
  EXPECT_EQ(Count(Journal(before), " rc=87"), 2u);
  EXPECT_EQ(Count(Journal(before), " rc=1168"), 1u);
  EXPECT_TRUE(Recorded().empty());
  EXPECT_TRUE(Listed().empty());
}

// The watcher reads the table before it takes the lock: a route made in
// between looks missing and is found existing. It is the helper's still,
// and goes when the helper's routes go.
// A withdrawn line in the middle is blanked where it lies, and the next
// route takes its slot: a line written anywhere else would leave the
// withdrawn route listed, to be deleted by the next start although another
// program may have made it since.
TEST_F(Routing, AJournalSlotIsBlankedAndTakenAgainInPlace) {
  AddBypassRoute(Prefix("10.0.0.0", 8), RouteOrigin::List);
  AddBypassRoute(Prefix("10.9.9.9", 32), RouteOrigin::Split);
  AddBypassRoute(Prefix("10.2.0.0", 16), RouteOrigin::List);
  ClearSplitHostRoutes();
  EXPECT_EQ(Slots(), (std::vector<std::string>{"12 10.0.0.0/8 192.168.1.1", "",
                                               "12 10.2.0.0/16 192.168.1.1"}));
  AddBypassRoute(Prefix("10.3.0.0", 16), RouteOrigin::List);
  EXPECT_EQ(Slots(),
            (std::vector<std::string>{"12 10.0.0.0/8 192.168.1.1", "12 10.3.0.0/16 192.168.1.1",
                                      "12 10.2.0.0/16 192.168.1.1"}));
}

TEST_F(Routing, ARouteMadeAfterTheWatcherReadTheTableStaysTheHelpers) {
  AddBypassRoute(Prefix("10.5.0.0", 16), RouteOrigin::List);
  FollowPhysicalRoute(kFamilyIPv4, {12, IpAddress::FromIPv4(IPv4("192.168.1.1"))}, {});
  ASSERT_EQ(Listed(), std::vector<std::string>{"12 10.5.0.0/16 192.168.1.1"});
  ClearBypassRoutes();
  EXPECT_EQ(ReadFileBytes(BesideTests(L"iphlpapi-routes.txt")), "") << "left in the system";
}

// What `state` counts is kept as the table changes, through every way a
// route changes: made, moved, lost, made again, looked at again, let go.
TEST_F(Routing, TheCountsFollowEveryChange) {
  Scenario("alias 13 Wi-Fi\n");
  HelperState.TunnelConnected = true;
  const IpAddress gateway = IpAddress::FromIPv4(IPv4("192.168.1.1"));
  const auto counts = [] {
    const RouteCounts now = CountBypassRoutes();
    return std::to_string(now.Routes) + " " + std::to_string(now.SplitRoutes);
  };
  BypassNetsCommand(L"10.5.0.0/16;10.7.0.0/16;198.51.100.0/24");
  ASSERT_TRUE(AddSplitHostRoute(IpAddress::FromIPv4(IPv4("203.0.113.1"))));
  EXPECT_EQ(counts(), "4 1");
  FollowPhysicalRoute(kFamilyIPv4, {13, gateway}, {});  // moved
  EXPECT_EQ(counts(), "4 1");
  FollowPhysicalRoute(kFamilyIPv4, {}, {});  // lost: all wait
  EXPECT_EQ(counts(), "0 0");
  FollowPhysicalRoute(kFamilyIPv4, {13, gateway}, {});  // made again
  EXPECT_EQ(counts(), "4 1");
  FollowPhysicalRoute(kFamilyIPv4, {13, gateway}, {});  // looked at again: all found there
  EXPECT_EQ(counts(), "4 1");
  BypassNetsCommand(L"10.5.0.0/16;10.7.0.0/16");
  EXPECT_EQ(counts(), "3 1");
  ClearSplitHostRoutes();
  EXPECT_EQ(counts(), "2 0");
  BypassNetsCommand(L"");
  EXPECT_EQ(counts(), "0 0");
}

// A domain route lives from its last answer for its longest TTL (at least
// the minimum), stays while the list also wants it, and at the cap the one
// of the oldest answer makes room.
TEST_F(Routing, DomainRoutesLiveByTheirAnswersAndTheCap) {
  HelperState.TunnelConnected = true;
  const DWORD minimum = HelperLimits.DomainRouteMinMs;
  const size_t cap = HelperLimits.DomainRouteCap;
  HelperLimits.DomainRouteMinMs = 300;
  HelperLimits.DomainRouteCap = 3;
  const auto host = [](const char* address) { return IpAddress::FromIPv4(IPv4(address)); };
  const auto made = [&](const char* address) {
    const std::vector<RoutePrefix> recorded = Recorded();
    return std::find(recorded.begin(), recorded.end(), Prefix(address, 32)) != recorded.end();
  };
  BypassNetsCommand(L"203.0.113.2");
  ASSERT_TRUE(AddDomainRoute(host("203.0.113.1"), 0, "a.example"));
  ASSERT_TRUE(AddDomainRoute(host("203.0.113.2"), 0, "a.example"));  // the list's too
  ASSERT_TRUE(AddDomainRoute(host("203.0.113.3"), 0, "b.example"));
  EXPECT_EQ(DomainOfRoute(Prefix("203.0.113.3", 32)), "b.example");
  EXPECT_EQ(CountBypassRoutes().DomainRoutes, 3u);
  Sleep(150);
  ASSERT_TRUE(AddDomainRoute(host("203.0.113.3"), 0, "b.example"));  // answered again
  Sleep(200);
  ExpireDomainRoutes();
  EXPECT_FALSE(made("203.0.113.1"));
  EXPECT_TRUE(made("203.0.113.2")) << "the list still wants it";
  EXPECT_TRUE(made("203.0.113.3")) << "its last answer is recent";
  EXPECT_EQ(DomainOfRoute(Prefix("203.0.113.2", 32)), "");
  // A TTL longer than the minimum counts from the last answer.
  ASSERT_TRUE(AddDomainRoute(host("203.0.113.4"), 1, "c.example"));
  ASSERT_TRUE(AddDomainRoute(host("203.0.113.5"), 0, "c.example"));
  ASSERT_TRUE(AddDomainRoute(host("203.0.113.6"), 0, "c.example"));  // the cap: .3 goes
  EXPECT_FALSE(made("203.0.113.3"));
  Sleep(400);
  ExpireDomainRoutes();
  EXPECT_TRUE(made("203.0.113.4"));
  EXPECT_FALSE(made("203.0.113.5"));
  EXPECT_EQ(CountBypassRoutes().DomainRoutes, 1u);
  ClearDomainRoutes();
  EXPECT_FALSE(made("203.0.113.4"));
  EXPECT_TRUE(made("203.0.113.2"));
  HelperLimits.DomainRouteMinMs = minimum;
  HelperLimits.DomainRouteCap = cap;
}

TEST_F(Routing, InstallingTheListSumsItUp) {
  // One prefix twice is one route of one.
  std::vector<RoutePrefix> list = {Prefix("10.0.0.0", 8), Prefix("192.168.50.0", 24),
                                   Prefix("1.1.1.1", 32), Prefix("10.0.0.0", 8)};
  MarkLog();
  InstallBypassRoutes(list);
  ClearBypassRoutes();
  // Host routes of split applications, one of them also a listed network.
  for (const char* host : {"93.184.216.34", "1.1.1.1", "8.8.8.8"}) {
    AddSplitHostRoute(IpAddress::FromIPv4(IPv4(host)));
  }
  InstallBypassRoutes(list);
  ClearBypassRoutes();
  SetPhysicalRoute(kFamilyIPv4, {});  // nothing captured
  InstallBypassRoutes(list);
  list.clear();
  InstallBypassRoutes(list);  // an empty list says nothing
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "bypass routes: 3/3 installed (3 routes) via ifIndex=12 gw=192.168.1.1",
                       // The split host routes are not the list's.
                       "bypass routes: 3/3 installed (3 routes) via ifIndex=12 gw=192.168.1.1",
                       "no physical default route captured; 3 bypass routes wait",
                       "bypass routes: 0/3 installed (0 routes) via ifIndex=0 gw=0.0.0.0",
                   }));

  // However many entries fail, a bounded number of lines.
  SetPhysicalRoute(kFamilyIPv4, Via(12, "192.168.1.1"));
  std::string failing;
  for (int i = 0; i < 24; i += 2) {  // every other one: none merges
    list.push_back(Prefix(("10.9." + std::to_string(i) + ".0").c_str(), 24));
    failing += "create-fail 10.9." + std::to_string(i) + ".0/24 87\n";
  }
  Scenario(failing);
  MarkLog();
  InstallBypassRoutes(list);
  const std::vector<std::string> log = Log();
  EXPECT_EQ(Count(log, "CreateIpForwardEntry2 failed rc=87"), 5u);
  EXPECT_EQ(Count(log, "route failures not logged: 7 more"), 1u);
  EXPECT_EQ(log.size(), 7u);
}

// Entries that together cover exactly one wider network are made as that
// one route; nothing else is joined, and halves never become a default route.
// Merging never changes which route wins: two prefixes become one only where
// no route beside the list (the system's, the tunnel's AllowedIPs: `limits`)
// has a length from the merged prefix's to the one it replaces and overlaps
// it; such an entry stays a route of its own.
TEST(BypassNetMerging, AdjacentAndNestedNetworksBecomeOneRoute) {
  const struct {
    const wchar_t* list;
    std::vector<std::string> routes;  // "<prefix> <entries it carries>"
    const wchar_t* limits = L"";
  } cases[] = {
      {L"10.0.0.0/9;10.128.0.0/9", {"10.0.0.0/8 2"}},
      {L"10.128.0.0/9;10.0.0.0/9", {"10.0.0.0/8 2"}},  // in any order
      {L"10.192.0.0/10;10.0.0.0/10;10.128.0.0/10;10.64.0.0/10", {"10.0.0.0/8 4"}},
      {L"10.0.0.0/8;10.1.0.0/16;10.1.2.3", {"10.0.0.0/8 3"}},
      {L"10.1.2.3;10.0.0.0/8", {"10.0.0.0/8 2"}},
      {L"10.0.0.0/9;10.128.0.0/9;10.200.0.0/16", {"10.0.0.0/8 3"}},
      {L"10.0.0.0/8;10.0.0.0/8", {"10.0.0.0/8 1"}},
      {L"10.0.1.0/24;10.0.0.0/24;10.0.1.0/24", {"10.0.0.0/23 2"}},  // out of order, twice
      {L"10.0.0.4/30;10.0.0.0/30;10.0.0.8/29", {"10.0.0.0/28 3"}},
      {L"10.0.0.0/24;10.0.1.0/24", {"10.0.0.0/23 2"}},  // the byte order of the address
      {L"10.0.1.0/24;10.0.2.0/24", {"10.0.1.0/24 1", "10.0.2.0/24 1"}},  // not one network
      {L"1.0.0.0/8;2.0.0.0/8;3.0.0.0/8", {"1.0.0.0/8 1", "2.0.0.0/7 2"}},
      {L"10.0.0.0/9;10.128.0.0/10", {"10.0.0.0/9 1", "10.128.0.0/10 1"}},
      {L"0.0.0.0/1;128.0.0.0/1", {"0.0.0.0/1 1", "128.0.0.0/1 1"}},
      {L"::/1;8000::/1", {"::/1 1", "8000::/1 1"}},
      {L"2001:db8::/33;2001:db8:8000::/33;10.0.0.1", {"10.0.0.1/32 1", "2001:db8::/32 2"}},
      {L"10.0.0.0/32;10.0.0.1/32;10.0.0.2/31;10.0.0.4/30", {"10.0.0.0/29 4"}},
      // The tunnel's 10.0.0.0/12 would win over a merged /8 for 10.1.2.x.
      {L"10.0.0.0/8;10.1.2.0/24", {"10.0.0.0/8 1", "10.1.2.0/24 1"}, L"10.0.0.0/12"},
      {L"10.0.0.0/8;10.1.2.0/24;10.200.0.0/16", {"10.0.0.0/8 2", "10.1.2.0/24 1"}, L"10.1.0.0/16"},
      // A route wider than the merged one, or inside the entry, wins or loses either way.
      {L"10.0.0.0/9;10.128.0.0/9", {"10.0.0.0/8 2"}, L"0.0.0.0/1;128.0.0.0/1;0.0.0.0/0"},
      {L"10.0.0.0/8;10.1.2.0/24", {"10.0.0.0/8 2"}, L"10.1.2.0/25;10.1.2.7"},
      {L"10.0.0.0/9;10.128.0.0/9", {"10.0.0.0/8 2"}, L"2001:db8::/32;11.0.0.0/8"},
      // Lengths at both ends count: a tie would leave the route to metrics.
      {L"10.0.0.0/9;10.128.0.0/9", {"10.0.0.0/9 1", "10.128.0.0/9 1"}, L"10.0.0.0/8"},
      {L"10.0.0.0/9;10.128.0.0/9", {"10.0.0.0/9 1", "10.128.0.0/9 1"}, L"10.128.0.0/9"},
      {L"10.0.0.0/8;10.1.2.0/24", {"10.0.0.0/8 1", "10.1.2.0/24 1"}, L"10.1.2.0/24"},
      // Halves stop where a limit lies, and go on beside it.
      {L"10.0.0.0/10;10.64.0.0/10;10.128.0.0/9",
       {"10.0.0.0/10 1", "10.64.0.0/10 1", "10.128.0.0/9 1"},
       L"10.64.0.0/10"},
      {L"10.0.0.0/10;10.64.0.0/10;10.128.0.0/9;11.0.0.0/8", {"10.0.0.0/9 2", "10.128.0.0/9 1", "11.0.0.0/8 1"},
       L"10.128.0.0/9"},
      // A /16 inside a /9 that a limit keeps from becoming a /8.
      {L"10.0.0.0/9;10.1.0.0/16;10.128.0.0/9", {"10.0.0.0/9 2", "10.128.0.0/9 1"}, L"10.0.0.0/8"},
      // Entries kept inside a route merge among themselves, and take in their own.
      {L"10.0.0.0/8;10.1.2.0/24;10.1.3.0/24;10.1.2.3",
       {"10.0.0.0/8 1", "10.1.2.0/23 3"},
       L"10.0.0.0/12"},
      {L"2001:db8::/32;2001:db8:1::/48", {"2001:db8::/32 1", "2001:db8:1::/48 1"}, L"2001:db8::/40"},
      // A listed default route wins over nothing narrower of its own.
      {L"0.0.0.0/0;10.0.0.0/8", {"0.0.0.0/0 1", "10.0.0.0/8 1"}, L"0.0.0.0/0"},
  };
  const auto parse = [](const wchar_t* list) {
    std::vector<RoutePrefix> nets;
    for (const std::wstring& entry : SplitListEntries(list)) {
      RoutePrefix net;
      EXPECT_TRUE(ParseBypassNet(entry, net)) << WideToUtf8(entry);
      nets.push_back(net);
    }
    return nets;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.list)) + " beside " +
                 testing::PrintToString(std::wstring(c.limits)));
    std::vector<std::string> routes;
    for (const MergedNet& net : MergeNets(parse(c.list), parse(c.limits))) {
      routes.push_back(WideToUtf8(FormatPrefix(net.Prefix)) + " " + std::to_string(net.Entries));
    }
    EXPECT_EQ(routes, c.routes);
  }
}

// A walk in pieces (the lock let go in between) sees every route of its
// family once, in order, whatever the piece's size, and a route removed
// between two pieces does not cut the walk short.
TEST(RouteTableWalk, PiecesSeeEachRouteOfTheirFamilyOnce) {
  RouteTable table;
  const char* const addresses[] = {"10.0.0.0", "10.0.0.1", "10.0.0.2", "172.16.0.0", "192.168.1.1"};
  for (const char* address : addresses) table.Insert(Prefix(address, 32), RecordedRoute{});
  table.Insert(Prefix("10.0.0.0", 8), RecordedRoute{});
  for (const wchar_t* address : {L"2001:db8::1", L"2001:db8::2"}) {
    RoutePrefix six{{}, 128};
    ASSERT_TRUE(ParseAddress(address, six.Destination));
    table.Insert(six, RecordedRoute{});
  }
  std::vector<std::string> whole;
  table.ForEach([&](const RoutePrefix& prefix, RecordedRoute&) {
    if (prefix.Destination.IsIPv4()) whole.push_back(WideToUtf8(FormatPrefix(prefix)));
  });
  for (size_t limit : {1, 2, 5, 6, 100}) {
    SCOPED_TRACE(limit);
    for (const uint16_t family : {kFamilyIPv4, kFamilyIPv6}) {
      std::vector<std::string> seen;
      std::optional<RoutePrefix> after;
      do {
        after = table.ForSome(family, after, limit, [&](const RoutePrefix& prefix, RecordedRoute&) {
          EXPECT_EQ(prefix.Destination.Family, family);
          seen.push_back(WideToUtf8(FormatPrefix(prefix)));
        });
      } while (after && seen.size() < 20);
      EXPECT_EQ(seen.size(), family == kFamilyIPv4 ? whole.size() : 2u);
      if (family == kFamilyIPv4) {
        EXPECT_EQ(seen, whole);
      }
    }
  }
  std::vector<std::string> seen;
  std::optional<RoutePrefix> after = table.ForSome(
      kFamilyIPv4, std::nullopt, 2,
      [&](const RoutePrefix& prefix, RecordedRoute&) { seen.push_back(WideToUtf8(FormatPrefix(prefix))); });
  ASSERT_TRUE(after);
  table.Erase(*after);  // the last one seen goes before the next piece
  while (after) {
    after = table.ForSome(kFamilyIPv4, after, 2, [&](const RoutePrefix& prefix, RecordedRoute&) {
      seen.push_back(WideToUtf8(FormatPrefix(prefix)));
    });
  }
  EXPECT_EQ(seen, whole);
}

// The cap counts the split host routes no list entry wants, and lets the
// idlest of them go: a route that joins the list leaves that count, one the
// list lets go comes back into it, idle since its last close.
TEST_F(Routing, TheSplitCapFollowsRoutesIntoAndOutOfTheList) {
  ScopedLimit<size_t> cap(HelperLimits.SplitRouteCap, 2);
  HelperState.TunnelConnected = true;
  const auto host = [](const char* address) { return IpAddress::FromIPv4(IPv4(address)); };
  ASSERT_TRUE(AddSplitHostRoute(host("198.51.100.1")));
  NoteSplitClose(host("198.51.100.1"));  // idle
  ASSERT_TRUE(AddSplitHostRoute(host("198.51.100.2")));
  BypassNetsCommand(L"198.51.100.1");  // the idle one is the list's now
  ASSERT_TRUE(AddSplitHostRoute(host("198.51.100.3"))) << "the list's route took room";
  EXPECT_FALSE(AddSplitHostRoute(host("198.51.100.4"))) << "none idle at the cap";
  BypassNetsCommand(L"");  // the list lets it go: a split route again, idle, over the cap
  ASSERT_TRUE(AddSplitHostRoute(host("198.51.100.5")));
  EXPECT_EQ(Recorded(), (std::vector<RoutePrefix>{Prefix("198.51.100.2", 32),
                                                  Prefix("198.51.100.3", 32),
                                                  Prefix("198.51.100.5", 32)}));
  // Closed, the others idle too; once their time is up they go, the idlest first.
  ScopedLimit<DWORD> idle(HelperLimits.SplitIdleMs, 0);
  NoteSplitClose(host("198.51.100.3"));
  ExpireIdleSplitRoutes();
  EXPECT_EQ(Recorded(), (std::vector<RoutePrefix>{Prefix("198.51.100.2", 32),
                                                  Prefix("198.51.100.5", 32)}));
  EXPECT_EQ(Listed().size(), 2u) << Joined(Listed());
}

TEST(BypassNetEntries, ParseAsWrittenAndNeverWidenAMistake) {
  const struct {
    const wchar_t* entry;
    const char* network;  // nullptr: skipped
    int prefixLength;
  } cases[] = {
      {L"192.168.1.10", "192.168.1.10", 32},
      {L"10.1.2.3/8", "10.0.0.0", 8},
      {L"0.0.0.0/0", "0.0.0.0", 0},
      {L"10.9.8.7/0", "0.0.0.0", 0},  // written out: taken as written
      {L"10.0.0.0/08", "10.0.0.0", 8},
      {L"10.0.0.0/32", "10.0.0.0", 32},
      {L"10.0.0.0/8 \t ", "10.0.0.0", 8},
      {L"172.31.255.255/12", "172.16.0.0", 12},
      // A typo in the length never becomes a wider route.
      {L"10.0.0.0/0x18", nullptr, 0},
      {L"10.0.0.0/0.255.255.255", nullptr, 0},
      {L"192.168.1.0/2.4", nullptr, 0},
      {L"172.16.0.0/1 6", nullptr, 0},
      {L"10.0.0.0/ 8", nullptr, 0},
      {L"10.0.0.0/8x", nullptr, 0},
      {L"10.0.0.0/+8", nullptr, 0},
      {L"10.0.0.0/-0", nullptr, 0},
      {L"10.0.0.0/008", nullptr, 0},
      {L"10.0.0.0/", nullptr, 0},
      {L"10.0.0.0/x", nullptr, 0},
      {L"10.0.0.0/-", nullptr, 0},
      {L"10.0.0.0/33", nullptr, 0},
      {L"10.0.0.0/-1", nullptr, 0},
      {L"10.0.0.0/4294967304", nullptr, 0},
      {L"10.0.0.0/1234567890123456789012345678901234567890", nullptr, 0},
      {L"300.1.1.1/8", nullptr, 0},
      {L"/8", nullptr, 0},
      {L"10.0.0.0 /8", nullptr, 0},
      {L"1.2.3", nullptr, 0},
      {L"\x0661.2.3.4", nullptr, 0},  // an Arabic-Indic digit
      // IPv6 by the same rules, lengths up to 128 in up to three digits.
      {L"2001:db8::/32", "2001:db8::", 32},
      {L"2001:db8:1::5", "2001:db8:1::5", 128},
      {L"2001:db8:ff::1/40", "2001:db8::", 40},
      {L"::/0", "::", 0},
      {L"2001:db8::/128", "2001:db8::", 128},
      {L"2001:db8::/048", "2001:db8::", 48},
      {L"::/", nullptr, 0},
      {L"fe80::/x", nullptr, 0},
      {L"2001:db8::/129", nullptr, 0},
      {L"2001:db8::/0048", nullptr, 0},
      {L"2001:db8::/ 32", nullptr, 0},
      {L"2001:db8::/0x20", nullptr, 0},
      {L"fe80::1%7", nullptr, 0},
      {L"[2001:db8::1]", nullptr, 0},
      {L"[2001:db8::1]:80", nullptr, 0},
      {L"2001:db8:::1", nullptr, 0},
      // IPv4-mapped entries are IPv4 ones; a mapped /96 or shorter is no network.
      {L"::ffff:1.2.3.4", "1.2.3.4", 32},
      {L"::ffff:1.2.3.0/120", "1.2.3.0", 24},
      {L"::FFFF:10.9.8.7/104", "10.0.0.0", 8},
      {L"::ffff:0:0/96", nullptr, 0},
      {L"::ffff:0:0/95", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.entry)));
    RoutePrefix net;
    const bool parsed = ParseBypassNet(c.entry, net);
    ASSERT_EQ(parsed, c.network != nullptr);
    if (parsed) {
      EXPECT_EQ(WideToUtf8(FormatAddress(net.Destination)), c.network);
      EXPECT_EQ(net.Length, c.prefixLength);
    }
  }
}

TEST_F(Routing, TheListCommandTrimsSkipsAndInstallsOnlyWhileConnected) {
  MarkLog();
  BypassNetsCommand(L"  10.1.2.3/8 ;\t192.168.1.10\r;;  ; bad;10.0.0.0/8;10.0.0.0/16");
  const std::vector<RoutePrefix> expected = {Prefix("10.0.0.0", 8), Prefix("192.168.1.10", 32),
                                             Prefix("10.0.0.0", 8), Prefix("10.0.0.0", 16)};
  EXPECT_EQ(PublishedBypassNets(), expected);
  EXPECT_TRUE(Journal().empty()) << "no route while the tunnel is down";
  EXPECT_EQ(Log(), std::vector<std::string>{"bypass nets set: 4"});
}

// While connected a new list replaces the old one's routes: those of entries
// that left it go (once), new ones come, and split host routes stay; the
// summary counts the list's entries and routes after the change.
TEST_F(Routing, ANewListReplacesTheRoutesOfTheOldOneWhileConnected) {
  HelperState.TunnelConnected = true;
  ASSERT_TRUE(
      WriteFileBytes(BesideTests(L"iphlpapi-routes.txt"), "12 10.9.0.0/16 192.168.1.1 1 3\n"));
  const struct {
    const wchar_t* list;
    std::vector<std::string> changes;  // creates and deletes, in order
    const char* summary;               // nullptr: no summary line
  } steps[] = {
      // Someone else's route counts as there; the split host route is not the list's.
      {L"10.1.0.0/16;10.9.0.0/16",
       {"create 10.1.0.0/16", "create 10.9.0.0/16"},
       "2/2 installed (2 routes)"},
      {L"10.1.0.0/24;10.2.0.0/16;10.2.0.0/16",
       // 10.9.0.0/16 was someone else's: dropped, never deleted.
       {"delete 10.1.0.0/16", "create 10.1.0.0/24", "create 10.2.0.0/16"},
       "2/2 installed (2 routes)"},  // the list's distinct prefixes
      {L"", {"delete 10.1.0.0/24", "delete 10.2.0.0/16"}, nullptr},
  };
  AddSplitHostRoute(IpAddress::FromIPv4(IPv4("10.1.0.7")));
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(step.list)));
    const size_t before = Journal().size();
    MarkLog();
    BypassNetsCommand(step.list);
    std::vector<std::string> changes;
    for (const std::string& line : Journal(before)) {
      if (line.rfind("create", 0) != 0 && line.rfind("delete", 0) != 0) continue;  // a table read
      const size_t dest = line.find("dest=") + 5;
      changes.push_back(line.substr(0, 7) + line.substr(dest, line.find(' ', dest) - dest));
    }
    EXPECT_EQ(changes, step.changes);
    const std::vector<std::string> log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), step.summary ? std::string("bypass routes: ") + step.summary +
                                             " via ifIndex=12 gw=192.168.1.1"
                                       : log[0]);
  }
  EXPECT_EQ(Recorded(), std::vector<RoutePrefix>{Prefix("10.1.0.7", 32)});
  EXPECT_EQ(Listed(), std::vector<std::string>{"12 10.1.0.7/32 192.168.1.1"});
}

// The list merges beside the routes that lead elsewhere than its own: the
// system's table as the install reads it, and the tunnel's AllowedIPs. A
// route that goes the helper's way (the physical interface and gateway)
// changes nothing where it wins, and limits nothing.
TEST_F(Routing, TheListIsMergedBesideTheRoutesThatLeadElsewhere) {
  HelperState.TunnelConnected = true;
  const struct {
    const char* what;
    std::string scenario;
    std::vector<RoutePrefix> allowed;
    std::vector<std::string> made;
  } cases[] = {
      {"nothing beside it", "", {}, {"10.0.0.0/8"}},
      {"the tunnel's AllowedIPs", "", {Prefix("10.0.0.0", 12)}, {"10.0.0.0/8", "10.1.2.0/24"}},
      {"another interface's route", "route 10.0.0.0 255.240.0.0 10.99.0.1 31 5\n", {},
       {"10.0.0.0/8", "10.1.2.0/24"}},
      {"an on-link route of the physical interface", "route 10.0.0.0 255.240.0.0 0.0.0.0 12 5\n",
       {}, {"10.0.0.0/8", "10.1.2.0/24"}},
      {"a route through the physical gateway", "route 10.0.0.0 255.240.0.0 192.168.1.1 12 5\n",
       {}, {"10.0.0.0/8"}},
      {"a route wider than the merged one", "route 0.0.0.0 128.0.0.0 10.99.0.1 31 5\n", {},
       {"10.0.0.0/8"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scenario(c.scenario);
    SetTunnelNetworks({}, c.allowed);
    const size_t before = Journal().size();
    BypassNetsCommand(L"10.0.0.0/8;10.1.2.0/24");
    std::vector<std::string> made;
    for (const std::string& call : RouteCalls(Journal(before), "create")) {
      made.push_back(call.substr(5, call.find(' ') - 5));
    }
    EXPECT_EQ(made, c.made);
    ClearBypassRoutes();
  }
  SetTunnelNetworks({}, {});
}

// Replays the journal against a model of the system's table: every route
// created is deleted exactly once, and nothing is left at the end.
void ExpectEveryCreatedRouteDeletedOnce(const std::vector<std::string>& journal) {
  std::set<std::string> live;
  for (const std::string& line : journal) {
    const size_t dest = line.find("dest=");
    const std::string route = line.substr(dest, line.find(' ', dest) - dest);
    const bool ok = line.size() > 5 && line.compare(line.size() - 5, 5, " rc=0") == 0;
    if (line.rfind("create", 0) == 0 && ok) {
      EXPECT_TRUE(live.insert(route).second) << "created twice: " << line;
    } else if (line.rfind("delete", 0) == 0) {
      EXPECT_TRUE(ok) << line;
      EXPECT_EQ(live.erase(route), 1u) << "deleted without being there: " << line;
    }
  }
  EXPECT_TRUE(live.empty()) << live.size() << " routes left, e.g. " << *live.begin();
}

TEST_F(Routing, ThreadsAddingAndClearingNeverLoseOrDoubleARoute) {
  // Two threads racing for the same destinations create each once.
  for (uint32_t round = 0; round < 50; ++round) {
    const uint32_t destination = htonl(0x0A640000 + round);
    std::thread a([=] { AddSplitHostRoute(IpAddress::FromIPv4(destination)); });
    std::thread b([=] { AddSplitHostRoute(IpAddress::FromIPv4(destination)); });
    a.join();
    b.join();
  }
  EXPECT_EQ(Recorded().size(), 50u);
  size_t creates = 0;
  for (const std::string& line : Journal()) creates += line.rfind("create", 0) == 0;
  EXPECT_EQ(creates, 50u) << "a destination was created by both threads";
  ClearBypassRoutes();

  // Adders against a clearer.
  std::atomic<bool> running{true};
  std::vector<std::thread> adders;
  for (int t = 0; t < 3; ++t) {
    adders.emplace_back([&running, t] {
      std::mt19937 random(t);
      while (running) AddSplitHostRoute(IpAddress::FromIPv4(htonl(0x0A650000 + random() % 32)));
    });
  }
  std::thread clearer([&running] {
    while (running) {
      ClearBypassRoutes();
      Sleep(5);
    }
  });
  Sleep(1500);
  running = false;
  for (std::thread& adder : adders) adder.join();
  clearer.join();
  ClearBypassRoutes();
  const std::vector<std::string> journal = Journal();
  EXPECT_GT(journal.size(), 150u) << "the threads hardly ran";
  ExpectEveryCreatedRouteDeletedOnce(journal);
  EXPECT_EQ(ReadFileBytes(BesideTests(L"iphlpapi-routes.txt")), "");
}

}  // namespace

namespace {

SIZE_T CommittedBytes(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  // PagefileUsage: Wine reports another process's PrivateUsage as 0.
  return GetProcessMemoryInfo(process, &counters, sizeof(counters)) ? counters.PagefileUsage : 0;
}

// Whatever a client sends as a list, the helper answers, counts what it
// took, keeps serving, and does not grow.
TEST(BypassNetsCommand, AnyListIsAnsweredCountedAndForgotten) {
  RemoveHelperServices();
  HelperRig rig(L"bypassnets");
  ASSERT_TRUE(rig.StartConsole());
  std::string tenThousand;
  for (int i = 0; i < 10000; ++i) {
    tenThousand += "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".0/24;";
  }
  const struct {
    std::string list;
    const char* logged;
  } cases[] = {
      {"\x01\xff garbage;;/;//;1.2.3.4/;\t;300.0.0.1;1.2.3.4/8/8;\xe2\x80\x8b",
       "bypass nets set: 0"},  // 1.2.3.4/8/8 is not a length
      {tenThousand, "bypass nets set: 10000"},
      {std::string(kRequestLimitBytes - 11, ';'), "bypass nets set: 0"},
  };
  SIZE_T first = 0;
  for (int round = 0; round < 15; ++round) {
    for (const auto& c : cases) {
      ASSERT_EQ(Send("bypassnets " + c.list), "OK");
      if (round == 0) {
        EXPECT_EQ(rig.Log().back(), c.logged);
      }
      ASSERT_EQ(Send("ping"), "OK");
    }
    if (round == 2) first = CommittedBytes(rig.ConsoleProcess());
  }
  const SIZE_T last = CommittedBytes(rig.ConsoleProcess());
  ASSERT_GT(first, 0u);
  EXPECT_LT(last, first + 1024 * 1024) << "grew from " << first << " to " << last << " bytes";
}

}  // namespace

namespace {

TEST(RouteJournalLines, ReadBackExactlyAndNothingElse) {
  JournaledRoute route;
  ASSERT_TRUE(ParseRouteJournalLine("7 10.0.0.0/8 192.168.1.1", route));
  EXPECT_EQ(RouteJournalLine(route), "7 10.0.0.0/8 192.168.1.1");
  EXPECT_EQ(route.InterfaceIndex, 7u);
  EXPECT_EQ(route.Prefix.Length, 8u);
  // Written back as read, every field at its widest and narrowest.
  for (const char* line :
       {"4294967295 255.255.255.255/32 0.0.0.0", "1 0.0.0.0/0 10.0.0.1",
        "12 2001:db8::/32 fe80::1 luid=18446744073709551615", "3 2001:db8::1/128 fe80::1 luid=1",
        "9 ::/0 2001:db8:0:1::ab luid=1407374883553280"}) {
    ASSERT_TRUE(ParseRouteJournalLine(line, route)) << line;
    EXPECT_EQ(RouteJournalLine(route), line);
  }
  for (const char* damaged :
       {"", "7 10.0.0.0/8", "0 10.0.0.0/8 192.168.1.1", "4294967296 10.0.0.0/8 192.168.1.1",
        "4294967297 10.0.0.0/8 192.168.1.1", "7 4294967306.0.0.0/8 192.168.1.1",
        "7 10.0.0.0/33 192.168.1.1", "7 10.0.0/8 192.168.1.1", "7 10.0.0.0/8 192.168.1.1 ",
        " 7 10.0.0.0/8 192.168.1.1", "7 10.0.0.0/8 192.168.1.256", "7 10.0.0.0/-8 192.168.1.1",
        "7 010.0.0.0/8 192.168.1.1", "7 10.0.0.0/8  192.168.1.1",
        // Only the form the helper writes: no leading zeros, no host bits.
        "007 10.0.0.0/8 192.168.1.1", "7 10.0.0.0/08 192.168.1.1", "7 10.1.0.0/8 192.168.1.1",
        "9 ::f/6 ::", "9 2001:db8::/032 fe80::1", "7 10.0.0.0/8 192.168.1.1 luid=007"}) {
    EXPECT_FALSE(ParseRouteJournalLine(damaged, route)) << damaged;
  }
  // A slot as the file holds it: padded to its width, then CR LF.
  const std::string line = "7 10.0.0.0/8 192.168.1.1";
  const std::string padded = line + std::string(kLongestJournalLine - line.size(), ' ');
  const struct {
    std::string slot;
    JournalSlot kind;
  } slots[] = {
      {padded + "\r", JournalSlot::Route},
      {padded, JournalSlot::Route},
      {std::string(kLongestJournalLine, ' ') + "\r", JournalSlot::Withdrawn},
      {"", JournalSlot::Withdrawn},
      {padded + " \r", JournalSlot::Damaged},  // wider than any slot
      {"7 10.0.0.0/8 192.168.1.1x\r", JournalSlot::Damaged},
  };
  for (const auto& c : slots) {
    JournaledRoute read;
    EXPECT_EQ(ReadJournalSlot(c.slot, read), c.kind) << c.slot;
    if (c.kind == JournalSlot::Route) EXPECT_EQ(RouteJournalLine(read), line);
  }
}

// In-process, with the stand-in beside the test programs: in this group.
// Back from sleep the network watcher looks at once, as after a change; any
// other power event leaves it be. (Only the system sends power events, so
// the handler is called as the manager would.)
TEST(FollowingTheNetworkAfterSleep, ResumeMakesTheWatcherLook) {
  ScratchDataDirectory data(L"power");
  ASSERT_TRUE(data.Ready());
  const std::wstring journal = BesideTests(L"iphlpapi-journal.txt");
  DeleteFileW(journal.c_str());
  StartNetworkWatch();
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  Sleep(500);
  const size_t beforeResume = Count(ReadLines(journal), "table buffer=0");
  EXPECT_EQ(
      ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr, nullptr),
      static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(WaitUntil([&] { return Count(ReadLines(journal), "table buffer=0") == 1; }, 2000));
  StopNetworkWatch();
  EXPECT_EQ(beforeResume, 0u) << "a look without a resume";
}

}  // namespace

// Per-app split: which socket events lead to a host route, how the list is
// matched against real processes, how the sniffer starts and stops, and what
// it does against other threads. In-process against the WinDivert and IP
// Helper stand-ins beside this test program, with real processes to name;
// the variants of the library (missing, without an entry point, failing)
// through the real QuorvelHelper.exe, since a loaded library stays loaded.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_io.h"
#include "rig.h"
#include "routing/bypass_nets.h"
#include "routing/network_watch.h"
#include "routing/route_table.h"
#include "service_harness.h"
#include "split/process_match.h"
#include "split/sniffer.h"
#include "split/split_apps.h"
#include "support/address.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/paths.h"
#include "test_server.h"
#include "tunnel/session.h"
#include "windivert_standin.h"

namespace {

uint32_t HostOrder(const char* text) { return ntohl(IPv4(text)); }

// The destinations of the routes created (or deleted), in order.
std::vector<std::string> Created(const std::vector<std::string>& journal,
                                 const std::string& kind = "create") {
  std::vector<std::string> destinations;
  for (const std::string& call : RouteCalls(journal, kind)) {
    destinations.push_back(call.substr(5, call.find(' ') - 5));
  }
  return destinations;
}
std::vector<std::string> Deleted(const std::vector<std::string>& journal) {
  return Created(journal, "delete");
}

class Sniffer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The helper's sniffer loads this very file; the test feeds it.
    HMODULE module = LoadLibraryW(BesideTests(L"WinDivert.dll").c_str());
    ASSERT_TRUE(module) << ErrorText(GetLastError());
    feed_ = reinterpret_cast<WinDivertStandinFeedFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertStandinFeed")));
    waitIdle_ = reinterpret_cast<WinDivertStandinWaitIdleFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertStandinWaitIdle")));
    feedLine_ = reinterpret_cast<WinDivertStandinFeedLineFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertStandinFeedLine")));
    ASSERT_TRUE(feed_ && waitIdle_ && feedLine_);
  }
  void SetUp() override {
    for (const wchar_t* name : {L"iphlpapi-scenario.txt", L"iphlpapi-routes.txt",
                                L"iphlpapi-journal.txt", L"windivert-journal.txt"}) {
      DeleteFileW(BesideTests(name).c_str());
    }
    ASSERT_TRUE(data_.Ready());
    // Interface 7, which the routes go through, exists.
    ASSERT_TRUE(WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"), "alias 7 Ethernet\n"));
    IN_ADDR gateway{};
    inet_pton(AF_INET, "192.168.1.1", &gateway);
    SetPhysicalRoute(kFamilyIPv4, {7, IpAddress::FromIPv4(gateway.s_addr)});
    IpAddress gateway6;
    ParseAddress(L"fe80::1", gateway6);
    SetPhysicalRoute(kFamilyIPv6, {7, gateway6});
    HelperState.SplitApps = std::make_shared<const SplitAppList>();
    {
      MutexLock lock(HelperState.BypassNetLock);
      HelperState.BypassNetList.clear();
    }
    HelperState.TunnelConnected = true;
    browser_ = StartNamedProcess(root_, L"Browser.EXE");
    ASSERT_TRUE(browser_.valid());
  }
  void TearDown() override {
    StopNetworkWatch();  // an empty list while connected starts it again
    StopSniffer();
    ClearBypassRoutes();
    HelperState.TunnelConnected = false;
    browser_.Kill();
  }

  // Starts the sniffer through the list command and waits for its handle.
  void StartSplitting(const wchar_t* list) {
    SplitAppsCommand(list);
    ASSERT_TRUE(WaitForLogText(LogFilePath(), 0, "WinDivert socket sniffer started", 5000));
  }
  // Hands events to the sniffer and waits until it has handled them all.
  void Events(std::vector<WinDivertStandinEvent> events) {
    feed_(events.data(), static_cast<UINT>(events.size()));
    ASSERT_TRUE(waitIdle_(5000)) << "the sniffer did not take its events";
  }
  static WinDivertStandinEvent Connect(DWORD pid, const char* address) {
    return {4, 0, pid, HostOrder(address)};
  }
  std::vector<std::string> RouteJournal() {
    return ReadLines(BesideTests(L"iphlpapi-journal.txt"));
  }
  std::vector<std::string> SnifferJournal() {
    return ReadLines(BesideTests(L"windivert-journal.txt"));
  }

  // Hands feed-file lines ("connect v6 <pid> <address>") to the sniffer.
  void EventLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) ASSERT_TRUE(feedLine_(line.c_str())) << line;
    ASSERT_TRUE(waitIdle_(5000)) << "the sniffer did not take its events";
  }

  static WinDivertStandinFeedFn feed_;
  static WinDivertStandinWaitIdleFn waitIdle_;
  static WinDivertStandinFeedLineFn feedLine_;
  ScratchDataDirectory data_{L"split"};
  const std::wstring& root_ = data_.Root();
  RunningProcess browser_;
};
WinDivertStandinFeedFn Sniffer::feed_ = nullptr;
WinDivertStandinWaitIdleFn Sniffer::waitIdle_ = nullptr;
WinDivertStandinFeedLineFn Sniffer::feedLine_ = nullptr;

TEST_F(Sniffer, OnlyConnectsOfListedApplicationsToRoutableAddressesAreRouted) {
  RunningProcess other = StartNamedProcess(root_, L"other.exe");
  RunningProcess gone = StartNamedProcess(root_, L"browser.exe");
  const DWORD goneId = gone.Id();
  gone.Kill();
  Sleep(1500);  // Wine still names a process for a moment after it ended
  StartSplitting(L"browser.exe");
  const DWORD listed = browser_.Id();
  std::vector<WinDivertStandinEvent> events = {
      Connect(listed, "93.184.216.34"),
      {3, 0, listed, HostOrder("9.9.9.1")},  // bind, listen, accept, close
      {5, 0, listed, HostOrder("9.9.9.2")},
      {6, 0, listed, HostOrder("9.9.9.3")},
      {7, 0, listed, HostOrder("9.9.9.4")},
      Connect(listed, "0.0.0.0"),
      Connect(listed, "255.255.255.255"),
      Connect(0, "10.0.0.1"),
      Connect(4, "10.0.0.2"),
      Connect(other.Id(), "10.0.0.3"),
      Connect(goneId, "10.0.0.4"),
      // Private addresses are routed; loopback, this network, link-local,
      // multicast and class E never leave through the physical network.
      Connect(listed, "127.0.0.1"),
      Connect(listed, "10.1.1.1"),
      Connect(listed, "224.0.0.1"),
      Connect(listed, "239.255.255.250"),
      Connect(listed, "169.254.7.7"),
      Connect(listed, "0.1.2.3"),
      Connect(listed, "240.0.0.1"),
  };
  for (int i = 0; i < 10; ++i) events.push_back(Connect(listed, "1.2.3.4"));
  Events(events);
  // IPv6: a /128 through the IPv6 route; an IPv4 peer of a dual-stack socket
  // is an IPv4 destination; ::, ::1, link-local and multicast never.
  const std::string pid = " " + std::to_string(listed) + " ";
  EventLines({"connect v6" + pid + "2001:db8::5", "connect v6" + pid + "::ffff:8.8.4.4",
              "connect v6" + pid + "::", "connect v6" + pid + "::1", "connect v6" + pid + "fe80::1",
              "connect v6" + pid + "febf::1", "connect v6" + pid + "ff02::1",
              "close v6" + pid + "2001:db8::6",
              "connect v6 " + std::to_string(other.Id()) + " 2001:db8::7"});
  EXPECT_EQ(
      Created(RouteJournal()),
      (std::vector<std::string>{"93.184.216.34/32", "10.1.1.1/32", "1.2.3.4/32",
                                "2001:db8::5/128", "8.8.4.4/32"}));
  EXPECT_EQ(Count(RouteJournal(), "if=7 "), 5u);
  EXPECT_EQ(Count(RouteJournal(), "nexthop=fe80::1 "), 1u);
}

// File names exactly after folding A-Z; with a "\" a full path, its case
// ignored as Windows ignores it in file names; with a "+" a launcher and
// every process it started, directly or not.
TEST_F(Sniffer, ListEntriesMatchByNamePathOrLauncher) {
  SplitAppsCommand(L"App.exe; app.exe  ;\tAPP.EXE;my app.exe; ;Steam.EXE+;C:\\G\\L.exe+;C:\\A.exe");
  const SplitAppList& list = *HelperState.SplitApps;
  EXPECT_EQ(list.Names, (std::set<std::wstring>{L"app.exe", L"my app.exe"}));
  EXPECT_EQ(list.LaunchedBy, (std::set<std::wstring>{L"steam.exe"}));
  EXPECT_EQ(list.LaunchedByPaths, (std::vector<std::wstring>{L"C:\\G\\L.exe"}));
  EXPECT_EQ(list.Paths, (std::vector<std::wstring>{L"C:\\A.exe"}));

  // Cyrillic capitals, which the folding leaves alone.
  RunningProcess cyrillic =
      StartNamedProcess(root_, L"\x0411\x0420\x0410\x0423\x0417\x0415\x0420.exe");
  ASSERT_TRUE(cyrillic.valid());
  std::vector<RunningProcess> chain =
      StartProcessChain(root_, {L"launcher.exe", L"child.exe", L"grandchild.exe"});
  ASSERT_EQ(chain.size(), 3u);
  const DWORD launcher = chain[0].Id(), child = chain[1].Id(), grandchild = chain[2].Id();
  StartSplitting(L"browser.exe");
  auto upper = [](std::wstring text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
  };
  auto slashed = [](std::wstring text) {
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
  };
  const struct {
    std::wstring list;
    DWORD pid;
    const char* address;
    bool routed;
  } cases[] = {
      {L"browser.exe", browser_.Id(), "10.7.0.1", true},
      {L"BROWSER.exe", browser_.Id(), "10.7.0.2", true},
      {L"\x0431\x0440\x0430\x0443\x0437\x0435\x0440.exe", cyrillic.Id(), "10.7.0.4", false},
      {L"\x0411\x0420\x0410\x0423\x0417\x0415\x0420.EXE", cyrillic.Id(), "10.7.0.5", true},
      // With a "\" an entry is a full path, its case ignored as Windows
      // ignores it in file names: Cyrillic too.
      {root_ + L"\\Browser.EXE", browser_.Id(), "10.7.1.1", true},
      {upper(root_) + L"\\bROWSER.exe", browser_.Id(), "10.7.1.2", true},
      {root_ + L"\\x\\Browser.EXE", browser_.Id(), "10.7.1.3", false},
      {root_ + L"\\\x0431\x0440\x0430\x0443\x0437\x0435\x0440.exe", cyrillic.Id(), "10.7.1.4",
       true},
      {slashed(root_) + L"/Browser.EXE", browser_.Id(), "10.7.1.5", false},  // a name, never a path
      {L"launcher.exe+", launcher, "10.7.2.1", true},
      {L"launcher.exe+", child, "10.7.2.2", true},
      {L"launcher.exe+", grandchild, "10.7.2.3", true},
      {L"launcher.exe+", browser_.Id(), "10.7.2.4", false},
      {L"launcher.exe", child, "10.7.2.5", false},
      {L"launcher.exe", grandchild, "10.7.2.6", false},
      {L"child.exe+", launcher, "10.7.2.7", false},
      {L"child.exe+", grandchild, "10.7.2.8", true},
      {upper(root_) + L"\\LAUNCHER.exe+", grandchild, "10.7.2.9", true},
      {root_ + L"\\x\\launcher.exe+", grandchild, "10.7.2.10", false},
      {L"other.exe", browser_.Id(), "10.7.0.6", false},  // taken off: applies at once
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    SplitAppsCommand(c.list);
    const size_t before = Created(RouteJournal()).size();
    Events({Connect(c.pid, c.address)});
    EXPECT_EQ(Created(RouteJournal()).size() - before, c.routed ? 1u : 0u);
  }
  // A launcher that has ended still counts for what it started.
  chain[0].Kill();
  SplitAppsCommand(L"launcher.exe+");
  Events({Connect(grandchild, "10.7.3.1")});
  EXPECT_EQ(Created(RouteJournal()).back(), "10.7.3.1/32");
  EXPECT_EQ(Count(SnifferJournal(), "open "), 1u) << "a list change restarted the sniffer";
}

// Connections open before the sniffer started (or before their process was
// listed) get their routes at once, each counted once, and hold them until
// they close.
TEST_F(Sniffer, OpenConnectionsOfListedApplicationsAreRoutedAndCounted) {
  RunningProcess other = StartNamedProcess(root_, L"other.exe");
  const std::string listed = " " + std::to_string(browser_.Id()) + "\n";
  WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"),
                 "alias 7 Ethernet\ntcp 10.0.0.2:50001 198.51.100.1:443 established" + listed +
                     "tcp 10.0.0.2:50002 198.51.100.2:443 established" + listed +
                     "tcp 10.0.0.2:50003 198.51.100.3:443 time-wait" + listed +
                     "tcp 10.0.0.2:50004 198.51.100.4:443 syn-sent " + std::to_string(other.Id()) +
                     "\n");
  StartSplitting(L"browser.exe");
  ASSERT_TRUE(WaitForLogText(LogFilePath(), 0,
                             "split: 2 open connections of listed applications routed", 5000));
  EXPECT_EQ(Created(RouteJournal()),
            (std::vector<std::string>{"198.51.100.1/32", "198.51.100.2/32"}));
  // Listed later: only the newly listed process's connection is new; one
  // seen connecting since (its endpoint holds it) is not counted again.
  Events({Connect(browser_.Id(), "198.51.100.5")});
  WriteFileBytes(BesideTests(L"iphlpapi-scenario.txt"),
                 ReadFileBytes(BesideTests(L"iphlpapi-scenario.txt")) +
                     "tcp 10.0.0.2:50005 198.51.100.5:443 established" + listed);
  SplitAppsCommand(L"browser.exe;other.exe");
  EXPECT_TRUE(WaitForLogText(LogFilePath(), 0,
                             "split: 1 open connections of listed applications routed", 5000));
  EXPECT_EQ(Created(RouteJournal()).back(), "198.51.100.4/32");
  EXPECT_EQ(Created(RouteJournal()).size(), 4u);

  // A second connection to .1 seen connecting; .1 idles once both closed,
  // .2 never closed; closes of processes never counted change nothing.
  ScopedLimit<DWORD> idle(HelperLimits.SplitIdleMs, 0);
  Events({Connect(browser_.Id(), "198.51.100.1"),
          {7, 0, browser_.Id(), HostOrder("198.51.100.1")},
          {7, 0, other.Id(), HostOrder("198.51.100.2")},
          {7, 0, 0, HostOrder("198.51.100.2")}});
  ExpireIdleSplitRoutes();
  EXPECT_EQ(Count(RouteJournal(), "delete "), 0u) << "a route went while a connection held it";
  Events({{7, 0, browser_.Id(), HostOrder("198.51.100.1")},
          {7, 0, browser_.Id(), HostOrder("198.51.100.1")}});  // one close too many
  ExpireIdleSplitRoutes();
  ExpireIdleSplitRoutes();
  EXPECT_EQ(Deleted(RouteJournal()), (std::vector<std::string>{"198.51.100.1/32"}));
}

// At the cap the route idle longest makes room; with none idle, new
// destinations stay in the tunnel, said once. The list's routes do not count.
TEST_F(Sniffer, SplitHostRoutesAreCapped) {
  ScopedLimit<size_t> cap(HelperLimits.SplitRouteCap, 3);
  BypassNetsCommand(L"10.0.0.0/8");
  StartSplitting(L"browser.exe");
  const DWORD pid = browser_.Id();
  const auto close = [&](const char* address) {
    Events({{7, 0, pid, HostOrder(address)}});
    Sleep(50);  // the idle times must differ
  };
  Events({Connect(pid, "1.0.0.1"), Connect(pid, "1.0.0.2"), Connect(pid, "1.0.0.3")});
  close("1.0.0.2");
  close("1.0.0.1");
  Events({Connect(pid, "1.0.0.4")});
  Events({Connect(pid, "1.0.0.5")});
  Events({Connect(pid, "1.0.0.6"), Connect(pid, "1.0.0.7")});
  EXPECT_EQ(Created(RouteJournal()),
            (std::vector<std::string>{"10.0.0.0/8", "1.0.0.1/32", "1.0.0.2/32", "1.0.0.3/32",
                                      "1.0.0.4/32", "1.0.0.5/32"}));
  EXPECT_EQ(Deleted(RouteJournal()), (std::vector<std::string>{"1.0.0.2/32", "1.0.0.1/32"}))
      << "the longest idle goes first";
  EXPECT_EQ(Count(LogTextsSince(LogFilePath(), 0),
                  "split host routes at the limit of 3; new destinations stay in the tunnel"),
            1u);
}

// Start and stop: one thread and one handle however often they are asked,
// the specified open, a prompt stop, and the order of its last steps.
TEST_F(Sniffer, StartsOnceAndStopsPromptlyInOrder) {
  StartSniffer();
  StartSniffer();
  ASSERT_TRUE(WaitForLogText(LogFilePath(), 0, "WinDivert socket sniffer started", 5000));
  AddSplitHostRoute(IpAddress::FromIPv4(htonl(HostOrder("10.8.0.1"))));
  AddBypassRoute({IpAddress::FromIPv4(htonl(HostOrder("10.8.0.0"))), 16}, RouteOrigin::List);

  // With the route table held, the stop must still get as far as the
  // thread's last log line, and no further: its routes are cleared after,
  // and the list's stay.
  MutexLock hold(Routes.Lock);
  const ULONGLONG start = GetTickCount64();
  std::thread stopper([] { StopSniffer(); });
  const bool logged = WaitForLogText(LogFilePath(), 0, "WinDivert sniffer stopped", 5000);
  const ULONGLONG took = GetTickCount64() - start;
  const size_t deletesWhileHeld = Count(RouteJournal(), "delete ");
  hold.Unlock();
  stopper.join();
  EXPECT_TRUE(logged);
  EXPECT_LT(took, 1000u) << "no socket event came; the stop must not wait for one";
  EXPECT_EQ(deletesWhileHeld, 0u);
  EXPECT_EQ(Deleted(RouteJournal()), std::vector<std::string>{"10.8.0.1/32"});

  StopSniffer();  // stopped already: nothing at all
  AddSplitHostRoute(IpAddress::FromIPv4(htonl(HostOrder("10.9.0.1"))));
  StopSniffer();
  EXPECT_EQ(Count(RouteJournal(), "delete "), 1u) << "a stopped sniffer cleared routes";
  const std::vector<std::string> journal = SnifferJournal();
  EXPECT_EQ(Count(journal, "open filter=\"(event == CONNECT or event == CLOSE) and not loopback\" layer=3 "
                           "priority=0 flags=5 rc=ok"), 1u);
  EXPECT_EQ(Count(journal, "shutdown how=1"), 1u);
  EXPECT_EQ(Count(journal, "close"), 1u);
}

// Its host routes go; the bypass networks keep theirs, one that a split
// application also reached included.
TEST_F(Sniffer, AnEmptyListWhileConnectedStopsItAndTakesOnlyItsRoutes) {
  BypassNetsCommand(L"10.0.0.0/8;1.1.1.2/32");
  StartSplitting(L"browser.exe");
  Events({Connect(browser_.Id(), "1.1.1.1"), Connect(browser_.Id(), "1.1.1.2")});
  SplitAppsCommand(L" ; ");
  EXPECT_FALSE(SnifferHandleOpen());
  std::set<std::wstring> kept;
  MutexLock lock(Routes.Lock);
  for (const RoutePrefix& prefix : Routes.Prefixes()) kept.insert(FormatPrefix(prefix));
  EXPECT_EQ(kept, (std::set<std::wstring>{L"1.1.1.2/32", L"10.0.0.0/8"}));
  EXPECT_EQ(Deleted(RouteJournal()), std::vector<std::string>{"1.1.1.1/32"});
}

// Events against list changes and clears from other threads: no crash, no
// route created without being recorded (so every one is deleted at the
// end), and none after the stop has returned.
TEST_F(Sniffer, EventsAgainstListChangesAndClears) {
  StartSplitting(L"browser.exe");
  std::atomic<bool> running{true};
  std::thread feeder([&] {
    std::mt19937 random(1);
    while (running) {
      std::vector<WinDivertStandinEvent> burst;
      for (int i = 0; i < 20; ++i) {
        burst.push_back({4, 0, browser_.Id(), 0x0A000000u + random() % 64});
      }
      feed_(burst.data(), static_cast<UINT>(burst.size()));
      Sleep(1);
    }
  });
  std::thread lists([&] {
    for (int i = 0; running; ++i)
      SplitAppsCommand(i % 2 ? L"browser.exe" : L"other.exe;browser.exe");
  });
  std::thread clearer([&] {
    while (running) {
      ClearBypassRoutes();
      Sleep(7);
    }
  });
  Sleep(1500);
  running = false;
  lists.join();
  clearer.join();
  StopSniffer();
  const size_t afterStop = RouteJournal().size();
  feeder.join();
  Sleep(200);
  EXPECT_EQ(RouteJournal().size(), afterStop) << "a route came after the stop";
  EXPECT_GT(Created(RouteJournal()).size(), 10u) << "the sniffer hardly ran";
  EXPECT_EQ(ReadFileBytes(BesideTests(L"iphlpapi-routes.txt")), "") << "a route was left behind";
}

// The library as the real helper meets it: missing, incomplete, failing,
// without the optional entry points, or in two places.
TEST(SnifferLibrary, VariantsThroughTheRealHelper) {
  RemoveHelperServices();
  const struct {
    const char* name;
    const wchar_t* library;
    const char* scenario;
    std::vector<std::string> log;  // the sniffer's lines after a connect
    bool routes;
  } cases[] = {
      {"missing", nullptr, "", {"WinDivert.dll not loaded; per-app split disabled"}, false},
      {"norecv",
       L"WinDivert-norecv.dll",
       "",
       {"WinDivert exports missing; per-app split disabled"},
       false},
      {"openfail", L"WinDivert.dll", "open-fail 5\n", {"WinDivertOpen failed err=5"}, false},
      {"noformat", L"WinDivert-noformat.dll", "", {"WinDivert socket sniffer started"}, true},
      {"noshutdown", L"WinDivert-noshutdown.dll", "", {"WinDivert socket sniffer started"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HelperRig rig(L"sniffer-" + std::wstring(c.name, c.name + strlen(c.name)),
                  RigLayout{c.library, RigLayout::Tool::InAwgFolder});
    WriteFileBytes(rig.Dir() + L"\\windivert-scenario.txt", c.scenario);
    ASSERT_TRUE(rig.StartConsole());
    RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
    ASSERT_EQ(Send("splitapps browser.exe"), "OK");
    ASSERT_EQ(Send("connect " + ToBase64("x")), "OK");
    ASSERT_TRUE(rig.WaitForLog(c.log[0], 5000));
    EXPECT_EQ(Send("splitapps browser.exe"), "OK");  // no new attempt while ended early
    rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) + " 8.8.4.4\n");
    rig.WaitForRoute("8.8.4.4/32", c.routes ? 5000 : 300);
    EXPECT_EQ(Count(rig.RouteJournal(), "dest=8.8.4.4/32"), c.routes ? 1u : 0u);

    // A stop is prompt whether or not the library can shut a receive down.
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Send("splitapps"), "OK");
    EXPECT_LT(GetTickCount64() - start, 1000u);
    std::vector<std::string> expected = c.log;
    if (c.routes) {
      expected.push_back("WinDivert queue: 16384 events, 16000 ms");  // the largest it takes
      expected.push_back("WinDivert sniffer stopped");
    }
    std::vector<std::string> sniffer;
    for (const std::string& line : rig.Log()) {
      if (line.find("WinDivert") != std::string::npos) sniffer.push_back(line);
    }
    EXPECT_EQ(sniffer, expected);
  }

  // Beside the helper wins over the search path.
  HelperRig rig(L"sniffer-path");
  const std::wstring elsewhere = rig.Dir() + L"\\elsewhere";
  CreateDirectoryW(elsewhere.c_str(), nullptr);
  CopyFileW(TestbedFile(L"WinDivert.dll").c_str(), (elsewhere + L"\\WinDivert.dll").c_str(), FALSE);
  ASSERT_TRUE(rig.StartConsole(elsewhere));
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  ASSERT_EQ(Send("connect " + ToBase64("x")), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000));
  EXPECT_EQ(Count(rig.SnifferJournal(), "open "), 1u);
  EXPECT_TRUE(ReadLines(elsewhere + L"\\windivert-journal.txt").empty());
}

// Ancestry as the matcher reads it, without real processes: ids reused,
// parents that ended, a process its own parent.
std::map<uint32_t, ProcessFacts> FakeProcesses;
uint64_t FakeNow = 1000000;  // after every creation time below, unless a case says
uint64_t FakeClock() { return FakeNow; }
bool ReadFakeProcess(uint32_t processId, FactsWanted, ProcessFacts& facts) {
  const auto found = FakeProcesses.find(processId);
  if (found == FakeProcesses.end()) return false;
  facts = found->second;
  return true;
}

// QueryFullProcessImageNameW for a process under LongImagePath.
std::wstring LongImagePath;
BOOL WINAPI QueryLongImageName(HANDLE, DWORD, LPWSTR name, PDWORD size) {
  if (*size <= LongImagePath.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  LongImagePath.copy(name, LongImagePath.size());
  name[LongImagePath.size()] = L'\0';
  *size = static_cast<DWORD>(LongImagePath.size());
  return TRUE;
}

TEST(ProcessMatcher, ALauncherIsAnAncestorThatStartedFirst) {
  FakeProcesses = {
      {10, {100, L"C:\\L\\Launcher.exe", 1}},
      {20, {200, L"C:\\G\\game.exe", 10}},
      {30, {300, L"C:\\G\\helper.exe", 20}},
      // 21's parent id now belongs to a process that started after it.
      {11, {500, L"C:\\L\\launcher.exe", 1}},
      {21, {400, L"C:\\G\\game.exe", 11}},
      {40, {600, L"C:\\X\\loop.exe", 40}},
  };
  auto list = [](const wchar_t* entries) {
    SplitAppsCommand(entries);
    return HelperState.SplitApps;
  };
  ProcessMatcher matcher(ReadFakeProcess, FakeClock);
  const auto launchers = list(L"launcher.exe+;loop.exe+");
  EXPECT_TRUE(matcher.Listed(10, launchers));
  EXPECT_TRUE(matcher.Listed(30, launchers));
  EXPECT_FALSE(matcher.Listed(21, launchers));
  EXPECT_TRUE(matcher.Listed(40, launchers));
  EXPECT_FALSE(matcher.Listed(41, launchers)) << "a process that cannot be read";
  // A new list is matched afresh.
  EXPECT_FALSE(matcher.Listed(30, list(L"launcher.exe;loop.exe+")));
  EXPECT_TRUE(matcher.Listed(20, list(L"C:\\L\\LAUNCHER.EXE+")));

  // A launcher seen before its id was reused: an unrelated program got the
  // id, started a child and ended before the child was ever seen. That
  // child is not the launcher's; one the launcher started while it was
  // seen running is.
  ProcessMatcher reused(ReadFakeProcess, FakeClock);
  const auto launchers2 = list(L"launcher.exe+");
  FakeNow = 1050;
  FakeProcesses[60] = {1000, L"C:\\L\\launcher.exe", 1};
  FakeProcesses[61] = {1020, L"C:\\G\\game.exe", 60};
  EXPECT_TRUE(reused.Listed(60, launchers2));
  FakeNow = 5000;
  FakeProcesses.erase(60);
  FakeProcesses[64] = {2200, L"C:\\U\\child.exe", 60};
  EXPECT_FALSE(reused.Listed(64, launchers2)) << "a reused id taken for the launcher";
  EXPECT_TRUE(reused.Listed(61, launchers2));
  FakeNow = 1000000;

  // A path past MAX_PATH is read whole and matches as a full path.
  const std::wstring deep = L"C:\\" + std::wstring(400, L'd') + L"\\Deep.exe";
  FakeProcesses[50] = {700, deep, 1};
  EXPECT_TRUE(matcher.Listed(50, list((deep + L";x.exe").c_str())));
  LongImagePath = deep;
  std::wstring read;
  ASSERT_TRUE(ProcessImagePath(GetCurrentProcess(), read, QueryLongImageName));
  EXPECT_EQ(read, deep);
  LongImagePath = std::wstring(32768, L'x');
  EXPECT_FALSE(ProcessImagePath(GetCurrentProcess(), read, QueryLongImageName))
      << "past the longest path there is";

  // Ended, the launcher still counts for what it started, having been seen.
  FakeProcesses.erase(10);
  EXPECT_TRUE(matcher.Listed(30, list(L"launcher.exe+")));
  ProcessMatcher fresh(ReadFakeProcess, FakeClock);
  EXPECT_FALSE(fresh.Listed(30, list(L"launcher.exe+")));
  HelperState.SplitApps = std::make_shared<const SplitAppList>();
}

// Split host routes through the real helper with the idle time at 2 s: the
// connections open at connect are routed; a route whose connections closed
// goes once, unless a connect came meanwhile or the list wants it too; the
// rest go once at disconnect.
TEST(SplitHostRoutes, IdleOnesGoAndTheRestGoAtDisconnect) {
  RemoveHelperServices();
  HelperRig rig(L"split-expiry",
                RigLayout{L"WinDivert.dll", RigLayout::Tool::InAwgFolder, L"SplitIdleMs=2000"});
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  RunningProcess other = StartNamedProcess(rig.Dir(), L"other.exe");
  const std::string pid = std::to_string(browser.Id());
  ASSERT_TRUE(rig.WriteRouteScenario(
      std::string(kPhysicalDefaultRoute) + "tcp 10.0.0.2:50001 198.51.100.1:443 established " +
      pid + "\ntcp 10.0.0.2:50002 198.51.100.2:443 established " + pid +
      "\ntcp 10.0.0.2:50003 198.51.100.3:443 time-wait " + pid +
      "\ntcp 10.0.0.2:50004 198.51.100.4:443 established " + std::to_string(other.Id()) + "\n"));
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("bypassnets 203.0.113.3/32"), "OK");
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
  ASSERT_TRUE(rig.WaitForLog("split: 2 open connections of listed applications routed", 5000));
  EXPECT_EQ(Created(rig.RouteJournal()),
            (std::vector<std::string>{"203.0.113.3/32", "198.51.100.1/32", "198.51.100.2/32"}));

  const auto connect = [&](const char* address) {
    return "connect v4 " + pid + " " + address + "\n";
  };
  const auto close = [&](const char* address) { return "close v4 " + pid + " " + address + "\n"; };
  ASSERT_TRUE(rig.FeedSocketEvents(connect("203.0.113.1") + close("203.0.113.1") +
                                   connect("203.0.113.2") + close("203.0.113.2") +
                                   connect("203.0.113.3") + close("203.0.113.3")));
  ASSERT_TRUE(rig.WaitForRoute("203.0.113.2/32", 5000));
  const size_t listed = rig.ListedRoutes().size();
  EXPECT_EQ(listed, 5u);
  Sleep(1000);
  ASSERT_TRUE(rig.FeedSocketEvents(connect("203.0.113.2")));
  EXPECT_TRUE(
      WaitUntil([&] { return Count(rig.RouteJournal(), "dest=203.0.113.1/32") == 2; }, 5000));
  Sleep(2500);  // long enough for the others to have gone, were they going
  EXPECT_EQ(Deleted(rig.RouteJournal()), (std::vector<std::string>{"203.0.113.1/32"}));
  EXPECT_EQ(rig.ListedRoutes().size(), listed - 1) << "the journal still lists the route";

  ASSERT_EQ(Send("disconnect"), "OK");
  std::vector<std::string> created = Created(rig.RouteJournal());
  std::vector<std::string> deleted = Deleted(rig.RouteJournal());
  std::sort(created.begin(), created.end());
  std::sort(deleted.begin(), deleted.end());
  EXPECT_EQ(deleted, created) << "every route deleted exactly once";
  EXPECT_TRUE(rig.ListedRoutes().empty());
}

// A UDP socket (QUIC, WebRTC, a game) reports a connect for every remote it
// sends to and one close for the endpoint, naming one remote or none: the
// close releases them all, they idle out, and the cap has room again.
TEST(SplitHostRoutes, AUdpSocketsCloseReleasesEveryRemoteItReached) {
  RemoveHelperServices();
  HelperRig rig(L"split-udp", RigLayout{L"WinDivert.dll", RigLayout::Tool::InAwgFolder,
                                         L"SplitIdleMs=500"});
  RunningProcess game = StartNamedProcess(rig.Dir(), L"game.exe");
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("splitapps game.exe;browser.exe"), "OK");
  ASSERT_EQ(Send("connect " + ToBase64("[Interface]\n")), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000));
  const std::string game4 = "connect v4 " + std::to_string(game.Id()) + " ";
  std::string lines;
  for (int i = 0; i < 5000; ++i) {
    lines += game4 + "100." + std::to_string(64 + i / 65536) + "." + std::to_string(i / 256 % 256) +
             "." + std::to_string(i % 256) + " udp ep=77 port=443\n";
  }
  lines += game4 + "100.64.0.0 udp ep=77 port=443\n";  // the same remote again: no event
  ASSERT_TRUE(rig.FeedSocketEvents(lines));
  ASSERT_TRUE(rig.WaitForLog("split host routes at the limit of 4096; new destinations stay in "
                             "the tunnel",
                             20000));
  ASSERT_TRUE(rig.FeedSocketEvents("close v4 " + std::to_string(game.Id()) + " 0.0.0.0 udp ep=77\n"));
  // All of them idle out, though the close named one remote.
  EXPECT_TRUE(WaitUntil([&] { return Deleted(rig.RouteJournal()).size() == 4096; }, 20000))
      << Deleted(rig.RouteJournal()).size() << " deleted";
  ASSERT_TRUE(rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) +
                                   " 198.51.100.9\n"));
  EXPECT_TRUE(rig.WaitForRoute("198.51.100.9/32", 5000)) << "no room made";
  ASSERT_EQ(Send("disconnect"), "OK");
  EXPECT_TRUE(rig.ListedRoutes().empty());
}

// No host route where the tunnel is not the path: the LAN, the tunnel's own
// networks and DNS servers (also those written with a non-breaking space
// around them, pasted from a web page: the tool trims every Unicode white
// space, and a server missed here would take every program's name lookups
// around the tunnel), loopback; a refused create costs one call and one
// line a minute. A helper restarted while the tunnel runs knows them too,
// from the stored configuration.
TEST(SplitHostRoutes, NoneWhereTheTunnelIsNotThePath) {
  RemoveHelperServices();
  HelperRig rig(L"split-path");
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  const std::string scenario = std::string(kPhysicalDefaultRoute) +
                               "route 192.168.1.0 255.255.255.0 0.0.0.0 7 1\n"
                               "alias 30 Quorvel\n"
                               "service-route AmneziaWGTunnel$Quorvel 0.0.0.0 0.0.0.0 10.8.0.1 30 1\n"
                               "create-fail 203.0.113.9/32 87\n";
  ASSERT_TRUE(rig.WriteRouteScenario(scenario));
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  ASSERT_EQ(Send("connect " + ToBase64("[Interface]\nAddress = 10.8.0.2/24, fd00:8::2/64\n"
                                       "DNS = 10.8.0.1,\xC2\xA0" "9.9.9.9, corp.example\n"
                                       "DNS\xC2\xA0= 149.112.112.112\xC2\xA0\n")),
            "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000));
  const std::string pid = std::to_string(browser.Id());
  const auto feed = [&](const std::vector<std::string>& addresses) {
    std::string lines;
    for (const std::string& address : addresses) {
      lines += "connect " + std::string(address.find(':') != std::string::npos ? "v6 " : "v4 ") +
               pid + " " + address + "\n";
    }
    ASSERT_TRUE(rig.FeedSocketEvents(lines));
  };
  const std::vector<std::string> notThere = {
      "192.168.1.50", "192.168.1.255", "10.8.0.1",    "10.8.0.77",   "9.9.9.9",
      "149.112.112.112", "127.0.0.1",  "fd00:8::9",   "203.0.113.9", "203.0.113.9"};
  feed(notThere);
  feed({"93.184.216.34"});
  ASSERT_TRUE(rig.WaitForRoute("93.184.216.34/32", 5000));
  EXPECT_EQ(Created(rig.RouteJournal()),
            (std::vector<std::string>{"203.0.113.9/32", "93.184.216.34/32"}));
  EXPECT_EQ(Count(rig.RouteJournal(), "dest=203.0.113.9/32"), 1u) << "the refused create again";
  EXPECT_EQ(Count(rig.Log(), "CreateIpForwardEntry2 failed rc=87 for 203.0.113.9/32"), 1u);

  // The tunnel's adapter made again, with another index: still the path.
  std::string remade = scenario;
  for (const char* index : {"alias 30", " 30 1\n"}) {
    const std::string from(index);
    remade.replace(remade.find(from), from.size(), std::string(from).replace(from.find("30"), 2, "31"));
  }
  ASSERT_TRUE(rig.WriteRouteScenario(remade));
  feed({"192.168.1.60", "198.51.100.20"});
  EXPECT_TRUE(rig.WaitForRoute("198.51.100.20/32", 5000));
  EXPECT_EQ(Count(rig.RouteJournal(), "dest=192.168.1.60/32"), 0u);

  rig.KillConsole();  // the tunnel stays up
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000, 2));
  feed({"10.8.0.1", "9.9.9.9", "149.112.112.112", "198.51.100.7"});
  ASSERT_TRUE(rig.WaitForRoute("198.51.100.7/32", 5000));
  EXPECT_EQ(Count(rig.RouteJournal(), "create pid"), 4u) << "one of the tunnel's own routed";
  ASSERT_EQ(Send("disconnect"), "OK");
}

}  // namespace

// The connect and disconnect road through the pipe of the real
// QuorvelHelper.exe, with the tunnel tool, IP Helper and WinDivert stand-ins
// beside it: what the tool is asked, what the file holds, which outcome each
// kind of tool failure gives, and in which order things happen.
#include <windows.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "client_io.h"
#include "rig.h"
#include "routing/route_journal.h"
#include "service_harness.h"
#include "support/data_directory.h"
#include "support/log.h"
#include "support/protocol.h"
#include "support/text.h"
#include "test_server.h"

namespace {

constexpr wchar_t kTunnelService[] = L"AmneziaWGTunnel$Quorvel";
// For tests that only need the waits to end, not their product lengths.
constexpr wchar_t kShortWaits[] =
    L"ComeUpMs=1500;AfterFailedInstallMs=500;BetweenInstallsMs=100;AfterRollbackMs=1500;"
    L"DisconnectMs=1500";
const RigLayout kShortWaitsRig{L"WinDivert.dll", RigLayout::Tool::InAwgFolder, kShortWaits};
const std::string kConfig = "[Interface]\r\nPrivateKey = abc\r\n";

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

// The command lines the tool was started with.
std::vector<std::string> ToolRuns(const HelperRig& rig) {
  std::vector<std::string> runs;
  for (const std::string& line : Starting(rig.ToolJournal(), "run pid=")) {
    const std::string commandLine = line.substr(line.find("cmdline=") + 8);
    if (commandLine.find("/tunnelservice") == std::string::npos) runs.push_back(commandLine);
  }
  return runs;
}

std::string Connect(const std::string& configuration) {
  return Send("connect " + ToBase64(configuration));
}

// The log without the lines that name who asked.
std::vector<std::string> WhatWasDone(const HelperRig& rig) {
  std::vector<std::string> done;
  for (const std::string& line : rig.Log()) {
    if (line.rfind("request from ", 0) != 0) done.push_back(line);
  }
  return done;
}

using ConnectAndDisconnect = WithoutHelperServices;

// Everything a connect and a disconnect do, in order. The stand-in shows a
// default route of the tunnel's own (interface 30, lower metric) while the
// tunnel service exists, so a capture made with a tunnel installed would
// take it.
TEST_F(ConnectAndDisconnect, ConnectReconnectAndDisconnectInOrder) {
  HelperRig rig(L"road");
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) +
                                     "service-route AmneziaWGTunnel$Quorvel 0.0.0.0 0.0.0.0 "
                                     "10.66.0.1 30 5\n"
                                     "note-service AmneziaWGTunnel$Quorvel\n"));
  ASSERT_TRUE(rig.StartConsole());
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"Browser.EXE");
  ASSERT_TRUE(browser.valid());

  EXPECT_EQ(Send("bypassnets 10.0.0.0/8;192.168.50.0/24"), "OK");
  EXPECT_EQ(Send("splitapps browser.exe"), "OK");
  EXPECT_EQ(Connect("first"), "OK");
  EXPECT_EQ(Connect(kConfig), "OK");  // replaces the tunnel that is up
  EXPECT_EQ(Send("status"), "RUNNING");
  // The second connect's sniffer: an event fed before it opens is not seen.
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000, 2)) << Joined(rig.Log());
  ASSERT_TRUE(
      rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) + " 93.184.216.34\n"));
  rig.WaitForRoute("93.184.216.34/32", 5000);
  EXPECT_EQ(Send("disconnect"), "OK");
  EXPECT_EQ(Send("status"), "STOPPED");

  const std::string tool = Narrow(rig.ToolDir()) + "\\amneziawg.exe";
  const std::string install =
      "\"" + tool + "\" /installtunnelservice \"" + Narrow(rig.ConfigPath()) + "\"";
  const std::string uninstall = "\"" + tool + "\" /uninstalltunnelservice Quorvel";
  EXPECT_EQ(ToolRuns(rig), (std::vector<std::string>{install, uninstall, install, uninstall}));
  size_t examined = 0;
  for (const std::string& environment : Starting(rig.ToolJournal(), "run-env ")) {
    if (environment.find("stdout=none") != std::string::npos) continue;  // the service's own
    EXPECT_EQ(environment.substr(0, 24), "console=none show=hide s") << "a window for the tool";
    ++examined;
  }
  EXPECT_EQ(examined, 4u) << "not every run of the tool was looked at";
  EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), kConfig);

  // Routes only once the tunnel runs (both connects); all of them deleted by
  // the second connect and by the disconnect.
  const std::string row = " nexthop=192.168.1.1 site=0 metric=1 protocol=3 other=changed:Publish rc=0 ";
  std::vector<std::string> changes;
  for (const std::string& line : rig.RouteJournal()) {
    if (line.rfind("create ", 0) != 0 && line.rfind("delete ", 0) != 0) continue;
    changes.push_back(line.substr(0, 6) + " " + line.substr(line.find("dest=")));
  }
  EXPECT_EQ(changes, (std::vector<std::string>{
                         "create dest=10.0.0.0/8" + row + "AmneziaWGTunnel$Quorvel=running",
                         "create dest=192.168.50.0/24" + row + "AmneziaWGTunnel$Quorvel=running",
                         "delete dest=10.0.0.0/8" + row + "AmneziaWGTunnel$Quorvel=absent",
                         "delete dest=192.168.50.0/24" + row + "AmneziaWGTunnel$Quorvel=absent",
                         "create dest=10.0.0.0/8" + row + "AmneziaWGTunnel$Quorvel=running",
                         "create dest=192.168.50.0/24" + row + "AmneziaWGTunnel$Quorvel=running",
                         "create dest=93.184.216.34/32" + row + "AmneziaWGTunnel$Quorvel=running",
                         // The sniffer's host route as it stops, then the list's
                         // in key order (unsigned values of network byte order).
                         "delete dest=93.184.216.34/32" + row + "AmneziaWGTunnel$Quorvel=running",
                         "delete dest=10.0.0.0/8" + row + "AmneziaWGTunnel$Quorvel=running",
                         "delete dest=192.168.50.0/24" + row + "AmneziaWGTunnel$Quorvel=running",
                     }));
  // The physical route is captured with no tunnel installed (never
  // interface 30), and the sniffer starts after the routes are in.
  const std::vector<std::string> expectedLog = {
      "bypass nets set: 2",
      "physical default route: ifIndex=7",
      "no physical IPv6 default route",
      "bypass routes: 2/2 installed (2 routes) via ifIndex=7 gw=192.168.1.1",
      "WinDivert socket sniffer started",
      "WinDivert queue: 16384 events, 16000 ms",
      "WinDivert sniffer stopped",
      "physical default route: ifIndex=7",
      "no physical IPv6 default route",
      "bypass routes: 2/2 installed (2 routes) via ifIndex=7 gw=192.168.1.1",
      "WinDivert socket sniffer started",
      "WinDivert queue: 16384 events, 16000 ms",
      "WinDivert sniffer stopped",
  };
  EXPECT_EQ(WhatWasDone(rig), expectedLog);
}

// Each kind of failing tool, and what the helper leaves behind.
TEST_F(ConnectAndDisconnect, InstallOutcomes) {
  HelperRig rig(L"outcomes", kShortWaitsRig);
  ASSERT_TRUE(rig.StartConsole());
  const struct {
    const char* behaviour;
    const char* reply;
    size_t installs;
    bool uninstalled;  // the helper removed what the tool left
    const char* logged;
  } cases[] = {
      {"", "OK", 1, false, nullptr},
      {"install-fail-first 1 3\n", "OK", 2, false, "amneziawg.exe exited 3: "},
      {"install-fail-first 3\n", "ERR connect failed", 3, false, "tunnel install failed"},
      // Installs the service, then reports failure: the later attempts find
      // it there and fail too, and it must not stay.
      {"install-exit 1\n", "ERR connect failed", 3, true, "tunnel install failed"},
      {"start-pending-forever\n", "ERR connect failed", 1, true,
       "tunnel did not come up; uninstalling to restore connectivity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    // Up first, so that a failure must also take the connected state down.
    ASSERT_TRUE(rig.WriteToolBehaviour(""));
    ASSERT_EQ(Connect(kConfig), "OK");
    ASSERT_TRUE(RemoveServiceAndWait(kTunnelService));
    DeleteFileW((rig.ToolDir() + L"\\amneziawg-state.txt").c_str());
    DeleteFileW((rig.ToolDir() + L"\\amneziawg-journal.txt").c_str());
    ASSERT_TRUE(rig.WriteToolBehaviour(c.behaviour));
    const size_t logBefore = rig.Log().size();

    EXPECT_EQ(Connect(kConfig), c.reply);
    const std::vector<std::string> runs = ToolRuns(rig);
    EXPECT_EQ(Count(runs, "/installtunnelservice"), c.installs) << Joined(runs);
    EXPECT_EQ(Count(runs, "/uninstalltunnelservice"), c.uninstalled ? 1u : 0u) << Joined(runs);
    const bool up = std::string(c.reply) == "OK";
    EXPECT_EQ(ServiceExists(kTunnelService), up);
    std::vector<std::string> log = rig.Log();
    log.erase(log.begin(), log.begin() + logBefore);
    if (c.logged) {
      EXPECT_EQ(Count(log, c.logged), 1u) << Joined(log);
    }

    // Connected or not decides whether a new list routes at once.
    const size_t routesBefore = Count(rig.RouteJournal(), "create ");
    EXPECT_EQ(Send("bypassnets 10.9.0.0/16"), "OK");
    EXPECT_EQ(Count(rig.RouteJournal(), "create ") - routesBefore, up ? 1u : 0u);
    EXPECT_EQ(Send("bypassnets"), "OK");
  }
}

TEST_F(ConnectAndDisconnect, ConfigurationFileHoldsTheTextAsSent) {
  HelperRig rig(L"config");
  ASSERT_TRUE(rig.StartConsole());
  // UTF-8 without a byte-order mark, line ends and non-ASCII kept, nothing
  // after a NUL.
  const std::string text = "[Interface]\r\nName = \xD0\x9F\xD1\x80\xD0\xB8\n\r\n";
  EXPECT_EQ(Connect(text + std::string("\0after", 6)), "OK");
  EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), text);
  EXPECT_EQ(ReadFileBytes(rig.ToolDir() + L"\\amneziawg-last.conf"), text);
  EXPECT_EQ(Connect("second"), "OK");
  EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), "second");
  EXPECT_EQ(Send("disconnect"), "OK");
  EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), "second") << "a disconnect keeps the file";

  // What is not Base64 runs nothing and changes nothing.
  for (const std::string& payload :
       {std::string("not base64!"), std::string("c2Vjb25k_-"), std::string("c2Vjb25"),
        std::string(" c2Vjb25k"), std::string()}) {
    EXPECT_EQ(Send("connect " + payload), "ERR bad base64") << payload;
  }
  EXPECT_EQ(Count(ToolRuns(rig), "/installtunnelservice"), 2u);
  EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), "second");
  // A payload as long as a request may be is taken, one byte more is not.
  const std::string longest = ToBase64(std::string(786426, 'x'));
  ASSERT_EQ(longest.size() + 8, kRequestLimitBytes);
  EXPECT_EQ(Send("connect " + longest), "OK");
  EXPECT_EQ(Send("connect " + longest + "="), "ERR request too long");
  EXPECT_EQ(Send("ping"), "OK");
}

// A hard link or a symbolic link planted as Quorvel.conf is replaced by the
// new file, never written through: its target keeps its content and the
// name holds the whole new text.
TEST_F(ConnectAndDisconnect, LinksPlantedAsTheConfigurationFileAreReplaced) {
  HelperRig rig(L"config-links");
  ASSERT_TRUE(rig.StartConsole());  // its start check makes the data directory
  const std::wstring target = rig.Dir() + L"\\outside.txt";
  const struct {
    const char* what;
    bool (*plant)(const std::wstring& link, const std::wstring& target);
  } cases[] = {
      {"hard link",
       [](const std::wstring& link, const std::wstring& to) {
         return CreateHardLinkW(link.c_str(), to.c_str(), nullptr) != FALSE;
       }},
      {"symbolic link", PlantSymbolicLink},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileBytes(target, "outside"));
    // The previous connect's file, or a link an aborted run left (which the
    // rig's clean-up cannot remove under Wine).
    RemoveSymbolicLink(rig.ConfigPath());
    ASSERT_TRUE(c.plant(rig.ConfigPath(), target)) << ErrorText(GetLastError());
    ASSERT_EQ(ReadFileBytes(rig.ConfigPath()), "outside") << "the link does not lead there";

    EXPECT_EQ(Connect(kConfig), "OK");
    EXPECT_EQ(ReadFileBytes(target), "outside") << "written through the link";
    EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), kConfig);
    EXPECT_EQ(ReadFileBytes(rig.ToolDir() + L"\\amneziawg-last.conf"), kConfig);
    EXPECT_EQ(GetFileAttributesW((rig.ConfigPath() + L".new").c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

// A symbolic link planted as the data directory. Windows renames the link
// itself aside; Wine renames its target (or fails to) and leaves the link,
// so the helper must refuse to write the configuration file. Wine-only: on
// Windows see the README's real-Windows checks.
TEST_F(ConnectAndDisconnect, DataDirectoryPlantedAsALinkIsRefused) {
  if (!RunningUnderWine()) GTEST_SKIP() << "checked by hand on Windows (README)";
  const struct {
    const wchar_t* rig;
    const char* what;
    bool ancestor;  // the link leads to the rig's own folder
  } cases[] = {
      // Wine moves the target aside (whole) and the link is left leading
      // nowhere: nothing can be written there any more.
      {L"planted-link", "link to a directory beside", false},
      // Wine cannot move a directory into itself: the link stays and still
      // leads there, so the refusal is all that keeps the helper's files
      // (its log among them) out.
      {L"planted-ancestor", "link to a directory Wine cannot move", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HelperRig rig(c.rig);
    const std::wstring target = c.ancestor ? rig.Dir() : rig.Dir() + L"\\planted";
    CreateDirectoryW(target.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(target + L"\\kept.txt", "kept"));
    ASSERT_TRUE(PlantSymbolicLink(rig.DataDir(), target));
    struct LinkRemover {
      std::wstring link;
      ~LinkRemover() { RemoveSymbolicLink(link); }
    } remover{rig.DataDir()};
    ASSERT_TRUE(rig.StartConsole());

    EXPECT_EQ(Send("ping"), "OK");
    EXPECT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
    EXPECT_EQ(Connect(kConfig), "ERR connect failed");
    EXPECT_TRUE(ToolRuns(rig).empty()) << Joined(ToolRuns(rig));
    // Nothing written through the link, and nothing lost: a target moved
    // aside keeps what it held.
    std::wstring holder = target;
    if (!c.ancestor) {
      WIN32_FIND_DATAW found;
      HANDLE search =
          FindFirstFileW((rig.Dir() + L"\\ProgramData\\Quorvel.untrusted-*").c_str(), &found);
      ASSERT_NE(search, INVALID_HANDLE_VALUE) << "the target was not renamed aside";
      FindClose(search);
      holder = rig.Dir() + L"\\ProgramData\\" + found.cFileName;
      EXPECT_EQ(GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(ReadFileBytes(holder + L"\\kept.txt"), "kept");
    for (const wchar_t* name :
         {L"helper.log", L"routes.journal", L"Quorvel.conf", L"Quorvel.conf.new"}) {
      EXPECT_EQ(GetFileAttributesW((holder + L"\\" + name).c_str()), INVALID_FILE_ATTRIBUTES)
          << Narrow(name) << " written where the helper does not trust";
    }
  }
}

// Where the tool is looked for, and what happens when it is not there or
// cannot be started.
TEST_F(ConnectAndDisconnect, ToolLookup) {
  {
    // In awg\ and beside: the one in awg\ is used.
    HelperRig rig(L"lookup-both");
    CopyFileW(TestbedFile(L"amneziawg.exe").c_str(), (rig.Dir() + L"\\amneziawg.exe").c_str(),
              FALSE);
    ASSERT_TRUE(rig.StartConsole());
    EXPECT_EQ(Connect(kConfig), "OK");
    EXPECT_EQ(ToolRuns(rig).size(), 1u);
    EXPECT_EQ(ReadLines(rig.Dir() + L"\\amneziawg-journal.txt").size(), 0u);
  }
  {
    // Only beside.
    HelperRig rig(L"lookup-beside", RigLayout{L"WinDivert.dll", RigLayout::Tool::Beside});
    ASSERT_TRUE(rig.StartConsole());
    EXPECT_EQ(Connect(kConfig), "OK");
    EXPECT_EQ(ToolRuns(rig).size(), 1u);
    EXPECT_EQ(Send("disconnect"), "OK");
  }
  {
    // A directory of that name counts as found and then cannot be run.
    HelperRig rig(L"lookup-directory", RigLayout{L"WinDivert.dll", RigLayout::Tool::None});
    ASSERT_TRUE(CreateDirectoryW((rig.Dir() + L"\\amneziawg.exe").c_str(), nullptr));
    ASSERT_TRUE(rig.StartConsole());
    EXPECT_EQ(Connect(kConfig), "ERR connect failed");
    const std::string failed = "CreateProcess failed: \"" + Narrow(rig.Dir()) +
                               "\\amneziawg.exe\" /installtunnelservice \"" +
                               Narrow(rig.ConfigPath()) + "\"";
    EXPECT_EQ(Count(rig.Log(), failed), 3u) << Joined(rig.Log());
    EXPECT_EQ(Count(rig.Log(), "tunnel install failed"), 1u);
  }
  {
    // None: nothing is touched, not even the configuration file.
    HelperRig rig(L"lookup-none", RigLayout{L"WinDivert.dll", RigLayout::Tool::None});
    ASSERT_TRUE(rig.StartConsole());
    CreateDirectoryW(rig.DataDir().c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(rig.ConfigPath(), "old"));
    EXPECT_EQ(Connect(kConfig), "ERR connect failed");
    EXPECT_EQ(Send("disconnect"), "OK");
    EXPECT_EQ(WhatWasDone(rig), std::vector<std::string>{"amneziawg.exe not found"});
    EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), "old");
    EXPECT_TRUE(rig.RouteJournal().empty()) << "the route table was read";
  }
}

TEST_F(ConnectAndDisconnect, Disconnect) {
  HelperRig rig(L"disconnect", kShortWaitsRig);
  ASSERT_TRUE(rig.StartConsole());
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  // Nothing to take down, twice.
  EXPECT_EQ(Send("disconnect"), "OK");
  EXPECT_EQ(Send("disconnect"), "OK");
  EXPECT_TRUE(ToolRuns(rig).empty());

  // A tunnel service that stays running: the wait is bounded (1.5 s here,
  // 8 s in the product), and the tunnel counts as down afterwards all the
  // same.
  EXPECT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
  EXPECT_EQ(Send("splitapps browser.exe"), "OK");
  EXPECT_EQ(Connect(kConfig), "OK");
  ASSERT_TRUE(rig.WriteToolBehaviour("ignore-uninstall\n"));
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Send("disconnect"), "OK");
  const ULONGLONG took = GetTickCount64() - start;
  EXPECT_GE(took, 1200u);
  EXPECT_LT(took, 5500u);
  EXPECT_EQ(Send("status"), "RUNNING");
  const size_t routes = Count(rig.RouteJournal(), "create ");
  EXPECT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
  EXPECT_EQ(Count(rig.RouteJournal(), "create "), routes) << "routed although disconnected";

  // The next connect brings back the unchanged lists.
  ASSERT_TRUE(rig.WriteToolBehaviour(""));
  ASSERT_TRUE(RemoveServiceAndWait(kTunnelService));
  EXPECT_EQ(Connect(kConfig), "OK");
  EXPECT_EQ(Count(rig.RouteJournal(), "create "), routes + 1);
  // The sniffer's thread logs its start after the reply; give it a moment.
  WaitUntil([&] { return Count(rig.Log(), "WinDivert socket sniffer started") >= 2; }, 5000);
  EXPECT_EQ(Count(rig.Log(), "WinDivert socket sniffer started"), 2u) << Joined(rig.Log());
}

// The helper as a service: a stop leaves the tunnel up and takes every route
// of the helper's down (the stand-in notes the helper's own state at each
// delete: the stop is under way, not done).
TEST_F(ConnectAndDisconnect, ServiceStopKeepsTheTunnelAndTakesEveryRoute) {
  HelperRig rig(L"service");
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) +
                                     "route6 ::/0 fe80::1 7 10\nnote-service QuorvelHelper\n"));
  // Someone else's route, identical to one the helper asks for, stays.
  ASSERT_TRUE(
      WriteFileBytes(rig.Dir() + L"\\iphlpapi-routes.txt", "7 172.16.0.0/12 192.168.1.1 1 3\n"));
  ASSERT_TRUE(rig.InstallService());
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  EXPECT_EQ(Send("bypassnets 10.0.0.0/8;172.16.0.0/12;2001:db8::/32"), "OK");
  EXPECT_EQ(Send("splitapps browser.exe"), "OK");
  EXPECT_EQ(Connect(kConfig), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000)) << Joined(rig.Log());
  ASSERT_TRUE(rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) + " 1.1.1.1\n"));
  ASSERT_TRUE(rig.WaitForRoute("1.1.1.1/32", 5000));
  EXPECT_TRUE(rig.WaitForLog(
      "bypass routes: 3/3 installed (3 routes) via ifIndex=7 gw=192.168.1.1", 0))
      << Joined(rig.Log());

  ASSERT_EQ(ControlNamedService(L"QuorvelHelper", SERVICE_CONTROL_STOP), 0u);
  ASSERT_TRUE(WaitForServiceState(L"QuorvelHelper", SERVICE_STOPPED, 10000));
  EXPECT_EQ(ServiceState(kTunnelService), static_cast<DWORD>(SERVICE_RUNNING));
  // The network watch ended before the first delete: nothing follows a stop.
  std::vector<std::string> order;
  for (const std::string& line : rig.RouteJournal()) {
    if (line.rfind("cancel", 0) == 0 || line.rfind("delete", 0) == 0) {
      order.push_back(line.substr(0, 6));
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"cancel", "cancel", "delete", "delete", "delete"}));
  const std::string row =
      " site=0 metric=1 protocol=3 other=changed:Publish rc=0 QuorvelHelper=stop-pending";
  EXPECT_EQ(RouteCalls(rig.RouteJournal(), "delete"),
            (std::vector<std::string>{
                // The sniffer's host route with the sniffer, then the list's.
                "dest=1.1.1.1/32 nexthop=192.168.1.1" + row,
                "dest=10.0.0.0/8 nexthop=192.168.1.1" + row,
                "dest=2001:db8::/32 nexthop=fe80::1" + row,
            }));
  const std::vector<std::string> log = rig.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "service stopping") << Joined(log);
  EXPECT_EQ(Count(log, "WinDivert sniffer stopped"), 1u) << Joined(log);
}

}  // namespace

namespace {

// A helper that dies (killed, or crashed between journaling a route and
// creating it) leaves its routes in the system; the next start removes
// them, once, and a start after that finds nothing.
TEST_F(ConnectAndDisconnect, RoutesOfAHelperThatDiedGoAtTheNextStart) {
  HelperRig rig(L"recovery");
  const std::wstring systemRoutes = rig.Dir() + L"\\iphlpapi-routes.txt";
  // Someone else's route, identical to one the helper asks for: counted,
  // never deleted (not at a disconnect, not after a kill).
  const std::string theirs = "7 172.16.0.0/12 192.168.1.1 1 3";
  ASSERT_TRUE(WriteFileBytes(systemRoutes, theirs + "\n"));
  ASSERT_TRUE(
      rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) + "create-fail 10.1.0.0/16 87\n"));
  ASSERT_TRUE(rig.StartConsole());
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  EXPECT_EQ(Send("bypassnets 11.0.0.0/8;172.16.0.0/12;10.1.0.0/16"), "OK");
  EXPECT_EQ(Send("splitapps browser.exe"), "OK");
  EXPECT_EQ(Connect(kConfig), "OK");
  EXPECT_EQ(Send("disconnect"), "OK");
  ASSERT_TRUE(RemoveServiceAndWait(kTunnelService));
  EXPECT_EQ(Connect(kConfig), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000, 2));
  ASSERT_TRUE(rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) + " 1.1.1.1\n"));
  ASSERT_TRUE(rig.WaitForRoute("1.1.1.1/32", 5000));
  // The /16 failed; the /24 that replaces it must be what the journal lists.
  EXPECT_EQ(Send("bypassnets 11.0.0.0/8;172.16.0.0/12;10.1.0.0/24;192.168.50.0/24"), "OK");
  rig.KillConsole();  // no stop sequence
  EXPECT_EQ(
      Count(rig.Log(), "bypass routes: 2/3 installed (2 routes) via ifIndex=7 gw=192.168.1.1"), 2u)
      << Joined(rig.Log());
  EXPECT_EQ(
      Count(rig.Log(), "bypass routes: 4/4 installed (4 routes) via ifIndex=7 gw=192.168.1.1"), 1u)
      << Joined(rig.Log());
  ASSERT_EQ(ReadLines(systemRoutes).size(), 5u);

  // A damaged line is skipped and said, never guessed; so is a last line
  // without its line end (a write cut short), however whole it looks.
  ASSERT_TRUE(WriteFileBytes(rig.DataDir() + L"\\routes.journal",
                             ReadFileBytes(rig.DataDir() + L"\\routes.journal") +
                                 "7 10.0.0\r\n7 172.16.0.0/12 192.168.1.1"));
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_TRUE(rig.StartConsole());  // a second start: nothing left to remove
  const std::string row = " nexthop=192.168.1.1 site=0 metric=1 protocol=3 other=changed:Publish rc=0";
  // The start deletes by the LUID each line holds, never by index alone.
  const std::string byLuid =
      " nexthop=192.168.1.1 site=0 metric=1 protocol=3 other=changed:InterfaceLuid,Publish rc=0";
  // In the journal's order, which is its slots' (lines are reused).
  std::vector<std::string> deleted = RouteCalls(rig.RouteJournal(), "delete");
  std::vector<std::string> expected = {"dest=11.0.0.0/8" + row,  // the disconnect
                                       "dest=11.0.0.0/8" + byLuid, "dest=1.1.1.1/32" + byLuid,
                                       "dest=10.1.0.0/24" + byLuid,
                                       "dest=192.168.50.0/24" + byLuid};
  std::sort(deleted.begin(), deleted.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(deleted, expected);
  EXPECT_EQ(ReadLines(systemRoutes), std::vector<std::string>{theirs});
  EXPECT_EQ(Count(rig.Log(), "removed 4 bypass routes left by an earlier run"), 1u)
      << Joined(rig.Log());
  EXPECT_EQ(Count(rig.Log(), "damaged route journal line skipped: 7 10.0.0"), 1u);
  EXPECT_EQ(Count(rig.Log(), "damaged route journal line skipped: 7 172.16.0.0/12 192.168.1.1"),
            1u);
  EXPECT_EQ(Count(rig.Log(), "bypass routes left by an earlier run"), 1u);

  // Crashes inside the creation of routes, after their journal lines: one
  // before the system made the route, one after.
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) +
                                     "create-crash 10.2.0.0/16\ncreate-crash-after 10.3.0.0/16\n"));
  ASSERT_TRUE(RemoveServiceAndWait(kTunnelService));
  EXPECT_EQ(Connect(kConfig), "OK");
  for (const char* list : {"10.1.0.0/16;10.2.0.0/16", "10.3.0.0/16"}) {
    EXPECT_EQ(Send(std::string("bypassnets ") + list), "") << "the helper did not die";
    EXPECT_EQ(WaitForSingleObject(rig.ConsoleProcess(), 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(rig.StartConsole());
    EXPECT_EQ(ReadLines(systemRoutes), std::vector<std::string>{theirs}) << "a route was left";
    ASSERT_TRUE(RemoveServiceAndWait(kTunnelService));
    EXPECT_EQ(Connect(kConfig), "OK");
  }
  EXPECT_EQ(Count(rig.Log(), "removed 1 bypass routes left by an earlier run"), 2u)
      << Joined(rig.Log());

  // The same halfway through a list of 10,000: every line was written
  // before the first row, so the start removes all that were made.
  std::string list;
  for (int i = 0; i < 10000; ++i) {
    list += (i ? ";" : "") + std::string("10.64.") + std::to_string(2 * i / 256) + "." +
            std::to_string(2 * i % 256);
  }
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) +
                                     "create-crash 10.64.39.16/32\n"));  // the 5,001st
  EXPECT_EQ(Send("bypassnets " + list), "") << "the helper did not die";
  EXPECT_EQ(WaitForSingleObject(rig.ConsoleProcess(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(rig.SystemRoutes().size(), 5001u);
  ASSERT_TRUE(rig.StartConsole());
  EXPECT_EQ(ReadLines(systemRoutes), std::vector<std::string>{theirs}) << "a route was left";
  EXPECT_EQ(Count(rig.Log(), "removed 5000 bypass routes left by an earlier run"), 1u)
      << Joined(rig.Log());
}

}  // namespace

namespace {

// The journal makes the helper delete routes, so it must be the helper's
// own: a file an ordinary user planted (possible in a directory of an
// earlier version) is set aside, never believed, and a second helper on the
// same directory keeps its hands off the first one's journal.
TEST_F(ConnectAndDisconnect, TheJournalIsOneHelpersAndNeverAPlantedOne) {
  HelperRig rig(L"journal-owner");
  CreateDirectoryW((rig.Dir() + L"\\ProgramData").c_str(), nullptr);
  CreateDirectoryW(rig.DataDir().c_str(), nullptr);
  const std::string planted = "7 10.99.0.0/16 192.168.1.1\r\n";
  for (const wchar_t* name : {L"routes.journal", L"helper.log"}) {
    const std::wstring outside = rig.Dir() + L"\\outside-" + name;
    ASSERT_TRUE(WriteFileBytes(outside, planted));
    ASSERT_TRUE(CreateHardLinkW((rig.DataDir() + L"\\" + name).c_str(), outside.c_str(), nullptr))
        << ErrorText(GetLastError());
  }
  ASSERT_TRUE(
      WriteFileBytes(rig.Dir() + L"\\iphlpapi-routes.txt", "7 10.99.0.0/16 192.168.1.1 1 3\n"));
  ASSERT_TRUE(rig.StartConsole());
  EXPECT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
  EXPECT_EQ(Connect(kConfig), "OK");
  for (const wchar_t* name : {L"routes.journal", L"helper.log"}) {
    EXPECT_EQ(ReadFileBytes(rig.Dir() + L"\\outside-" + name), planted) << Narrow(name);
    EXPECT_EQ(
        Count(rig.Log(), "data directory file " + Narrow(name) + " not trusted; renamed aside to "),
        1u)
        << Joined(rig.Log());
  }

  // A second helper starting on the same data directory.
  {
    ProgramDataOverride data((rig.Dir() + L"\\ProgramData").c_str());
    ASSERT_TRUE(EnsureTrustedDataDirectory());  // this process's lines go to the same log
    EXPECT_FALSE(TakeOverRouteJournal());
    CloseLogFile();
  }
  EXPECT_EQ(Count(rig.Log(), "route journal held by another helper; this one keeps none"), 1u);
  EXPECT_EQ(Count(rig.RouteJournal(), "delete "), 0u) << Joined(rig.RouteJournal());
  EXPECT_EQ(Count(rig.RouteJournal(), "create "), 1u);
}

}  // namespace

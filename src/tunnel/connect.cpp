#include "tunnel/connect.h"

#include <windows.h>

#include <mutex>
#include <utility>
#include <vector>

#include "routing/physical_route.h"
#include "routing/route_table.h"
#include "split/missed_connections.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/poll.h"
#include "support/progress.h"
#include "tunnel/config_facts.h"
#include "tunnel/config_file.h"
#include "tunnel/service_probes.h"
#include "tunnel/session.h"
#include "tunnel/tool_runner.h"

namespace {

constexpr int kInstallAttempts = 3;
// Around each bounded wait, for the quick work beside it.
constexpr DWORD kStepMarginMs = kShortStepMs;

// A step of a connect or disconnect begins: a stop of the service waits for
// the request under way, and the manager learns how long this step may take.
void Step(DWORD boundMs) { ReportProgress(boundMs + kStepMarginMs); }

DWORD ToolRunAndWaitMs(int waitMs) {
  return HelperLimits.ToolWaitMs + static_cast<DWORD>(waitMs > 0 ? waitMs : 0);
}

std::wstring UninstallArguments() {
  return std::wstring(L"/uninstalltunnelservice ") + HelperState.TunnelName;
}

// Takes a tunnel service that is installed but must not stay (one left from
// before, a failed come-up, a failed install that left one) away, and waits
// up to waitMs for it to go.
void RemoveTunnelService(const std::wstring& tool, int waitMs) {
  if (!TunnelServiceExists()) return;
  Step(ToolRunAndWaitMs(waitMs));
  RunTunnelTool(tool, UninstallArguments());
  WaitForTunnelServiceGone(waitMs);
}

// What the running tunnel's configuration means for bypass and split, said
// once it is up, and kept for "state" and "explain".
void RecordTunnelFacts(const ConfigurationFacts& facts) {
  std::vector<std::wstring> warnings;
  if (facts.SinglePeerTakesAll) {
    warnings.push_back(
        L"warning: the tunnel's single peer takes all traffic (0.0.0.0/0), so the tunnel tool "
        L"blocks traffic outside the tunnel: bypass networks and split applications cannot work; "
        L"AllowedIPs = 0.0.0.0/1, 128.0.0.0/1 sends the same traffic through the tunnel without "
        L"that block");
  }
  const bool physicalIPv6 = PhysicalRouteOf(kFamilyIPv6).Captured();
  if (physicalIPv6 && !facts.TunnelCarriesIPv6) {
    warnings.push_back(L"warning: IPv6 traffic does not enter the tunnel");
  }
  for (const std::wstring& warning : warnings) LogLine(warning);
  std::vector<std::pair<IpAddress, uint16_t>> endpoints;
  for (const PeerEndpoint& endpoint : facts.Endpoints) {
    if (endpoint.Address.Family != 0) endpoints.emplace_back(endpoint.Address, endpoint.Port);
  }
  // Misses are counted from each tunnel's coming up.
  MissedFirstConnections().Start(facts.OwnAddresses, facts.OwnNetworks);
  SetTunnelNetworks(facts.OwnNetworks, facts.AllowedIPs);
  MutexLock lock(HelperState.StateMutex);
  HelperState.TunnelFacts = {facts.SinglePeerTakesAll, std::move(warnings), std::move(endpoints)};
}

// No tunnel of ours is up (any more).
void MarkDisconnected() {
  HelperState.TunnelConnected.exchange(false);
  MissedFirstConnections().Stop();
  SetTunnelNetworks({}, {});
  MutexLock lock(HelperState.StateMutex);
  HelperState.TunnelFacts = {};
}

}  // namespace

bool ConnectTunnel(const std::wstring& configuration) {
  // The tool runs a configuration's script hooks as the account that runs
  // it, LocalSystem here, and any local user may send a configuration:
  // refused before anything is touched.
  const ConfigurationFacts facts = ReadConfigurationFacts(configuration);
  if (!facts.Hook.empty()) {
    LogLine(L"configuration refused: " + ClientText(facts.Hook) + L" is not accepted");
    return false;
  }
  const std::wstring tool = FindTunnelTool();
  if (tool.empty()) {
    LogLine(L"amneziawg.exe not found");
    return false;
  }
  const std::wstring configPath = ConfigFilePath();
  switch (WriteConfigurationFile(configPath, configuration)) {
    case ConfigWrite::NotOpened:
      return false;
    case ConfigWrite::NotWritten:
      LogLine(L"configuration file not written");
      return false;
    case ConfigWrite::Written:
      break;
  }

  // Nothing may follow the network, make a route from a DNS answer or for a
  // split application while the table is cleared and the route captured
  // afresh. The old tunnel goes before the physical route is captured, and
  // the capture comes before the new install: the captured route is never
  // one of a tunnel's own. Its bypass routes stay while it goes.
  StopFollowing();
  RemoveTunnelService(tool, HelperLimits.LeftoverRemovalMs);
  StopSession();
  CapturePhysicalDefaultRoute();

  const std::wstring installArguments = L"/installtunnelservice \"" + configPath + L"\"";
  bool installed = false;
  for (int attempt = 0; attempt < kInstallAttempts && !installed; ++attempt) {
    Step(ToolRunAndWaitMs(HelperLimits.AfterFailedInstallMs) + HelperLimits.BetweenInstallsMs);
    installed = RunTunnelTool(tool, installArguments) == 0;
    if (!installed) {
      WaitForTunnelServiceGone(HelperLimits.AfterFailedInstallMs);
      Sleep(HelperLimits.BetweenInstallsMs);
    }
  }
  if (!installed) {
    LogLine(L"tunnel install failed");
    // Routes and sniffer are down and an older tunnel is gone: whatever the
    // flag said before, no tunnel of ours is up now. A service the tool
    // left behind would cut the machine off; it goes too.
    MarkDisconnected();
    RemoveTunnelService(tool, HelperLimits.AfterRollbackMs);
    return false;
  }

  Step(static_cast<DWORD>(HelperLimits.ComeUpMs));
  const bool up = PollUntil(TunnelServiceRunning, HelperLimits.ComeUpMs, HelperLimits.ComeUpStepMs);
  if (!up) {
    MarkDisconnected();
    LogLine(L"tunnel did not come up; uninstalling to restore connectivity");
    RemoveTunnelService(tool, HelperLimits.AfterRollbackMs);
    ClearBypassRoutes();
    return false;
  }
  HelperState.TunnelConnected.exchange(true);
  RecordTunnelFacts(facts);
  StartSession(SessionStart::NewTunnel);
  return true;
}

void DisconnectTunnel() {
  StopSession();
  const std::wstring tool = FindTunnelTool();
  Step(ToolRunAndWaitMs(HelperLimits.DisconnectMs));
  if (!tool.empty() && TunnelServiceExists()) RunTunnelTool(tool, UninstallArguments());
  PollUntil([] { return !TunnelServiceRunning(); }, HelperLimits.DisconnectMs,
            HelperLimits.DisconnectStepMs);
  MarkDisconnected();
}

void AdoptRunningTunnel() {
  if (!TunnelServiceRunning()) return;
  // A helper that crashed and was restarted: the tunnel stayed up. The
  // tunnel's own adapter is left out of the capture.
  HelperState.TunnelConnected.exchange(true);
  CapturePhysicalDefaultRoute();
  // What its configuration means (its own networks, the warnings) comes
  // from the copy in the data directory, which only a trusted directory
  // holds; its key is never looked at.
  std::wstring configuration;
  if (ReadStoredConfiguration(configuration))
    RecordTunnelFacts(ReadConfigurationFacts(configuration));
  StartSession(SessionStart::RunningTunnel);
}

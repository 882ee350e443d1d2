#include "tunnel/session.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "routing/bypass_nets.h"
#include "routing/network_watch.h"
#include "routing/route_table.h"
#include "split/bypass_domains.h"
#include "split/dns_hold.h"
#include "split/sniffer.h"
#include "split/split_apps.h"
#include "support/helper_state.h"
#include "support/progress.h"

namespace {

// Making a list's routes: a request holds at most about 68,000 prefixes.
constexpr DWORD kListRoutesStepMs = 30000;

// A step of the session begins: a stop of the service waits for the
// request under way, and the manager learns how long this step may take.
void Step(DWORD boundMs) { ReportProgress(boundMs + kShortStepMs); }

bool Splitting() { return !std::atomic_load(&HelperState.SplitApps)->Empty(); }

void StartDnsHoldOfTunnel() {
  std::vector<std::pair<IpAddress, uint16_t>> endpoints;
  {
    MutexLock lock(HelperState.StateMutex);
    endpoints = HelperState.TunnelFacts.Endpoints;
  }
  StartDnsHold(endpoints);
}

}  // namespace

void StartSession(SessionStart how) {
  // Routes only once the tunnel runs, and the sniffer only after them; from
  // then on they follow the physical network.
  if (how == SessionStart::NewTunnel) {
    Step(kListRoutesStepMs);
    InstallBypassRoutes(PublishedBypassNets());
  }
  Step(0);
  StartNetworkWatch();
  if (Splitting()) StartSniffer();
  StartDnsHoldOfTunnel();
}

void StopFollowing() {
  Step(0);
  StopDnsHold();
  StopNetworkWatch();
}

void StopSession() {
  StopFollowing();
  // Joined before the table is cleared, so that no host route of the
  // sniffer's goes through a stale gateway.
  StopSniffer();
  ClearBypassRoutes();
}

void SplitAppsCommand(const std::wstring& argument) {
  PublishSplitApps(argument);
  if (!HelperState.TunnelConnected) return;  // the next connect starts the sniffer
  if (!Splitting()) {
    // Its host routes go with it; the list's networks keep theirs.
    StopSniffer();
  } else {
    StartSniffer();
    SplitListChanged();
  }
}

void BypassNetsCommand(const std::wstring& argument) {
  PublishBypassNets(argument);
  if (!HelperState.TunnelConnected) return;  // the next connect makes its routes
  InstallBypassRoutes(PublishedBypassNets());
}

void BypassDomainsCommand(const std::wstring& argument) {
  SetBypassDomains(argument);
  if (!HelperState.TunnelConnected) return;  // the next connect starts the hold
  if (std::atomic_load(&HelperState.BypassDomains)->Names.empty()) {
    StopDnsHold();
  } else {
    StartDnsHoldOfTunnel();
  }
}

#pragma once
// The one process-wide state record: what more than one subsystem reads or
// writes (the names, the stop event, the connected flag, the lists, the
// running tunnel's facts). State that one unit alone uses (the log's file,
// the routes and their lock in routing/route_store.h, the service's status,
// the workers' threads) stays with the unit that owns it.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/address.h"
#include "support/bypass_domain_list.h"
#include "support/protocol.h"
#include "support/thread_safety.h"
#include "support/split_app_list.h"

struct TunnelFactsRecord {
  // Its single peer takes all traffic: the tunnel tool then blocks traffic
  // outside the tunnel.
  bool SinglePeerTakesAll = false;
  // The warnings logged when it came up, as logged.
  std::vector<std::wstring> Warnings;
  // Its peers' endpoint addresses and ports (those written as addresses;
  // a host name the tool resolves is not known here).
  std::vector<std::pair<IpAddress, uint16_t>> Endpoints;
};

struct HelperStateRecord {
  // Constant names.
  const wchar_t* const ServiceName = kServiceName;
  const wchar_t* const ServiceDisplayName = L"Quorvel Helper";
  const wchar_t* const PipePath = kPipePath;
  const wchar_t* const TunnelName = L"Quorvel";

  // Manual-reset; signalled once when the pipe server must end, never reset.
  // Created before the pipe server runs and never closed.
  HANDLE StopEvent = nullptr;

  // Guards TunnelFacts. Not recursive; never taken with Routes.Lock held.
  Mutex StateMutex;

  // Whether the last connect brought the tunnel up (cleared by disconnect).
  // The list commands read it to decide whether a new list applies at once.
  std::atomic<bool> TunnelConnected{false};

  // The client's bypass networks (IPv4 and IPv6, host bits cleared), in the
  // order given, duplicates kept. Taken before Routes.Lock, never after it.
  Mutex BypassNetLock;
  std::vector<RoutePrefix> BypassNetList GUARDED_BY(BypassNetLock);
  // The applications split around the tunnel, replaced whole (a reader
  // keeps the list it took for as long as it needs it). Never null. Read
  // and written with std::atomic_load and std::atomic_store only, never
  // under StateMutex: the sniffer matches every connect against it.
  std::shared_ptr<const SplitAppList> SplitApps = std::make_shared<const SplitAppList>();
  // The same for the bypass domains: the DNS answers are matched against it.
  std::shared_ptr<const BypassDomainList> BypassDomains =
      std::make_shared<const BypassDomainList>();
  // What the running tunnel's configuration means for bypass and split: set
  // once the tunnel is up, cleared when it goes. Never its text. Its own
  // networks and AllowedIPs go to the routes (SetTunnelNetworks).
  TunnelFactsRecord TunnelFacts GUARDED_BY(StateMutex);
};

extern HelperStateRecord HelperState;

#pragma once
// The one process-wide state record: what more than one subsystem reads or
// writes (the names, the stop event, the connected flag, the physical route,
// the lists, the route table and the lock over them). State that one file
// alone uses (the log's file, the route journal's file, the service's
// status, the workers' threads) stays with the unit that owns it.
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
#include "support/route_records.h"
#include "support/split_app_list.h"

// The interface and next hop of the machine's IPv4 default route, captured
// before a tunnel is installed. Gateway in network byte order; 0 in either
// field means not captured.
struct PhysicalRouteRecord {
  uint32_t InterfaceIndex = 0;
  uint32_t Gateway = 0;
  // A gateway of 0.0.0.0 is an on-link default route (PPP, some mobile
  // broadband and point-to-point links): captured all the same.
  bool Captured() const { return InterfaceIndex != 0; }
};
inline bool operator==(const PhysicalRouteRecord& a, const PhysicalRouteRecord& b) {
  return a.InterfaceIndex == b.InterfaceIndex && a.Gateway == b.Gateway;
}
inline bool operator!=(const PhysicalRouteRecord& a, const PhysicalRouteRecord& b) {
  return !(a == b);
}

// The interface and next hop of the machine's IPv6 default route (the next
// hop usually a link-local address, valid only with that interface).
struct PhysicalRoute6Record {
  uint32_t InterfaceIndex = 0;
  IpAddress Gateway;
  bool Captured() const { return InterfaceIndex != 0 && Gateway.IsIPv6(); }  // "::": on-link
};
inline bool operator==(const PhysicalRoute6Record& a, const PhysicalRoute6Record& b) {
  return a.InterfaceIndex == b.InterfaceIndex && a.Gateway == b.Gateway;
}

struct TunnelFactsRecord {
  // Its single peer takes all traffic: the tunnel tool then blocks traffic
  // outside the tunnel.
  bool SinglePeerTakesAll = false;
  // The warnings logged when it came up, as logged.
  std::vector<std::wstring> Warnings;
  // Its own networks (Address) and DNS servers: reached through it, so no
  // split host route goes there.
  std::vector<RoutePrefix> OwnNetworks;
  // Its peers' AllowedIPs: the routes the tool makes through it.
  std::vector<RoutePrefix> AllowedIPs;
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

  // Guards PhysicalRoute, BypassRouteTable and BypassNetList, which the pipe
  // server's thread and the
  // sniffer thread share, and the route journal. Not recursive; it is taken
  // before the log's own lock, never after.
  std::mutex StateMutex;

  // Whether the last connect brought the tunnel up (cleared by disconnect).
  // The list commands read it to decide whether a new list applies at once.
  std::atomic<bool> TunnelConnected{false};

  // Captured by the connect sequence, then followed by the network watcher
  // while the tunnel is up. Read and written under StateMutex.
  PhysicalRouteRecord PhysicalRoute;
  PhysicalRoute6Record PhysicalRoute6;
  // Every route the helper asked for and got: made by it, or found there
  // already. Keyed by destination and prefix length.
  RouteTable BypassRouteTable;
  // The client's bypass networks (IPv4 and IPv6, host bits cleared), in the
  // order given, duplicates kept.
  std::vector<RoutePrefix> BypassNetList;
  // The applications split around the tunnel, replaced whole (a reader
  // keeps the list it took for as long as it needs it). Never null. Read
  // and written with std::atomic_load and std::atomic_store only, never
  // under StateMutex: the sniffer matches every connect against it.
  std::shared_ptr<const SplitAppList> SplitApps = std::make_shared<const SplitAppList>();
  // The same for the bypass domains: the DNS answers are matched against it.
  std::shared_ptr<const BypassDomainList> BypassDomains =
      std::make_shared<const BypassDomainList>();
  // What the running tunnel's configuration means for bypass and split: set
  // once the tunnel is up, cleared when it goes. Never its text.
  TunnelFactsRecord TunnelFacts;
};

extern HelperStateRecord HelperState;

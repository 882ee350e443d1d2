#include "routing/route_table.h"

#include <mutex>
#include <set>
#include <vector>

#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "support/helper_state.h"
#include "support/log.h"

namespace {

void MarkOrigin(RecordedRoute& route, RouteOrigin origin) {
  (origin == RouteOrigin::List ? route.ForList : route.ForSplit) = true;
}

// Takes the helper's own route out of the system, with the row it was made
// with; someone else's is left alone. StateMutex held.
void DeleteFromSystem(const RoutePrefix& prefix, const RecordedRoute& route) {
  if (route.State != RouteState::Ours) return;
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(route.InterfaceIndex, prefix, route.Gateway);
  DeleteIpForwardEntry2(&row);  // gone already, or its interface is: nothing to do
}

// Deletes a route the helper no longer wants, and takes its journal line
// back. StateMutex held; the caller forgets the entry.
void Withdraw(const RoutePrefix& prefix, const RecordedRoute& route) {
  DeleteFromSystem(prefix, route);
  WithdrawJournalLine(route.JournalLine);
}

// Makes the route through `physical`, journal first (a crash between the
// two then leaves no route the next start does not know of), and returns
// what became of it: Ours with its row and line, Theirs when it was there
// already, Waiting when it could not be made (logged, no line left).
// StateMutex held.
RecordedRoute CreateThrough(const RoutePrefix& prefix, RecordedRoute route,
                            const PhysicalRouteRecord& physical) {
  route.State = RouteState::Waiting;
  route.InterfaceIndex = physical.InterfaceIndex;
  route.Gateway = IpAddress::FromIPv4(physical.Gateway);
  if (!JournalRoute({route.InterfaceIndex, prefix, route.Gateway}, route.JournalLine)) {
    return route;
  }
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(route.InterfaceIndex, prefix, route.Gateway);
  const DWORD result = CreateIpForwardEntry2(&row);
  if (result == NO_ERROR) {
    route.State = RouteState::Ours;
    return route;
  }
  WithdrawJournalLine(route.JournalLine);
  route.JournalLine = kNotJournaled;
  if (result == ERROR_OBJECT_ALREADY_EXISTS) {
    // Someone else's (an administrator's static route, another VPN's):
    // recorded, so it is not asked for again, and never deleted, since
    // their connectivity may rest on it.
    route.State = RouteState::Theirs;
    return route;
  }
  LogLine(L"CreateIpForwardEntry2 failed rc=" + std::to_wstring(result) + L" for " +
          FormatPrefix(prefix));
  return route;
}

bool InSystemTable(const RoutePrefix& prefix, const RecordedRoute& route,
                   const std::vector<MIB_IPFORWARDROW>& system) {
  const uint32_t mask = prefix.Length == 0 ? 0 : htonl(0xFFFFFFFFu << (32 - prefix.Length));
  for (const MIB_IPFORWARDROW& row : system) {
    if (row.dwForwardDest == prefix.Destination.IPv4() && row.dwForwardMask == mask &&
        row.dwForwardIfIndex == route.InterfaceIndex &&
        row.dwForwardNextHop == route.Gateway.IPv4()) {
      return true;
    }
  }
  return false;
}

size_t InstalledRoutes() {
  size_t installed = 0;
  HelperState.BypassRouteTable.ForEach([&](const RoutePrefix&, const RecordedRoute& route) {
    installed += route.State != RouteState::Waiting;
  });
  return installed;
}

}  // namespace

void AddBypassRoute(const RoutePrefix& prefix, RouteOrigin origin) {
  // Held across the system call and the log write, so that the lookup, the
  // creation and the record are one step for the sniffer thread too.
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  RouteTable& table = HelperState.BypassRouteTable;
  if (RecordedRoute* recorded = table.Find(prefix)) {
    MarkOrigin(*recorded, origin);
    return;
  }
  RecordedRoute route;
  MarkOrigin(route, origin);
  const PhysicalRouteRecord& physical = HelperState.PhysicalRoute;
  if (!physical.Captured()) {
    // Kept as wanted: the network watcher makes it once there is a network.
    LogLine(L"no physical default route captured; bypass route skipped");
    route.State = RouteState::Waiting;
    table.Insert(prefix, route);
    return;
  }
  route = CreateThrough(prefix, route, physical);
  // A failed creation is not recorded, so that the next ask tries again.
  if (route.State != RouteState::Waiting) table.Insert(prefix, route);
}

void AddSplitHostRoute(const IpAddress& destination) {
  const RoutePrefix prefix{destination, static_cast<uint8_t>(destination.IsIPv4() ? 32 : 128)};
  {
    // The sniffer's every event for a destination already routed ends here:
    // one lookup, and a store only the first time.
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    if (RecordedRoute* recorded = HelperState.BypassRouteTable.Find(prefix)) {
      if (!recorded->ForSplit) recorded->ForSplit = true;
      return;
    }
  }
  AddBypassRoute(prefix, RouteOrigin::Split);  // looks again: another thread may have added it
}

void ClearBypassRoutes() {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  HelperState.BypassRouteTable.ForEach(DeleteFromSystem);
  HelperState.BypassRouteTable.Clear();
  EmptyRouteJournal();
}

void InstallBypassRoutes() {
  std::vector<BypassNet> list;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    list = HelperState.BypassNetList;
    // Networks the client has just put back into the tunnel must not keep
    // leaving outside it.
    std::set<RoutePrefix> wanted;
    for (const BypassNet& net : list) {
      wanted.insert({IpAddress::FromIPv4(net.Network), net.PrefixLength});
    }
    HelperState.BypassRouteTable.KeepIf([&](const RoutePrefix& prefix, RecordedRoute& route) {
      if (!route.ForList || wanted.count(prefix) != 0) return true;
      route.ForList = false;
      if (route.ForSplit) return true;
      Withdraw(prefix, route);
      return false;
    });
  }
  if (list.empty()) return;
  // Without the lock between entries, so the sniffer's host routes interleave.
  for (const BypassNet& net : list) {
    AddBypassRoute({IpAddress::FromIPv4(net.Network), net.PrefixLength}, RouteOrigin::List);
  }
  size_t installed = 0;
  PhysicalRouteRecord physical;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    installed = InstalledRoutes();
    physical = HelperState.PhysicalRoute;
  }
  LogLine(L"bypass routes: " + std::to_wstring(installed) + L"/" + std::to_wstring(list.size()) +
          L" installed via ifIndex=" + std::to_wstring(physical.InterfaceIndex) + L" gw=" +
          FormatIPv4(physical.Gateway));
}

void FollowPhysicalRoute(const PhysicalRouteRecord& found,
                         const std::vector<MIB_IPFORWARDROW>& system) {
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  PhysicalRouteRecord& physical = HelperState.PhysicalRoute;
  RouteTable& table = HelperState.BypassRouteTable;
  const PhysicalRouteRecord now = found.Captured() ? found : PhysicalRouteRecord{};
  if (now == physical) {
    if (!now.Captured()) return;  // still no network
    // Same network: bring back what Windows took away (it deletes the
    // routes of an interface that goes down, even for a second) and what
    // could not be made before.
    size_t restored = 0;
    table.ForEach([&](const RoutePrefix& prefix, RecordedRoute& route) {
      if (route.State != RouteState::Waiting && InSystemTable(prefix, route, system)) return;
      // The line of a route Windows deleted still stands: it goes with the
      // route's new one.
      const uint32_t oldLine = route.State == RouteState::Ours ? route.JournalLine : kNotJournaled;
      route = CreateThrough(prefix, route, now);
      WithdrawJournalLine(oldLine);
      restored += route.State == RouteState::Ours;
    });
    if (restored > 0) LogLine(L"bypass routes restored: " + std::to_wstring(restored));
    return;
  }
  if (!now.Captured()) {
    // Every interface down: nothing to route through; keep what is wanted.
    table.ForEach([](const RoutePrefix& prefix, RecordedRoute& route) {
      Withdraw(prefix, route);
      route.State = RouteState::Waiting;
      route.JournalLine = kNotJournaled;
    });
    physical = now;
    LogLine(L"physical default route lost; bypass routes wait for a network");
    return;
  }
  // A new network: every route moves to it, the new row made before the old
  // one goes, so no moment passes without one of them. One that cannot be
  // made waits, and is tried again at the next pass.
  size_t moved = 0;
  table.ForEach([&](const RoutePrefix& prefix, RecordedRoute& route) {
    const RecordedRoute old = route;
    route = CreateThrough(prefix, route, now);
    Withdraw(prefix, old);
    moved += route.State == RouteState::Ours;
  });
  physical = now;
  LogLine(L"physical default route changed: ifIndex=" + std::to_wstring(now.InterfaceIndex) +
          L" gw=" + FormatIPv4(now.Gateway) + L"; " + std::to_wstring(moved) +
          L" bypass routes moved");
}

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
  if (route.Holder != RouteHolder::Helper) return;
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(route.InterfaceIndex, prefix, route.Gateway);
  DeleteIpForwardEntry2(&row);  // gone already, or its interface is: nothing to do
}

// Deletes a route the helper no longer wants, and takes its journal line
// back. StateMutex held; the caller forgets the entry.
void Withdraw(const RoutePrefix& prefix, const RecordedRoute& route) {
  DeleteFromSystem(prefix, route);
  WithdrawJournalLine(route.JournalLine);
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
  const PhysicalRouteRecord& physical = HelperState.PhysicalRoute;
  if (physical.InterfaceIndex == 0 || physical.Gateway == 0) {
    LogLine(L"no physical default route captured; bypass route skipped");
    return;
  }
  RecordedRoute route;
  MarkOrigin(route, origin);
  route.InterfaceIndex = physical.InterfaceIndex;
  route.Gateway = IpAddress::FromIPv4(physical.Gateway);
  // Journaled first: a crash between the two then leaves no route that the
  // next start does not know of.
  if (!JournalRoute({route.InterfaceIndex, prefix, route.Gateway}, route.JournalLine)) return;
  const MIB_IPFORWARD_ROW2 row = BypassRouteRow(route.InterfaceIndex, prefix, route.Gateway);
  const DWORD result = CreateIpForwardEntry2(&row);
  if (result == NO_ERROR) {
    table.Insert(prefix, route);
    return;
  }
  WithdrawJournalLine(route.JournalLine);
  route.JournalLine = kNotJournaled;
  if (result == ERROR_OBJECT_ALREADY_EXISTS) {
    // Someone else's (an administrator's static route, another VPN's):
    // recorded, so it is not asked for again, and never deleted, since
    // their connectivity may rest on it.
    route.Holder = RouteHolder::Other;
    table.Insert(prefix, route);
    return;
  }
  LogLine(L"CreateIpForwardEntry2 failed rc=" + std::to_wstring(result) + L" for " +
          FormatPrefix(prefix));
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
    for (const BypassNet& net : list)
      wanted.insert({IpAddress::FromIPv4(net.Network), net.PrefixLength});
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
  size_t recorded = 0;
  PhysicalRouteRecord physical;
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    recorded = HelperState.BypassRouteTable.Size();
    physical = HelperState.PhysicalRoute;
  }
  LogLine(L"bypass routes: " + std::to_wstring(recorded) + L"/" + std::to_wstring(list.size()) +
          L" installed via ifIndex=" + std::to_wstring(physical.InterfaceIndex) + L" gw=" +
          FormatIPv4(physical.Gateway));
}

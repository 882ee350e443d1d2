#include "routing/network_watch.h"

#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "routing/bypass_nets.h"
#include "routing/list_limits.h"
#include "routing/physical_route.h"
#include "routing/route_table.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/log.h"

namespace {

// Start and Stop come from the pipe server's thread or the stop path, one at
// a time. Nudge comes from the service control handler's thread, which must
// never wait: the wake-up event is made once and never closed, so a nudge
// needs no lock.
HANDLE WakeEvent = nullptr;  // auto-reset: a change (or a nudge) happened
std::atomic<bool> Watching{false};
UniqueHandle StopWorker;  // manual-reset
HANDLE RouteNotification = nullptr;
HANDLE InterfaceNotification = nullptr;
std::thread Worker;
// "tunnel interface not found" said since the adapter was last seen (the
// worker's thread only, or a caller of FollowPhysicalNetwork while none runs).
bool TunnelMissingSaid = false;

// Windows calls these on a thread of its own; they must return at once.
void CALLBACK RouteChanged(PVOID wake, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
  SetEvent(static_cast<HANDLE>(wake));
}
void CALLBACK InterfaceChanged(PVOID wake, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
  SetEvent(static_cast<HANDLE>(wake));
}

// Waits for a burst of changes to settle: until nothing has come for the
// quiet time, and never longer than the longest after the first. False when
// the watch is stopping.
bool Settle(HANDLE wake, HANDLE stop) {
  const HANDLE waits[] = {stop, wake};
  const ULONGLONG first = GetTickCount64();
  for (;;) {
    const ULONGLONG elapsed = GetTickCount64() - first;
    if (elapsed >= HelperLimits.NetworkLongestMs) return true;
    const DWORD left = static_cast<DWORD>(HelperLimits.NetworkLongestMs - elapsed);
    const DWORD quiet = HelperLimits.NetworkQuietMs < left ? HelperLimits.NetworkQuietMs : left;
    switch (WaitForMultipleObjects(2, waits, FALSE, quiet)) {
      case WAIT_OBJECT_0 + 1:
        continue;  // another change of the burst
      case WAIT_TIMEOUT:
        return true;
      default:
        return false;
    }
  }
}

// How often the worker looks for split host routes that have idled long
// enough: a tenth of the idle time, between 50 ms and 30 s.
DWORD ExpiryTickMs() {
  const DWORD tick = HelperLimits.SplitIdleMs / 10;
  return tick < 50 ? 50 : tick > 30000 ? 30000 : tick;
}

void WatchWorker(HANDLE wake, HANDLE stop) {
  const HANDLE waits[] = {stop, wake};
  for (;;) {
    switch (WaitForMultipleObjects(2, waits, FALSE, ExpiryTickMs())) {
      case WAIT_OBJECT_0 + 1:
        if (!Settle(wake, stop)) return;
        FollowPhysicalNetwork();
        break;
      case WAIT_TIMEOUT:
        ExpireIdleSplitRoutes();
        ExpireDomainRoutes();
        break;
      default:
        return;
    }
  }
}

}  // namespace

void FollowPhysicalNetwork() {
  const uint32_t tunnel = TunnelInterfaceIndex();
  // Without the tunnel's adapter its own default route cannot be told from
  // a physical one: moving then could put every route onto the tunnel.
  if (tunnel == 0 && HelperState.TunnelConnected) {
    if (!TunnelMissingSaid) LogLine(L"tunnel interface not found; routes not moved");
    TunnelMissingSaid = true;
    return;
  }
  TunnelMissingSaid = false;
  bool besideChanged = false;
  for (const uint16_t family : {kFamilyIPv4, kFamilyIPv6}) {
    const uint32_t current = PhysicalRouteOf(family).InterfaceIndex;
    // Unreadable: nothing to go by; the next change brings another look.
    if (const std::optional<std::vector<SystemRoute>> rows = ReadRouteTable(family)) {
      const DefaultRoute found = FindPhysicalDefaultRoute(*rows, tunnel, current);
      // Before the routes move: the rows still show them the way they went.
      besideChanged = NoteRoutesBesideTheList(family, *rows, found) || besideChanged;
      FollowPhysicalRoute(family, found, *rows);
    }
  }
  // The list merged again only when a route beside it came or went: the
  // helper's own creates and deletes, which wake the watcher too, cost one
  // pass over the table here and nothing more.
  if (besideChanged && HelperState.TunnelConnected) RemergeBypassRoutes(PublishedBypassNets());
}

void StartNetworkWatch() {
  if (Worker.joinable()) return;
  if (!WakeEvent) WakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  StopWorker.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!WakeEvent || !StopWorker) {
    const DWORD error = GetLastError();
    LogLine(L"network watch not started: err=" + std::to_wstring(error));
    return;
  }
  ResetEvent(WakeEvent);  // a nudge while not watching is no change
  // The worker first: a callback may come the moment a registration exists.
  try {
    Worker = std::thread(WatchWorker, WakeEvent, StopWorker.get());
  } catch (const std::system_error& failure) {
    LogLine(L"network watch not started: err=" + std::to_wstring(failure.code().value()));
    return;
  }
  Watching = true;
  const DWORD routes =
      NotifyRouteChange2(AF_UNSPEC, RouteChanged, WakeEvent, FALSE, &RouteNotification);
  const DWORD interfaces = NotifyIpInterfaceChange(AF_UNSPEC, InterfaceChanged, WakeEvent, FALSE,
                                                   &InterfaceNotification);
  if (routes != NO_ERROR || interfaces != NO_ERROR) {
    LogLine(L"network watch incomplete: route changes err=" + std::to_wstring(routes) +
            L", interface changes err=" + std::to_wstring(interfaces));
  }
}

void StopNetworkWatch() {
  if (!Worker.joinable()) return;
  Watching = false;
  // Cancelled first: once these return, no callback runs, so nothing can
  // wake the worker again.
  for (HANDLE* notification : {&RouteNotification, &InterfaceNotification}) {
    if (*notification) CancelMibChangeNotify2(*notification);
    *notification = nullptr;
  }
  SetEvent(StopWorker.get());
  Worker.join();
  StopWorker.reset();
}

void NudgeNetworkWatch() {
  if (Watching) SetEvent(WakeEvent);
}

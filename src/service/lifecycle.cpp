#include "service/lifecycle.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "control/pipe_server.h"
#include "routing/network_watch.h"
#include "routing/route_journal.h"
#include "routing/route_table.h"
#include "split/dns_hold.h"
#include "split/sniffer.h"
#include "support/data_directory.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "tunnel/connect.h"

namespace {

// While the service is pending, progress is reported this often, each
// report a new checkpoint with a hint that covers the next: a start that
// replays a long journal, or a stop that waits for a running connect (a
// minute and more in the worst case) and deletes thousands of routes, is
// never taken for a hung service.
constexpr DWORD kProgressEveryMs = 1000;
constexpr DWORD kWaitHintMs = 5000;
constexpr DWORD kRunningControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_POWEREVENT;

std::mutex StatusMutex;  // the handler's thread, the main thread and the ticker report
std::condition_variable StatusChanged;
std::thread ProgressTicker;

bool Pending(DWORD state) { return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING; }

// StatusMutex held.
void ReportLocked(DWORD state, DWORD controlsAccepted) {
  SERVICE_STATUS& status = HelperState.ServiceStatus;
  const bool samePending = Pending(state) && status.dwCurrentState == state;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controlsAccepted;
  status.dwCheckPoint = samePending ? status.dwCheckPoint + 1 : (Pending(state) ? 1 : 0);
  status.dwWaitHint = Pending(state) ? kWaitHintMs : 0;
  SetServiceStatus(HelperState.ServiceStatusHandle, &status);
  StatusChanged.notify_all();
}

void ReportServiceStatus(DWORD state, DWORD controlsAccepted) {
  std::lock_guard<std::mutex> lock(StatusMutex);
  ReportLocked(state, controlsAccepted);
}

// Reports progress for as long as the service is pending; ends once it is
// stopped.
void TickWhilePending() {
  std::unique_lock<std::mutex> lock(StatusMutex);
  for (;;) {
    const DWORD state = HelperState.ServiceStatus.dwCurrentState;
    if (state == SERVICE_STOPPED) return;
    if (Pending(state)) {
      StatusChanged.wait_for(lock, std::chrono::milliseconds(kProgressEveryMs));
      if (Pending(HelperState.ServiceStatus.dwCurrentState)) {
        ReportLocked(HelperState.ServiceStatus.dwCurrentState,
                     HelperState.ServiceStatus.dwControlsAccepted);
      }
    } else {
      StatusChanged.wait(lock);
    }
  }
}

}  // namespace

DWORD ServeUntilStopped() {
  AdoptRunningTunnel();
  const DWORD result = RunPipeServer();
  // The tunnel stays up, but nothing of the helper's own may outlive it:
  // the DNS hold, the watcher and the sniffer first, so that they add no
  // route after the clear (and no thread of theirs outlives the process's
  // exit); the hold before the watcher, which may wait for StateMutex
  // behind the hold's route calls.
  StopDnsHold();
  StopNetworkWatch();
  StopSniffer();
  ClearBypassRoutes();
  return result;
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
      // At shutdown too (preshutdown, offered with a timeout that covers
      // deleting every route, so Windows waits for it): routes deleted,
      // journal emptied, "service stopping". The pipe server waits on
      // StopEvent itself, so no wake-up connection is needed.
      ReportServiceStatus(SERVICE_STOP_PENDING, 0);
      SetEvent(HelperState.StopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      // Back from sleep the machine may be on another network, or on the
      // same one with the routes gone: the network watcher looks.
      if (eventType == PBT_APMRESUMEAUTOMATIC) NudgeNetworkWatch();
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  // The event exists before the handler does, so no stop can find it
  // missing.
  HelperState.StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HelperState.ServiceStatusHandle =
      RegisterServiceCtrlHandlerExW(HelperState.ServiceName, ServiceControlHandler, nullptr);
  if (!HelperState.ServiceStatusHandle) return;
  HelperState.ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  ReportServiceStatus(SERVICE_START_PENDING, 0);
  try {
    ProgressTicker = std::thread(TickWhilePending);
  } catch (const std::system_error&) {
    // Without it the pending reports are the few below, as before.
  }
  if (!HelperState.StopEvent) {
    // Without it the server could never be stopped; refuse to start.
    HelperState.ServiceStatus.dwWin32ExitCode = ERROR_NOT_ENOUGH_MEMORY;
    ReportServiceStatus(SERVICE_STOPPED, 0);
    return;
  }
  // Before the first line, so that no line goes into a directory another
  // user made.
  const bool trusted = EnsureTrustedDataDirectory();
  LogLine(L"service starting");
  if (trusted) TakeOverRouteJournal();
  ReportServiceStatus(SERVICE_RUNNING, kRunningControls);
  // A server that could not start is a failed service, not a clean stop:
  // the manager (and its recovery actions) must see the error.
  HelperState.ServiceStatus.dwWin32ExitCode = ServeUntilStopped();
  LogLine(L"service stopping");
  ReportServiceStatus(SERVICE_STOP_PENDING, 0);  // the ticker may still report
  {
    std::lock_guard<std::mutex> lock(StatusMutex);
    HelperState.ServiceStatus.dwCurrentState = SERVICE_STOPPED;  // ends the ticker
    StatusChanged.notify_all();
  }
  if (ProgressTicker.joinable()) ProgressTicker.join();
  ReportServiceStatus(SERVICE_STOPPED, 0);
}

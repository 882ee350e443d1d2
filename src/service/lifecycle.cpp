#include "service/lifecycle.h"

#include "control/pipe_server.h"
#include "routing/network_watch.h"
#include "routing/route_journal.h"
#include "routing/route_table.h"
#include "split/sniffer.h"
#include "support/data_directory.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "tunnel/connect.h"

namespace {

constexpr DWORD kWaitHintMs = 5000;

void ReportServiceStatus(DWORD state, DWORD controlsAccepted) {
  HelperState.ServiceStatus.dwCurrentState = state;
  HelperState.ServiceStatus.dwControlsAccepted = controlsAccepted;
  HelperState.ServiceStatus.dwCheckPoint = 0;
  HelperState.ServiceStatus.dwWaitHint = kWaitHintMs;
  SetServiceStatus(HelperState.ServiceStatusHandle, &HelperState.ServiceStatus);
}

}  // namespace

DWORD ServeUntilStopped() {
  AdoptRunningTunnel();
  const DWORD result = RunPipeServer();
  // The tunnel stays up, but nothing of the helper's own may outlive it:
  // the watcher and the sniffer first, so that they add no route after the
  // clear.
  StopNetworkWatch();
  StopSniffer();
  ClearBypassRoutes();
  return result;
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // The status is written here only before StopEvent is signalled; the
      // service main thread writes it again only after the server has seen
      // the signal, so the two never overlap. The pipe server waits on
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
  ReportServiceStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT);
  // A server that could not start is a failed service, not a clean stop:
  // the manager (and its recovery actions) must see the error.
  HelperState.ServiceStatus.dwWin32ExitCode = ServeUntilStopped();
  LogLine(L"service stopping");
  ReportServiceStatus(SERVICE_STOPPED, 0);
}

#include "service/lifecycle.h"

#include <mutex>

#include "control/pipe_server.h"
#include "routing/network_watch.h"
#include "routing/route_journal.h"
#include "support/data_directory.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "support/progress.h"
#include "tunnel/connect.h"
#include "tunnel/session.h"

namespace {

constexpr DWORD kRunningControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_POWEREVENT;

// The handler's thread, the main thread and every thread whose work reports
// its progress report through it, so that checkpoints only ever increase.
std::mutex StatusMutex;
// Service mode only: what the manager was last told, and where to tell it.
SERVICE_STATUS ServiceStatus{};                       // guarded by StatusMutex
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;  // set once, before any report
// When the step under way may end, as its own report said: a stop that
// comes while a connect runs waits for it first.
ULONGLONG StepEndsAt = 0;  // guarded by StatusMutex

bool Pending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
}

// Each report of a pending state is a new checkpoint, with a hint that
// covers the step that begins. StatusMutex held.
void ReportLocked(DWORD state, DWORD controlsAccepted, DWORD waitHintMs) {
  SERVICE_STATUS& status = ServiceStatus;
  const bool samePending = Pending(state) && status.dwCurrentState == state;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controlsAccepted;
  status.dwCheckPoint = samePending ? status.dwCheckPoint + 1 : (Pending(state) ? 1 : 0);
  status.dwWaitHint = Pending(state) ? waitHintMs : 0;
  SetServiceStatus(ServiceStatusHandle, &status);
}

void ReportServiceStatus(DWORD state, DWORD controlsAccepted, DWORD waitHintMs = 0) {
  std::lock_guard<std::mutex> lock(StatusMutex);
  ReportLocked(state, controlsAccepted, waitHintMs);
}

// The work's own reports (support/progress.h): a new checkpoint only while
// pending, and only when a step begins. Microsoft's SetServiceStatus
// remarks name a timer that raises the checkpoint regardless as the common
// bug that hides a hung service from the manager and its recovery.
void ReportServiceProgress(DWORD stepMs) {
  std::lock_guard<std::mutex> lock(StatusMutex);
  StepEndsAt = GetTickCount64() + stepMs;
  const SERVICE_STATUS& status = ServiceStatus;
  if (Pending(status.dwCurrentState)) {
    ReportLocked(status.dwCurrentState, status.dwControlsAccepted, stepMs);
  }
}

// A stop's first hint: what is left of the step under way (a request the
// pipe server is running finishes first), then the stop's first step.
// StatusMutex held.
DWORD FirstStopHintLocked() {
  const ULONGLONG now = GetTickCount64();
  return static_cast<DWORD>(StepEndsAt > now ? StepEndsAt - now : 0) + kShortStepMs;
}

}  // namespace

DWORD ServeUntilStopped() {
  AdoptRunningTunnel();
  const DWORD result = RunPipeServer();
  // The tunnel stays up, but nothing of the helper's own may outlive it: no
  // worker adds a route after the clear, and none outlives the process's
  // exit.
  StopSession();
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
      {
        std::lock_guard<std::mutex> lock(StatusMutex);
        ReportLocked(SERVICE_STOP_PENDING, 0, FirstStopHintLocked());
      }
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
  ServiceStatusHandle =
      RegisterServiceCtrlHandlerExW(HelperState.ServiceName, ServiceControlHandler, nullptr);
  if (!ServiceStatusHandle) return;
  ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  if (!HelperState.StopEvent) {
    // Without it the server could never be stopped; refuse to start. No
    // thread has been started that could outlive this return.
    ServiceStatus.dwWin32ExitCode = ERROR_NOT_ENOUGH_MEMORY;
    ReportServiceStatus(SERVICE_STOPPED, 0);
    return;
  }
  SetProgressReporter(ReportServiceProgress);
  // The data directory check, then the journal's batches, each its own step.
  ReportServiceStatus(SERVICE_START_PENDING, 0, kShortStepMs);
  // Before the first line, so that no line goes into a directory another
  // user made.
  const bool trusted = EnsureTrustedDataDirectory();
  LogLine(L"service starting");
  if (trusted) TakeOverRouteJournal();
  ReportServiceStatus(SERVICE_RUNNING, kRunningControls);
  // A server that could not start is a failed service, not a clean stop:
  // the manager (and its recovery actions) must see the error.
  const DWORD exitCode = ServeUntilStopped();
  LogLine(L"service stopping");
  std::lock_guard<std::mutex> lock(StatusMutex);
  ServiceStatus.dwWin32ExitCode = exitCode;
  ReportLocked(SERVICE_STOPPED, 0, 0);
}

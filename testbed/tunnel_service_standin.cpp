// tunnel_service_standin: test-bed only, never shipped.
//
// Stands in for the tunnel tool's service: an own-process service that does
// no work at all, so tests can register it under the tunnel's service name
// (or any other) and drive it through the real service control manager.
//
//   tunnel_service_standin [--start-pending-ms N]
//
// --start-pending-ms N  stay in SERVICE_START_PENDING for N milliseconds
//                       before reporting SERVICE_RUNNING, so tests can
//                       observe a tunnel that is starting but not up yet.
//
// Started outside the service control manager it exits with 1 at once.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <mutex>

namespace {

constexpr DWORD kPendingStepMs = 100;
constexpr DWORD kPendingWaitHintMs = 2000;

DWORD StartPendingMs = 0;
HANDLE StopEvent = nullptr;

// The control handler (dispatcher thread) and ServiceMain (its own thread)
// both report status, so the record and the call are serialised.
std::mutex StatusMutex;
SERVICE_STATUS Status{};
SERVICE_STATUS_HANDLE StatusHandle = nullptr;

void Report(DWORD state, DWORD controlsAccepted, DWORD checkPoint = 0) {
  std::lock_guard<std::mutex> lock(StatusMutex);
  Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  Status.dwCurrentState = state;
  Status.dwControlsAccepted = controlsAccepted;
  Status.dwCheckPoint = checkPoint;
  // A wait hint only means something while an operation is pending.
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  Status.dwWaitHint = pending ? kPendingWaitHintMs : 0;
  SetServiceStatus(StatusHandle, &Status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, 0);
      SetEvent(StopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI StandinServiceMain(DWORD argc, LPWSTR* argv) {
  // The manager passes the name the service is registered under; that is
  // what makes one binary usable under several names.
  const wchar_t* name = argc > 0 ? argv[0] : L"";
  StatusHandle = RegisterServiceCtrlHandlerExW(name, ControlHandler, nullptr);
  if (!StatusHandle) return;
  if (!StopEvent) {
    Status.dwWin32ExitCode = ERROR_NOT_ENOUGH_MEMORY;
    Report(SERVICE_STOPPED, 0);
    return;
  }
  // Checkpoints advance while pending, as a well-behaved service's do, so a
  // manager that watches them never takes the stand-in for hung.
  DWORD checkPoint = 1;
  for (DWORD waited = 0; waited < StartPendingMs; waited += kPendingStepMs) {
    Report(SERVICE_START_PENDING, 0, checkPoint++);
    if (WaitForSingleObject(StopEvent, kPendingStepMs) == WAIT_OBJECT_0) break;
  }
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  WaitForSingleObject(StopEvent, INFINITE);
  Report(SERVICE_STOPPED, 0);
}

bool ParseMilliseconds(const wchar_t* text, DWORD& value) {
  if (!text || !*text) return false;
  wchar_t* end = nullptr;
  const unsigned long parsed = std::wcstoul(text, &end, 10);
  if (*end != L'\0' || !std::iswdigit(text[0])) return false;
  value = static_cast<DWORD>(parsed);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--start-pending-ms") == 0 && i + 1 < argc &&
        ParseMilliseconds(argv[i + 1], StartPendingMs)) {
      ++i;
    } else {
      return 2;  // a mistyped registration should fail loudly, not run differently
    }
  }
  StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // An own-process service's table entry name is not used for matching,
  // but it must not be null.
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<wchar_t*>(L""), StandinServiceMain},
      {nullptr, nullptr},
  };
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

#include "service/entry.h"

#include <windows.h>

#include <cwchar>

#include "routing/route_journal.h"
#include "service/install.h"
#include "service/lifecycle.h"
#include "support/data_directory.h"
#include "support/helper_state.h"

namespace {

// Set once console mode has finished its clean-up, so that a console close
// (after which Windows ends the process when the handler returns) can wait
// for it.
HANDLE ConsoleFinished = nullptr;
constexpr DWORD kConsoleCloseGraceMs = 4500;  // the system allows about 5 s

int RunServiceMode() {
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<wchar_t*>(HelperState.ServiceName), ServiceMain},
      {nullptr, nullptr},
  };
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

}  // namespace

BOOL WINAPI ConsoleControlHandler(DWORD control) {
  SetEvent(HelperState.StopEvent);
  switch (control) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      WaitForSingleObject(ConsoleFinished, kConsoleCloseGraceMs);
      break;
    default:
      break;
  }
  return TRUE;
}

int RunConsoleMode() {
  HelperState.StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ConsoleFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!HelperState.StopEvent || !ConsoleFinished) return 1;  // could never be stopped
  // Ctrl+C, Ctrl+Break and closing the console end the server like a
  // service stop, so its clean-up runs instead of being cut off.
  SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
  // Routes a helper that died left behind go before any client is served;
  // a journal is believed only from a directory that is the helper's own.
  if (EnsureTrustedDataDirectory()) TakeOverRouteJournal();
  const DWORD result = ServeUntilStopped();
  SetEvent(ConsoleFinished);
  return result == ERROR_SUCCESS ? 0 : 1;
}

int RunHelper(int argc, wchar_t** argv) {
  if (argc >= 2) {
    const wchar_t* mode = argv[1];
    if (std::wcscmp(mode, L"--install") == 0) return InstallService();
    if (std::wcscmp(mode, L"--uninstall") == 0) return UninstallService();
    if (std::wcscmp(mode, L"--console") == 0) return RunConsoleMode();
  }
  // "--run", written into the service's command line, lands here too.
  return RunServiceMode();
}

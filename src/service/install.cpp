#include "service/install.h"

#include <windows.h>

#include "quorvel_product.h"
#include "support/code_directory.h"
#include "support/data_directory.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/poll.h"
#include "support/text.h"

namespace {

constexpr DWORD kDeletionPollMs = 100;
constexpr DWORD kRestartDelayMs = 2000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
// Deleting 68,000 routes (the most one request holds) takes well under this.
constexpr DWORD kPreshutdownTimeoutMs = 60000;

void WaitUntilDeleted(SC_HANDLE manager) {
  PollUntil(
      [manager] {
        UniqueServiceHandle service(
            OpenServiceW(manager, HelperState.ServiceName, SERVICE_QUERY_STATUS));
        return !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
      },
      static_cast<int>(HelperLimits.ServiceDeletionWaitMs), kDeletionPollMs);
}

// What an operator sees of the service, and what the manager does when it
// crashes: restart it twice, 2 s apart, then nothing (past its last action
// the manager would repeat it for ever), the count forgotten after a day
// without a failure; so that the helper comes back and removes the routes
// it left behind. And how long Windows waits for it at shutdown: long
// enough to delete every route. None is essential to the service:
// failures are not reported.
void DescribeAndSetRecovery(SC_HANDLE service) {
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kServiceDescription)};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
  SC_ACTION restart[] = {{SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_RESTART, kRestartDelayMs},
                         {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW actions{};
  actions.dwResetPeriod = kFailureResetSeconds;
  actions.cActions = sizeof(restart) / sizeof(restart[0]);
  actions.lpsaActions = restart;
  ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
  // Also when the helper stops itself with an error (its pipe could not be
  // served), not only when it crashes.
  SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors);
  SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownTimeoutMs};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
}

}  // namespace

// The installer's ServiceInstall row writes the same text: both come from
// the project's description.
const wchar_t kServiceDescription[] = L"" QUORVEL_SERVICE_DESCRIPTION;

std::wstring ServiceCommandLine() {
  // Quoted, so a path with blanks stays one token for the manager.
  return L"\"" + ModulePath() + L"\" --run";
}

namespace {

// What judging the install found wrong: one line, "<path> can be changed by
// non-administrators: <why>"; empty when nothing.
std::wstring InstallFault() {
  const std::wstring directory = ModuleDirectory();
  const std::wstring self = ModulePath();
  // The helper itself first: the service runs this very file.
  std::wstring why = CodeFileFault(self);
  if (!why.empty()) return ChangeableDirectoryText(self) + L": " + why;
  for (const std::wstring& folder : {directory, directory + L"\\awg"}) {
    if (folder != directory && GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
      continue;  // no awg folder: the tool may stand beside the helper
    }
    why = CodeDirectoryFault(folder);
    if (!why.empty()) return ChangeableDirectoryText(folder) + L": " + why;
    // A file keeps the owner and access list it had where it came from:
    // one moved in from a user's Downloads stays that user's to replace.
    const CodeFault file = FirstChangeableCodeFile(folder);
    if (file.Found()) return ChangeableDirectoryText(file.Path) + L": " + file.Why;
  }
  return {};
}

// The service loads code as LocalSystem from its own directory and awg\:
// registered only when only administrators can change them and every code
// file in them. The reason goes to standard error and to helper.log, where
// an installer's custom action that drops standard error still leaves it.
bool InstallFilesProtected() {
  const std::wstring fault = InstallFault();
  if (fault.empty()) return true;
  const std::string line = WideToUtf8(fault + L"\n");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
            &written, nullptr);
  EnsureTrustedDataDirectory();
  LogLine(L"install refused: " + fault);
  CloseLogFile();
  return false;
}

}  // namespace

int InstallService() {
  if (!InstallFilesProtected()) return 3;
  const std::wstring commandLine = ServiceCommandLine();
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return 1;

  UniqueServiceHandle service(
      OpenServiceW(manager.get(), HelperState.ServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START));
  if (service) {
    // An update: the account stays as it was, a running service keeps
    // running (StartServiceW then fails harmlessly).
    if (ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                             SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr,
                             nullptr, nullptr, HelperState.ServiceDisplayName)) {
      DescribeAndSetRecovery(service.get());
      StartServiceW(service.get(), 0, nullptr);
      return 0;
    }
    const DWORD error = GetLastError();
    service.reset();
    // A registration marked for deletion (an uninstall whose service is
    // still stopping, or whose handles are still open) vanishes later:
    // reporting success on it would leave no service at all. Wait for it to
    // go and register anew; creation fails if it does not go in time.
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE) return 2;
    WaitUntilDeleted(manager.get());
  }

  service.reset(CreateServiceW(manager.get(), HelperState.ServiceName,
                               HelperState.ServiceDisplayName, SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                               commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return 2;
  DescribeAndSetRecovery(service.get());
  StartServiceW(service.get(), 0, nullptr);
  return 0;
}

int UninstallService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 1;
  UniqueServiceHandle service(
      OpenServiceW(manager.get(), HelperState.ServiceName, SERVICE_STOP | DELETE));
  if (service) {
    // No wait: the service runs its own stop sequence, and the manager
    // removes the registration once it has stopped and every handle is closed.
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    DeleteService(service.get());
  }
  return 0;
}

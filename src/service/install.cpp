#include "service/install.h"

#include <windows.h>

#include "support/handles.h"
#include "support/helper_state.h"
#include "support/paths.h"

namespace {

constexpr DWORD kDeletionWaitMs = 10000;
constexpr DWORD kDeletionPollMs = 100;

void WaitUntilDeleted(SC_HANDLE manager, DWORD timeoutMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += kDeletionPollMs) {
    UniqueServiceHandle service(
        OpenServiceW(manager, HelperState.ServiceName, SERVICE_QUERY_STATUS));
    if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return;
    Sleep(kDeletionPollMs);
  }
}

}  // namespace

std::wstring ServiceCommandLine() {
  // Quoted, so a path with blanks stays one token for the manager.
  return L"\"" + ModulePath() + L"\" --run";
}

int InstallService() {
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
    WaitUntilDeleted(manager.get(), kDeletionWaitMs);
  }

  service.reset(CreateServiceW(manager.get(), HelperState.ServiceName,
                               HelperState.ServiceDisplayName, SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                               commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return 2;
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

#include "tunnel/service_probes.h"

#include <windows.h>

#include "support/handles.h"
#include "support/helper_state.h"
#include "support/poll.h"

namespace {

constexpr DWORD kProbeStepMs = 300;

UniqueServiceHandle OpenTunnelService(SC_HANDLE manager, DWORD access) {
  return UniqueServiceHandle(OpenServiceW(manager, TunnelServiceName().c_str(), access));
}

UniqueServiceHandle OpenManager() {
  return UniqueServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
}

}  // namespace

std::wstring TunnelServiceName() {
  return std::wstring(L"AmneziaWGTunnel$") + HelperState.TunnelName;
}

bool TunnelServiceRunning() {
  UniqueServiceHandle manager = OpenManager();
  if (!manager) return false;
  UniqueServiceHandle service = OpenTunnelService(manager.get(), SERVICE_QUERY_STATUS);
  if (!service) return false;
  SERVICE_STATUS status{};
  return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

bool TunnelServiceExists() {
  UniqueServiceHandle manager = OpenManager();
  if (!manager) return false;
  return OpenTunnelService(manager.get(), SERVICE_QUERY_STATUS).valid();
}

void WaitForTunnelServiceGone(int timeoutMs) {
  PollUntil([] { return !TunnelServiceExists(); }, timeoutMs, kProbeStepMs);
}

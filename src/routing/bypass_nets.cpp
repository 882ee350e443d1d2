#include "routing/bypass_nets.h"

#include <mutex>
#include <vector>

#include "routing/route_table.h"
#include "support/helper_state.h"
#include "support/log.h"

void SetBypassNets(const std::wstring& argument) {
  std::vector<RoutePrefix> list = ParseBypassNets(argument);
  const size_t count = list.size();
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    HelperState.BypassNetList = std::move(list);
  }
  LogLine(L"bypass nets set: " + std::to_wstring(count));
  if (HelperState.TunnelConnected) InstallBypassRoutes();
}

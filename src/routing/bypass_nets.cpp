#include "routing/bypass_nets.h"

#include <vector>

#include "routing/route_table.h"
#include "support/helper_state.h"
#include "support/log.h"

void PublishBypassNets(const std::wstring& argument) {
  std::vector<RoutePrefix> list = ParseBypassNets(argument);
  const size_t count = list.size();
  {
    MutexLock lock(HelperState.BypassNetLock);
    HelperState.BypassNetList = std::move(list);
  }
  LogLine(L"bypass nets set: " + std::to_wstring(count));
}

std::vector<RoutePrefix> PublishedBypassNets() {
  MutexLock lock(HelperState.BypassNetLock);
  return HelperState.BypassNetList;
}

#include "routing/list_limits.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "routing/route_store.h"

namespace {

// What the tables held beside the list, each family sorted; whether a
// family has been read since the last forget. Its own lock: the watcher
// notes while a long install may hold Routes.Lock a row at a time.
std::mutex NotedMutex;
std::vector<RoutePrefix> Noted[2];
bool Known[2] = {false, false};

int Slot(uint16_t family) { return family == kFamilyIPv6 ? 1 : 0; }

// The interface and next hop the helper's routes of a family go through.
DefaultRoute HelpersWay(uint16_t family) {
  const NextHop way = PhysicalRouteOf(family);
  return {way.InterfaceIndex, way.Gateway};
}

bool SameWay(const SystemRoute& row, const DefaultRoute& way) {
  return way.InterfaceIndex != 0 && row.InterfaceIndex == way.InterfaceIndex &&
         row.NextHop == way.NextHop;
}

// One pass over the rows, a sort of those that lead elsewhere (a few dozen
// on most machines, however many routes the helper has made).
std::vector<RoutePrefix> Beside(const std::vector<SystemRoute>& rows, const DefaultRoute& before,
                                const DefaultRoute& found) {
  std::vector<RoutePrefix> beside;
  for (const SystemRoute& row : rows) {
    if (!SameWay(row, before) && !SameWay(row, found)) beside.push_back(row.Prefix);
  }
  std::sort(beside.begin(), beside.end());
  beside.erase(std::unique(beside.begin(), beside.end()), beside.end());
  return beside;
}

bool Note(uint16_t family, std::vector<RoutePrefix> beside) {
  std::lock_guard<std::mutex> lock(NotedMutex);
  const int slot = Slot(family);
  const bool changed = !Known[slot] || Noted[slot] != beside;
  Noted[slot] = std::move(beside);
  Known[slot] = true;
  return changed;
}

}  // namespace

bool NoteRoutesBesideTheList(uint16_t family, const std::vector<SystemRoute>& rows,
                             const DefaultRoute& found) {
  return Note(family, Beside(rows, HelpersWay(family), found));
}

std::vector<RoutePrefix> RoutesBesideTheList() {
  for (const uint16_t family : {kFamilyIPv4, kFamilyIPv6}) {
    {
      std::lock_guard<std::mutex> lock(NotedMutex);
      if (Known[Slot(family)]) continue;
    }
    // Unreadable: the next install reads it again.
    if (const std::optional<std::vector<SystemRoute>> rows = ReadRouteTable(family)) {
      const DefaultRoute way = HelpersWay(family);
      Note(family, Beside(*rows, way, way));
    }
  }
  std::vector<RoutePrefix> limits;
  {
    std::lock_guard<std::mutex> lock(NotedMutex);
    for (const std::vector<RoutePrefix>& noted : Noted) {
      limits.insert(limits.end(), noted.begin(), noted.end());
    }
  }
  MutexLock lock(Routes.Lock);
  const std::vector<RoutePrefix> allowed = Routes.TunnelAllowedIPs();
  limits.insert(limits.end(), allowed.begin(), allowed.end());
  return limits;
}

void ForgetRoutesBesideTheList() {
  std::lock_guard<std::mutex> lock(NotedMutex);
  for (int slot = 0; slot < 2; ++slot) {
    Noted[slot].clear();
    Known[slot] = false;
  }
}

#include "routing/follow_network.h"

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "support/log.h"

namespace {

// The system's rows as Windows tells them apart (prefix, interface, next
// hop), in a set made before the lock is taken: a look at a table that
// changed nothing costs one pass over it, not one pass per route. Open
// addressing over the rows' positions: a country-sized table is one
// allocation, not one per row.
class SystemRows {
 public:
  explicit SystemRows(const std::vector<SystemRoute>& rows) : rows_(rows) {
    size_t capacity = 16;
    while (capacity < rows.size() * 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
    for (uint32_t i = 0; i < rows.size(); ++i) {
      const SystemRoute& row = rows[i];
      size_t slot = SlotOf(row.Prefix, row.InterfaceIndex, row.NextHop);
      while (slots_[slot] != kEmpty) slot = (slot + 1) & (slots_.size() - 1);
      slots_[slot] = i;
    }
  }
  bool Has(const RoutePrefix& prefix, uint32_t interfaceIndex, const IpAddress& nextHop) const {
    for (size_t slot = SlotOf(prefix, interfaceIndex, nextHop); slots_[slot] != kEmpty;
         slot = (slot + 1) & (slots_.size() - 1)) {
      const SystemRoute& row = rows_[slots_[slot]];
      if (row.Prefix == prefix && row.InterfaceIndex == interfaceIndex && row.NextHop == nextHop) {
        return true;
      }
    }
    return false;
  }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFF;
  static uint64_t Mix(uint64_t hash, uint64_t value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
  }
  static uint64_t Half(const uint8_t* bytes) {
    uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
  }
  size_t SlotOf(const RoutePrefix& prefix, uint32_t interfaceIndex,
                const IpAddress& nextHop) const {
    const uint8_t* dest = prefix.Destination.Bytes;
    uint64_t hash = Mix(Half(dest), Half(dest + 8));
    hash = Mix(hash, (uint64_t{prefix.Length} << 32) | interfaceIndex);
    hash = Mix(Mix(hash, Half(nextHop.Bytes)), Half(nextHop.Bytes + 8));
    return static_cast<size_t>(hash) & (slots_.size() - 1);
  }
  const std::vector<SystemRoute>& rows_;
  std::vector<uint32_t> slots_;
};

std::wstring FamilyWord(uint16_t family) { return family == kFamilyIPv6 ? L"IPv6 " : L""; }

// How many of the helper's routes one hold of the lock compares with the
// system's rows: well under a millisecond's work.
constexpr size_t kRoutesComparedPerHold = 2048;

}  // namespace

void RestoreRoutes(uint16_t family, const NextHop& now, const std::vector<SystemRoute>& system) {
  // The comparison goes a piece at a time and the restoring a row at a
  // time, the lock let go in between, so neither the sniffer nor the pipe
  // waits behind a country-sized table.
  const SystemRows present(system);
  const auto missing = [&](const RoutePrefix& prefix, const RecordedRoute& route) {
    return route.State == RouteState::Waiting ||
           !present.Has(prefix, route.InterfaceIndex, route.Gateway);
  };
  std::vector<RoutePrefix> gone;
  std::optional<RoutePrefix> after;
  do {
    MutexLock lock(Routes.Lock);
    if (Routes.Physical(family) != now) return;  // moved meanwhile: the next look follows
    after = Routes.ForSome(family, after, kRoutesComparedPerHold,
                           [&](const RoutePrefix& prefix, const RecordedRoute& route) {
                             if (missing(prefix, route)) gone.push_back(prefix);
                           });
  } while (after);
  if (gone.empty()) return;
  RoutePass pass(RoutePass::kBatchFailureLines);
  size_t restored = 0;
  for (const RoutePrefix& prefix : gone) {
    MutexLock lock(Routes.Lock);
    const RecordedRoute* found = Routes.Find(prefix);
    if (!found || !missing(prefix, *found) || Routes.Physical(family) != now) continue;
    const RecordedRoute old = *found;
    RecordedRoute made = Routes.CreateThrough(prefix, old, now, pass);
    // The table was read before the lock was taken: a route made since
    // (a split host route, say) looks missing and is found existing. Made
    // by the helper, with this very row, it is the helper's still, and
    // keeps its line.
    if (old.State == RouteState::Ours && made.State == RouteState::Theirs &&
        old.InterfaceIndex == now.InterfaceIndex && old.Gateway == now.Gateway) {
      made = old;
    } else {
      // The line of a route Windows deleted still stands: it goes with
      // the route's new one.
      if (old.State == RouteState::Ours) Routes.WithdrawLine(old.JournalLine);
      restored += made.State == RouteState::Ours;
    }
    Routes.Update(prefix, [&made](RecordedRoute& route) { route = made; });
  }
  if (restored > 0) {
    LogLine(FamilyWord(family) + L"bypass routes restored: " + std::to_wstring(restored));
  }
}

void LoseRoutes(uint16_t family) {
  // Every interface down: nothing to route through; keep what is wanted.
  MutexLock lock(Routes.Lock);
  std::vector<std::pair<RoutePrefix, RecordedRoute>> waiting;
  Routes.Revise(family, [&waiting](const RoutePrefix& prefix, RecordedRoute& route) {
    waiting.emplace_back(prefix, route);
    route.State = RouteState::Waiting;
    route.JournalLine = kNotJournaled;
    return true;
  });
  for (const auto& [prefix, route] : waiting) Routes.Withdraw(prefix, route);
  Routes.SetPhysical(family, {});
  LogLine(L"physical " + FamilyWord(family) +
          L"default route lost; bypass routes wait for a network");
}

void MoveRoutes(uint16_t family, const NextHop& now) {
  // Every route moves to the new network, the new row made before the old
  // one goes, so no moment passes without one of them. One that cannot be
  // made waits, and is tried again at the next look.
  // Every new line is written in one go before the first row is made, and
  // the lines that list nothing any more are taken back in one go after the
  // last: the journal may list a row that is gone meanwhile, never miss one.
  // The new network is the physical one from here on, so a route made
  // meanwhile goes the new way; the lock is let go between rows, so the
  // sniffer never waits behind more than one of them.
  RoutePass pass(RoutePass::kBatchFailureLines);
  MutexLock lock(Routes.Lock);
  std::vector<std::pair<RoutePrefix, RecordedRoute>> moving;
  Routes.ForEach([&](const RoutePrefix& prefix, const RecordedRoute& route) {
    if (prefix.Destination.Family == family) moving.emplace_back(prefix, route);
  });
  std::vector<JournaledRoute> entries;
  entries.reserve(moving.size());
  for (const auto& [prefix, route] : moving)
    entries.push_back(Routes.JournalEntry(prefix, now, pass));
  std::vector<uint32_t> lines;
  const bool journaled = Routes.JournalLines(entries, lines);
  const DWORD journalError = GetLastError();
  Routes.SetPhysical(family, now);
  std::vector<uint32_t> unused;
  size_t moved = 0;
  for (size_t i = 0; i < moving.size(); ++i) {
    if (i != 0) {
      lock.Unlock();
      lock.Lock();
    }
    const RoutePrefix& prefix = moving[i].first;
    const RecordedRoute& old = moving[i].second;
    const RecordedRoute* route = Routes.Find(prefix);
    // Changed while the lock was let go (gone idle, left the list, made
    // again): not this move's to make.
    if (!route || route->State != old.State || route->InterfaceIndex != old.InterfaceIndex ||
        route->JournalLine != old.JournalLine) {
      if (journaled) unused.push_back(lines[i]);
      continue;
    }
    RecordedRoute made = *route;
    if (journaled) {
      uint32_t spare = kNotJournaled;
      made = Routes.CreateJournaled(prefix, made, now, lines[i], spare, pass);
      unused.push_back(spare);
    } else {
      pass.LogFailure(L"route journal not written: err=" + std::to_wstring(journalError) +
                      L"; route to " + FormatPrefix(prefix) + L" not created");
      made.State = RouteState::Waiting;
      made.InterfaceIndex = now.InterfaceIndex;
      made.Gateway = now.Gateway;
      made.JournalLine = kNotJournaled;
    }
    Routes.Update(prefix, [&made](RecordedRoute& changed) { changed = made; });
    Routes.DeleteFromSystem(prefix, old);
    if (old.State == RouteState::Ours) unused.push_back(old.JournalLine);
    moved += made.State == RouteState::Ours;
  }
  Routes.WithdrawLines(unused);
  LogLine(L"physical " + FamilyWord(family) + L"default route changed: ifIndex=" +
          std::to_wstring(now.InterfaceIndex) + L" gw=" + FormatAddress(now.Gateway) + L"; " +
          std::to_wstring(moved) + L" bypass routes moved");
}

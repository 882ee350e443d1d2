#include "routing/route_store.h"

#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include "routing/route_journal.h"
#include "routing/route_row.h"
#include "support/log.h"
#include "support/progress.h"

namespace {

int Reason(RouteOrigin origin) { return static_cast<int>(origin); }

class IpHelper final : public RouteSystem {
 public:
  DWORD CreateRoute(const RoutePrefix& prefix, const NextHop& via) override {
    const MIB_IPFORWARD_ROW2 row = BypassRouteRow(via.InterfaceIndex, prefix, via.Gateway);
    return CreateIpForwardEntry2(&row);
  }
  void DeleteRoute(const RoutePrefix& prefix, const NextHop& via) override {
    const MIB_IPFORWARD_ROW2 row = BypassRouteRow(via.InterfaceIndex, prefix, via.Gateway);
    DeleteIpForwardEntry2(&row);
  }
  bool InterfaceLuid(uint32_t interfaceIndex, uint64_t& luid) override {
    NET_LUID found{};
    if (ConvertInterfaceIndexToLuid(interfaceIndex, &found) != NO_ERROR) return false;
    luid = found.Value;
    return true;
  }
};

void LogJournalFailure(const RoutePrefix& prefix, DWORD error, RoutePass& pass) {
  pass.LogFailure(L"route journal not written: err=" + std::to_wstring(error) + L"; route to " +
                  FormatPrefix(prefix) + L" not created");
}

}  // namespace

RouteSystem& IpHelperRouteSystem() {
  static IpHelper system;
  return system;
}

bool WantedFor(const RecordedRoute& route, RouteOrigin origin) {
  return origin == RouteOrigin::List    ? route.ForList
         : origin == RouteOrigin::Split ? route.ForSplit
                                        : route.ForDomain;
}

void MarkWanted(RecordedRoute& route, RouteOrigin origin, bool wanted) {
  (origin == RouteOrigin::List    ? route.ForList
   : origin == RouteOrigin::Split ? route.ForSplit
                                  : route.ForDomain) = wanted;
}

bool WantedAtAll(const RecordedRoute& route) {
  return route.ForList || route.ForSplit || route.ForDomain;
}

RoutePass::~RoutePass() {
  if (unsaid_ > 0) {
    LogLine(L"route failures not logged: " + std::to_wstring(unsaid_) + L" more");
  }
}

void RoutePass::LogFailure(const std::wstring& text) {
  if (linesLeft_ == 0) {
    ++unsaid_;
    return;
  }
  if (linesLeft_ != kEveryFailure) --linesLeft_;
  LogLine(text);
}

void RouteStore::Count(const RecordedRoute& route, int sign) {
  const auto add = [sign](size_t& count) { count += static_cast<size_t>(sign); };
  const bool ours = route.State == RouteState::Ours;
  if (ours) add(counts_.Own);
  int reasons = 0, only = 0;
  for (const RouteOrigin origin : {RouteOrigin::List, RouteOrigin::Split, RouteOrigin::Domain}) {
    if (!WantedFor(route, origin)) continue;
    ++reasons;
    only = Reason(origin);
    add(counts_.RecordedFor[Reason(origin)]);
    if (ours) add(counts_.OwnFor[Reason(origin)]);
  }
  if (reasons == 1) add(counts_.OnlyFor[only]);
}

// What the counts depend on: most changes (a connection more or fewer on
// the sniffer's every event) leave it alone, and cost no recount.
static unsigned CountKey(const RecordedRoute& route) {
  return (route.State == RouteState::Ours ? 8u : 0u) | (route.ForList ? 4u : 0u) |
         (route.ForSplit ? 2u : 0u) | (route.ForDomain ? 1u : 0u);
}

void RouteStore::Changed(const RoutePrefix& prefix, const RecordedRoute* before,
                         const RecordedRoute* after) {
  if (!before || !after || CountKey(*before) != CountKey(*after)) {
    if (before) Count(*before, -1);
    if (after) Count(*after, +1);
  }
  if (observer_) observer_->Changed(prefix, before, after);
}

void RouteStore::Insert(const RoutePrefix& prefix, const RecordedRoute& route) {
  const RecordedRoute* known = table_.Find(prefix);
  const std::optional<RecordedRoute> before =
      known ? std::optional<RecordedRoute>(*known) : std::nullopt;
  table_.Insert(prefix, route);
  Changed(prefix, before ? &*before : nullptr, &route);
}

void RouteStore::Erase(const RoutePrefix& prefix) {
  const RecordedRoute* known = table_.Find(prefix);
  if (!known) return;
  const RecordedRoute before = *known;
  table_.Erase(prefix);
  Changed(prefix, &before, nullptr);
}

void RouteStore::Clear() {
  // A stop waits for this: each batch is a step of its own.
  size_t deleted = 0;
  table_.ForEach([&](const RoutePrefix& prefix, const RecordedRoute& route) {
    if (deleted++ % kRoutesPerProgressStep == 0) ReportProgress(kShortStepMs);
    if (route.State == RouteState::Ours) {
      system_->DeleteRoute(prefix, {route.InterfaceIndex, route.Gateway});
    }
  });
  table_.Clear();
  counts_ = {};
  if (observer_) observer_->Cleared();
  EmptyRouteJournal();
}

bool RouteStore::InTunnelNetworks(const IpAddress& address) {
  for (const RoutePrefix& own : tunnelOwn_) {
    if (PrefixCovers(own, address)) return true;
  }
  return false;
}

uint64_t RouteStore::LuidOf(uint32_t interfaceIndex, RoutePass& pass) {
  if (interfaceIndex == luidIndex_ && luid_ != 0) return luid_;
  if (interfaceIndex == pass.luidUnknownFor_) return 0;
  luidIndex_ = interfaceIndex;
  luid_ = 0;
  if (!system_->InterfaceLuid(interfaceIndex, luid_)) {
    luid_ = 0;
    pass.luidUnknownFor_ = interfaceIndex;
  }
  return luid_;
}

void RouteStore::DeleteFromSystem(const RoutePrefix& prefix, const RecordedRoute& route) {
  if (route.State != RouteState::Ours) return;
  system_->DeleteRoute(prefix, {route.InterfaceIndex, route.Gateway});
}

void RouteStore::Withdraw(const RoutePrefix& prefix, const RecordedRoute& route) {
  DeleteFromSystem(prefix, route);
  WithdrawJournalLine(route.JournalLine);
}

void RouteStore::WithdrawLines(const std::vector<uint32_t>& lines) { WithdrawJournalLines(lines); }

bool RouteStore::JournalLines(const std::vector<JournaledRoute>& routes,
                              std::vector<uint32_t>& lines) {
  return JournalRoutes(routes, lines);
}

RecordedRoute RouteStore::CreateJournaled(const RoutePrefix& prefix, RecordedRoute route,
                                          const NextHop& via, uint32_t line, uint32_t& unused,
                                          RoutePass& pass) {
  unused = kNotJournaled;
  route.State = RouteState::Waiting;
  route.InterfaceIndex = via.InterfaceIndex;
  route.Gateway = via.Gateway;
  route.JournalLine = line;
  const DWORD result = system_->CreateRoute(prefix, via);
  if (result == NO_ERROR) {
    route.State = RouteState::Ours;
    return route;
  }
  unused = line;
  route.JournalLine = kNotJournaled;
  if (result == ERROR_OBJECT_ALREADY_EXISTS) {
    // Someone else's (an administrator's static route, another VPN's):
    // recorded, so it is not asked for again, and never deleted, since
    // their connectivity may rest on it.
    route.State = RouteState::Theirs;
    return route;
  }
  pass.LogFailure(L"CreateIpForwardEntry2 failed rc=" + std::to_wstring(result) + L" for " +
                  FormatPrefix(prefix));
  return route;
}

RecordedRoute RouteStore::CreateThrough(const RoutePrefix& prefix, RecordedRoute route,
                                        const NextHop& via, RoutePass& pass) {
  uint32_t line = kNotJournaled;
  if (!JournalRoute(JournalEntry(prefix, via, pass), line)) {
    LogJournalFailure(prefix, GetLastError(), pass);
    route.State = RouteState::Waiting;
    route.InterfaceIndex = via.InterfaceIndex;
    route.Gateway = via.Gateway;
    return route;
  }
  uint32_t unused = kNotJournaled;
  route = CreateJournaled(prefix, route, via, line, unused, pass);
  WithdrawJournalLine(unused);
  return route;
}

bool RouteStore::RecordAndMake(const RoutePrefix& prefix, RecordedRoute route, RoutePass& pass) {
  const NextHop via = Physical(prefix.Destination.Family);
  if (!via.Captured()) {
    route.State = RouteState::Waiting;
    Insert(prefix, route);
    return true;
  }
  route = CreateThrough(prefix, route, via, pass);
  if (route.State == RouteState::Waiting) return false;
  Insert(prefix, route);
  return true;
}

NextHop PhysicalRouteOf(uint16_t family) {
  MutexLock lock(Routes.Lock);
  return Routes.Physical(family);
}

void SetPhysicalRoute(uint16_t family, const NextHop& via) {
  MutexLock lock(Routes.Lock);
  Routes.SetPhysical(family, via);
}

#include "routing/list_routes.h"

#include <algorithm>
#include <string>
#include <utility>

#include "routing/list_limits.h"
#include "routing/net_merge.h"
#include "support/log.h"

namespace {

// One install of the list at a time: a request's, or the network watcher's
// when the routes beside the list changed.
Mutex ListInstallMutex ACQUIRED_BEFORE(Routes.Lock);

enum class ListChange {
  NewList,    // the client's: what left the list goes first
  NewLimits,  // the routes beside it: the list is the same, so what it
              // now makes comes first, and no listed address goes without
              // a route meanwhile
};

void MarkListed(const RoutePrefix& prefix) REQUIRES(Routes.Lock) {
  Routes.Update(prefix, [](RecordedRoute& route) { route.ForList = true; });
}

// Makes the list's routes that are not recorded yet. Every line goes into
// the journal in one write before the first row is made (a crash at any
// moment leaves no route the next start does not know of), the rows are
// made one at a time with the lock let go in between, so the sniffer's
// host routes interleave, and the lines of rows that were not made are
// taken back in one go after the last.
void MakeListRoutes(const std::vector<RoutePrefix>& nets, RoutePass& pass) EXCLUDES(Routes.Lock) {
  std::vector<RoutePrefix> making;
  std::vector<NextHop> through;
  std::vector<uint32_t> lines;
  {
    MutexLock lock(Routes.Lock);
    std::vector<JournaledRoute> entries;
    for (const RoutePrefix& net : nets) {
      if (Routes.Find(net)) {
        MarkListed(net);
        continue;
      }
      const NextHop physical = Routes.Physical(net.Destination.Family);
      if (!physical.Captured()) {
        RecordedRoute waiting;
        waiting.ForList = true;
        waiting.State = RouteState::Waiting;
        Routes.Insert(net, waiting);
        continue;
      }
      making.push_back(net);
      through.push_back(physical);
      entries.push_back(Routes.JournalEntry(net, physical, pass));
    }
    if (!Routes.JournalLines(entries, lines)) {
      const DWORD error = GetLastError();
      for (const RoutePrefix& net : making) {
        pass.LogFailure(L"route journal not written: err=" + std::to_wstring(error) +
                        L"; route to " + FormatPrefix(net) + L" not created");
      }
      return;
    }
  }
  std::vector<uint32_t> unused;
  unused.reserve(making.size());
  for (size_t i = 0; i < making.size(); ++i) {
    MutexLock lock(Routes.Lock);
    const RoutePrefix& net = making[i];
    RecordedRoute listed;
    listed.ForList = true;
    if (Routes.Find(net)) {
      // A split application's route to it, made meanwhile: now the list's too.
      MarkListed(net);
      unused.push_back(lines[i]);
      continue;
    }
    if (Routes.Physical(net.Destination.Family) != through[i]) {
      // The network moved meanwhile: made the new way, its line written anew.
      unused.push_back(lines[i]);
      Routes.RecordAndMake(net, listed, pass);
      continue;
    }
    uint32_t spare = kNotJournaled;
    listed = Routes.CreateJournaled(net, listed, through[i], lines[i], spare, pass);
    unused.push_back(spare);
    if (listed.State != RouteState::Waiting) Routes.Insert(net, listed);
  }
  MutexLock lock(Routes.Lock);
  Routes.WithdrawLines(unused);
}

void InstallListRoutes(std::vector<RoutePrefix> list, ListChange change) EXCLUDES(Routes.Lock) {
  MutexLock installing(ListInstallMutex);
  const std::vector<MergedNet> merged = MergeNets(std::move(list), RoutesBesideTheList());
  std::vector<RoutePrefix> departed;
  size_t distinct = 0, distinct6 = 0, fresh = 0, unlisted = 0;
  {
    MutexLock lock(Routes.Lock);
    // Networks the client has just put back into the tunnel must not keep
    // leaving outside it; nor a route the list now makes wider or narrower.
    // One sorted array, not a tree of a node per route: a country's list
    // is tens of thousands of them.
    std::vector<RoutePrefix> wanted;
    wanted.reserve(merged.size());
    for (const MergedNet& net : merged) {
      wanted.push_back(net.Prefix);
      (net.Prefix.Destination.IsIPv6() ? distinct6 : distinct) += net.Entries;
      if (change == ListChange::NewLimits) {
        const RecordedRoute* recorded = Routes.Find(net.Prefix);
        fresh += !recorded || !recorded->ForList;
      }
    }
    if (!std::is_sorted(wanted.begin(), wanted.end())) std::sort(wanted.begin(), wanted.end());
    Routes.Revise(0, [&](const RoutePrefix& prefix, RecordedRoute& route) {
      if (!route.ForList || std::binary_search(wanted.begin(), wanted.end(), prefix)) return true;
      ++unlisted;
      route.ForList = false;  // a split application's alone now, or about to go
      if (!route.ForSplit && !route.ForDomain) departed.push_back(prefix);
      return true;
    });
  }
  if (change == ListChange::NewLimits) {
    if (fresh == 0 && unlisted == 0) return;  // the same routes: nothing to say
    LogLine(L"routes beside the bypass list changed: " + std::to_wstring(fresh) +
            L" list routes to make, " + std::to_wstring(unlisted) + L" to give up");
  }
  // A split application may want one of them meanwhile: it then stays.
  const auto withdrawDeparted = [&departed] {
    WithdrawOneAtATime(departed, [](const RecordedRoute& route) { return !WantedAtAll(route); });
  };
  if (change == ListChange::NewList) withdrawDeparted();
  if (merged.empty()) return;
  std::vector<RoutePrefix> nets;
  nets.reserve(merged.size());
  for (const MergedNet& net : merged) nets.push_back(net.Prefix);
  {
    // However long the list, its install logs a bounded number of failures.
    RoutePass pass(RoutePass::kBatchFailureLines);
    MakeListRoutes(nets, pass);
    if (change == ListChange::NewLimits) withdrawDeparted();
  }
  // What the system holds of the list now: entries carried by a route that
  // is there (the helper's or someone else's), and those routes, by family.
  size_t entries[2] = {0, 0}, routes[2] = {0, 0}, waiting4 = 0;
  NextHop physical, physical6;
  {
    MutexLock lock(Routes.Lock);
    for (const MergedNet& net : merged) {
      const RecordedRoute* route = Routes.Find(net.Prefix);
      const int six = net.Prefix.Destination.IsIPv6() ? 1 : 0;
      if (route && route->State != RouteState::Waiting) {
        entries[six] += net.Entries;
        ++routes[six];
      } else if (route && !six) {
        ++waiting4;
      }
    }
    physical = Routes.Physical(kFamilyIPv4);
    physical6 = Routes.Physical(kFamilyIPv6);
    if (physical.Captured()) waiting4 = 0;
  }
  if (waiting4 > 0) {
    LogLine(L"no physical default route captured; " + std::to_wstring(waiting4) +
            L" bypass routes wait");
  }
  // Both families counted, the IPv4 route named; then the IPv6 ones alone.
  // The list's distinct prefixes: 10.0.0.0/8 and 10.1.2.3/8 are one entry.
  const auto summary = [](size_t carried, size_t listed, size_t made) {
    return std::to_wstring(carried) + L"/" + std::to_wstring(listed) + L" installed (" +
           std::to_wstring(made) + (made == 1 ? L" route)" : L" routes)");
  };
  LogLine(L"bypass routes: " +
          summary(entries[0] + entries[1], distinct + distinct6, routes[0] + routes[1]) +
          L" via ifIndex=" + std::to_wstring(physical.InterfaceIndex) + L" gw=" +
          FormatAddress(physical.Gateway));
  if (distinct6 == 0) return;
  LogLine(L"bypass routes (IPv6): " + summary(entries[1], distinct6, routes[1]) + L" via ifIndex=" +
          std::to_wstring(physical6.InterfaceIndex) + L" gw=" + FormatAddress(physical6.Gateway));
}

}  // namespace

void InstallBypassRoutes(const std::vector<RoutePrefix>& list) {
  InstallListRoutes(list, ListChange::NewList);
}

void RemergeBypassRoutes(const std::vector<RoutePrefix>& list) {
  InstallListRoutes(list, ListChange::NewLimits);
}

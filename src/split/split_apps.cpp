#include "split/split_apps.h"

#include <mutex>
#include <set>

#include "routing/network_watch.h"
#include "split/sniffer.h"
#include "support/helper_state.h"
#include "support/text.h"

void SetSplitApps(const std::wstring& argument) {
  std::set<std::wstring> apps;
  for (const std::wstring& entry : SplitListEntries(argument)) apps.insert(FoldAsciiLower(entry));
  const bool empty = apps.empty();
  {
    std::lock_guard<std::mutex> lock(HelperState.StateMutex);
    HelperState.SplitAppSet = std::move(apps);
  }
  if (!HelperState.TunnelConnected) return;  // the next connect starts the sniffer
  if (empty) {
    // Stopping the sniffer clears the route table; the watcher must not
    // follow the network meanwhile. The tunnel is still up: it follows on.
    StopNetworkWatch();
    StopSniffer();
    StartNetworkWatch();
  } else {
    StartSniffer();
  }
}

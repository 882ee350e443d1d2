#include "split/split_apps.h"

#include <memory>
#include <mutex>

#include "split/sniffer.h"
#include "support/helper_state.h"

void SetSplitApps(const std::wstring& argument) {
  auto list = std::make_shared<const SplitAppList>(ParseSplitApps(argument));
  const bool empty = list->Empty();
  std::atomic_store(&HelperState.SplitApps, std::move(list));
  if (!HelperState.TunnelConnected) return;  // the next connect starts the sniffer
  if (empty) {
    // Its host routes go with it; the list's networks keep theirs.
    StopSniffer();
  } else {
    StartSniffer();
    SplitListChanged();
  }
}

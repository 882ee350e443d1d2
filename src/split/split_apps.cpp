#include "split/split_apps.h"

#include <memory>
#include <mutex>

#include "split/sniffer.h"
#include "support/helper_state.h"
#include "support/text.h"

namespace {

// An entry ending in "+" names a launcher; one holding a "\" is a full path,
// compared as Windows compares file names; any other is a file name, A-Z
// folded.
std::shared_ptr<const SplitAppList> ParseSplitApps(const std::wstring& argument) {
  auto list = std::make_shared<SplitAppList>();
  for (std::wstring entry : SplitListEntries(argument)) {
    const bool launcher = entry.size() > 1 && entry.back() == L'+';
    if (launcher) entry.pop_back();
    if (entry.find(L'\\') != std::wstring::npos) {
      (launcher ? list->LaunchedByPaths : list->Paths).push_back(entry);
    } else {
      (launcher ? list->LaunchedBy : list->Names).insert(FoldAsciiLower(entry));
    }
  }
  return list;
}

}  // namespace

void SetSplitApps(const std::wstring& argument) {
  std::shared_ptr<const SplitAppList> list = ParseSplitApps(argument);
  const bool empty = list->Empty();
  std::atomic_store(&HelperState.SplitApps, std::shared_ptr<const SplitAppList>(std::move(list)));
  if (!HelperState.TunnelConnected) return;  // the next connect starts the sniffer
  if (empty) {
    // Its host routes go with it; the list's networks keep theirs.
    StopSniffer();
  } else {
    StartSniffer();
    SplitListChanged();
  }
}

#include "split/split_apps.h"

#include <memory>
#include <mutex>

#include "support/helper_state.h"

void PublishSplitApps(const std::wstring& argument) {
  std::atomic_store(&HelperState.SplitApps,
                    std::make_shared<const SplitAppList>(ParseSplitApps(argument)));
}

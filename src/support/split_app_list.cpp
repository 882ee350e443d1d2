#include "support/split_app_list.h"

#include "support/text.h"

SplitAppList ParseSplitApps(std::wstring_view list) {
  SplitAppList apps;
  for (std::wstring entry : SplitListEntries(list)) {
    const bool launcher = entry.size() > 1 && entry.back() == L'+';
    if (launcher) entry.pop_back();
    if (entry.find(L'\\') != std::wstring::npos) {
      (launcher ? apps.LaunchedByPaths : apps.Paths).push_back(entry);
    } else {
      (launcher ? apps.LaunchedBy : apps.Names).insert(FoldAsciiLower(entry));
    }
  }
  return apps;
}

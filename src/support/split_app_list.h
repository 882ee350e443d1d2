#pragma once
// The applications split around the tunnel (the "splitapps" list), as the
// helper holds it. Includes no platform header: it builds natively for
// fuzzing.
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// By the kind of entry:
// - Names: an executable's file name, A-Z folded to lower case, matched
//   against the file name of a process's image (nothing else folded);
// - Paths: an entry holding a "\", a full image path, matched ignoring case
//   as Windows compares file names;
// - LaunchedBy / LaunchedByPaths: the same with a "+" after them: the
//   process and every process it started, directly or not.
struct SplitAppList {
  std::set<std::wstring> Names;
  std::set<std::wstring> LaunchedBy;
  std::vector<std::wstring> Paths;
  std::vector<std::wstring> LaunchedByPaths;
  bool Empty() const {
    return Names.empty() && LaunchedBy.empty() && Paths.empty() && LaunchedByPaths.empty();
  }
  bool HasLaunchers() const { return !LaunchedBy.empty() || !LaunchedByPaths.empty(); }
  size_t Size() const {
    return Names.size() + LaunchedBy.size() + Paths.size() + LaunchedByPaths.size();
  }
};

// The entries of a list argument ("a; b;c"): an entry ending in "+" (and
// more than the "+") names a launcher; one holding a "\" is a full path,
// kept as written; any other is a file name, A-Z folded.
SplitAppList ParseSplitApps(std::wstring_view list);

#pragma once
// The applications whose connections go around the tunnel ("splitapps").
#include <string>

// Replaces HelperState.SplitApps with the entries of the list: file names
// (A-Z folded), full paths (holding a "\"), each of them as a launcher when
// it ends in "+". While the tunnel is up, starts the sniffer for a non-empty
// list (or routes the open connections of what the changed list names) and
// stops it (clearing every bypass route) for an empty one.
void SetSplitApps(const std::wstring& argument);

#pragma once
// The applications whose connections go around the tunnel ("splitapps").
#include <string>

// Replaces SplitAppSet with the entries of the list, lower-cased (A-Z
// only); while the tunnel is up, starts the sniffer for a non-empty list and
// stops it (clearing every bypass route) for an empty one.
void SetSplitApps(const std::wstring& argument);

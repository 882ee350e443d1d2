#pragma once
// The applications whose connections go around the tunnel ("splitapps").
#include <string>

// Replaces HelperState.SplitApps with the entries of the list: file names
// (A-Z folded), full paths (holding a "\"), each of them as a launcher when
// it ends in "+". What the list means for a running sniffer is the
// session's to apply (tunnel/session.h).
void PublishSplitApps(const std::wstring& argument);

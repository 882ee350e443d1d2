#pragma once
// list_bench's road through the pipe (list_bench_pipe.cpp says how it is
// measured).
#include <vector>

#include "bench_common.h"

// Prints, for each size, the judged line (the request to the last route
// made against the bare creates; `met` cleared on a miss) and where the time
// goes per entry. False when the run could not be made.
bool RunPipeRoad(const std::vector<unsigned>& sizes, unsigned rounds, const CommonOptions& common,
                 bool& met);

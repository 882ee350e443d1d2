#include "support/progress.h"

#include <atomic>

namespace {

std::atomic<ProgressReporter> Reporter{nullptr};

}  // namespace

void ReportProgress(DWORD stepMs) {
  if (const ProgressReporter reporter = Reporter.load()) reporter(stepMs);
}

void SetProgressReporter(ProgressReporter reporter) { Reporter.store(reporter); }

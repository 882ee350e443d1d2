#pragma once
// What a starting or stopping service waits for says how far it has come.
// The service control manager takes a pending service whose checkpoint does
// not advance within its wait hint for hung (and runs the recovery actions
// on it), so the checkpoint advances only when a step of the work itself
// begins, never on a timer: a step that hangs past its hint shows as hung.
#include <windows.h>

// A step of the work begins that may take up to `stepMs`. A service that is
// starting or stopping advances its checkpoint, with a hint that covers the
// step; a running service keeps the step in mind, for the hint of a stop
// that comes during it. Nothing in console mode. Any thread; cheap.
void ReportProgress(DWORD stepMs);

// Set by the service (lifecycle.cpp) before anything reports, and never
// unset; null until then.
using ProgressReporter = void (*)(DWORD stepMs);
void SetProgressReporter(ProgressReporter reporter);

// Steps that take a bounded amount of work each: a batch of routes deleted
// or replayed, a worker stopped and joined.
constexpr DWORD kShortStepMs = 5000;
// Routes are deleted or replayed this many at a time between reports.
constexpr size_t kRoutesPerProgressStep = 256;

#pragma once
// Every overlapped operation goes through here: start it, wait for it (and,
// by policy, for an event that cuts it short), cancel it when it is cut
// short, and collect its result. The pipe server's accept, read and write
// and the tool runner's reads of the tool's output differ only in the policy
// they pass.
#include <windows.h>

// What else ends the wait for an operation.
struct CutShortBy {
  HANDLE Event = nullptr;  // signalled: the operation is cancelled; none: never
  // Whether the event also wins over an operation that finished at the same
  // moment: a stop that comes together with a client must leave it unserved.
  bool WinsOverCompletion = false;
};
// The helper's stop: it ends accepts and reads, and wins over a client that
// came with it.
CutShortBy ByStop();
// Nothing but the operation itself and its time-out (a reply to a command
// that has run is delivered even during a stop).
constexpr CutShortBy kNotCutShort{};

enum class IoResult {
  Done,      // finished successfully
  Failed,    // finished with an error (the other end went away)
  CutShort,  // the policy's event came first (or won); cancelled
  TimedOut,  // not finished within the time-out; cancelled
};

// Whether StopEvent is signalled.
bool StopRequested();

// `started` and `startError` are what the starting call returned and the
// thread's last error right after it.
IoResult FinishOverlapped(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD startError,
                          DWORD timeoutMs, CutShortBy cut, DWORD& transferred);

// Starts the operation with `start(OVERLAPPED*)` (ReadFile, WriteFile or
// ConnectNamedPipe on `handle`) using `event`, and finishes it as above.
// The last error is taken here, right after the call, so callers cannot
// disturb it.
template <typename Start>
IoResult RunOverlapped(HANDLE handle, HANDLE event, DWORD timeoutMs, CutShortBy cut,
                       DWORD& transferred, Start start) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  const BOOL started = start(&overlapped);
  const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
  return FinishOverlapped(handle, overlapped, started, startError, timeoutMs, cut, transferred);
}

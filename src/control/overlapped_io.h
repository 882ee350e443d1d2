#pragma once
// Every overlapped operation on a pipe instance goes through here: start it,
// wait for it (and, by policy, for StopEvent), cancel it when it is cut
// short, and collect its result. Accept, read and write differ only in the
// policy they pass.
#include <windows.h>

enum class OnStop {
  Abandon,  // a stop cuts the operation short, and also counts when the
            // operation finished at the same moment
  Finish,   // a stop does not concern it (a reply to a command that ran)
};

enum class IoResult {
  Done,      // finished successfully
  Failed,    // finished with an error (the client went away)
  Stopped,   // StopEvent is signalled and the policy abandons the operation
  TimedOut,  // not finished within the time-out; cancelled
};

// `started` and `startError` are what the starting call returned and the
// thread's last error right after it.
IoResult FinishOverlapped(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD startError,
                          DWORD timeoutMs, OnStop onStop, DWORD& transferred);

// Starts the operation with `start(OVERLAPPED*)` (ReadFile, WriteFile or
// ConnectNamedPipe on `handle`) using `event`, and finishes it as above.
// The last error is taken here, right after the call, so callers cannot
// disturb it.
template <typename Start>
IoResult RunOverlapped(HANDLE handle, HANDLE event, DWORD timeoutMs, OnStop onStop,
                       DWORD& transferred, Start start) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  const BOOL started = start(&overlapped);
  const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
  return FinishOverlapped(handle, overlapped, started, startError, timeoutMs, onStop, transferred);
}

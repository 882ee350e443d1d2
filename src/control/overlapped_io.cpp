#include "control/overlapped_io.h"

#include "support/helper_state.h"

namespace {

bool StopRequested() { return WaitForSingleObject(HelperState.StopEvent, 0) == WAIT_OBJECT_0; }

}  // namespace

IoResult FinishOverlapped(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD startError,
                          DWORD timeoutMs, OnStop onStop, DWORD& transferred) {
  transferred = 0;
  bool succeeded = false;
  bool timedOut = false;
  if (started) {
    // Finished at once (the usual case for a short request and its reply):
    // no wait needed.
    succeeded = GetOverlappedResult(handle, &overlapped, &transferred, FALSE) != FALSE;
  } else if (startError == ERROR_PIPE_CONNECTED) {
    // Accept only: the client came between creating the instance and the
    // call; nothing is pending.
    succeeded = true;
  } else if (startError == ERROR_IO_PENDING) {
    const HANDLE waits[] = {overlapped.hEvent, HelperState.StopEvent};
    const DWORD count = onStop == OnStop::Abandon ? 2 : 1;
    const DWORD waited = WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
    if (waited != WAIT_OBJECT_0) CancelIoEx(handle, &overlapped);
    // Finished or cancelled: the OVERLAPPED must not be released while the
    // system may still write to it.
    succeeded = GetOverlappedResult(handle, &overlapped, &transferred, TRUE) != FALSE;
    timedOut = waited == WAIT_TIMEOUT && !succeeded;
  }
  // Tested whichever way the operation ended: a stop and a client arriving
  // together wake the wait with the I/O event first, and the stop must win.
  if (onStop == OnStop::Abandon && StopRequested()) return IoResult::Stopped;
  if (succeeded) return IoResult::Done;
  return timedOut ? IoResult::TimedOut : IoResult::Failed;
}

#include "support/overlapped_io.h"

#include "support/helper_state.h"

namespace {

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

CutShortBy ByStop() { return {HelperState.StopEvent, true}; }

bool StopRequested() { return Signalled(HelperState.StopEvent); }

IoResult FinishOverlapped(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD startError,
                          DWORD timeoutMs, CutShortBy cut, DWORD& transferred) {
  transferred = 0;
  bool succeeded = false;
  DWORD waited = WAIT_OBJECT_0;
  if (started) {
    // Finished at once (the usual case for a short request and its reply):
    // no wait needed.
    succeeded = GetOverlappedResult(handle, &overlapped, &transferred, FALSE) != FALSE;
  } else if (startError == ERROR_PIPE_CONNECTED) {
    // Accept only: the client came between creating the instance and the
    // call; nothing is pending.
    succeeded = true;
  } else if (startError == ERROR_IO_PENDING) {
    const HANDLE waits[] = {overlapped.hEvent, cut.Event};
    waited = WaitForMultipleObjects(cut.Event ? 2 : 1, waits, FALSE, timeoutMs);
    if (waited != WAIT_OBJECT_0) CancelIoEx(handle, &overlapped);
    // Finished or cancelled: the OVERLAPPED must not be released while the
    // system may still write to it.
    succeeded = GetOverlappedResult(handle, &overlapped, &transferred, TRUE) != FALSE;
  }
  // Tested whichever way the operation ended: a stop and a client arriving
  // together wake the wait with the I/O event first, and the stop must win.
  if (cut.Event && cut.WinsOverCompletion && Signalled(cut.Event)) return IoResult::CutShort;
  if (succeeded) return IoResult::Done;
  if (waited == WAIT_OBJECT_0 + 1) return IoResult::CutShort;
  return waited == WAIT_TIMEOUT ? IoResult::TimedOut : IoResult::Failed;
}

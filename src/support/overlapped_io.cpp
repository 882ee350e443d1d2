#include "support/overlapped_io.h"

#include "support/helper_state.h"

namespace {

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

CutShortBy ByStop() { return {HelperState.StopEvent, true}; }

bool StopRequested() { return Signalled(HelperState.StopEvent); }

void OverlappedOp::Started(BOOL started, DWORD startError) {
  transferred_ = 0;
  if (started) {
    // Finished at once (the usual case for a short request and its reply):
    // collected without a wait.
    state_ = State::Finished;
    succeeded_ = GetOverlappedResult(handle_, &overlapped_, &transferred_, FALSE) != FALSE;
  } else if (startError == ERROR_IO_PENDING) {
    state_ = State::InFlight;
  } else {
    // ERROR_PIPE_CONNECTED, accept only: the client came between creating
    // the instance and the call; nothing is pending and the event stays
    // unsignalled. Anything else failed at once.
    state_ = State::Finished;
    succeeded_ = startError == ERROR_PIPE_CONNECTED;
  }
}

bool OverlappedOp::Poll(IoResult& result, DWORD& transferred) {
  transferred = 0;
  if (state_ == State::Idle) return false;
  if (state_ == State::InFlight) {
    if (GetOverlappedResult(handle_, &overlapped_, &transferred_, FALSE)) {
      succeeded_ = true;
    } else if (GetLastError() == ERROR_IO_INCOMPLETE) {
      return false;
    } else {
      succeeded_ = false;
    }
  }
  transferred = transferred_;
  state_ = State::Idle;
  result = succeeded_ ? IoResult::Done : IoResult::Failed;
  return true;
}

void OverlappedOp::Cancel() {
  if (state_ != State::InFlight) {
    state_ = State::Idle;
    return;
  }
  CancelIoEx(handle_, &overlapped_);
  // Finished or cancelled: the OVERLAPPED must not be released while the
  // system may still write to it.
  DWORD ignored = 0;
  GetOverlappedResult(handle_, &overlapped_, &ignored, TRUE);
  state_ = State::Idle;
}

IoResult OverlappedOp::Finish(DWORD timeoutMs, CutShortBy cut, DWORD& transferred) {
  transferred = 0;
  DWORD waited = WAIT_OBJECT_0;
  IoResult result = IoResult::Failed;
  if (state_ == State::InFlight) {
    const HANDLE waits[] = {overlapped_.hEvent, cut.Event};
    waited = WaitForMultipleObjects(cut.Event ? 2 : 1, waits, FALSE, timeoutMs);
    if (waited != WAIT_OBJECT_0) CancelIoEx(handle_, &overlapped_);
    result = GetOverlappedResult(handle_, &overlapped_, &transferred, TRUE) ? IoResult::Done
                                                                            : IoResult::Failed;
    state_ = State::Idle;
  } else {
    Poll(result, transferred);
  }
  // Tested whichever way the operation ended: a stop and a client arriving
  // together wake the wait with the I/O event first, and the stop must win.
  if (cut.Event && cut.WinsOverCompletion && Signalled(cut.Event)) return IoResult::CutShort;
  if (result == IoResult::Done) return IoResult::Done;
  if (waited == WAIT_OBJECT_0 + 1) return IoResult::CutShort;
  return waited == WAIT_TIMEOUT ? IoResult::TimedOut : IoResult::Failed;
}

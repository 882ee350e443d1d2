#pragma once
// Every overlapped operation goes through here: start it, wait for it (and,
// by policy, for an event that cuts it short), cancel it when it is cut
// short, and collect its result. The pipe server's accepts, reads and
// replies and the tool runner's reads of the tool's output differ only in
// the policy they pass, and in whether they wait for one operation at a
// time (RunOverlapped) or keep many in flight and collect each when its
// event says so (OverlappedOp's Poll).
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

// One overlapped operation (ReadFile, WriteFile or ConnectNamedPipe) on a
// handle, signalling a manual-reset event of the caller's. The OVERLAPPED
// lives here: while the operation is in flight the object must stay where
// it is, and so must the caller's buffer, until Poll has reported it
// finished, Finish has returned or Cancel has.
class OverlappedOp {
 public:
  OverlappedOp() = default;
  OverlappedOp(const OverlappedOp&) = delete;
  OverlappedOp& operator=(const OverlappedOp&) = delete;
  ~OverlappedOp() { Cancel(); }

  // Starts it with `start(OVERLAPPED*)`. The last error is taken here, right
  // after the call, so callers cannot disturb it.
  template <typename Start>
  void Begin(HANDLE handle, HANDLE event, Start start) {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event;
    handle_ = handle;
    const BOOL started = start(&overlapped_);
    Started(started, started ? ERROR_SUCCESS : GetLastError());
  }
  // Still in flight: its event is worth waiting on.
  bool InFlight() const { return state_ == State::InFlight; }
  // Finished when it was started (its event need not be signalled: an
  // accept whose client came first is not), and not collected yet.
  bool Uncollected() const { return state_ == State::Finished; }
  // Without waiting: false while it is in flight; else true once, with its
  // result (Done or Failed) and the bytes it moved.
  bool Poll(IoResult& result, DWORD& transferred);
  // Waits for it, and by the policy for the event that cuts it short, at
  // most timeoutMs; cancels it when it does not finish first.
  IoResult Finish(DWORD timeoutMs, CutShortBy cut, DWORD& transferred);
  // Cancels it if it is in flight, and returns once the system no longer
  // uses the OVERLAPPED or the buffer; what it did is dropped.
  void Cancel();

 private:
  enum class State { Idle, InFlight, Finished };
  void Started(BOOL started, DWORD startError);

  OVERLAPPED overlapped_{};
  HANDLE handle_ = nullptr;
  State state_ = State::Idle;
  bool succeeded_ = false;  // when Finished
  DWORD transferred_ = 0;   //   and what it moved
};

// Starts the operation with `start(OVERLAPPED*)` (ReadFile, WriteFile or
// ConnectNamedPipe on `handle`) using `event`, and finishes it as
// OverlappedOp::Finish does.
template <typename Start>
IoResult RunOverlapped(HANDLE handle, HANDLE event, DWORD timeoutMs, CutShortBy cut,
                       DWORD& transferred, Start start) {
  OverlappedOp op;
  op.Begin(handle, event, start);
  return op.Finish(timeoutMs, cut, transferred);
}

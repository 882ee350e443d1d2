#pragma once
// A thread that serves WinDivert handles: its body opens them on the thread,
// publishes each so that a stop can end a receive blocked in it, and
// withdraws it before closing it. Started by the constructor, stopped and
// joined by the destructor; the sniffer and the DNS hold each own one for as
// long as they run.
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "split/windivert_abi.h"

class WinDivertWorker {
 public:
  // Starts `body` on a thread of its own; Started() says whether it could.
  explicit WinDivertWorker(std::function<void(WinDivertWorker&)> body);
  ~WinDivertWorker();
  WinDivertWorker(const WinDivertWorker&) = delete;
  WinDivertWorker& operator=(const WinDivertWorker&) = delete;

  bool Started() const { return thread_.joinable(); }
  // The error that kept the thread from starting (0 when it started).
  int StartError() const { return startError_; }
  // False once a stop was asked for: the body ends its loops and acts on no
  // packet or event received after it.
  bool Running() const { return running_; }

  // A handle the body opened, and the library's shutdown entry point (null
  // when the library has none). Published after the stop was asked for, it
  // is shut down at once: that stop found nothing to shut.
  void Publish(HANDLE handle, WinDivertShutdownFn shutdown);
  // Before the body closes the handle, so that a stop never shuts down a
  // closed one.
  void Withdraw(HANDLE handle);
  bool AnyPublished() const;

  // Asks the body to end and shuts down the receive of every published
  // handle (the first call only). True when a published handle has no shutdown: the caller wakes
  // that receive its own way before Join.
  bool RequestStop();
  void Join();

 private:
  struct Published {
    HANDLE Handle;
    WinDivertShutdownFn Shutdown;
  };
  std::atomic<bool> running_{true};
  mutable std::mutex lock_;
  std::vector<Published> published_;  // guarded by lock_
  int startError_ = 0;
  std::thread thread_;  // last: the body may use everything above
};

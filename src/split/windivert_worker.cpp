#include "split/windivert_worker.h"

#include <algorithm>
#include <system_error>
#include <utility>

WinDivertWorker::WinDivertWorker(std::function<void(WinDivertWorker&)> body) {
  try {
    thread_ = std::thread([this, body = std::move(body)] { body(*this); });
  } catch (const std::system_error& failure) {
    running_ = false;
    startError_ = failure.code().value();
  }
}

WinDivertWorker::~WinDivertWorker() {
  RequestStop();
  Join();
}

void WinDivertWorker::Publish(HANDLE handle, WinDivertShutdownFn shutdown) {
  std::lock_guard<std::mutex> lock(lock_);
  published_.push_back({handle, shutdown});
  if (!running_ && shutdown) shutdown(handle, kWinDivertShutdownRecv);
}

void WinDivertWorker::Withdraw(HANDLE handle) {
  std::lock_guard<std::mutex> lock(lock_);
  published_.erase(std::remove_if(published_.begin(), published_.end(),
                                  [handle](const Published& one) { return one.Handle == handle; }),
                   published_.end());
}

bool WinDivertWorker::AnyPublished() const {
  std::lock_guard<std::mutex> lock(lock_);
  return !published_.empty();
}

bool WinDivertWorker::RequestStop() {
  std::lock_guard<std::mutex> lock(lock_);
  // Once: a handle shut down already is not shut down again.
  if (!running_.exchange(false)) return false;
  bool unwakeable = false;
  for (const Published& one : published_) {
    if (one.Shutdown) {
      one.Shutdown(one.Handle, kWinDivertShutdownRecv);
    } else {
      unwakeable = true;
    }
  }
  return unwakeable;
}

void WinDivertWorker::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

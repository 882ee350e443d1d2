#include "control/command_runner.h"

#include <system_error>
#include <utility>

#include "control/dispatcher.h"
#include "support/overlapped_io.h"

std::wstring (*RunPipeCommand)(const std::wstring& line, HANDLE client) = DispatchCommand;

CommandRunner::CommandRunner(HANDLE finished) : finished_(finished) {
  try {
    worker_ = std::thread(&CommandRunner::Work, this);
  } catch (const std::system_error& failure) {
    startError_ = static_cast<DWORD>(failure.code().value());
    if (startError_ == ERROR_SUCCESS) startError_ = ERROR_NOT_ENOUGH_MEMORY;
  }
}

CommandRunner::~CommandRunner() { End(); }

void CommandRunner::Add(uint64_t client, std::wstring line, HANDLE pipe) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back({client, std::move(line), pipe});
  }
  wake_.notify_one();
}

std::vector<CommandDone> CommandRunner::TakeFinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(done_, {});
}

void CommandRunner::Post(CommandDone done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(std::move(done));
  }
  SetEvent(finished_);
}

void CommandRunner::Work() {
  for (;;) {
    Request request;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return ending_ || !queued_.empty(); });
      if (ending_) return;
      request = std::move(queued_.front());
      queued_.pop_front();
    }
    // A stop that came with a request leaves it undone, as one that comes
    // while the request is still being read.
    if (StopRequested()) {
      Post({request.Client, false, {}});
      continue;
    }
    Post({request.Client, true, RunPipeCommand(request.Line, request.Pipe)});
  }
}

void CommandRunner::End() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  wake_.notify_one();
  if (worker_.joinable()) worker_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (Request& request : queued_) done_.push_back({request.Client, false, {}});
  queued_.clear();
}

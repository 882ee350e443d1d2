#include "control/command_runner.h"

#include <system_error>
#include <utility>

#include "control/dispatcher.h"

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
  AcquireSRWLockExclusive(&lock_);
  queued_.push_back({client, std::move(line), pipe});
  ReleaseSRWLockExclusive(&lock_);
  WakeConditionVariable(&wake_);
}

std::vector<CommandDone> CommandRunner::TakeFinished() {
  AcquireSRWLockExclusive(&lock_);
  std::vector<CommandDone> done = std::exchange(done_, {});
  ReleaseSRWLockExclusive(&lock_);
  return done;
}

void CommandRunner::Post(CommandDone done) {
  AcquireSRWLockExclusive(&lock_);
  done_.push_back(std::move(done));
  ReleaseSRWLockExclusive(&lock_);
  SetEvent(finished_);
}

void CommandRunner::Work() {
  for (;;) {
    AcquireSRWLockExclusive(&lock_);
    while (!ending_ && queued_.empty()) SleepConditionVariableSRW(&wake_, &lock_, INFINITE, 0);
    if (ending_) {
      ReleaseSRWLockExclusive(&lock_);
      return;
    }
    Request request = std::move(queued_.front());
    queued_.pop_front();
    ReleaseSRWLockExclusive(&lock_);
    // No look at the stop here: End() comes as soon as the pipe's thread
    // sees it, and what is still queued then is never run.
    Post({request.Client, true, RunPipeCommand(request.Line, request.Pipe)});
  }
}

void CommandRunner::End() {
  AcquireSRWLockExclusive(&lock_);
  ending_ = true;
  ReleaseSRWLockExclusive(&lock_);
  WakeConditionVariable(&wake_);
  if (worker_.joinable()) worker_.join();
  AcquireSRWLockExclusive(&lock_);
  for (Request& request : queued_) done_.push_back({request.Client, false, {}});
  queued_.clear();
  ReleaseSRWLockExclusive(&lock_);
}

#pragma once
// The control pipe's commands run here, one at a time on one thread of
// their own, in the order their requests were completed: connect,
// disconnect and the lists never overlap, and the thread that reads the
// clients is never held by a command.
#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

// What became of one request handed to the runner.
struct CommandDone {
  uint64_t Client = 0;  // the id the request was added with
  bool Ran = false;     // false: the stop came first (End), nothing was done
  std::wstring Reply;   // when it ran
};

// Runs a request line; `client` is the pipe instance it came through,
// connected, its request read. DispatchCommand; a seam for tests.
extern std::wstring (*RunPipeCommand)(const std::wstring& line, HANDLE client);

class CommandRunner {
 public:
  // Starts the thread; `finished` (an event, borrowed) is set
  // whenever a request is done with. Started() says whether it runs.
  explicit CommandRunner(HANDLE finished);
  // End()s it.
  ~CommandRunner();
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  bool Started() const { return worker_.joinable(); }
  DWORD StartError() const { return startError_; }

  // Queues a request. The pipe stays the caller's, and must stay connected
  // and untouched until the request's CommandDone has been taken.
  void Add(uint64_t client, std::wstring line, HANDLE pipe);
  // The requests done with since the last call, in the order they were.
  std::vector<CommandDone> TakeFinished();
  // For the stop: lets the command that runs finish, starts no other (those
  // still queued come back as not run), and joins the thread.
  void End();

 private:
  struct Request {
    uint64_t Client;
    std::wstring Line;
    HANDLE Pipe;
  };
  void Work();
  void Post(CommandDone done);

  HANDLE finished_;
  // The system's slim lock and condition variable: the thread is woken
  // without a round trip through a kernel object (under Wine, through its
  // server), which costs the pipe's every request.
  SRWLOCK lock_ = SRWLOCK_INIT;  // guards everything below but the thread
  CONDITION_VARIABLE wake_ = CONDITION_VARIABLE_INIT;
  std::deque<Request> queued_;
  std::vector<CommandDone> done_;
  bool ending_ = false;
  DWORD startError_ = ERROR_SUCCESS;
  std::thread worker_;
};

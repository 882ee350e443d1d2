#include "control/pipe_server.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/client_handler.h"
#include "control/client_identity.h"
#include "control/command_runner.h"
#include "control/pipe_instance.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/limits.h"
#include "support/log.h"
#include "support/overlapped_io.h"
#include "support/protocol.h"
#include "support/security.h"

using Client = PipeClient;

namespace {

constexpr DWORD kCreateRetryMs = 500;
// One wait covers every client, the stop, the accept and the runner.
constexpr size_t kClientsAtMostInOneWait = MAXIMUM_WAIT_OBJECTS - 3;

HANDLE CreateManualResetEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

size_t ClientsAtMost() {
  const size_t wanted = HelperLimits.PipeClientsAtMost;
  return wanted == 0 ? 1 : wanted < kClientsAtMostInOneWait ? wanted : kClientsAtMostInOneWait;
}

ULONGLONG Earlier(ULONGLONG a, ULONGLONG b) { return a < b ? a : b; }

// The server's instances, its clients, and what they hold, on the thread
// that runs RunPipeServer; only the commands run elsewhere (CommandRunner).
class PipeServer {
 public:
  PipeServer();
  // The Windows error that keeps it from serving (logged), or none.
  DWORD StartError() const { return startError_; }
  void ServeUntilStopped();

 private:
  // A listening instance whenever there is room for a client: before any
  // instance of ours is closed, so that the name never lapses, and after
  // each accept, so that the next client finds one.
  void Listen(ULONGLONG now);
  void Admit(UniqueFileHandle pipe, ULONGLONG now);
  // Starts and collects the client's operations until one is in flight or
  // none is due.
  void Pump(Client& client, ULONGLONG now);
  void Finished(Client& client, IoResult result, DWORD transferred, ULONGLONG now);
  void Release(Client& client);  // its request bytes
  void StartReply(Client& client, const std::wstring& reply, ULONGLONG now);
  Client* Find(uint64_t id);
  // Closes the clients done with.
  void CloseFinished(ULONGLONG now);
  // Waits for anything to do; true when the stop came.
  bool WaitForWork(ULONGLONG now);
  // The stop: nothing more is read or run; the command that runs finishes
  // and its reply is delivered.
  void Stop();

  DWORD startError_ = ERROR_SUCCESS;
  UniqueLocalMemory descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
  UniqueHandle acceptEvent_;
  UniqueHandle commandsDone_;
  std::vector<UniqueHandle> slotEvents_;
  std::vector<HANDLE> freeEvents_;
  std::vector<std::unique_ptr<Client>> clients_;
  uint64_t nextId_ = 1;
  size_t heldBytes_ = 0;
  UniqueFileHandle listening_;  // the instance clients find; ours whenever it exists
  OverlappedOp accept_;         // declared after it: cancelled before it closes
  bool reportedHeld_ = false;
  ULONGLONG createAgainAt_ = 0;
  std::unique_ptr<CommandRunner> runner_;
};

PipeServer::PipeServer() {
  const auto made = [this](UniqueHandle& event, HANDLE handle) {
    event.reset(handle);
    if (event) return true;
    const DWORD error = GetLastError();
    LogLine(L"control pipe not served: CreateEvent failed err=" + std::to_wstring(error));
    startError_ = error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY;
    return false;
  };
  // The runner's is auto-reset: the wait that sees it takes it, with no
  // call to reset it.
  if (!made(acceptEvent_, CreatePipeIoEvent()) ||
      !made(commandsDone_, CreateEventW(nullptr, FALSE, FALSE, nullptr))) {
    return;
  }
  slotEvents_.resize(ClientsAtMost());
  for (UniqueHandle& event : slotEvents_) {
    if (!made(event, CreatePipeIoEvent())) return;
    freeEvents_.push_back(event.get());
  }
  runner_ = std::make_unique<CommandRunner>(commandsDone_.get());
  if (!runner_->Started()) {
    startError_ = runner_->StartError();
    LogLine(L"control pipe not served: command thread not started err=" +
            std::to_wstring(startError_));
    return;
  }
  // A failed conversion leaves the default security of the process, which
  // admits only LocalSystem and Administrators: safe, if less useful.
  descriptor_ = SecurityDescriptorFromSddl(kPipeSecurityDescriptor);
  attributes_ = {sizeof(attributes_), descriptor_.get(), FALSE};
}

void PipeServer::Listen(ULONGLONG now) {
  // At the bound no instance listens: a client then finds the pipe busy and
  // waits, as it would behind a single instance.
  if (listening_ || clients_.size() >= ClientsAtMost() || now < createAgainAt_) return;
  const bool first = clients_.empty();
  listening_ = CreatePipeInstance(attributes_, first);
  if (!listening_) {
    const DWORD error = GetLastError();
    // Once for each time the name is taken.
    if (first && NameHeldElsewhere(error) && !reportedHeld_) {
      LogLine(L"control pipe name is held by another process");
      reportedHeld_ = true;
    }
    createAgainAt_ = now + kCreateRetryMs;
    return;
  }
  if (first) reportedHeld_ = false;
  HANDLE instance = listening_.get();
  accept_.Begin(instance, acceptEvent_.get(),
                [instance](OVERLAPPED* o) { return ConnectNamedPipe(instance, o); });
}

void PipeServer::Admit(UniqueFileHandle pipe, ULONGLONG now) {
  auto client = std::make_unique<Client>();
  client->Pipe = std::move(pipe);
  client->Event = freeEvents_.back();
  freeEvents_.pop_back();
  client->Id = nextId_++;
  client->Deadline = now + HelperLimits.RequestTimeoutMs;
  clients_.push_back(std::move(client));
  Client& admitted = *clients_.back();
  // Refused with a reply of its own, before anything of it is read: it can
  // never be handed another client's reply.
  if (ConnectedOfProcess(clients_, admitted) > HelperLimits.PipeClientsPerProcess) {
    StartReply(admitted, L"ERR too many connections from this process", now);
  }
  Pump(admitted, now);
}

void PipeServer::Release(Client& client) {
  heldBytes_ -= client.Request.size();
  std::string().swap(client.Request);
}

void PipeServer::StartReply(Client& client, const std::wstring& reply, ULONGLONG now) {
  Release(client);
  client.Reply = ReplyBytes(reply);
  client.Now = Client::Phase::Replying;
  client.Deadline = now + HelperLimits.ReplyTimeoutMs;
  HANDLE pipe = client.Pipe.get();
  const std::string& bytes = client.Reply;
  client.Op.Begin(pipe, client.Event, [&](OVERLAPPED* o) {
    return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, o);
  });
}

void PipeServer::Finished(Client& client, IoResult result, DWORD transferred, ULONGLONG now) {
  if (client.Now == Client::Phase::Replying) {
    // The reply is handed over (or the client has gone). The instance is
    // closed without DisconnectNamedPipe: a graceful close leaves the reply
    // readable for the client, which then sees end of file, and spares the
    // server a flush that would wait for as long as the client cares not
    // to read.
    client.Now = Client::Phase::Closing;
    return;
  }
  RequestState state =
      RequestState::Complete;  // the client closed its end: what came is the request
  if (result == IoResult::Done && transferred > 0) {
    heldBytes_ += transferred;
    state = AddToRequest(client.Request, std::string_view(client.Chunk, transferred));
  }
  switch (state) {
    case RequestState::Incomplete:
      return;
    case RequestState::TooLong:
      StartReply(client, kRequestTooLongReply, now);
      return;
    case RequestState::Complete:
      client.Now = Client::Phase::Queued;
      runner_->Add(client.Id, FrameRequestLine(client.Request), client.Pipe.get());
      return;
  }
}

void PipeServer::Pump(Client& client, ULONGLONG now) {
  for (;;) {
    if (client.Now == Client::Phase::Reading && !client.Op.InFlight()) {
      // Past a request's first chunk, one more waits while the requests
      // held would go past their bound: its client's write waits in the
      // pipe meanwhile. Small requests never wait for room.
      if (!client.Request.empty() && heldBytes_ + kPipeBufferBytes > HelperLimits.PipeHeldBytes) {
        return;
      }
      HANDLE pipe = client.Pipe.get();
      char* chunk = client.Chunk;
      client.Op.Begin(pipe, client.Event, [&](OVERLAPPED* o) {
        return ReadFile(pipe, chunk, kPipeBufferBytes, nullptr, o);
      });
    }
    IoResult result = IoResult::Failed;
    DWORD transferred = 0;
    if (!client.Op.Poll(result, transferred)) return;
    Finished(client, result, transferred, now);
  }
}

Client* PipeServer::Find(uint64_t id) {
  for (const std::unique_ptr<Client>& client : clients_) {
    if (client->Id == id) return client.get();
  }
  return nullptr;
}

void PipeServer::CloseFinished(ULONGLONG now) {
  const size_t before = clients_.size();
  for (size_t i = 0; i < clients_.size();) {
    Client& client = *clients_[i];
    if (client.Now != Client::Phase::Closing) {
      ++i;
      continue;
    }
    Listen(now);  // first: this may be the last instance of ours
    Release(client);
    freeEvents_.push_back(client.Event);
    clients_.erase(clients_.begin() + static_cast<ptrdiff_t>(i));
  }
  // The room they leave may let a held-back read go on.
  if (clients_.size() == before) return;
  for (const std::unique_ptr<Client>& client : clients_) Pump(*client, now);
}

bool PipeServer::WaitForWork(ULONGLONG now) {
  HANDLE waits[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  // An accept that found its client there already finished without
  // signalling its event: collected at once, never waited for.
  if (accept_.Uncollected()) return StopRequested();
  waits[count++] = HelperState.StopEvent;
  waits[count++] = commandsDone_.get();
  if (accept_.InFlight()) waits[count++] = acceptEvent_.get();
  ULONGLONG until = ~0ull;
  if (!listening_ && clients_.size() < ClientsAtMost()) until = createAgainAt_;
  for (const std::unique_ptr<Client>& client : clients_) {
    if (client->Op.InFlight()) waits[count++] = client->Event;
    if (client->Now == Client::Phase::Reading || client->Now == Client::Phase::Replying) {
      until = Earlier(until, client->Deadline);
    }
  }
  const DWORD timeout = until == ~0ull ? INFINITE
                        : until <= now ? 0
                                       : static_cast<DWORD>(Earlier(until - now, INFINITE - 1));
  // Among events signalled together the first wins: the stop, over a
  // client that came with it.
  return WaitForMultipleObjects(count, waits, FALSE, timeout) == WAIT_OBJECT_0;
}

void PipeServer::ServeUntilStopped() {
  bool stopped = StopRequested();
  while (!stopped) {
    ULONGLONG now = GetTickCount64();
    Listen(now);
    IoResult accepted = IoResult::Failed;
    DWORD ignored = 0;
    if (listening_ && accept_.Poll(accepted, ignored)) {
      UniqueFileHandle reached = std::move(listening_);
      // The next instance listens before the one a client reached is
      // answered, or closed if the client went away meanwhile.
      if (accepted == IoResult::Done) Admit(std::move(reached), now);
      Listen(now);
    }
    // Commands done, in the order they ran: their replies go out.
    for (CommandDone& done : runner_->TakeFinished()) {
      Client* client = Find(done.Client);
      if (!client) continue;
      if (done.Ran) {
        StartReply(*client, done.Reply, now);
      } else {
        client->Now = Client::Phase::Closing;
      }
    }
    now = GetTickCount64();
    for (const std::unique_ptr<Client>& client : clients_) {
      Pump(*client, now);
      // Nothing of a request that has not fully arrived in time is run; a
      // reply the client leaves no room for is given up.
      const bool timed =
          client->Now == Client::Phase::Reading || client->Now == Client::Phase::Replying;
      if (timed && now >= client->Deadline) {
        client->Op.Cancel();
        client->Now = Client::Phase::Closing;
      }
    }
    CloseFinished(now);
    stopped = WaitForWork(now);
  }
  Stop();
}

void PipeServer::Stop() {
  // A client that came with the stop, and every request not fully read or
  // not yet run, goes unserved.
  accept_.Cancel();
  listening_.reset();
  runner_->End();
  for (CommandDone& done : runner_->TakeFinished()) {
    Client* client = Find(done.Client);
    if (client && done.Ran) StartReply(*client, done.Reply, GetTickCount64());
  }
  // A command that has run has its reply delivered, within the reply's
  // time, even during a stop.
  for (const std::unique_ptr<Client>& client : clients_) {
    if (client->Now != Client::Phase::Replying) continue;
    const ULONGLONG now = GetTickCount64();
    DWORD ignored = 0;
    client->Op.Finish(now < client->Deadline ? static_cast<DWORD>(client->Deadline - now) : 0,
                      kNotCutShort, ignored);
  }
  clients_.clear();
}

}  // namespace

HANDLE (*CreatePipeIoEvent)() = CreateManualResetEvent;

DWORD RunPipeServer() {
  DWORD result = ERROR_SUCCESS;
  {
    PipeServer server;
    result = server.StartError();
    if (result == ERROR_SUCCESS) server.ServeUntilStopped();
  }
  // Once the command thread has ended: the audit's counts are its.
  FlushAuditLines();
  return result;
}

#include "control/pipe_instance.h"

#include "support/helper_state.h"
#include "support/limits.h"

// Authenticated Users get FILE_GENERIC_READ | FILE_GENERIC_WRITE without
// FILE_CREATE_PIPE_INSTANCE (0x4): generic write would include it, and any
// local user could then add instances of this pipe while the helper serves
// it, receive other users' requests and answer them. Clients opening with
// GENERIC_READ | GENERIC_WRITE are still admitted: the named-pipe file
// system leaves the instance right out of a client open's access check.
const wchar_t kPipeSecurityDescriptor[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;AU)";

// Windows refuses FILE_FLAG_FIRST_PIPE_INSTANCE on a name that exists with
// ERROR_ACCESS_DENIED. Wine ignores the flag, and fails only when the other
// holder's instance limit is reached, with ERROR_PIPE_BUSY.
bool NameHeldElsewhere(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY;
}

// A process that created the name before us would own the pipe (its access
// list, its instances), and we would merely add instances to it. So the
// name must never lapse while the helper runs, and only a create made while
// no instance of ours exists (the first, or after every client has gone
// while creates failed) may have to make the name, and insists on it.
UniqueFileHandle CreatePipeInstance(SECURITY_ATTRIBUTES& attributes, bool first) {
  const DWORD openMode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return UniqueFileHandle(CreateNamedPipeW(
      HelperState.PipePath, openMode,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, &attributes));
}

size_t ConnectedOfProcess(std::vector<std::unique_ptr<PipeClient>>& clients, PipeClient& client) {
  // No process can be over its share while fewer clients than that are
  // connected: the process ids (a call each) are asked only then.
  if (clients.size() <= HelperLimits.PipeClientsPerProcess) return 1;
  size_t same = 0;
  for (const std::unique_ptr<PipeClient>& other : clients) {
    if (!other->ProcessKnown) {
      if (!GetNamedPipeClientProcessId(other->Pipe.get(), &other->ProcessId)) other->ProcessId = 0;
      other->ProcessKnown = true;
    }
  }
  // A client that has already closed its end holds no connection of its
  // process any more, even before this thread gets round to its broken
  // pipe: a process that connects and drops in quick bursts is not over
  // its share. Peeking fails with ERROR_BROKEN_PIPE once its data is read.
  for (const std::unique_ptr<PipeClient>& other : clients) {
    if (other->ProcessId != client.ProcessId) continue;
    if (other.get() == &client ||
        PeekNamedPipe(other->Pipe.get(), nullptr, 0, nullptr, nullptr, nullptr)) {
      ++same;
    }
  }
  return same;
}

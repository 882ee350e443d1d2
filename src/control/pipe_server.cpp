#include "control/pipe_server.h"

#include <windows.h>

#include <string>

#include "control/client_handler.h"
#include "control/client_identity.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "support/overlapped_io.h"
#include "support/protocol.h"
#include "support/security.h"

// Authenticated Users get FILE_GENERIC_READ | FILE_GENERIC_WRITE without
// FILE_CREATE_PIPE_INSTANCE (0x4): generic write would include it, and any
// local user could then add instances of this pipe while the helper serves
// it, receive other users' requests and answer them. Clients opening with
// GENERIC_READ | GENERIC_WRITE are still admitted: the named-pipe file
// system leaves the instance right out of a client open's access check.
const wchar_t kPipeSecurityDescriptor[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;AU)";

namespace {

constexpr DWORD kCreateRetryMs = 500;

HANDLE CreateManualResetEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// Windows refuses FILE_FLAG_FIRST_PIPE_INSTANCE on a name that exists with
// ERROR_ACCESS_DENIED. Wine ignores the flag, and fails only when the other
// holder's instance limit is reached, with ERROR_PIPE_BUSY.
bool NameHeldElsewhere(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY;
}

}  // namespace

HANDLE (*CreatePipeIoEvent)() = CreateManualResetEvent;

DWORD RunPipeServer() {
  // One event serves every overlapped operation of every connection: each
  // operation is finished before the next starts, and starting one resets it.
  UniqueHandle ioEvent(CreatePipeIoEvent());
  if (!ioEvent) {
    const DWORD error = GetLastError();
    LogLine(L"control pipe not served: CreateEvent failed err=" + std::to_wstring(error));
    return error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY;
  }

  // A failed conversion leaves the default security of the process, which
  // admits only LocalSystem and Administrators: safe, if less useful.
  const UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(kPipeSecurityDescriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};

  // A process that created the name before us would own the pipe (its
  // access list, its instances), and we would merely add instances to it.
  // So the name must never lapse while the helper runs: the next instance
  // is created before the one a client reached is served and closed, and
  // only a create made while no instance of ours exists (the first, or
  // after a create failed) may have to make the name, and insists on it.
  const auto createInstance = [&](bool first) {
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                           (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return UniqueFileHandle(CreateNamedPipeW(
        HelperState.PipePath, openMode,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, &attributes));
  };
  UniqueFileHandle listening;  // the instance clients find; ours whenever it exists
  bool reportedHeld = false;
  while (!StopRequested()) {
    if (!listening) {
      listening = createInstance(true);
      if (!listening) {
        const DWORD error = GetLastError();
        // Once for each time the name is taken.
        if (NameHeldElsewhere(error) && !reportedHeld) {
          LogLine(L"control pipe name is held by another process");
          reportedHeld = true;
        }
        // Waiting on StopEvent instead of a plain Sleep keeps a stop prompt
        // even while instances cannot be created.
        WaitForSingleObject(HelperState.StopEvent, kCreateRetryMs);
        continue;
      }
      reportedHeld = false;
    }
    // The accept also waits on StopEvent, so a stop that falls anywhere in
    // the loop ends the server without any wake-up connection. A stop that
    // comes with a client closes the instance unserved.
    DWORD ignored = 0;
    const IoResult accepted =
        RunOverlapped(listening.get(), ioEvent.get(), INFINITE, ByStop(), ignored,
                      [&](OVERLAPPED* o) { return ConnectNamedPipe(listening.get(), o); });
    if (accepted == IoResult::CutShort) break;
    UniqueFileHandle reached = std::move(listening);
    // Joins our own pipe: `reached` holds the name. A client arriving while
    // `reached` is served waits on this one, already listening. Should the
    // create fail, the loop makes the name afresh, insisting, once `reached`
    // is gone.
    listening = createInstance(false);
    if (accepted == IoResult::Done) HandleClient(reached.release(), ioEvent.get());
  }
  FlushAuditLines();
  return ERROR_SUCCESS;
}

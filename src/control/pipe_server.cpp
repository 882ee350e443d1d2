#include "control/pipe_server.h"

#include <windows.h>
#include <sddl.h>

#include "control/client_handler.h"
#include "support/handles.h"
#include "support/helper_state.h"

const wchar_t kPipeSecurityDescriptor[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";

namespace {

constexpr DWORD kPipeBufferSize = 8192;
constexpr DWORD kCreateRetryMs = 500;

bool StopRequested() { return WaitForSingleObject(HelperState.StopEvent, 0) == WAIT_OBJECT_0; }

enum class Accepted { Client, NoClient, Stopped };

// Waits for a client on a fresh instance. The accept is overlapped so that it
// also waits on StopEvent: a stop that falls anywhere in the loop, even
// between two instances, ends the server without any wake-up connection.
Accepted AcceptClient(HANDLE pipe, HANDLE ioEvent) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = ioEvent;
  if (!ConnectNamedPipe(pipe, &overlapped)) {
    switch (GetLastError()) {
      case ERROR_PIPE_CONNECTED:  // the client came between creation and the call
        break;
      case ERROR_IO_PENDING: {
        const HANDLE waits[] = {ioEvent, HelperState.StopEvent};
        const bool stopped = WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0;
        if (stopped) CancelIoEx(pipe, &overlapped);
        // Finished or cancelled: the OVERLAPPED must not go out of scope
        // while the system may still write to it.
        DWORD ignored = 0;
        const bool connected = GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != FALSE;
        if (stopped) return Accepted::Stopped;
        return connected ? Accepted::Client : Accepted::NoClient;
      }
      default:  // e.g. a client that opened and closed before the call
        return Accepted::NoClient;
    }
  }
  return StopRequested() ? Accepted::Stopped : Accepted::Client;
}

}  // namespace

void RunPipeServer() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.bInheritHandle = FALSE;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // A failed conversion leaves the default security of the process, which
  // admits only LocalSystem and Administrators: safe, if less useful.
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurityDescriptor, SDDL_REVISION_1,
                                                       &descriptor, nullptr);
  UniqueLocalMemory descriptorOwner(descriptor);
  attributes.lpSecurityDescriptor = descriptor;

  // One event serves every overlapped operation of every connection: each
  // operation is finished before the next starts, and starting one resets it.
  UniqueHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!ioEvent) return;

  while (!StopRequested()) {
    UniqueFileHandle pipe(CreateNamedPipeW(
        HelperState.PipePath, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, &attributes));
    if (!pipe) {
      // Waiting on StopEvent instead of a plain Sleep keeps a stop prompt
      // even while instances cannot be created.
      WaitForSingleObject(HelperState.StopEvent, kCreateRetryMs);
      continue;
    }
    switch (AcceptClient(pipe.get(), ioEvent.get())) {
      case Accepted::Stopped:
        return;  // the instance is closed unserved
      case Accepted::NoClient:
        break;
      case Accepted::Client:
        HandleClient(pipe.release(), ioEvent.get());
        break;
    }
  }
}

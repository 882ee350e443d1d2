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

// Waits for a client on a fresh instance. The accept is overlapped so that it
// also waits on StopEvent: a stop that falls anywhere in the loop, even
// between two instances, ends the server without any wake-up connection.
// Returns false when the server should not serve this instance.
bool AcceptClient(HANDLE pipe) {
  UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!connected) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = connected.get();
  if (ConnectNamedPipe(pipe, &overlapped)) return true;
  switch (GetLastError()) {
    case ERROR_PIPE_CONNECTED:  // the client came between creation and the call
      return true;
    case ERROR_IO_PENDING:
      break;
    default:  // e.g. a client that opened and closed before the call
      return false;
  }
  const HANDLE waits[] = {connected.get(), HelperState.StopEvent};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
  }
  // Either finished or cancelled: the OVERLAPPED must not go out of scope
  // while the system may still write to it.
  DWORD ignored = 0;
  return GetOverlappedResult(pipe, &overlapped, &ignored, TRUE) != FALSE;
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
    const bool connected = AcceptClient(pipe.get());
    if (StopRequested()) break;  // closes the instance without serving it
    if (connected) HandleClient(pipe.release());
  }
}

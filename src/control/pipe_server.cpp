#include "control/pipe_server.h"

#include <windows.h>

#include <sddl.h>

#include <string>

#include "control/client_handler.h"
#include "control/overlapped_io.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "support/protocol.h"

const wchar_t kPipeSecurityDescriptor[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";

namespace {

constexpr DWORD kCreateRetryMs = 500;

HANDLE CreateManualResetEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

bool StopRequested() { return WaitForSingleObject(HelperState.StopEvent, 0) == WAIT_OBJECT_0; }

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
        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, &attributes));
    if (!pipe) {
      // Waiting on StopEvent instead of a plain Sleep keeps a stop prompt
      // even while instances cannot be created.
      WaitForSingleObject(HelperState.StopEvent, kCreateRetryMs);
      continue;
    }
    // The accept also waits on StopEvent, so a stop that falls anywhere in
    // the loop, even between two instances, ends the server without any
    // wake-up connection. A stop that comes with a client closes the
    // instance unserved.
    DWORD ignored = 0;
    const IoResult accepted =
        RunOverlapped(pipe.get(), ioEvent.get(), INFINITE, OnStop::Abandon, ignored,
                      [&](OVERLAPPED* o) { return ConnectNamedPipe(pipe.get(), o); });
    if (accepted == IoResult::Stopped) break;
    if (accepted == IoResult::Done) HandleClient(pipe.release(), ioEvent.get());
  }
  return ERROR_SUCCESS;
}

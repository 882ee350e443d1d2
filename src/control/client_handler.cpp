#include "control/client_handler.h"

#include <cstring>
#include <string>

#include "control/dispatcher.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/text.h"

namespace {

constexpr DWORD kReadChunkBytes = 8192;

enum class IoResult { Done, Failed, Abandoned };

// Whether a service stop cuts the operation short. Reading a request is
// abandoned; a reply is still delivered, as the command has already run.
enum class OnStop { Abandon, Finish };

// Completes one overlapped operation that has just been started. A time-out
// (or a stop, where that abandons it) cancels it; the OVERLAPPED is not
// released before the system is done with it.
IoResult FinishIo(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs,
                  OnStop onStop, DWORD& transferred) {
  transferred = 0;
  if (started) {
    // Already complete (the usual case for a short request and its reply):
    // no wait needed.
    return GetOverlappedResult(pipe, &overlapped, &transferred, FALSE) ? IoResult::Done
                                                                        : IoResult::Failed;
  }
  if (GetLastError() != ERROR_IO_PENDING) return IoResult::Failed;
  const HANDLE waits[] = {overlapped.hEvent, HelperState.StopEvent};
  const DWORD count = onStop == OnStop::Abandon ? 2 : 1;
  const DWORD waited = WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
  if (waited != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
  if (GetOverlappedResult(pipe, &overlapped, &transferred, TRUE)) return IoResult::Done;
  return waited == WAIT_OBJECT_0 ? IoResult::Failed : IoResult::Abandoned;
}

enum class RequestState { Complete, TooLong, Abandoned };

// Gathers bytes until a line feed, the end of the client's data, the size
// limit, or the deadline.
RequestState ReadRequest(HANDLE pipe, HANDLE event, std::string& request) {
  char chunk[kReadChunkBytes];
  const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return RequestState::Abandoned;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    const BOOL started = ReadFile(pipe, chunk, sizeof(chunk), nullptr, &overlapped);
    DWORD got = 0;
    switch (FinishIo(pipe, overlapped, started, static_cast<DWORD>(deadline - now), OnStop::Abandon,
                     got)) {
      case IoResult::Abandoned:
        return RequestState::Abandoned;
      case IoResult::Failed:  // the client closed its end: what came is the request
        return RequestState::Complete;
      case IoResult::Done:
        break;
    }
    if (got == 0) return RequestState::Complete;
    const size_t searchFrom = request.size();
    request.append(chunk, got);
    if (request.find('\n', searchFrom) != std::string::npos) return RequestState::Complete;
    if (request.size() > kRequestLimitBytes) return RequestState::TooLong;
  }
}

void WriteReply(HANDLE pipe, HANDLE event, const std::wstring& reply) {
  const std::string bytes = WideToUtf8(reply + L"\n");
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  const BOOL started =
      WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
  DWORD written = 0;
  FinishIo(pipe, overlapped, started, kReplyTimeoutMs, OnStop::Finish, written);
}

}  // namespace

std::wstring FrameRequestLine(std::string_view received) {
  std::string_view line = received.substr(0, received.find('\n'));
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return Utf8ToWide(line.substr(0, line.find('\0')));
}

void HandleClient(HANDLE pipeHandle, HANDLE ioEvent) {
  // The instance is closed without DisconnectNamedPipe: a graceful close
  // leaves the reply readable for the client, which then sees end of file.
  // That spares the server a flush that would wait for as long as the client
  // cares not to read.
  UniqueFileHandle pipe(pipeHandle);
  std::string request;
  switch (ReadRequest(pipe.get(), ioEvent, request)) {
    case RequestState::Abandoned:
      return;  // nothing of an unfinished request is executed
    case RequestState::TooLong:
      WriteReply(pipe.get(), ioEvent, L"ERR request too long");
      return;
    case RequestState::Complete:
      WriteReply(pipe.get(), ioEvent, DispatchCommand(FrameRequestLine(request)));
      return;
  }
}

#include "control/client_handler.h"

#include <cstring>
#include <string>

#include "control/dispatcher.h"
#include "support/handles.h"
#include "support/limits.h"
#include "support/overlapped_io.h"
#include "support/protocol.h"
#include "support/text.h"

namespace {

enum class RequestState { Complete, TooLong, Abandoned };

// Gathers bytes until a line feed, the end of the client's data, the size
// limit, or the deadline. The limit is exact: a line of kRequestLimitBytes
// before its line feed is taken, one byte more is refused.
RequestState ReadRequest(HANDLE pipe, HANDLE event, std::string& request) {
  char chunk[kPipeBufferBytes];
  const ULONGLONG deadline = GetTickCount64() + HelperLimits.RequestTimeoutMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return RequestState::Abandoned;
    DWORD got = 0;
    const IoResult read = RunOverlapped(
        pipe, event, static_cast<DWORD>(deadline - now), ByStop(), got,
        [&](OVERLAPPED* o) { return ReadFile(pipe, chunk, sizeof(chunk), nullptr, o); });
    switch (read) {
      case IoResult::CutShort:
      case IoResult::TimedOut:
        return RequestState::Abandoned;
      case IoResult::Failed:  // the client closed its end: what came is the request
        got = 0;
        break;
      case IoResult::Done:
        break;
    }
    if (got == 0) return RequestState::Complete;
    const size_t searchFrom = request.size();
    request.append(chunk, got);
    const size_t lineFeed = request.find('\n', searchFrom);
    const size_t lineLength = lineFeed == std::string::npos ? request.size() : lineFeed;
    if (lineLength > kRequestLimitBytes) return RequestState::TooLong;
    if (lineFeed != std::string::npos) return RequestState::Complete;
  }
}

void WriteReply(HANDLE pipe, HANDLE event, const std::wstring& reply) {
  const std::string bytes = WideToUtf8(reply + L"\n");
  DWORD written = 0;
  // The command has run: its reply is delivered even during a stop.
  RunOverlapped(
      pipe, event, HelperLimits.ReplyTimeoutMs, kNotCutShort, written, [&](OVERLAPPED* o) {
        return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, o);
      });
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
      WriteReply(pipe.get(), ioEvent, DispatchCommand(FrameRequestLine(request), pipe.get()));
      return;
  }
}

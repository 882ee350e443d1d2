#include "client_io.h"

#include <wincrypt.h>

#include "support/handles.h"

namespace {
constexpr DWORD kRetryStepMs = 1;
constexpr ULONGLONG kBusySliceMs = 100;
}  // namespace

HANDLE OpenHelperPipe(DWORD busyWaitMs, DWORD& error) {
  const ULONGLONG deadline = GetTickCount64() + busyWaitMs;
  // Between two clients the helper briefly has no instance at all, which
  // looks exactly like a helper that is not running; give it a moment.
  const ULONGLONG missingDeadline = GetTickCount64() + (busyWaitMs < 1000 ? busyWaitMs : 1000);
  for (;;) {
    // Without SECURITY_SQOS_PRESENT the server may impersonate the caller
    // fully: a process squatting on the name could then act with the rights
    // of an administrator who runs the client.
    HANDLE pipe = CreateFileW(kPipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (error == ERROR_PIPE_BUSY && now < deadline) {
      // In short slices: a wait may miss an instance created after it began
      // (seen under Wine), and the helper creates a new one per client.
      const ULONGLONG left = deadline - now;
      WaitNamedPipeW(kPipePath, static_cast<DWORD>(left < kBusySliceMs ? left : kBusySliceMs));
      continue;
    }
    if (error == ERROR_FILE_NOT_FOUND && now < missingDeadline) {
      Sleep(kRetryStepMs);
      continue;
    }
    return INVALID_HANDLE_VALUE;
  }
}

std::string ToBase64(const std::string& bytes) {
  if (bytes.empty()) return {};
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
  DWORD size = 0;
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size)) {
    return {};
  }
  std::string text(size, '\0');
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &size)) {
    return {};
  }
  text.resize(size);  // without the terminator
  return text;
}

bool ReadUntilEnd(HANDLE pipe, std::string& data, DWORD& error) {
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr)) {
      error = GetLastError();
      // The helper closes its end after the reply: that is the normal end.
      return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
    }
    if (got == 0) return true;
    data.append(buffer, got);
  }
}

RequestResult SendRequestBytes(const std::string& bytes, DWORD busyWaitMs, ServerCheck check) {
  RequestResult result;
  UniqueFileHandle pipe(OpenHelperPipe(busyWaitMs, result.error));
  if (!pipe) {
    // Only a name that does not exist means that no helper runs; any other
    // refusal (access denied, say) is a failure to report as it is.
    result.outcome = result.error == ERROR_PIPE_BUSY        ? RequestOutcome::Busy
                     : result.error == ERROR_FILE_NOT_FOUND ? RequestOutcome::Unreachable
                                                            : RequestOutcome::Failed;
    return result;
  }
  if (check) {
    // Asked of the open handle, so it names the very instance the request
    // would go to; a server that cannot be named gets nothing either.
    if (!GetNamedPipeServerProcessId(pipe.get(), &result.serverProcessId)) {
      result.error = GetLastError();
      return result;
    }
    if (!check(result.serverProcessId)) {
      result.outcome = RequestOutcome::WrongServer;
      return result;
    }
  }
  DWORD written = 0;
  const bool sent = WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) != FALSE;
  const DWORD writeError = sent ? 0 : GetLastError();
  // Even when the write failed (the helper refuses an over-long request
  // before taking all of it), the helper's answer may be waiting.
  if (ReadUntilEnd(pipe.get(), result.reply, result.error) && (sent || !result.reply.empty())) {
    result.outcome = RequestOutcome::Replied;
    result.error = 0;
  } else if (!sent) {
    result.error = writeError;
  }
  return result;
}

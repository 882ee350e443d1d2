#pragma once
// One request over the helper's control pipe: open, write the line, read the
// reply until the helper closes its end.
#include <windows.h>

#include <string>

#include "support/protocol.h"

enum class RequestOutcome {
  Replied,      // the helper answered; reply holds every byte it sent
  Unreachable,  // no helper is listening on the pipe
  Busy,         // the pipe exists, but no instance came free in time
  Failed,       // connected, but writing or reading failed
};

struct RequestResult {
  RequestOutcome outcome = RequestOutcome::Failed;
  std::string reply;  // raw UTF-8, including the final line feed
  DWORD error = 0;    // Windows error of the failing step
};

// Opens the pipe, waiting up to busyWaitMs while the helper is serving
// someone else (it serves one client at a time).
HANDLE OpenHelperPipe(DWORD busyWaitMs, DWORD& error);

// Sends the bytes exactly as given (the caller supplies the line feed).
RequestResult SendRequestBytes(const std::string& bytes, DWORD busyWaitMs);

// Reads until end of file.
bool ReadUntilEnd(HANDLE pipe, std::string& data, DWORD& error);

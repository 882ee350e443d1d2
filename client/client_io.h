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
  WrongServer,  // the server check refused the pipe's server; nothing sent
  Failed,       // connected, but writing or reading failed
};

struct RequestResult {
  RequestOutcome outcome = RequestOutcome::Failed;
  std::string reply;          // raw UTF-8, including the final line feed
  DWORD error = 0;            // Windows error of the failing step
  ULONG serverProcessId = 0;  // the pipe's server, when a check asked for it
};

// Opens the pipe, waiting up to busyWaitMs while the helper has no instance
// free (it holds a bounded number of clients at once). The server may identify
// the caller but never act as it: whoever serves the name cannot use the
// caller's rights.
HANDLE OpenHelperPipe(DWORD busyWaitMs, DWORD& error);

// Decides, from the process id of the pipe's server, whether to send it
// anything at all.
using ServerCheck = bool (*)(ULONG serverProcessId);

// Sends the bytes exactly as given (the caller supplies the line feed).
// With a check, nothing is written unless it accepts the server.
RequestResult SendRequestBytes(const std::string& bytes, DWORD busyWaitMs,
                               ServerCheck check = nullptr);

// The payload of a "connect" request: standard Base64 of the bytes, padded,
// on one line.
std::string ToBase64(const std::string& bytes);

// Reads until end of file.
bool ReadUntilEnd(HANDLE pipe, std::string& data, DWORD& error);

#pragma once
// The control pipe's instances and the clients connected to them, as the
// pipe server keeps them.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/handles.h"
#include "support/overlapped_io.h"
#include "support/protocol.h"

// A connected client, from its accept to its close. The pipe is declared
// first and the operation last: the operation is cancelled, and done with
// the buffers, before the instance closes.
struct PipeClient {
  enum class Phase { Reading, Queued, Replying, Closing };

  UniqueFileHandle Pipe;
  HANDLE Event = nullptr;  // the slot's, borrowed
  uint64_t Id = 0;
  ULONG ProcessId = 0;  // 0 when it could not be read
  bool ProcessKnown = false;
  Phase Now = Phase::Reading;
  ULONGLONG Deadline = 0;  // for its line while reading, for its reply while replying
  std::string Request;     // its bytes count against PipeHeldBytes until answered
  std::string Reply;
  char Chunk[kPipeBufferBytes];
  OverlappedOp Op;
};

// The pipe's access rules, as SDDL.
extern const wchar_t kPipeSecurityDescriptor[];

// A new instance of the helper's pipe, overlapped, local clients only.
// `first`: no instance of ours exists, and the name must be made by this
// create (FILE_FLAG_FIRST_PIPE_INSTANCE). Null on failure, GetLastError set.
UniqueFileHandle CreatePipeInstance(SECURITY_ATTRIBUTES& attributes, bool first);

// Whether a failed create's error says another process holds the name.
bool NameHeldElsewhere(DWORD error);

// How many connected clients, `client` among them, its process has.
size_t ConnectedOfProcess(std::vector<std::unique_ptr<PipeClient>>& clients, PipeClient& client);

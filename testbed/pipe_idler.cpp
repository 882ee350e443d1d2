// pipe_idler: test-bed only, never shipped.
//
// Connects to the helper's control pipe and says nothing, as a local user's
// program that means to hold the helper up would:
//
//   pipe_idler COUNT [BUSY_WAIT_MS]
//
// Opens up to COUNT connections to \\.\pipe\QuorvelHelper one after another
// (each waiting up to BUSY_WAIT_MS, default 1000, for a free instance),
// writes "<opened> <refused>" and a line feed to standard output, where
// `refused` counts the connections the helper answered and closed at once
// (looked at 200 ms after the last open), then holds every connection open,
// writing nothing, until it is killed. Exit code 2 for bad arguments.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr wchar_t kPipe[] = L"\\\\.\\pipe\\QuorvelHelper";

HANDLE Open(DWORD busyWaitMs) {
  const ULONGLONG deadline = GetTickCount64() + busyWaitMs;
  for (;;) {
    HANDLE pipe = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    const DWORD error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if ((error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) || now >= deadline) {
      return INVALID_HANDLE_VALUE;
    }
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kPipe, static_cast<DWORD>(deadline - now < 100 ? deadline - now : 100));
    } else {
      Sleep(1);
    }
  }
}

// Whether the server has written something or closed its end.
bool Answered(HANDLE pipe) {
  DWORD available = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return true;
  return available > 0;
}

bool ParseCount(const wchar_t* text, unsigned long& value) {
  wchar_t* end = nullptr;
  value = std::wcstoul(text, &end, 10);
  return text[0] != L'\0' && text[0] != L'-' && *end == L'\0';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  unsigned long count = 0;
  unsigned long busyWaitMs = 1000;
  if (argc < 2 || argc > 3 || !ParseCount(argv[1], count) ||
      (argc == 3 && !ParseCount(argv[2], busyWaitMs))) {
    std::fprintf(stderr, "usage: pipe_idler COUNT [BUSY_WAIT_MS]\n");
    return 2;
  }
  std::vector<HANDLE> pipes;
  for (unsigned long i = 0; i < count; ++i) {
    const HANDLE pipe = Open(busyWaitMs);
    if (pipe == INVALID_HANDLE_VALUE) break;
    pipes.push_back(pipe);
  }
  Sleep(200);
  unsigned refused = 0;
  for (const HANDLE pipe : pipes) refused += Answered(pipe);
  std::printf("%u %u\n", static_cast<unsigned>(pipes.size()), refused);
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

// sleeper: test-bed only, never shipped.
//
// Does nothing until it is killed, until its standard input is closed, or for
// the number of milliseconds given as its only argument; then exits with 0.
// Tests copy it under chosen file names and start it, so that code which
// names processes by their image path sees real processes with those names.
//
//   sleeper [milliseconds]
//
// It writes its Windows process id and a line feed to standard output first,
// for a script that cannot ask Windows which process id a program it started
// from Linux has.
//
// Standard input counts only when it is a pipe: a parent that holds the other
// end ends the sleeper by closing it, even when the parent dies. Any other
// standard input (none, the NUL device, a console, Unix /dev/null under Wine)
// is ignored, so a sleeper started without redirection does not end at once.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

DWORD WINAPI WatchInput(LPVOID doneEvent) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
  }
  SetEvent(static_cast<HANDLE>(doneEvent));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD waitMs = INFINITE;
  if (argc > 1) {
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(argv[1], &end, 10);
    if (argv[1][0] == L'\0' || *end != L'\0' || argv[1][0] == L'-' || value >= INFINITE) {
      std::fwprintf(stderr, L"usage: sleeper [milliseconds]\n");
      return 2;
    }
    waitMs = static_cast<DWORD>(value);
  }

  std::printf("%lu\n", GetCurrentProcessId());
  std::fflush(stdout);
  const HANDLE inputClosed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!inputClosed) return 1;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input && input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_PIPE) {
    const HANDLE watcher = CreateThread(nullptr, 0, WatchInput, inputClosed, 0, nullptr);
    if (watcher) CloseHandle(watcher);
  }
  WaitForSingleObject(inputClosed, waitMs);
  return 0;
}

// sleeper: test-bed only, never shipped.
//
// Does nothing until it is killed, until its standard input is closed, or for
// the number of milliseconds given as its last argument; then exits with 0.
// Tests copy it under chosen file names and start it, so that code which
// names processes by their image path sees real processes with those names.
//
//   sleeper [milliseconds]
//   sleeper --spawn NAME [--spawn NAME ...] [milliseconds]
//
// It writes its Windows process id and a line feed to standard output first,
// for a script that cannot ask Windows which process id a program it started
// from Linux has.
//
// With --spawn it then copies its own executable beside itself as NAME (the
// first one) and starts that copy with the remaining --spawn arguments and the
// milliseconds, so "launcher.exe --spawn game.exe --spawn helper.exe" makes the
// chain launcher -> game.exe -> helper.exe, as a game launcher starts a game
// that starts a helper. Every process of a chain writes "<pid> <file name>"
// (UTF-8) to the one standard output they all share, each before it starts
// its child; a copy is told it belongs to a chain by --spawned, which only a
// sleeper passes. A file of that name that holds this same program already
// (an earlier chain's, perhaps still running) is used as it is. Exit code 3
// when the child cannot be copied or started.
//
// With --hand-on PATH TEXT (first, and with --spawn) it opens PATH for
// writing (a pipe's name, say), writes TEXT and a line feed into it, starts
// its chain with that handle as the chain's standard output, and ends at
// once: a client whose process is gone while what it opened stays open in
// another. Its own "<pid> <file name>" line still goes to its own standard
// output. Exit code 4 when PATH cannot be opened or written.
//
// Standard input counts only when it is a pipe: a parent that holds the other
// end ends the sleeper by closing it, even when the parent dies. Any other
// standard input (none, the NUL device, a console, Unix /dev/null under Wine)
// is ignored, so a sleeper started without redirection does not end at once.
// A child of a chain gets no standard input: it outlives its parent, until it
// is killed or its own time runs out.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitSpawnFailed = 3;
constexpr int kExitHandOnFailed = 4;

struct Arguments {
  std::wstring handOnPath;          // --hand-on: what to open and hand on
  std::wstring handOnText;          //   and the line to write into it first
  std::vector<std::wstring> spawn;  // the chain still to start, nearest first
  bool spawned = false;             // started by a sleeper's --spawn
  std::wstring milliseconds;        // as given, for the children
  DWORD waitMs = INFINITE;
};

bool IsFileName(const std::wstring& name) {
  return !name.empty() && name.find_first_of(L"\\/:") == std::wstring::npos && name != L"." &&
         name != L"..";
}

bool ParseArguments(int argc, wchar_t** argv, Arguments* args) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--hand-on" && i == 1) {
      if (i + 2 >= argc) return false;
      args->handOnPath = argv[++i];
      args->handOnText = argv[++i];
      continue;
    }
    if (arg == L"--spawn") {
      if (i + 1 >= argc || !IsFileName(argv[i + 1])) return false;
      args->spawn.push_back(argv[++i]);
      continue;
    }
    if (arg == L"--spawned") {
      args->spawned = true;
      continue;
    }
    // The milliseconds come last, once.
    if (i != argc - 1 || !args->milliseconds.empty()) return false;
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(argv[i], &end, 10);
    if (argv[i][0] == L'\0' || *end != L'\0' || argv[i][0] == L'-' || value >= INFINITE) {
      return false;
    }
    args->milliseconds = arg;
    args->waitMs = static_cast<DWORD>(value);
  }
  // What it opens must go to someone who holds it on.
  return args->handOnPath.empty() || !args->spawn.empty();
}

std::wstring OwnPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string Utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
  }
  return result;
}

// A handle the child may inherit, or null when there is none to pass on.
HANDLE InheritableCopy(DWORD which) {
  const HANDLE own = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (!own || own == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

std::string ReadAll(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string data;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

bool SameContents(const std::wstring& a, const std::wstring& b) {
  const std::string first = ReadAll(a);
  return !first.empty() && first == ReadAll(b);
}

std::wstring Quoted(const std::wstring& arg) { return L"\"" + arg + L"\""; }

// Starts the next sleeper of the chain with our standard output and error,
// and nothing else of ours: no other handle is inherited when Windows can
// be told so, and never our standard input.
bool SpawnNext(const std::wstring& ownPath, const Arguments& args) {
  const size_t slash = ownPath.find_last_of(L'\\');
  const std::wstring dir = slash == std::wstring::npos ? L"." : ownPath.substr(0, slash);
  const std::wstring childPath = dir + L"\\" + args.spawn[0];
  // A copy that is there already is not written again: it may be running,
  // and Wine would let a write change the image under that process.
  if (CompareStringOrdinal(childPath.c_str(), -1, ownPath.c_str(), -1, TRUE) != CSTR_EQUAL &&
      !SameContents(ownPath, childPath) && !CopyFileW(ownPath.c_str(), childPath.c_str(), FALSE)) {
    std::fwprintf(stderr, L"sleeper: cannot copy itself to %ls: error %lu\n", childPath.c_str(),
                  GetLastError());
    return false;
  }

  std::wstring commandLine = Quoted(childPath) + L" --spawned";
  for (size_t i = 1; i < args.spawn.size(); ++i)
    commandLine += L" --spawn " + Quoted(args.spawn[i]);
  if (!args.milliseconds.empty()) commandLine += L" " + args.milliseconds;

  const HANDLE output = InheritableCopy(STD_OUTPUT_HANDLE);
  const HANDLE error = InheritableCopy(STD_ERROR_HANDLE);
  HANDLE inherit[2];
  DWORD inheritCount = 0;
  if (output) inherit[inheritCount++] = output;
  if (error) inherit[inheritCount++] = error;

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nullptr;
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = error;
  DWORD flags = 0;
  SIZE_T listSize = 0;
  std::vector<unsigned char> list;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
  list.resize(listSize);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  const bool listed =
      inheritCount > 0 && listSize > 0 &&
      InitializeProcThreadAttributeList(attributes, 1, 0, &listSize) &&
      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                inheritCount * sizeof(HANDLE), nullptr, nullptr);
  if (listed) {
    startup.lpAttributeList = attributes;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }

  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(childPath.c_str(), &commandLine[0], nullptr, nullptr, inheritCount > 0, flags,
                     nullptr, nullptr, &startup.StartupInfo, &process);
  const DWORD startError = GetLastError();
  if (listed) DeleteProcThreadAttributeList(attributes);
  if (output) CloseHandle(output);
  if (error) CloseHandle(error);
  if (!started) {
    std::fwprintf(stderr, L"sleeper: cannot start %ls: error %lu\n", childPath.c_str(), startError);
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

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
  Arguments args;
  if (!ParseArguments(argc, argv, &args)) {
    std::fwprintf(stderr,
                  L"usage: sleeper [--hand-on PATH TEXT] [--spawn NAME ...] [milliseconds]\n");
    return kExitUsage;
  }

  // A client that is gone while what it opened stays open: the line first,
  // then the open handle is its chain's standard output, and it ends.
  if (!args.handOnPath.empty()) {
    const HANDLE opened = CreateFileW(args.handOnPath.c_str(), GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const std::string line = Utf8(args.handOnText) + "\n";
    DWORD written = 0;
    if (opened == INVALID_HANDLE_VALUE ||
        !WriteFile(opened, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      std::fwprintf(stderr, L"sleeper: cannot write to %ls: error %lu\n",
                    args.handOnPath.c_str(), GetLastError());
      return kExitHandOnFailed;
    }
    SetStdHandle(STD_OUTPUT_HANDLE, opened);
  }

  const std::wstring ownPath = OwnPath();
  if (args.spawned || !args.spawn.empty()) {
    const size_t slash = ownPath.find_last_of(L'\\');
    const std::string line = std::to_string(GetCurrentProcessId()) + " " +
                             Utf8(ownPath.substr(slash == std::wstring::npos ? 0 : slash + 1)) +
                             "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  } else {
    std::printf("%lu\n", GetCurrentProcessId());
  }
  std::fflush(stdout);
  if (!args.spawn.empty() && !SpawnNext(ownPath, args)) return kExitSpawnFailed;
  if (!args.handOnPath.empty()) return 0;

  const HANDLE inputClosed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!inputClosed) return 1;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input && input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_PIPE) {
    const HANDLE watcher = CreateThread(nullptr, 0, WatchInput, inputClosed, 0, nullptr);
    if (watcher) CloseHandle(watcher);
  }
  WaitForSingleObject(inputClosed, args.waitMs);
  return 0;
}

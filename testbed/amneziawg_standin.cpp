// amneziawg.exe stand-in: test-bed only, never shipped.
//
// Plays the tunnel tool the helper drives and the tunnel service that tool
// installs, with real services of the service control manager, so the whole
// connect and disconnect road runs without the real tool or its driver.
//
//   amneziawg.exe /installtunnelservice "<DIR>\<Name>.conf"
//       copies the file's bytes to amneziawg-last.conf, registers the
//       own-process, demand-start service AmneziaWGTunnel$<Name> running this
//       executable in service mode, starts it and exits 0 without waiting for
//       it to run. Exit 1: configuration unreadable, the service already
//       exists (left untouched) or cannot be created or started.
//   amneziawg.exe /uninstalltunnelservice <Name>
//       stops AmneziaWGTunnel$<Name> (waits up to 10 s), deletes it, exits 0.
//       Exit 1: no such service, or it cannot be deleted.
//   amneziawg.exe /tunnelservice "<config path>" [--start-pending-ms N]
//       service mode, for the service control manager only (the path is only
//       journaled). --start-pending-ms N: report RUNNING only after N ms.
//   anything else: exit 2.
//
// A service cannot be given a test's environment, so everything else is in
// files beside this executable (UTF-8, LF or CR LF):
//   amneziawg-behaviour.txt  optional, read at every start; one directive a
//                            line, '#' starts a comment line (and a comment
//                            after a directive's values, except for print):
//     install-fail-first <n> [code]  the first n install runs since the state
//                                    file was reset exit with code (default
//                                    1), creating nothing
//     install-exit <code>            install as usual, then exit with code
//     hang-ms <ms>                   every tool run sleeps this long first
//     start-pending-forever          the service never reports RUNNING
//     start-delay-ms <ms>            the service reports RUNNING after <ms>
//                                    (--start-pending-ms wins over it)
//     ignore-uninstall               the uninstall run does nothing, exits 0
//     print <text>                   each tool run writes text + CR LF to its
//                                    stdout and stderr (repeatable)
//     flood <bytes>                  each tool run writes that many bytes of
//                                    text lines to its stdout
//     probe-handle <value>           each tool run journals whether that
//                                    handle value (decimal or 0x hex) is valid
//                                    in its own process (repeatable)
//     A malformed line is journaled as "bad-behaviour ..."; a tool run then
//     exits 2 and the service reports STOPPED with ERROR_BAD_CONFIGURATION.
//   amneziawg-state.txt      "install-runs <n>": install runs so far; delete
//                            it to reset.
//   amneziawg-journal.txt    appended, CR LF, one WriteFile per line under
//                            a machine-wide mutex:
//     run pid=<pid> cmdline=<command line>       every start, any mode
//     run-env console=<none|present> show=<hide|normal|none>
//             stdout=<valid|none> stderr=<valid|none>
//     probe-handle <value> <valid|invalid>       tool runs
//     error <what> [<detail>]                    why a run failed
//     install-fail-first run=<k> code=<code>     a simulated install failure
//     service <ServiceName> start-pending|running|stopped
//     exit <code>                                last line of every tool run
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/handles.h"
#include "support/paths.h"

namespace {

constexpr wchar_t kServicePrefix[] = L"AmneziaWGTunnel$";
constexpr DWORD kPendingStepMs = 100;
constexpr DWORD kPendingWaitHintMs = 2000;
constexpr DWORD kStopWaitMs = 10000;

// ---- text and files ----

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(size > 0 ? size : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

// Beside the executable, never the current directory: the service control
// manager starts the service mode elsewhere.
std::wstring Beside(const wchar_t* fileName) { return ModuleDirectory() + L"\\" + fileName; }

// Returns ERROR_SUCCESS or why the file cannot be opened or read.
DWORD ReadWholeFile(const std::wstring& path, std::string& bytes) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  bytes.clear();
  char chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return GetLastError();
    if (got == 0) return ERROR_SUCCESS;
    bytes.append(chunk, got);
  }
}

bool WriteAll(HANDLE handle, const char* data, size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD step = size > 65536 ? 65536 : static_cast<DWORD>(size);
    if (!WriteFile(handle, data, step, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// Tool runs and the service may append at the same moment. Wine appends by
// finding the end and then writing there, so two processes can land on the
// same offset and one line is lost (seen here): a machine-wide mutex keeps
// the open, write and close of one line apart from every other's.
void Journal(const std::string& line) {
  static const std::wstring path = Beside(L"amneziawg-journal.txt");
  static const HANDLE lock = CreateMutexW(nullptr, FALSE, L"Global\\AmneziaWGStandinJournal");
  // An abandoned lock (a run killed mid-line) is ours all the same; a lock
  // that cannot be had in time is not worth losing the line for.
  const DWORD waited = lock ? WaitForSingleObject(lock, 5000) : WAIT_FAILED;
  {
    UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string record = line + "\r\n";
    DWORD written = 0;
    if (file) {
      WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    }
  }
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(lock);
}

void JournalError(const char* what, const std::string& detail) {
  Journal(std::string("error ") + what + (detail.empty() ? "" : " " + detail));
}

// ---- behaviour file ----

struct Behaviour {
  DWORD failFirst = 0;
  DWORD failFirstCode = 1;
  bool hasInstallExit = false;
  DWORD installExit = 0;
  DWORD hangMs = 0;
  bool pendingForever = false;
  DWORD startDelayMs = 0;
  bool ignoreUninstall = false;
  std::vector<std::string> prints;
  uint64_t floodBytes = 0;
  std::vector<std::string> probes;  // as written, journaled as written
};

// Decimal, or hexadecimal after "0x"; the whole token must be the number.
bool ParseNumber(const std::string& token, uint64_t limit, uint64_t& value) {
  const bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
  const size_t start = hex ? 2 : 0;
  if (token.size() == start) return false;
  value = 0;
  for (size_t i = start; i < token.size(); ++i) {
    const char c = token[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    const uint64_t base = hex ? 16 : 10;
    if (value > (limit - digit) / base) return false;
    value = value * base + digit;
  }
  return true;
}

bool ParseDword(const std::string& token, DWORD& value) {
  uint64_t wide = 0;
  if (!ParseNumber(token, 0xFFFFFFFFu, wide)) return false;
  value = static_cast<DWORD>(wide);
  return true;
}

bool ParseDirective(const std::string& line, Behaviour& behaviour) {
  const char* blanks = " \t";
  const size_t keyEnd = line.find_first_of(blanks);
  const std::string key = line.substr(0, keyEnd);
  if (key == "print") {
    // The text is taken as it stands, '#' and all.
    const size_t textStart = line.find_first_not_of(blanks, keyEnd);
    behaviour.prints.push_back(textStart == std::string::npos ? "" : line.substr(textStart));
    return true;
  }
  std::vector<std::string> values;
  for (size_t at = line.find_first_not_of(blanks, keyEnd); at != std::string::npos;) {
    const size_t end = line.find_first_of(blanks, at);
    const std::string token = line.substr(at, end - at);
    if (token[0] == '#') break;
    values.push_back(token);
    at = line.find_first_not_of(blanks, end);
  }
  const size_t count = values.size();
  if (key == "install-fail-first" && (count == 1 || count == 2)) {
    return ParseDword(values[0], behaviour.failFirst) &&
           (count == 1 || ParseDword(values[1], behaviour.failFirstCode));
  }
  if (key == "install-exit" && count == 1) {
    behaviour.hasInstallExit = true;
    return ParseDword(values[0], behaviour.installExit);
  }
  if (key == "hang-ms" && count == 1) return ParseDword(values[0], behaviour.hangMs);
  if (key == "start-pending-forever" && count == 0) {
    behaviour.pendingForever = true;
    return true;
  }
  if (key == "start-delay-ms" && count == 1) {
    return ParseDword(values[0], behaviour.startDelayMs);
  }
  if (key == "ignore-uninstall" && count == 0) {
    behaviour.ignoreUninstall = true;
    return true;
  }
  if (key == "flood" && count == 1) {
    return ParseNumber(values[0], UINT64_MAX, behaviour.floodBytes);
  }
  if (key == "probe-handle" && count == 1) {
    uint64_t unused = 0;
    if (!ParseNumber(values[0], UINT64_MAX, unused)) return false;
    behaviour.probes.push_back(values[0]);
    return true;
  }
  return false;
}

// False (journaled) when the file exists but cannot be read or holds a line
// that is not a directive: a mistyped test set-up must not pass unnoticed.
bool LoadBehaviour(Behaviour& behaviour) {
  std::string text;
  const DWORD error = ReadWholeFile(Beside(L"amneziawg-behaviour.txt"), text);
  if (error == ERROR_FILE_NOT_FOUND) return true;
  if (error != ERROR_SUCCESS) {
    Journal("bad-behaviour unreadable " + std::to_string(error));
    return false;
  }
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    line = line.substr(first, line.find_last_not_of(" \t") + 1 - first);
    if (!ParseDirective(line, behaviour)) {
      Journal("bad-behaviour line " + std::to_string(number) + ": " + line);
      return false;
    }
  }
  return true;
}

// ---- what a tool run sees and leaves behind ----

// A handle counts when the process really holds it: a child started without
// standard handles may find null, INVALID_HANDLE_VALUE or a stale number there.
bool IsOwnHandle(HANDLE handle) {
  DWORD flags = 0;
  return handle && handle != INVALID_HANDLE_VALUE && GetHandleInformation(handle, &flags);
}

void JournalStart() {
  Journal("run pid=" + std::to_string(GetCurrentProcessId()) +
          " cmdline=" + Utf8(GetCommandLineW()));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  const char* show = "none";
  if (startup.dwFlags & STARTF_USESHOWWINDOW) {
    show = startup.wShowWindow == SW_HIDE ? "hide" : "normal";
  }
  const auto state = [](DWORD which) {
    return IsOwnHandle(GetStdHandle(which)) ? "valid" : "none";
  };
  Journal(std::string("run-env console=") + (GetConsoleWindow() ? "present" : "none") + " show=" +
          show + " stdout=" + state(STD_OUTPUT_HANDLE) + " stderr=" + state(STD_ERROR_HANDLE));
}

void ProbeHandles(const Behaviour& behaviour) {
  for (const std::string& value : behaviour.probes) {
    uint64_t number = 0;
    ParseNumber(value, UINT64_MAX, number);
    const bool valid = IsOwnHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(number)));
    Journal("probe-handle " + value + (valid ? " valid" : " invalid"));
  }
}

// Blocks while a pipe reader is slow, as a real tool's output would.
void WriteOutput(const Behaviour& behaviour) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  for (const std::string& text : behaviour.prints) {
    const std::string line = text + "\r\n";
    if (IsOwnHandle(out)) WriteAll(out, line.data(), line.size());
    if (IsOwnHandle(err)) WriteAll(err, line.data(), line.size());
  }
  if (behaviour.floodBytes == 0 || !IsOwnHandle(out)) return;
  // 64-byte lines; the last one is cut short to give the exact count.
  std::string block;
  for (int i = 0; i < 1024; ++i) {
    std::string line = "flood " + std::to_string(i) + " ";
    line.resize(62, 'x');
    block += line + "\r\n";
  }
  for (uint64_t left = behaviour.floodBytes; left > 0;) {
    const size_t step = left < block.size() ? static_cast<size_t>(left) : block.size();
    if (!WriteAll(out, block.data(), step)) break;
    left -= step;
  }
}

int FinishToolRun(const Behaviour& behaviour, int code) {
  WriteOutput(behaviour);
  Journal("exit " + std::to_string(static_cast<DWORD>(code)));
  return code;
}

// Counts this install run in the state file and returns its number (from 1).
// The file is held unshared while it is rewritten, so overlapping runs each
// get their own number.
DWORD CountInstallRun() {
  const std::wstring path = Beside(L"amneziawg-state.txt");
  UniqueFileHandle file;
  for (int attempt = 0; attempt < 100 && !file; ++attempt) {
    file.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && GetLastError() == ERROR_SHARING_VIOLATION) Sleep(50);
  }
  if (!file) return 1;
  char text[64] = {};
  DWORD got = 0;
  ReadFile(file.get(), text, sizeof text - 1, &got, nullptr);
  const std::string prefix = "install-runs ";
  const std::string content(text, got);
  uint64_t runs = 0;
  if (content.compare(0, prefix.size(), prefix) == 0) {
    ParseNumber(content.substr(prefix.size(), content.find_first_of("\r\n") - prefix.size()),
                0xFFFFFFFEu, runs);
  }
  ++runs;
  const std::string updated = prefix + std::to_string(runs) + "\r\n";
  SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file.get());
  WriteAll(file.get(), updated.data(), updated.size());
  return static_cast<DWORD>(runs);
}

// ---- the tool ----

std::wstring ServiceNameFor(const std::wstring& tunnel) { return kServicePrefix + tunnel; }

int InstallTunnel(const Behaviour& behaviour, const std::wstring& configPath) {
  const DWORD run = CountInstallRun();
  if (run <= behaviour.failFirst) {
    Journal("install-fail-first run=" + std::to_string(run) +
            " code=" + std::to_string(behaviour.failFirstCode));
    return static_cast<int>(behaviour.failFirstCode);
  }
  const size_t nameStart = configPath.find_last_of(L"\\/") + 1;
  const size_t dot = configPath.rfind(L'.');
  const std::wstring tunnel =
      configPath.substr(nameStart, dot == std::wstring::npos || dot < nameStart ? std::wstring::npos
                                                                                : dot - nameStart);
  std::string config;
  if (const DWORD error = ReadWholeFile(configPath, config); error != ERROR_SUCCESS) {
    JournalError("config-unreadable", std::to_string(error));
    return 1;
  }
  UniqueFileHandle copy(CreateFileW(Beside(L"amneziawg-last.conf").c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy || !WriteAll(copy.get(), config.data(), config.size())) {
    JournalError("config-copy", std::to_string(GetLastError()));
    return 1;
  }
  copy.reset();
  if (tunnel.empty()) {
    JournalError("no-tunnel-name", "");
    return 1;
  }

  const std::wstring service = ServiceNameFor(tunnel);
  UniqueServiceHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    JournalError("OpenSCManagerW", std::to_string(GetLastError()));
    return 1;
  }
  const std::wstring command = L"\"" + ModulePath() + L"\" /tunnelservice \"" + configPath + L"\"";
  const std::wstring display = L"AmneziaWG Tunnel: " + tunnel;
  UniqueServiceHandle created(CreateServiceW(manager.get(), service.c_str(), display.c_str(),
                                             SERVICE_START | SERVICE_QUERY_STATUS | DELETE,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                             SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                                             nullptr, nullptr, nullptr, nullptr));
  if (!created) {
    const DWORD error = GetLastError();
    // ERROR_SERVICE_EXISTS, or ERROR_SERVICE_MARKED_FOR_DELETE while an
    // earlier one is still going away: either way not ours to touch.
    JournalError("CreateServiceW", std::to_string(error) + " " + Utf8(service));
    return 1;
  }
  if (!StartServiceW(created.get(), 0, nullptr)) {
    const DWORD error = GetLastError();
    JournalError("StartServiceW", std::to_string(error) + " " + Utf8(service));
    // A service that cannot start is removed again, so a failed install
    // leaves nothing behind.
    DeleteService(created.get());
    return 1;
  }
  return behaviour.hasInstallExit ? static_cast<int>(behaviour.installExit) : 0;
}

int UninstallTunnel(const Behaviour& behaviour, const std::wstring& tunnel) {
  const std::wstring service = ServiceNameFor(tunnel);
  if (behaviour.ignoreUninstall) {
    Journal("ignore-uninstall " + Utf8(service));
    return 0;
  }
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    JournalError("OpenSCManagerW", std::to_string(GetLastError()));
    return 1;
  }
  UniqueServiceHandle handle(
      OpenServiceW(manager.get(), service.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!handle) {
    JournalError("OpenServiceW", std::to_string(GetLastError()) + " " + Utf8(service));
    return 1;
  }
  SERVICE_STATUS status{};
  ControlService(handle.get(), SERVICE_CONTROL_STOP, &status);
  bool stopped = false;
  for (DWORD waited = 0; !stopped; waited += kPendingStepMs) {
    stopped = QueryServiceStatus(handle.get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
    if (stopped || waited >= kStopWaitMs) break;
    Sleep(kPendingStepMs);
  }
  if (!stopped) JournalError("stop-timeout", Utf8(service));
  if (!DeleteService(handle.get())) {
    JournalError("DeleteService", std::to_string(GetLastError()) + " " + Utf8(service));
    return 1;
  }
  return 0;
}

int RunTool(const std::vector<std::wstring>& args) {
  Behaviour behaviour;
  if (!LoadBehaviour(behaviour)) return FinishToolRun(Behaviour{}, 2);
  ProbeHandles(behaviour);
  if (behaviour.hangMs > 0) Sleep(behaviour.hangMs);
  int code = 2;
  if (args.size() == 3 && args[1] == L"/installtunnelservice") {
    code = InstallTunnel(behaviour, args[2]);
  } else if (args.size() == 3 && args[1] == L"/uninstalltunnelservice" && !args[2].empty()) {
    code = UninstallTunnel(behaviour, args[2]);
  } else {
    JournalError("usage", "");
  }
  return FinishToolRun(behaviour, code);
}

// ---- the tunnel service ----

Behaviour ServiceBehaviour;
bool ServiceBehaviourBad = false;
bool HasStartPendingMs = false;
DWORD StartPendingMs = 0;
HANDLE StopEvent = nullptr;

// The control handler (dispatcher thread) and ServiceMain (its own thread)
// both report status, so the record and the call are serialised.
std::mutex StatusMutex;
SERVICE_STATUS Status{};
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
std::string JournaledName;

void Report(DWORD state, DWORD checkPoint = 0) {
  std::lock_guard<std::mutex> lock(StatusMutex);
  Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  Status.dwCurrentState = state;
  // Stop is accepted while start is pending too: a tunnel that never comes up
  // must still go away when it is uninstalled.
  const bool stoppable = state == SERVICE_START_PENDING || state == SERVICE_RUNNING;
  Status.dwControlsAccepted = stoppable ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  Status.dwCheckPoint = checkPoint;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  Status.dwWaitHint = pending ? kPendingWaitHintMs : 0;
  const char* name = state == SERVICE_START_PENDING ? "start-pending"
                     : state == SERVICE_RUNNING     ? "running"
                     : state == SERVICE_STOPPED     ? "stopped"
                                                    : nullptr;
  // Journaled before the manager hears of it: whoever sees the new state
  // finds the line already written, and once STOPPED is reported the process
  // may end before this thread writes anything more. Only the first of the
  // advancing start-pending reports is worth a line.
  if (name && checkPoint <= 1) Journal("service " + JournaledName + " " + name);
  SetServiceStatus(StatusHandle, &Status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      SetEvent(StopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI TunnelServiceMain(DWORD argc, LPWSTR* argv) {
  // The manager passes the name the service is registered under, so one
  // binary serves any tunnel name.
  const wchar_t* name = argc > 0 ? argv[0] : L"";
  JournaledName = Utf8(name);
  StatusHandle = RegisterServiceCtrlHandlerExW(name, ControlHandler, nullptr);
  if (!StatusHandle) return;
  if (!StopEvent || ServiceBehaviourBad) {
    Status.dwWin32ExitCode = StopEvent ? ERROR_BAD_CONFIGURATION : ERROR_NOT_ENOUGH_MEMORY;
    Report(SERVICE_STOPPED);
    return;
  }
  DWORD delayMs = HasStartPendingMs ? StartPendingMs : ServiceBehaviour.startDelayMs;
  if (ServiceBehaviour.pendingForever) delayMs = INFINITE;
  // Checkpoints advance while pending, as a well-behaved service's do, so a
  // manager that watches them never takes the stand-in for hung.
  bool stopRequested = false;
  DWORD checkPoint = 1;
  Report(SERVICE_START_PENDING, checkPoint++);
  for (DWORD waited = 0; !stopRequested && (delayMs == INFINITE || waited < delayMs);
       waited += kPendingStepMs) {
    stopRequested = WaitForSingleObject(StopEvent, kPendingStepMs) == WAIT_OBJECT_0;
    if (!stopRequested) Report(SERVICE_START_PENDING, checkPoint++);
  }
  if (!stopRequested) {
    Report(SERVICE_RUNNING);
    WaitForSingleObject(StopEvent, INFINITE);
  }
  Report(SERVICE_STOPPED);
}

int RunService(const std::vector<std::wstring>& args) {
  ServiceBehaviourBad = !LoadBehaviour(ServiceBehaviour);
  if (args.size() == 5) {
    uint64_t value = 0;
    if (args[3] != L"--start-pending-ms" || !ParseNumber(Utf8(args[4]), 0xFFFFFFFEu, value)) {
      JournalError("usage", "");
      return 2;  // a mistyped registration should fail loudly, not run differently
    }
    HasStartPendingMs = true;
    StartPendingMs = static_cast<DWORD>(value);
  }
  StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // An own-process service's table entry name is not used for matching, but
  // it must not be null.
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<wchar_t*>(L""), TunnelServiceMain},
      {nullptr, nullptr},
  };
  if (StartServiceCtrlDispatcherW(table)) return 0;
  JournalError("StartServiceCtrlDispatcherW", std::to_string(GetLastError()));
  return 1;
}

}  // namespace

int wmain(int, wchar_t**) {
  JournalStart();
  std::vector<std::wstring> args;
  int count = 0;
  if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
    args.assign(argv, argv + count);
    LocalFree(argv);
  }
  if ((args.size() == 3 || args.size() == 5) && args[1] == L"/tunnelservice") {
    return RunService(args);
  }
  return RunTool(args);
}

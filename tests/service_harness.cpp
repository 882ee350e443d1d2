#include "service_harness.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "support/data_directory.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"

#if !defined(QUORVEL_HELPER_EXE) || !defined(QUORVEL_TESTBED_DIR)
#error "tests/CMakeLists.txt passes the built programs' paths"
#endif

// CMake hands over the build's own paths. A cross build names them the Unix
// way; under Wine the Unix root is drive Z:.
std::wstring ToWindowsPath(const std::string& built) {
  std::wstring path;
  for (const char c : built) path += static_cast<wchar_t>(static_cast<unsigned char>(c));
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.size() > 1 && path[0] == L'\\' && path[1] != L'\\') path = L"Z:" + path;
  wchar_t full[MAX_PATH * 2];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  return (length > 0 && length < MAX_PATH * 2) ? std::wstring(full, length) : path;
}

namespace {

// Opens one service for `access`. On failure the handle is empty and
// `error` holds the reason.
struct OpenedService {
  UniqueServiceHandle manager;
  UniqueServiceHandle service;
  DWORD error = 0;
};

OpenedService OpenNamedService(const wchar_t* name, DWORD access) {
  OpenedService opened;
  opened.manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!opened.manager) {
    opened.error = GetLastError();
    return opened;
  }
  opened.service.reset(OpenServiceW(opened.manager.get(), name, access));
  if (!opened.service) opened.error = GetLastError();
  return opened;
}

}  // namespace

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring HelperExePath() { return ToWindowsPath(QUORVEL_HELPER_EXE); }
std::wstring LimitedHelperExePath() { return ToWindowsPath(QUORVEL_LIMITED_HELPER_EXE); }
std::wstring ControlClientExePath() { return ToWindowsPath(QUORVEL_CTL_EXE); }
std::wstring WindowsCheckExePath() { return ToWindowsPath(QUORVEL_CHECK_EXE); }
std::wstring TestbedFile(const wchar_t* name) {
  return ToWindowsPath(QUORVEL_TESTBED_DIR) + L"\\" + name;
}

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

ProcessResult RunProgram(const std::wstring& exe, const std::wstring& argumentTail,
                         DWORD timeoutMs) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    result.error = GetLastError();
    return result;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  std::wstring commandLine = Quote(exe);
  if (!argumentTail.empty()) commandLine += L" " + argumentTail;
  PROCESS_INFORMATION process{};
  const ULONGLONG start = GetTickCount64();
  result.started = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process) != FALSE;
  if (!result.started) result.error = GetLastError();
  if (result.started) result.pid = process.dwProcessId;
  // Only the child may hold the write end now, so the read ends when it does.
  CloseHandle(writeEnd);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!result.started) {
    CloseHandle(readEnd);
    return result;
  }

  // Drained while the child runs: a child writing more than the pipe holds
  // would otherwise block and look like a hang.
  for (;;) {
    const bool exited = WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0;
    DWORD available = 0;
    while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      char buffer[4096];
      DWORD got = 0;
      if (!ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) || got == 0) break;
      result.output.append(buffer, got);
    }
    if (exited) {
      result.finished = true;
      break;
    }
    if (GetTickCount64() - start > timeoutMs) {
      TerminateProcess(process.hProcess, 9999);
      WaitForSingleObject(process.hProcess, 5000);
      break;
    }
  }
  result.elapsedMs = GetTickCount64() - start;
  GetExitCodeProcess(process.hProcess, &result.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(readEnd);
  return result;
}

ServiceConfig QueryConfig(const wchar_t* name) {
  ServiceConfig config;
  const OpenedService service = OpenNamedService(name, SERVICE_QUERY_CONFIG);
  if (!service.service) {
    config.error = service.error;
    return config;
  }
  DWORD needed = 0;
  QueryServiceConfigW(service.service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed > 0 ? needed : sizeof(QUERY_SERVICE_CONFIGW));
  auto* data = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.service.get(), data, static_cast<DWORD>(buffer.size()),
                           &needed)) {
    config.error = GetLastError();
    return config;
  }
  config.found = true;
  config.serviceType = data->dwServiceType;
  config.startType = data->dwStartType;
  config.errorControl = data->dwErrorControl;
  config.binaryPath = data->lpBinaryPathName ? data->lpBinaryPathName : L"";
  config.displayName = data->lpDisplayName ? data->lpDisplayName : L"";
  config.account = data->lpServiceStartName ? data->lpServiceStartName : L"";
  return config;
}

namespace {
// QueryServiceConfig2W's answer for one level, sized as it asks.
bool QueryConfig2(SC_HANDLE service, DWORD level, std::vector<BYTE>& buffer, DWORD& error) {
  DWORD needed = 0;
  QueryServiceConfig2W(service, level, nullptr, 0, &needed);
  buffer.assign(needed > 0 ? needed : 64, 0);
  if (QueryServiceConfig2W(service, level, buffer.data(), static_cast<DWORD>(buffer.size()),
                           &needed)) {
    return true;
  }
  error = GetLastError();
  return false;
}
}  // namespace

ServiceRecovery QueryRecovery(const wchar_t* name) {
  ServiceRecovery recovery;
  const OpenedService service = OpenNamedService(name, SERVICE_QUERY_CONFIG);
  if (!service.service) {
    recovery.error = service.error;
    return recovery;
  }
  std::vector<BYTE> buffer;
  if (!QueryConfig2(service.service.get(), SERVICE_CONFIG_DESCRIPTION, buffer, recovery.error)) {
    return recovery;
  }
  const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
  if (description->lpDescription) recovery.description = description->lpDescription;
  if (QueryConfig2(service.service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, buffer,
                   recovery.preshutdownError)) {
    recovery.preshutdownMs =
        reinterpret_cast<const SERVICE_PRESHUTDOWN_INFO*>(buffer.data())->dwPreshutdownTimeout;
  }
  if (!QueryConfig2(service.service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer,
                    recovery.error)) {
    return recovery;
  }
  const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  recovery.resetSeconds = actions->dwResetPeriod;
  recovery.actions.assign(actions->lpsaActions, actions->lpsaActions + actions->cActions);
  return recovery;
}

namespace {
bool QueryProcessStatus(const wchar_t* name, SERVICE_STATUS_PROCESS& status) {
  const OpenedService service = OpenNamedService(name, SERVICE_QUERY_STATUS);
  if (!service.service) return false;
  DWORD needed = 0;
  return QueryServiceStatusEx(service.service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != FALSE;
}
}  // namespace

DWORD ServiceState(const wchar_t* name) {
  SERVICE_STATUS_PROCESS status{};
  return QueryProcessStatus(name, status) ? status.dwCurrentState : 0;
}

bool ServiceStatusNow(const wchar_t* name, SERVICE_STATUS_PROCESS& status) {
  return QueryProcessStatus(name, status);
}

DWORD ServiceProcessId(const wchar_t* name) {
  SERVICE_STATUS_PROCESS status{};
  return QueryProcessStatus(name, status) ? status.dwProcessId : 0;
}

bool ServiceExists(const wchar_t* name) {
  return OpenNamedService(name, SERVICE_QUERY_STATUS).service.valid();
}

bool WaitForServiceState(const wchar_t* name, DWORD state, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (ServiceState(name) == state) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

bool WaitForServiceGone(const wchar_t* name, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    const OpenedService service = OpenNamedService(name, SERVICE_QUERY_STATUS);
    if (!service.service && service.error == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

DWORD CreateStandinService(const wchar_t* name, const std::wstring& extraArguments) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return GetLastError();
  // The tool stand-in is its own tunnel service, as the real tool is.
  std::wstring commandLine = Quote(TestbedFile(L"amneziawg.exe")) + L" /tunnelservice " + name;
  if (!extraArguments.empty()) commandLine += L" " + extraArguments;
  UniqueServiceHandle service(CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                             SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr,
                                             nullptr, nullptr, nullptr, nullptr));
  return service ? 0 : GetLastError();
}

// Wine's service manager has been seen to fail a start on a handle just
// opened with ERROR_INVALID_HANDLE, under the suite's load, before the
// service was touched: asked once more with fresh handles, and said, so
// a start that fails for the service's own reasons still fails.
DWORD StartNamedService(const wchar_t* name) {
  DWORD error = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const OpenedService service = OpenNamedService(name, SERVICE_START);
    if (!service.service) return service.error;
    if (StartServiceW(service.service.get(), 0, nullptr)) return 0;
    error = GetLastError();
    if (error != ERROR_INVALID_HANDLE) break;
    std::fprintf(stderr, "StartServiceW refused a fresh handle (error 6); asking again\n");
  }
  return error;
}

DWORD DeleteNamedService(const wchar_t* name) {
  const OpenedService service = OpenNamedService(name, DELETE);
  if (!service.service) return service.error;
  return DeleteService(service.service.get()) ? 0 : GetLastError();
}

bool RemoveServiceAndWait(const wchar_t* name, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < deadline) {
    const OpenedService opened = OpenNamedService(name, SERVICE_ALL_ACCESS);
    if (!opened.service) return opened.error == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status{};
    if (QueryServiceStatus(opened.service.get(), &status) &&
        status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(opened.service.get(), SERVICE_CONTROL_STOP, &status);
    } else {
      DeleteService(opened.service.get());
    }
    Sleep(100);
  }
  return false;
}

bool RemoveHelperServices() {
  const bool helperGone = RemoveServiceAndWait(L"QuorvelHelper", 45000);
  const bool tunnelGone = RemoveServiceAndWait(L"AmneziaWGTunnel$Quorvel", 45000);
  return helperGone && tunnelGone;
}

DWORD ControlNamedService(const wchar_t* name, DWORD control, SERVICE_STATUS* status) {
  // Enough rights for every control the tests send, including user-defined.
  const OpenedService service =
      OpenNamedService(name, SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL |
                                 SERVICE_QUERY_STATUS);
  if (!service.service) return service.error;
  SERVICE_STATUS ignored{};
  return ControlService(service.service.get(), control, status ? status : &ignored)
             ? 0
             : GetLastError();
}

std::wstring ServiceLogPath() {
  // On Windows a service sees the machine's ProgramData, as this test does.
  return RunningUnderWine() ? L"C:\\users\\Public\\Quorvel\\helper.log" : LogFilePath();
}

ULONGLONG FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::string> LogTextsSince(const std::wstring& path, ULONGLONG from) {
  std::vector<std::string> texts;
  const std::string whole = ReadFileBytes(path);
  const std::string bytes = from < whole.size() ? whole.substr(static_cast<size_t>(from)) : "";
  size_t begin = 0;
  for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    const std::string raw = bytes.substr(begin, end - begin);
    std::string text;
    texts.push_back(LogLineText(raw, text) ? text : "<malformed> " + raw);
  }
  // A trailing piece without CR LF is a line still being written (or one
  // with the wrong ending); it is reported only once complete.
  return texts;
}

// Read by hand: std::regex takes minutes over a line of a few hundred KB,
// the very lines a test of the log's bounds must be able to show.
bool LogLineText(const std::string& line, std::string& text) {
  static const char kStamp[] = "dddd-dd-dd dd:dd:dd  ";
  constexpr size_t kStampLength = sizeof(kStamp) - 1;
  if (line.size() < kStampLength) return false;
  for (size_t i = 0; i < kStampLength; ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kStamp[i] == 'd' ? !digit : line[i] != kStamp[i]) return false;
  }
  text = line.substr(kStampLength);
  return true;
}

size_t Count(const std::vector<std::string>& lines, const std::string& text) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(text) != std::string::npos;
  });
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

std::vector<std::string> Starting(const std::vector<std::string>& lines,
                                  const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

uint32_t IPv4(const char* text) {
  IN_ADDR address{};
  return inet_pton(AF_INET, text, &address) == 1 ? address.s_addr : 0;
}

std::wstring BesideTests(const wchar_t* name) { return ModuleDirectory() + L"\\" + name; }

std::vector<std::string> RouteCalls(const std::vector<std::string>& journal,
                                    const std::string& kind) {
  std::vector<std::string> calls;
  for (const std::string& line : Starting(journal, kind + " ")) {
    calls.push_back(line.substr(line.find("dest=")));
  }
  return calls;
}

bool WaitForLogText(const std::wstring& path, ULONGLONG from, const std::string& text,
                    DWORD timeoutMs) {
  return WaitUntil(
      [&] {
        const std::vector<std::string> texts = LogTextsSince(path, from);
        return std::find(texts.begin(), texts.end(), text) != texts.end();
      },
      timeoutMs);
}

ProgramDataOverride::ProgramDataOverride(const wchar_t* value) {
  std::vector<wchar_t> buffer(32768);
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer.data(), 32768);
  had_ = length > 0 && length < 32768;
  if (had_) saved_.assign(buffer.data(), length);
  SetEnvironmentVariableW(L"ProgramData", value);
}

ProgramDataOverride::~ProgramDataOverride() {
  SetEnvironmentVariableW(L"ProgramData", had_ ? saved_.c_str() : nullptr);
}

std::wstring NewScratchDirectory(const std::wstring& tag) {
  static LONG counter = 0;
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, buffer);
  std::wstring path(buffer, length);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  path += L"\\quorvel-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(GetTickCount64()) + L"-" +
          std::to_wstring(InterlockedIncrement(&counter));
  return CreateDirectoryW(path.c_str(), nullptr) ? path : L"";
}

ScratchDataDirectory::ScratchDataDirectory(const wchar_t* tag)
    : root_(NewScratchDirectory(tag)),
      override_(root_.c_str()),
      ready_(!root_.empty() && EnsureTrustedDataDirectory()) {}

ScratchDataDirectory::~ScratchDataDirectory() {
  CloseLogFile();  // held open, it would keep the directory
  RemoveTree(root_);
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(child);
      } else if (!DeleteFileW(child.c_str())) {
        RemoveDirectoryW(child.c_str());  // a link to a directory
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

bool SetAccessList(const std::wstring& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  const UniqueLocalMemory held(descriptor);
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
  return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                               nullptr) == ERROR_SUCCESS;
}

namespace {

std::string HostPath(const std::wstring& path) {
  using Mapper = char*(CDECL*)(const wchar_t*);
  const auto map = reinterpret_cast<Mapper>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* mapped = map ? map(path.c_str()) : nullptr;
  if (!mapped) return {};
  std::string host = mapped;
  HeapFree(GetProcessHeap(), 0, mapped);
  return host;
}

// Wine starts a Unix program from CreateProcessW, but the handle it returns
// cannot be waited on: the command marks its end with a file.
bool RunHostShell(const std::string& command) {
  const std::wstring doneDirectory = NewScratchDirectory(L"host-shell");
  if (doneDirectory.empty()) return false;
  const std::wstring done = doneDirectory + L"\\done";
  const std::string script = command + "; echo > '" + HostPath(doneDirectory) + "/done'";
  std::wstring commandLine = L"/bin/sh -c \"";
  for (const char c : script) commandLine += static_cast<wchar_t>(static_cast<unsigned char>(c));
  commandLine += L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  bool finished = false;
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                     nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!(finished = GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES) &&
           GetTickCount64() < deadline) {
      Sleep(5);
    }
  }
  RemoveTree(doneDirectory);
  return finished;
}

}  // namespace

bool SetHostFileMode(const std::wstring& path, const char* mode) {
  const std::string host = HostPath(path);
  return !host.empty() && RunHostShell(std::string("chmod ") + mode + " '" + host + "'");
}

bool SetHostImmutable(const std::wstring& directory, bool immutable) {
  const std::string host = HostPath(directory);
  return !host.empty() && RunHostShell(std::string("chattr ") + (immutable ? "+i" : "-i") +
                                       " '" + host + "'");
}

FrozenLogRotation::FrozenLogRotation(const std::wstring& dataDirectory)
    : directory_(dataDirectory) {
  if (RunningUnderWine()) {
    frozen_ = SetHostImmutable(directory_, true);
    return;
  }
  const auto hold = [](const std::wstring& path) {
    return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  current_ = hold(directory_ + L"\\helper.log");
  older_ = hold(directory_ + L"\\helper.log.1");
  frozen_ = current_.valid();
}

void FrozenLogRotation::Thaw() {
  if (frozen_ && RunningUnderWine()) SetHostImmutable(directory_, false);
  current_.reset();
  older_.reset();
  frozen_ = false;
}

bool PlantSymbolicLink(const std::wstring& link, const std::wstring& target) {
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!RunningUnderWine()) {
    const DWORD flags =
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
        0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    return CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) != FALSE;
  }
  const std::string from = HostPath(link), to = HostPath(target);
  return !from.empty() && !to.empty() && RunHostShell("ln -s '" + to + "' '" + from + "'") &&
         GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveSymbolicLink(const std::wstring& link) {
  if (!RunningUnderWine()) {
    if (!RemoveDirectoryW(link.c_str())) DeleteFileW(link.c_str());
    return;
  }
  const std::string host = HostPath(link);
  if (!host.empty()) RunHostShell("rm -f '" + host + "'");
}

std::string ReadFileBytes(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  return bytes;
}

namespace {
bool PutFileBytes(const std::wstring& path, const std::string& bytes, DWORD access,
                  DWORD disposition) {
  UniqueFileHandle file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}
}  // namespace

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  return PutFileBytes(path, bytes, GENERIC_WRITE, CREATE_ALWAYS);
}
bool AppendFileBytes(const std::wstring& path, const std::string& bytes) {
  return PutFileBytes(path, bytes, FILE_APPEND_DATA, OPEN_ALWAYS);
}

std::vector<std::string> ReadLines(const std::wstring& path) {
  std::vector<std::string> lines;
  const std::string bytes = ReadFileBytes(path);
  size_t begin = 0;
  while (begin < bytes.size()) {
    size_t end = bytes.find('\n', begin);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

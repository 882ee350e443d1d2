#include "service_harness.h"

#include <regex>
#include <thread>

#ifndef QUORVEL_HELPER_EXE
#error "tests/CMakeLists.txt passes the built programs' paths"
#endif

namespace {

// CMake hands over the build's own paths. A cross build names them the Unix
// way; under Wine the Unix root is drive Z:.
std::wstring ToWindowsPath(const char* built) {
  std::wstring path;
  for (const char* c = built; *c; ++c) path += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.size() > 1 && path[0] == L'\\' && path[1] != L'\\') path = L"Z:" + path;
  wchar_t full[MAX_PATH * 2];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  return (length > 0 && length < MAX_PATH * 2) ? std::wstring(full, length) : path;
}

SC_HANDLE OpenManager() { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

// Opens one service for `access`; on failure returns null with the error
// left in GetLastError().
class ServiceRef {
 public:
  ServiceRef(const wchar_t* name, DWORD access) {
    manager_ = OpenManager();
    if (!manager_) {
      error_ = GetLastError();
      return;
    }
    service_ = OpenServiceW(manager_, name, access);
    if (!service_) error_ = GetLastError();
  }
  ~ServiceRef() {
    if (service_) CloseServiceHandle(service_);
    if (manager_) CloseServiceHandle(manager_);
  }
  ServiceRef(const ServiceRef&) = delete;
  ServiceRef& operator=(const ServiceRef&) = delete;
  SC_HANDLE get() const { return service_; }
  DWORD error() const { return error_; }

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
  DWORD error_ = 0;
};

}  // namespace

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring HelperExePath() { return ToWindowsPath(QUORVEL_HELPER_EXE); }
std::wstring ControlClientExePath() { return ToWindowsPath(QUORVEL_CTL_EXE); }
std::wstring TunnelStandinExePath() { return ToWindowsPath(QUORVEL_TUNNEL_STANDIN_EXE); }

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
  ServiceRef service(name, SERVICE_QUERY_CONFIG);
  if (!service.get()) {
    config.error = service.error();
    return config;
  }
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed > 0 ? needed : sizeof(QUERY_SERVICE_CONFIGW));
  auto* data = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), data, static_cast<DWORD>(buffer.size()), &needed)) {
    config.error = GetLastError();
    return config;
  }
  config.found = true;
  config.serviceType = data->dwServiceType;
  config.startType = data->dwStartType;
  config.errorControl = data->dwErrorControl;
  config.binaryPath = data->lpBinaryPathName ? data->lpBinaryPathName : L"";
  config.displayName = data->lpDisplayName ? data->lpDisplayName : L"";
  return config;
}

namespace {
bool QueryProcessStatus(const wchar_t* name, SERVICE_STATUS_PROCESS& status) {
  ServiceRef service(name, SERVICE_QUERY_STATUS);
  if (!service.get()) return false;
  DWORD needed = 0;
  return QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != FALSE;
}
}  // namespace

DWORD ServiceState(const wchar_t* name) {
  SERVICE_STATUS_PROCESS status{};
  return QueryProcessStatus(name, status) ? status.dwCurrentState : 0;
}

DWORD ServiceProcessId(const wchar_t* name) {
  SERVICE_STATUS_PROCESS status{};
  return QueryProcessStatus(name, status) ? status.dwProcessId : 0;
}

bool ServiceExists(const wchar_t* name) { return ServiceRef(name, SERVICE_QUERY_STATUS).get(); }

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
    ServiceRef service(name, SERVICE_QUERY_STATUS);
    if (!service.get() && service.error() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

DWORD CreateStandinService(const wchar_t* name, const std::wstring& extraArguments) {
  SC_HANDLE manager = OpenManager();
  if (!manager) return GetLastError();
  std::wstring commandLine = Quote(TunnelStandinExePath());
  if (!extraArguments.empty()) commandLine += L" " + extraArguments;
  SC_HANDLE service = CreateServiceW(
      manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  const DWORD error = service ? 0 : GetLastError();
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return error;
}

DWORD StartNamedService(const wchar_t* name) {
  ServiceRef service(name, SERVICE_START);
  if (!service.get()) return service.error();
  return StartServiceW(service.get(), 0, nullptr) ? 0 : GetLastError();
}

DWORD ControlNamedService(const wchar_t* name, DWORD control, SERVICE_STATUS* status) {
  // Enough rights for every control the tests send, including user-defined.
  ServiceRef service(name, SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL |
                               SERVICE_QUERY_STATUS);
  if (!service.get()) return service.error();
  SERVICE_STATUS ignored{};
  return ControlService(service.get(), control, status ? status : &ignored) ? 0 : GetLastError();
}

std::wstring ServiceLogPath() {
  if (RunningUnderWine()) return L"C:\\users\\Public\\Quorvel\\helper.log";
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
  const std::wstring base =
      (length > 0 && length < MAX_PATH) ? std::wstring(buffer, length) : L"C:\\ProgramData";
  return base + L"\\Quorvel\\helper.log";
}

ULONGLONG FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::string> LogTextsSince(const std::wstring& path, ULONGLONG from) {
  std::vector<std::string> texts;
  // The helper may be appending at this moment: share everything.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return texts;
  LARGE_INTEGER offset;
  offset.QuadPart = static_cast<LONGLONG>(from);
  SetFilePointerEx(file, offset, nullptr, FILE_BEGIN);
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  CloseHandle(file);

  static const std::regex line(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}  (.*)$)");
  size_t begin = 0;
  for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    const std::string raw = bytes.substr(begin, end - begin);
    std::smatch match;
    texts.push_back(std::regex_match(raw, match, line) ? match[1].str() : "<malformed> " + raw);
  }
  // A trailing piece without CR LF is a line still being written (or one
  // with the wrong ending); it is reported only once complete.
  return texts;
}

bool WaitForLogText(const std::wstring& path, ULONGLONG from, const std::string& text,
                    DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    for (const std::string& found : LogTextsSince(path, from)) {
      if (found == text) return true;
    }
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

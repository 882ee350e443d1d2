#include "tunnel/tool_runner.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

constexpr size_t kOutputKeptBytes = 2048;
constexpr DWORD kOutputChunkBytes = 4096;

// The read end of the tool's output pipe, overlapped so that one wait covers
// the tool's exit and its output alike, and the write end for the tool. A
// named pipe (anonymous pipes cannot be overlapped), of this process alone:
// the first and only instance, local, with the default access of the helper's
// own account.
bool CreateOutputPipe(UniqueFileHandle& readEnd, UniqueFileHandle& writeEnd) {
  static LONG counter = 0;
  const std::wstring name = L"\\\\.\\pipe\\QuorvelHelper-tool-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&counter));
  readEnd.reset(CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
      kOutputChunkBytes, 0, nullptr));
  if (!readEnd) return false;
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  writeEnd.reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  return writeEnd.valid();
}

// Collects what the tool writes: the first kOutputKeptBytes are kept, the
// rest is read and dropped, so that a tool that floods its output never
// blocks on a full pipe.
class OutputReader {
 public:
  OutputReader(HANDLE pipe, HANDLE event) : pipe_(pipe) { overlapped_.hEvent = event; }
  ~OutputReader() { Cancel(); }
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

  // Starts reads until one is pending; false once the pipe has ended (every
  // writer closed it).
  bool Start() {
    while (open_ && !pending_) {
      ResetEvent(overlapped_.hEvent);
      DWORD got = 0;
      if (ReadFile(pipe_, chunk_, sizeof(chunk_), &got, &overlapped_)) {
        Keep(got);
      } else if (GetLastError() == ERROR_IO_PENDING) {
        pending_ = true;
      } else {
        open_ = false;
      }
    }
    return open_;
  }
  // The pending read has completed (its event is signalled).
  void Complete() {
    DWORD got = 0;
    pending_ = false;
    if (GetOverlappedResult(pipe_, &overlapped_, &got, FALSE)) {
      Keep(got);
    } else {
      open_ = false;
    }
  }
  // Takes what is already there without waiting for more.
  void Drain() {
    while (Start() && pending_) {
      if (WaitForSingleObject(overlapped_.hEvent, 0) != WAIT_OBJECT_0) break;
      Complete();
    }
    Cancel();
  }
  const std::string& kept() const { return kept_; }

 private:
  void Keep(DWORD got) {
    if (got == 0) return;
    const size_t room = kOutputKeptBytes - kept_.size();
    kept_.append(chunk_, got < room ? got : room);
  }
  void Cancel() {
    if (!pending_) return;
    CancelIoEx(pipe_, &overlapped_);
    DWORD ignored = 0;
    GetOverlappedResult(pipe_, &overlapped_, &ignored, TRUE);
    pending_ = false;
  }

  HANDLE pipe_;
  OVERLAPPED overlapped_{};
  char chunk_[kOutputChunkBytes];
  std::string kept_;
  bool pending_ = false;
  bool open_ = true;
};

// Starts the tool with the pipe as its standard output and error, and with
// no other handle of the helper: an explicit inheritance list, so that a
// handle some other code made inheritable never reaches it.
bool StartTool(std::wstring& commandLine, HANDLE output, PROCESS_INFORMATION& process) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<BYTE> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
  HANDLE inherited[] = {output};
  bool started = false;
  if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                sizeof(inherited), nullptr, nullptr)) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = attributes;
    started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                             CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                             &startup.StartupInfo, &process) != FALSE;
  }
  DeleteProcThreadAttributeList(attributes);
  return started;
}

}  // namespace

std::wstring FindTunnelTool() {
  const std::wstring directory = ModuleDirectory();
  for (const wchar_t* suffix : {L"\\awg\\amneziawg.exe", L"\\amneziawg.exe"}) {
    const std::wstring candidate = directory + suffix;
    if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) return candidate;
  }
  return L"";
}

std::wstring ToolOutputForLog(const std::string& output) {
  std::string text = output.substr(0, kOutputKeptBytes);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      shown += " | ";
    } else {
      shown += text[i];
    }
  }
  return Utf8ToWide(shown);
}

int RunProcess(const std::wstring& toolPath, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + toolPath + L"\" " + arguments;
  // The command line is copied: CreateProcessW may write into it.
  std::wstring buffer = commandLine;
  UniqueFileHandle outputRead, outputWrite;
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  PROCESS_INFORMATION process{};
  if (!event || !CreateOutputPipe(outputRead, outputWrite) ||
      !StartTool(buffer, outputWrite.get(), process)) {
    LogLine(L"CreateProcess failed: " + commandLine);
    return -1;
  }
  UniqueHandle processHandle(process.hProcess);
  UniqueHandle threadHandle(process.hThread);
  // Only the tool holds the write end now, so the pipe ends when it does.
  outputWrite.reset();

  OutputReader reader(outputRead.get(), event.get());
  const ULONGLONG deadline = GetTickCount64() + kToolWaitMs;
  bool reading = reader.Start();
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    const HANDLE waits[] = {processHandle.get(), event.get()};
    const DWORD waited = WaitForMultipleObjects(reading ? 2 : 1, waits, FALSE, left);
    if (waited == WAIT_OBJECT_0 + 1) {
      reader.Complete();
      reading = reader.Start();
      continue;
    }
    break;  // exited, or out of time
  }
  reader.Drain();

  DWORD exitCode = 1;
  GetExitCodeProcess(processHandle.get(), &exitCode);
  const int result = static_cast<int>(exitCode);
  if (result == kToolStillRunning) {
    LogLine(L"amneziawg.exe still running after 30 s; left running");
  } else if (result != 0) {
    LogLine(L"amneziawg.exe exited " + std::to_wstring(result) + L": " +
            ToolOutputForLog(reader.kept()));
  }
  return result;
}

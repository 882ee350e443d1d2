#include "tunnel/tool_runner.h"

#include <windows.h>

#include <bcrypt.h>

#include <memory>
#include <vector>

#include "support/code_directory.h"
#include "support/handles.h"
#include "support/limits.h"
#include "support/log.h"
#include "support/overlapped_io.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

constexpr size_t kOutputKeptBytes = 2048;
constexpr DWORD kOutputChunkBytes = 4096;
constexpr int kPipeNameAttempts = 3;
constexpr int kDrainReadsAtMost = 64;

// A name nobody can guess: with a predictable one, any local user could take
// it first and make every tool run fail, so that no tunnel could be brought
// up or down.
std::wstring UnpredictablePipeName() {
  unsigned char random[16];
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return L"";
  }
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring name = L"\\\\.\\pipe\\QuorvelHelper-tool-";
  for (const unsigned char byte : random) {
    name += kHex[byte >> 4];
    name += kHex[byte & 15];
  }
  return name;
}

// The read end of the tool's output pipe, overlapped so that one wait covers
// the tool's exit and its output alike, and the write end for the tool. A
// named pipe (anonymous pipes cannot be overlapped) of this process alone:
// the first and only instance of a random name, local, with the default
// access of the helper's own account.
bool CreateOutputPipe(UniqueFileHandle& readEnd, UniqueFileHandle& writeEnd) {
  for (int attempt = 0; attempt < kPipeNameAttempts && !readEnd; ++attempt) {
    const std::wstring name = UnpredictablePipeName();
    if (name.empty()) return false;
    readEnd.reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        kOutputChunkBytes, 0, nullptr));
    if (!readEnd) continue;
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    writeEnd.reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  return readEnd.valid() && writeEnd.valid();
}

// Collects what the tool writes: the first kOutputKeptBytes are kept, the
// rest is read, counted and dropped, so that a tool that floods its output
// never blocks on a full pipe. Each read ends when data comes, when the pipe
// ends (every writer closed it), when the tool exits or when time runs out.
std::string ReadToolOutput(HANDLE pipe, HANDLE event, HANDLE process, ULONGLONG deadline,
                           unsigned long long& dropped) {
  std::string kept;
  dropped = 0;
  char chunk[kOutputChunkBytes];
  const auto read = [&](DWORD timeoutMs, CutShortBy cut) {
    DWORD got = 0;
    const IoResult result = RunOverlapped(pipe, event, timeoutMs, cut, got, [&](OVERLAPPED* o) {
      return ReadFile(pipe, chunk, sizeof(chunk), nullptr, o);
    });
    if (result == IoResult::Done) {
      const size_t room = kOutputKeptBytes - kept.size();
      kept.append(chunk, got < room ? got : room);
      if (got > room) dropped += got - room;
    }
    return result;
  };
  IoResult result = IoResult::Done;
  for (ULONGLONG now = GetTickCount64(); result == IoResult::Done && now < deadline;
       now = GetTickCount64()) {
    result = read(static_cast<DWORD>(deadline - now), CutShortBy{process, false});
  }
  // The tool has ended: take what is already there, without waiting for
  // more (a child of the tool may still hold the pipe) and without letting
  // such a child keep the helper here.
  if (result == IoResult::CutShort) {
    for (int reads = 0; reads < kDrainReadsAtMost; ++reads) {
      if (read(0, kNotCutShort) != IoResult::Done) break;
    }
  }
  return kept;
}

// Starts the tool hidden. With an output pipe, that pipe is its standard
// output and error and the only handle it inherits: an explicit inheritance
// list, so that a handle some other code made inheritable never reaches it.
// Without one it inherits nothing.
bool StartTool(std::wstring& commandLine, HANDLE output, PROCESS_INFORMATION& process) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  if (!output) {
    return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup.StartupInfo, &process) != FALSE;
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<BYTE> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
  HANDLE inherited[] = {output};
  bool started = false;
  if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                sizeof(inherited), nullptr, nullptr)) {
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
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
  for (const std::wstring& folder : {directory + L"\\awg", directory}) {
    const std::wstring candidate = folder + L"\\amneziawg.exe";
    const DWORD attributes = GetFileAttributesW(candidate.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    // Run as LocalSystem, with the DLLs it finds beside itself: only from
    // a directory only administrators can change, and only when they alone
    // can change the tool and those DLLs (judged at every run: a file moved
    // in keeps the access list it had where it came from).
    if (!CodeDirectoryFault(folder).empty()) {
      LogLine(L"not loading amneziawg.exe: " + ChangeableDirectoryText(folder));
      continue;
    }
    // A directory of that name runs nothing: found, and its run fails.
    CodeFault fault;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) fault = {candidate, CodeFileFault(candidate)};
    if (!fault.Found()) fault = FirstChangeableCodeFile(folder, {L".dll"});
    if (fault.Found()) {
      LogLine(NotLoadingFileText(fault));
      continue;
    }
    return candidate;
  }
  return L"";
}

std::wstring ToolOutputForLog(const std::string& output, unsigned long long dropped) {
  std::string text = output.substr(0, kOutputKeptBytes);
  dropped += output.size() - text.size();
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\0') continue;  // a log line is text: it would end there
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      shown += " | ";
    } else {
      shown += text[i];
    }
  }
  // What the tool writes may quote what a client sent.
  return ClientText(Utf8ToWide(shown), dropped);
}

int RunTunnelTool(const std::wstring& toolPath, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + toolPath + L"\" " + arguments;
  // The tool's words in the log are an aid: without the pipe the tool still
  // runs, as it would with no output at all.
  UniqueFileHandle outputRead, outputWrite;
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event || !CreateOutputPipe(outputRead, outputWrite)) {
    const DWORD error = GetLastError();
    LogLine(L"amneziawg.exe output not captured: err=" + std::to_wstring(error));
    outputRead.reset();
    outputWrite.reset();
  }
  // The command line is copied: CreateProcessW may write into it.
  std::wstring buffer = commandLine;
  PROCESS_INFORMATION process{};
  if (!StartTool(buffer, outputWrite ? outputWrite.get() : nullptr, process)) {
    LogLine(L"CreateProcess failed: " + commandLine);
    return -1;
  }
  UniqueHandle processHandle(process.hProcess);
  UniqueHandle threadHandle(process.hThread);
  // Only the tool holds the write end now, so the pipe ends when it does.
  outputWrite.reset();

  const DWORD limitMs = HelperLimits.ToolWaitMs;
  std::string output;
  unsigned long long dropped = 0;
  if (outputRead) {
    output = ReadToolOutput(outputRead.get(), event.get(), processHandle.get(),
                            GetTickCount64() + limitMs, dropped);
  } else {
    WaitForSingleObject(processHandle.get(), limitMs);
  }

  DWORD exitCode = 1;
  GetExitCodeProcess(processHandle.get(), &exitCode);
  const int result = static_cast<int>(exitCode);
  if (result == kToolStillRunning) {
    LogLine(L"amneziawg.exe still running after " + std::to_wstring(limitMs / 1000) +
            L" s; left running");
  } else if (result != 0) {
    LogLine(L"amneziawg.exe exited " + std::to_wstring(result) + L": " + ToolOutputForLog(output, dropped));
  }
  return result;
}

#include "support/log.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/handles.h"
#include "support/limits.h"
#include "support/text.h"

namespace {

constexpr size_t kHeldBackLines = 256;
// While helper.log cannot be renamed, one try a second.
constexpr ULONGLONG kRotateRetryMs = 1000;

// Never held while taking StateMutex: callers may log with it held.
std::mutex LogMutex;
UniqueFileHandle LogFile;
std::wstring LogDirectory;       // the trusted directory LogFile is in
ULONGLONG LogBytes = 0;          // the size of LogFile as this helper knows it
ULONGLONG NextRotateTry = 0;     // while a rename fails
unsigned long long Dropped = 0;  // lines not written since then
// Encoded lines, stamped when they were logged, waiting for a directory the
// check accepts.
std::vector<std::string> HeldBack;

std::string StampedLine(const std::wstring& text) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t stamp[64];
  wsprintfW(stamp, L"%04d-%02d-%02d %02d:%02d:%02d  ", now.wYear, now.wMonth, now.wDay, now.wHour,
            now.wMinute, now.wSecond);
  std::wstring line = stamp;
  line += text;
  line += L"\r\n";
  return WideToUtf8(line);
}

// Nobody but Local System and Administrators may write in the directory, so
// sharing delete admits only them, and lets a second helper on the same
// directory (an administrator's console helper beside the service) rename
// the file while this one holds it. Readers share it. A link is opened as
// itself (and then cannot be written), never followed.
UniqueFileHandle OpenForAppending(const std::wstring& path) {
  return UniqueFileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
}

// One write per line: the file is opened for appending only, so every write
// lands whole at its end and readers never see half a line. LogMutex held.
void Append(const std::string& bytes) {
  DWORD written = 0;
  WriteFile(LogFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  LogBytes += written;
}

// Opens the log's next generation after the current one became
// helper.log.1. False while the rename is refused (a reader that does not
// share delete holds the file): lines are then dropped, and counted, so
// that no client can grow the log past its bound. LogMutex held.
bool Rotate() {
  const ULONGLONG now = GetTickCount64();
  if (now < NextRotateTry) return false;
  const std::wstring path = LogDirectory + L"\\helper.log";
  if (!MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING)) {
    NextRotateTry = now + kRotateRetryMs;
    return false;
  }
  NextRotateTry = 0;
  LogFile = OpenForAppending(path);
  LARGE_INTEGER size{};
  LogBytes = LogFile && GetFileSizeEx(LogFile.get(), &size) ? size.QuadPart : 0;
  if (!LogFile) return false;
  Append(StampedLine(L"log continued from helper.log.1"));
  if (Dropped > 0) {
    Append(StampedLine(std::to_wstring(Dropped) +
                       L" log lines dropped while helper.log could not be renamed"));
    Dropped = 0;
  }
  return true;
}

// Writes a line, first making room by rotating when it would take the file
// past its bound. LogMutex held.
void Write(const std::string& line) {
  if (LogBytes + line.size() > HelperLimits.LogRotateBytes && !Rotate()) {
    ++Dropped;
    return;
  }
  Append(line);
}

}  // namespace

void LogLine(const std::wstring& text) {
  // Callers read GetLastError() after logging a failure; logging must not
  // disturb it.
  const DWORD savedError = GetLastError();
  {
    const std::string line = StampedLine(text);
    std::lock_guard<std::mutex> lock(LogMutex);
    if (LogFile) {
      Write(line);
    } else if (HeldBack.size() < kHeldBackLines) {
      HeldBack.push_back(line);
    }
  }
  SetLastError(savedError);
}

bool OpenLogFile(const std::wstring& directory) {
  const DWORD savedError = GetLastError();
  UniqueFileHandle file = OpenForAppending(directory + L"\\helper.log");
  LARGE_INTEGER size{};
  const ULONGLONG bytes = file && GetFileSizeEx(file.get(), &size) ? size.QuadPart : 0;
  std::lock_guard<std::mutex> lock(LogMutex);
  LogFile = std::move(file);
  LogDirectory = directory;
  LogBytes = bytes;
  if (LogFile) {
    for (const std::string& line : HeldBack) Write(line);
    HeldBack.clear();
  }
  SetLastError(savedError);
  return LogFile.valid();
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(LogMutex);
  LogFile.reset();
}

#include "support/log.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/handles.h"
#include "support/text.h"

namespace {

constexpr size_t kHeldBackLines = 256;

// Never held while taking StateMutex: callers may log with it held.
std::mutex LogMutex;
UniqueFileHandle LogFile;
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

// One write per line: the file is opened for appending only, so every write
// lands whole at its end and readers never see half a line.
void Append(const std::string& bytes) {
  DWORD written = 0;
  WriteFile(LogFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
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
      Append(line);
    } else if (HeldBack.size() < kHeldBackLines) {
      HeldBack.push_back(line);
    }
  }
  SetLastError(savedError);
}

bool OpenLogFile(const std::wstring& directory) {
  const DWORD savedError = GetLastError();
  // Nobody may delete or rename it while the helper holds it, which also
  // keeps the directory from being swapped. Readers share it, and so does a
  // second helper on the same directory (an administrator's console helper
  // beside the service): every write of either lands whole at the end. Only
  // Local System and Administrators may write in the directory at all.
  // A link is opened as itself (and then cannot be written), never followed.
  UniqueFileHandle file(CreateFileW((directory + L"\\helper.log").c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::lock_guard<std::mutex> lock(LogMutex);
  LogFile = std::move(file);
  if (LogFile) {
    for (const std::string& line : HeldBack) Append(line);
    HeldBack.clear();
  }
  SetLastError(savedError);
  return LogFile.valid();
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(LogMutex);
  LogFile.reset();
}

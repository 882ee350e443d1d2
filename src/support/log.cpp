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
// Of those, the last quarter for audit lines, as in the file.
constexpr size_t kHeldBackOrdinary = kHeldBackLines * 3 / 4;
// While helper.log cannot be renamed, one try a second.
constexpr ULONGLONG kRotateRetryMs = 1000;

enum class LineKind { Ordinary, Audit };

// Never held while taking StateMutex: callers may log with it held.
std::mutex LogMutex;
UniqueFileHandle LogFile;
std::wstring LogDirectory;       // the trusted directory LogFile is in
ULONGLONG LogBytes = 0;          // the size of LogFile as this helper knows it
ULONGLONG NextRotateTry = 0;     // while a rename fails
unsigned long long Dropped = 0;  // ordinary lines not written since then
unsigned long long Refused = 0;  // audit lines not written since then
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
// helper.log.1, and says what the last one could not hold. False while the
// rename is refused (any user may read the log, and a reader that does not
// share delete makes it fail). LogMutex held.
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
  if (Refused > 0) {
    Append(StampedLine(std::to_wstring(Refused) +
                       L" requests refused while helper.log could not be renamed: no room for "
                       L"their audit lines"));
    Refused = 0;
  }
  return true;
}

// Writes a line, first making room by rotating when it would take the file
// past its bound. While the rename is refused the file keeps growing up to
// twice the bound, its last quarter kept for audit lines, so that neither a
// frozen rotation nor a flood of requests can wipe or silence the record of
// who changed what. False when the line was dropped. LogMutex held.
bool Write(const std::string& line, LineKind kind) {
  if (LogBytes + line.size() > HelperLimits.LogRotateBytes && !Rotate()) {
    const ULONGLONG total = 2ull * HelperLimits.LogRotateBytes;
    const ULONGLONG room = kind == LineKind::Audit ? total : total - total / 4;
    if (LogBytes + line.size() > room) {
      ++(kind == LineKind::Audit ? Refused : Dropped);
      return false;
    }
  }
  Append(line);
  return true;
}

bool Log(const std::wstring& text, LineKind kind) {
  // Callers read GetLastError() after logging a failure; logging must not
  // disturb it.
  const DWORD savedError = GetLastError();
  bool kept = true;
  {
    const std::string line = StampedLine(text);
    std::lock_guard<std::mutex> lock(LogMutex);
    if (LogFile) {
      kept = Write(line, kind);
    } else if (HeldBack.size() < (kind == LineKind::Audit ? kHeldBackLines : kHeldBackOrdinary)) {
      HeldBack.push_back(line);
    } else {
      kept = false;
    }
  }
  SetLastError(savedError);
  return kept;
}

bool IsShownAsIs(wchar_t c) {
  return c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0) && c != 0x2028 && c != 0x2029;
}

}  // namespace

void LogLine(const std::wstring& text) { Log(text, LineKind::Ordinary); }

bool LogAuditLine(const std::wstring& text) { return Log(text, LineKind::Audit); }

std::wstring ClientText(std::wstring_view text, unsigned long long alreadyCut) {
  std::wstring shown;
  size_t characters = 0;
  size_t at = 0;
  for (; at < text.size() && characters < kClientTextChars; ++characters) {
    const bool pair = at + 1 < text.size() && IS_HIGH_SURROGATE(text[at]) &&
                      IS_LOW_SURROGATE(text[at + 1]);
    if (pair) {
      shown.append(text.substr(at, 2));
      at += 2;
    } else {
      shown += IsShownAsIs(text[at]) ? text[at] : L'?';
      ++at;
    }
  }
  unsigned long long cut = alreadyCut;
  for (; at < text.size(); ++at) {
    if (!(at > 0 && IS_LOW_SURROGATE(text[at]) && IS_HIGH_SURROGATE(text[at - 1]))) ++cut;
  }
  if (cut > 0) shown += L"... (" + std::to_wstring(cut) + L" more characters)";
  return shown;
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
    // Audit lines among them had room when they were held back.
    for (const std::string& line : HeldBack) Write(line, LineKind::Audit);
    HeldBack.clear();
  }
  SetLastError(savedError);
  return LogFile.valid();
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(LogMutex);
  LogFile.reset();
}

#include "support/log.h"

#include <windows.h>

#include <mutex>

#include "support/handles.h"
#include "support/helper_state.h"
#include "support/paths.h"
#include "support/text.h"

void LogLine(const std::wstring& text) {
  // Callers read GetLastError() after logging a failure; logging must not
  // disturb it.
  const DWORD savedError = GetLastError();
  {
    std::lock_guard<std::mutex> lock(HelperState.LogMutex);
    // Opened per line with append-only access, so every write lands at the
    // end of the file and readers (FILE_SHARE_READ) never see half a line.
    UniqueFileHandle file(CreateFileW(LogFilePath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      SYSTEMTIME now;
      GetLocalTime(&now);
      wchar_t stamp[64];
      wsprintfW(stamp, L"%04d-%02d-%02d %02d:%02d:%02d  ", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
      std::wstring line = stamp;
      line += text;
      line += L"\r\n";
      const std::string bytes = WideToUtf8(line);
      DWORD written = 0;
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
  }
  SetLastError(savedError);
}

#include "support/paths.h"

#include <windows.h>

std::wstring DataDirectory() {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
  // Too long for the buffer, the call returns the size it would need: that
  // counts as unusable, like a missing or empty variable.
  std::wstring directory = (length > 0 && length < MAX_PATH) ? std::wstring(buffer, length)
                                                             : std::wstring(L"C:\\ProgramData");
  return directory + L"\\Quorvel";
}

const wchar_t kConfigFileName[] = L"Quorvel.conf";

std::wstring ConfigFilePath() { return DataDirectory() + L"\\" + kConfigFileName; }

std::wstring LogFilePath() { return DataDirectory() + L"\\helper.log"; }

std::wstring DirectoryOfPath(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return L".";
  return path.substr(0, separator);
}

std::wstring FileNameOfPath(const std::wstring& path) {
  return path.substr(path.find_last_of(L"\\/") + 1);  // npos + 1 is 0
}

std::wstring ModulePath(HMODULE module) {
  // A path cut at MAX_PATH would name another file: grow until it fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

std::wstring ModuleDirectory() {
  const std::wstring path = ModulePath();
  return path.empty() ? std::wstring(L".") : DirectoryOfPath(path);
}

bool ProcessImagePath(HANDLE process, std::wstring& path, ImageNameQuery query) {
  // Most paths fit MAX_PATH; a longer one is told by
  // ERROR_INSUFFICIENT_BUFFER, up to the 32,767 units a path may have.
  constexpr DWORD kLongestPath = 32767;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    if (query(process, 0, buffer.data(), &length)) {
      buffer.resize(length);
      path = std::move(buffer);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > kLongestPath) return false;
    buffer.resize(buffer.size() * 4 > kLongestPath ? kLongestPath + 1 : buffer.size() * 4);
  }
}

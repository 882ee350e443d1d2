#pragma once
// Where the helper keeps its files, and where it looks for what it runs.
// Names only: nothing here creates or opens anything (the data directory
// check in support/data_directory.h makes the directory).
#include <windows.h>

#include <string>

// %ProgramData%\Quorvel (C:\ProgramData\Quorvel when the variable is unset,
// empty or longer than MAX_PATH - 1).
std::wstring DataDirectory();
std::wstring ConfigFilePath();           // DataDirectory() + "\" + kConfigFileName
extern const wchar_t kConfigFileName[];  // "Quorvel.conf"
std::wstring LogFilePath();              // DataDirectory() + "\helper.log"

// Full path of a module, by default the running executable (not truncated at
// MAX_PATH; "" when it cannot be read). The test bed's stand-ins use it too.
std::wstring ModulePath(HMODULE module = nullptr);
// Directory of the running executable, without trailing separator; "." when
// the module path has no separator.
std::wstring ModuleDirectory();
// The directory part of a path by the same rule, for tests of odd paths.
std::wstring DirectoryOfPath(const std::wstring& path);
// What follows the last separator (\ or /); the whole path without one.
std::wstring FileNameOfPath(const std::wstring& path);

// The full path of a process's image (`process` opened with at least
// PROCESS_QUERY_LIMITED_INFORMATION), however long; false when unreadable.
// The query is QueryFullProcessImageNameW's; tests pass their own, since
// Wine cannot start a process from a path past MAX_PATH.
using ImageNameQuery = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
bool ProcessImagePath(HANDLE process, std::wstring& path,
                      ImageNameQuery query = QueryFullProcessImageNameW);

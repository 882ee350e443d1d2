#pragma once
// Where the helper keeps its files, and where it looks for what it runs.
// Nothing is cached: the data directory is re-created on every call, so one
// deleted while the helper runs comes back with the next log line.
#include <string>

// %ProgramData%\Quorvel (C:\ProgramData\Quorvel when the variable is unset,
// empty or longer than MAX_PATH - 1). Creates the last level if missing,
// with the data directory's own access list (support/data_directory.h).
std::wstring DataDirectory();
// The same path, without creating anything.
std::wstring DataDirectoryLocation();
std::wstring ConfigFilePath();           // DataDirectory() + "\" + kConfigFileName
extern const wchar_t kConfigFileName[];  // "Quorvel.conf"
std::wstring LogFilePath();              // DataDirectory() + "\helper.log"

// Full path of the running executable (not truncated at MAX_PATH).
std::wstring ModulePath();
// Directory of the running executable, without trailing separator; "." when
// the module path has no separator.
std::wstring ModuleDirectory();
// The directory part of a path by the same rule, for tests of odd paths.
std::wstring DirectoryOfPath(const std::wstring& path);

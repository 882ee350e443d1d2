#include "tunnel/config_file.h"

#include <windows.h>

#include <vector>

#include "support/data_directory.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/security.h"
#include "support/text.h"

ConfigWrite WriteConfigurationFile(const std::wstring& path, const std::wstring& configuration) {
  if (!EnsureTrustedDataDirectory()) {
    LogLine(L"data directory not trusted; configuration file not written");
    return ConfigWrite::NotOpened;
  }
  const std::string bytes = WideToUtf8(configuration.substr(0, configuration.find(L'\0')));
  // Writing the name itself (CREATE_ALWAYS) would write through a hard or
  // symbolic link standing there, and a helper that died mid-write would
  // leave the tool a truncated file. So: a new file beside it, moved over
  // the name once it is whole.
  const std::wstring staged = path + L".new";
  // Left by a helper that died mid-write. CREATE_NEW below never opens an
  // existing name, so nothing planted there is written through either.
  DeleteFileW(staged.c_str());
  UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(kConfigFileAccess);
  if (!descriptor) return ConfigWrite::NotOpened;
  SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
  UniqueFileHandle file(CreateFileW(staged.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ConfigWrite::NotOpened;
  // A file the tool would read only in part must never be installed, so a
  // short write is a failure; the flush puts the content on disk before
  // the name can point at it.
  DWORD written = 0;
  const bool whole =
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size() && FlushFileBuffers(file.get());
  file.reset();
  if (!whole || !MoveFileExW(staged.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(staged.c_str());
    return ConfigWrite::NotWritten;
  }
  return ConfigWrite::Written;
}

bool ReadStoredConfiguration(std::wstring& configuration) {
  if (!EnsureTrustedDataDirectory()) return false;
  const std::wstring path = ConfigFilePath();
  const std::vector<BYTE> self = ProcessUserSid();
  if (!FileCanBeTrusted(InspectPath(path), self.empty() ? nullptr : const_cast<BYTE*>(self.data()))) {
    return false;
  }
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  LARGE_INTEGER size{};
  // Never more than a request could have carried.
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 20)) return false;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!bytes.empty() &&
      (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
       got != bytes.size())) {
    return false;
  }
  configuration = Utf8ToWide(bytes);
  return true;
}

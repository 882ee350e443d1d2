#include "support/data_directory.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "support/log.h"
#include "support/paths.h"
#include "support/security.h"

// Specific rights rather than generic ones, so that what the system stores
// (and icacls shows) is what is written here. 0x1200a9 is
// FILE_GENERIC_READ | FILE_GENERIC_EXECUTE: read, list and traverse.
const wchar_t kDataDirectoryAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
const wchar_t kConfigFileAccess[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

namespace {

// What stands at the name may change between two looks; everything seen
// through this handle belongs to one object, and a link is opened as
// itself, not followed.
UniqueFileHandle OpenWithoutFollowing(const std::wstring& path, DWORD access) {
  return UniqueFileHandle(CreateFileW(
      path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::wstring SidText(const std::vector<BYTE>& sid) {
  const std::wstring text = sid.empty() ? L"" : SidString(const_cast<BYTE*>(sid.data()));
  return text.empty() ? L"unknown" : text;
}

std::wstring Reason(DirectoryVerdict verdict, const PathFacts& facts) {
  switch (verdict) {
    case DirectoryVerdict::Missing:
      return L"missing";
    case DirectoryVerdict::ReparsePoint:
      return L"a reparse point";
    case DirectoryVerdict::NotADirectory:
      return L"not a directory";
    case DirectoryVerdict::ForeignOwner:
      return L"owned by " + SidText(facts.owner);
    case DirectoryVerdict::Trusted:
      break;
  }
  return L"trusted";
}

PSID OwnerOf(const PathFacts& facts) {
  return facts.owner.empty() ? nullptr : const_cast<BYTE*>(facts.owner.data());
}

DirectoryVerdict Judge(const PathFacts& facts, PSID processUser) {
  return JudgeDirectory(facts.attributes, OwnerOf(facts), processUser);
}

// Without propagation on purpose: SetNamedSecurityInfoW and SetSecurityInfo
// would also rewrite the access lists of whatever stands inside, and a
// name there may be a hard link to a file elsewhere.
bool ApplyAccess(HANDLE object, const wchar_t* sddl) {
  UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(sddl);
  return descriptor &&
         SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor.get()) != FALSE;
}

// A Quorvel.conf written by an earlier version inherited ProgramData's
// rules (every user may read). A link in its place is left alone: its
// target is not ours to change, and the next connect replaces the name.
void MendConfigFileAccess(const std::wstring& directory) {
  UniqueFileHandle file = OpenWithoutFollowing(directory + L"\\" + kConfigFileName,
                                               WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return;
  if (info.nNumberOfLinks != 1) return;
  ApplyAccess(file.get(), kConfigFileAccess);
}

void MendAccess(const std::wstring& path) {
  UniqueFileHandle directory = OpenWithoutFollowing(path, WRITE_DAC | READ_CONTROL);
  if (!directory || !ApplyAccess(directory.get(), kDataDirectoryAccess)) {
    const DWORD error = GetLastError();
    LogLine(L"data directory access list not applied: err=" + std::to_wstring(error));
  }
  MendConfigFileAccess(path);
}

std::wstring AsideName(const std::wstring& path);

// Files an ordinary user may have made in a directory of an earlier version
// go aside before the helper writes to them; nothing is deleted.
void SetAsideUntrustedFiles(const std::wstring& directory, PSID processUser) {
  for (const wchar_t* name : {L"helper.log", L"routes.journal", L"Quorvel.conf.new"}) {
    const std::wstring path = directory + L"\\" + name;
    if (FileCanBeTrusted(InspectPath(path), processUser)) continue;
    const std::wstring aside = AsideName(path);
    const bool moved = MoveFileExW(path.c_str(), aside.c_str(), 0) != FALSE;
    const DWORD error = GetLastError();
    LogLine(std::wstring(L"data directory file ") + name + L" not trusted; " +
            (moved ? L"renamed aside to " + aside
                   : L"not renamed aside: err=" + std::to_wstring(error)));
  }
}

std::wstring AsideName(const std::wstring& path) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t stamp[64];
  wsprintfW(stamp, L"%04d%02d%02d-%02d%02d%02d-%03d", now.wYear, now.wMonth, now.wDay, now.wHour,
            now.wMinute, now.wSecond, now.wMilliseconds);
  return path + L".untrusted-" + stamp;
}

}  // namespace

bool CreateDataDirectory(const std::wstring& path) {
  UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(kDataDirectoryAccess);
  if (!descriptor) return false;
  SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
  return CreateDirectoryW(path.c_str(), &security) != FALSE;
}

PathFacts InspectPath(const std::wstring& path) {
  PathFacts facts;
  // Wine shows a Unix symbolic link as a reparse point only to the path
  // functions; Windows shows it here and through the handle alike.
  const DWORD seenByName = GetFileAttributesW(path.c_str());
  if (seenByName == INVALID_FILE_ATTRIBUTES) return facts;
  facts.attributes = seenByName;
  UniqueFileHandle object = OpenWithoutFollowing(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (!object) return facts;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(object.get(), &info)) {
    facts.attributes = info.dwFileAttributes | (seenByName & FILE_ATTRIBUTE_REPARSE_POINT);
    facts.links = info.nNumberOfLinks;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
    UniqueLocalMemory descriptorOwner(descriptor);
    if (owner && IsValidSid(owner)) {
      const BYTE* bytes = static_cast<const BYTE*>(owner);
      facts.owner.assign(bytes, bytes + GetLengthSid(owner));
    }
  }
  return facts;
}

DirectoryVerdict JudgeDirectory(DWORD attributes, PSID owner, PSID processUser) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return DirectoryVerdict::Missing;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return DirectoryVerdict::ReparsePoint;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DirectoryVerdict::NotADirectory;
  return OwnerTrusted(owner, processUser) ? DirectoryVerdict::Trusted
                                          : DirectoryVerdict::ForeignOwner;
}

bool OwnerTrusted(PSID owner, PSID processUser) {
  if (!owner || !IsValidSid(owner)) return false;
  return IsWellKnownSid(owner, WinLocalSystemSid) ||
         IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         (processUser && IsValidSid(processUser) && EqualSid(owner, processUser));
}

bool FileCanBeTrusted(const PathFacts& facts, PSID processUser) {
  if (facts.attributes == INVALID_FILE_ATTRIBUTES) return true;  // not there: made by us
  if (facts.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return false;
  return facts.links == 1 && OwnerTrusted(OwnerOf(facts), processUser);
}

bool EnsureTrustedDirectory(const std::wstring& path, PSID processUser) {
  PathFacts facts = InspectPath(path);
  DirectoryVerdict verdict = Judge(facts, processUser);
  if (verdict == DirectoryVerdict::Missing) {
    // Someone may create the name first; the second look judges whatever
    // won.
    CreateDataDirectory(path);
    facts = InspectPath(path);
    verdict = Judge(facts, processUser);
  }
  if (verdict == DirectoryVerdict::Trusted) {
    MendAccess(path);
    SetAsideUntrustedFiles(path, processUser);
    return true;
  }
  if (verdict == DirectoryVerdict::Missing) {
    // Nothing to move aside: the parent is missing, or (Wine) the name is a
    // link whose target is gone.
    LogLine(L"data directory cannot be created");
    return false;
  }
  const std::wstring reason = Reason(verdict, facts);
  const std::wstring aside = AsideName(path);
  // On Windows this renames a link itself; Wine renames a Unix symbolic
  // link's target and leaves the link, hence the second look below.
  if (!MoveFileExW(path.c_str(), aside.c_str(), 0)) {
    const DWORD error = GetLastError();
    LogLine(L"data directory not trusted (" + reason + L") and not renamed aside: err=" +
            std::to_wstring(error));
    return false;
  }
  CreateDataDirectory(path);
  // Held back, like every line, until the log is opened in a directory the
  // check has accepted: never in the refused one.
  LogLine(L"data directory not trusted (" + reason + L"); renamed aside to " + aside);
  facts = InspectPath(path);
  verdict = Judge(facts, processUser);
  if (verdict != DirectoryVerdict::Trusted) {
    LogLine(L"data directory still not trusted after renaming aside (" + Reason(verdict, facts) +
            L")");
    return false;
  }
  return true;
}

bool EnsureTrustedDataDirectory() {
  std::vector<BYTE> self = ProcessUserSid();
  const std::wstring directory = DataDirectory();
  // The log is (re)opened only here, right after the check accepted the
  // directory, and closed when it refuses one: no line ever goes into a
  // directory the check has not accepted.
  if (!EnsureTrustedDirectory(directory, self.empty() ? nullptr : self.data())) {
    CloseLogFile();
    return false;
  }
  OpenLogFile(directory);
  return true;
}

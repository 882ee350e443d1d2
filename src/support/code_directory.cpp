#include "support/code_directory.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "support/handles.h"
#include "support/security.h"

namespace {

// Rights that change what a directory holds or who may: files and folders
// added, children deleted, attributes, extended attributes, the directory
// itself deleted, its access list or owner rewritten; the generic rights
// that contain them.
constexpr ACCESS_MASK kChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                                        FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL |
                                        MAXIMUM_ALLOWED;

std::vector<BYTE> SystemDirectoryOwner() {
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  std::vector<BYTE> sid;
  if (length == 0 || length >= MAX_PATH) return sid;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return sid;
  }
  const UniqueLocalMemory held(descriptor);
  if (owner && IsValidSid(owner)) {
    const BYTE* bytes = static_cast<const BYTE*>(owner);
    sid.assign(bytes, bytes + GetLengthSid(owner));
  }
  return sid;
}

bool IsTrustedInstaller(PSID sid) {
  PSID installer = nullptr;
  if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                              &installer)) {
    return false;
  }
  const UniqueLocalMemory held(installer);
  return EqualSid(installer, sid) != FALSE;
}

bool IsAdministrative(PSID sid) {
  if (!sid || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
      IsTrustedInstaller(sid)) {
    return true;
  }
  static const std::vector<BYTE> systemOwner = SystemDirectoryOwner();
  return !systemOwner.empty() && EqualSid(const_cast<BYTE*>(systemOwner.data()), sid);
}

std::wstring SidText(PSID sid) {
  const std::wstring text = SidString(sid);
  return text.empty() ? L"an unreadable account" : text;
}

// The account an allowing entry gives rights to, or null for entry types
// that give none.
PSID AllowedSid(const ACE_HEADER* header) {
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
      return const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->SidStart);
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      return const_cast<DWORD*>(
          &reinterpret_cast<const ACCESS_ALLOWED_CALLBACK_ACE*>(header)->SidStart);
    default:
      return nullptr;
  }
}

}  // namespace

std::wstring CodeDirectoryDescriptorFault(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!descriptor || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner) {
    return L"its owner cannot be read";
  }
  if (!IsAdministrative(owner)) return L"it is owned by " + SidText(owner);
  BOOL present = FALSE;
  PACL acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) {
    return L"its access list cannot be read";
  }
  if (!present || !acl) return L"it has no access list: everyone may change it";
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) return L"its access list cannot be read";
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
        header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
      return L"its access list holds an entry of a kind files do not have";
    }
    PSID sid = AllowedSid(header);
    if (!sid) continue;  // denying and auditing entries give nothing
    const ACCESS_MASK mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
    if ((mask & kChangingRights) == 0) continue;
    // Creator Owner and Owner Rights stand for the owner, checked above.
    if (IsWellKnownSid(sid, WinCreatorOwnerSid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) {
      continue;
    }
    if (!IsAdministrative(sid)) return SidText(sid) + L" may change it";
  }
  return {};
}

namespace {

// The object at `path` itself, never what a link or junction leads to.
std::wstring ObjectFault(const std::wstring& path, bool directory) {
  const UniqueFileHandle object(CreateFileW(
      path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!object) return L"it cannot be opened";
  BY_HANDLE_FILE_INFORMATION info;
  // Wine shows a Unix symbolic link as a reparse point only by name.
  const DWORD byName = GetFileAttributesW(path.c_str());
  if (!GetFileInformationByHandle(object.get(), &info)) return L"it cannot be read";
  if ((info.dwFileAttributes | byName) & FILE_ATTRIBUTE_REPARSE_POINT) {
    return L"it is a link or junction";
  }
  const bool isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory && !isDirectory) return L"it is not a directory";
  if (!directory && isDirectory) return L"it is a directory";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object.get(), SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return L"its security cannot be read";
  }
  const UniqueLocalMemory held(descriptor);
  return CodeDirectoryDescriptorFault(descriptor);
}

bool EndsWithKind(const std::wstring& name, std::initializer_list<const wchar_t*> kinds) {
  for (const wchar_t* kind : kinds) {
    const size_t length = wcslen(kind);
    if (name.size() <= length) continue;
    bool same = true;
    for (size_t i = 0; i < length && same; ++i) {
      wchar_t c = name[name.size() - length + i];
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
      same = c == kind[i];
    }
    if (same) return true;
  }
  return false;
}

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { FindClose(h); }
};

}  // namespace

std::wstring CodeDirectoryFault(const std::wstring& directory) {
  return ObjectFault(directory, true);
}

std::wstring CodeFileFault(const std::wstring& path) { return ObjectFault(path, false); }

CodeFault FirstChangeableCodeFile(const std::wstring& directory,
                                  std::initializer_list<const wchar_t*> kinds) {
  WIN32_FIND_DATAW found;
  const UniqueResource<FindHandleTraits> search(FindFirstFileExW(
      (directory + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
  if (!search) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return {};  // nothing in it at all
    return {directory, L"it cannot be listed (err=" + std::to_wstring(error) + L")"};
  }
  do {
    // A directory is never loaded or run, whatever its name; a link to one
    // stands in the listing as a directory too.
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring name = found.cFileName;
    if (!EndsWithKind(name, kinds)) continue;
    const std::wstring path = directory + L"\\" + name;
    std::wstring why = CodeFileFault(path);
    if (!why.empty()) return {path, why};
  } while (FindNextFileW(search.get(), &found));
  return {};
}

std::wstring ChangeableDirectoryText(const std::wstring& directory) {
  return directory + L" can be changed by non-administrators";
}

std::wstring NotLoadingFileText(const CodeFault& fault) {
  return L"not loading " + fault.Path + L": it can be changed by non-administrators (" +
         fault.Why + L")";
}

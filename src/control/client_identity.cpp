#include "control/client_identity.h"

#include <vector>

#include "support/handles.h"
#include "support/paths.h"

namespace {

std::wstring ImageFileName(HANDLE process) {
  wchar_t path[MAX_PATH];
  DWORD length = MAX_PATH;
  if (!QueryFullProcessImageNameW(process, 0, path, &length)) return L"?";
  return FileNameOfPath(std::wstring(path, length));
}

std::wstring TokenUserName(HANDLE process) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &opened)) return L"?";
  const UniqueHandle token(opened);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return L"?";
  }
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, name,
                         &nameLength, domain, &domainLength, &use)) {
    return L"?";
  }
  return std::wstring(domain) + L"\\" + name;
}

}  // namespace

std::wstring DescribePipeClient(HANDLE pipe) {
  ULONG processId = 0;
  if (pipe == INVALID_HANDLE_VALUE || !GetNamedPipeClientProcessId(pipe, &processId)) {
    return L"pid ? (?, ?)";
  }
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return L"pid " + std::to_wstring(processId) + L" (?, ?)";
  return L"pid " + std::to_wstring(processId) + L" (" + ImageFileName(process.get()) + L", " +
         TokenUserName(process.get()) + L")";
}

#include "control/client_identity.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/security.h"

namespace {

bool LookupBySystem(PSID sid, std::wstring& name) {
  wchar_t account[256];
  wchar_t domain[256];
  DWORD accountLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, account, &accountLength, domain, &domainLength, &use)) {
    return false;
  }
  name = std::wstring(domain) + L"\\" + account;
  return true;
}

// Names of accounts seen, by SID text, filled by one naming thread. Bounded:
// clients come from the accounts of one machine, but nothing stops a
// service account from making many.
constexpr size_t kNamesAtMost = 256;
constexpr size_t kWaitingAtMost = 16;

struct AccountNames {
  std::mutex Mutex;
  std::condition_variable Wake;
  std::map<std::wstring, std::wstring> Known;  // SID text -> DOMAIN\user ("" if unknown)
  std::deque<std::pair<std::wstring, std::vector<BYTE>>> Waiting;
  bool NamerStarted = false;
};
AccountNames& Names() {
  static AccountNames* names = new AccountNames;  // the naming thread may outlive exit
  return *names;
}

void NameAccounts() {
  AccountNames& names = Names();
  std::unique_lock<std::mutex> lock(names.Mutex);
  for (;;) {
    names.Wake.wait(lock, [&] { return !names.Waiting.empty(); });
    auto [text, sid] = std::move(names.Waiting.front());
    names.Waiting.pop_front();
    lock.unlock();
    std::wstring name;
    const bool named = NameAccount(sid.data(), name);
    lock.lock();
    if (names.Known.size() >= kNamesAtMost) names.Known.clear();
    names.Known[text] = named ? name : L"";
  }
}

// The account's name when the naming thread has found it; otherwise its SID
// text, and the SID is handed to that thread (once).
std::wstring AccountOf(PSID sid) {
  const std::wstring text = SidString(sid);
  if (text.empty()) return L"?";
  AccountNames& names = Names();
  std::lock_guard<std::mutex> lock(names.Mutex);
  const auto known = names.Known.find(text);
  if (known != names.Known.end()) return known->second.empty() ? text : known->second;
  for (const auto& waiting : names.Waiting) {
    if (waiting.first == text) return text;
  }
  if (names.Waiting.size() >= kWaitingAtMost) return text;
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  names.Waiting.emplace_back(text, std::vector<BYTE>(bytes, bytes + GetLengthSid(sid)));
  if (!names.NamerStarted) {
    names.NamerStarted = true;
    std::thread(NameAccounts).detach();
  }
  names.Wake.notify_one();
  return text;
}

// A client names its own executable, up to 255 characters.
std::wstring ImageFileName(HANDLE process) {
  std::wstring path;
  if (!ProcessImagePath(process, path)) return L"?";
  return ClientText(FileNameOfPath(path));
}

std::wstring TokenUserName(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    return L"?";
  }
  return AccountOf(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

// Back to the helper's own identity. A thread that stayed the client would
// do the helper's work with the client's rights, or none: should both ways
// back fail, the process ends (the service manager starts it again, and
// the route journal takes its routes away then).
void StopImpersonating() {
  if (RevertToSelf()) return;
  if (SetThreadToken(nullptr, nullptr)) return;
  const DWORD error = GetLastError();
  LogLine(L"could not stop acting as a pipe client: err=" + std::to_wstring(error) +
          L"; the helper ends");
  TerminateProcess(GetCurrentProcess(), error);
}

// The client's own token, as the pipe holds it from the last message read:
// a process id may name another process by the time it is looked up. The
// impersonation lasts for opening the token alone; identification level is
// enough to read it.
UniqueHandle ClientToken(HANDLE pipe) {
  if (!ImpersonateNamedPipeClient(pipe)) return UniqueHandle();
  HANDLE opened = nullptr;
  // As self: an identification token allows no access check of its own.
  const BOOL gotToken = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened);
  StopImpersonating();
  return UniqueHandle(gotToken ? opened : nullptr);
}

// Audit lines of the last second, each with how often it came again.
constexpr ULONGLONG kRepeatWindowMs = 1000;
struct Repeats {
  ULONGLONG FirstAt = 0;
  unsigned long long Again = 0;
};
std::map<std::wstring, Repeats> RecentAudit;  // the pipe's thread only

// Logs the counts whose second has passed (all of them at the stop). A
// count the log has no room for stays, to be tried again: false then, and
// no request may run unrecorded meanwhile.
bool FlushAudit(ULONGLONG now, bool all) {
  for (auto entry = RecentAudit.begin(); entry != RecentAudit.end();) {
    if (!all && now - entry->second.FirstAt < kRepeatWindowMs) {
      ++entry;
      continue;
    }
    // One try per request: the log counts each refusal as a request refused.
    if (entry->second.Again > 0 &&
        !LogAuditLine(entry->first + L" (repeated " + std::to_wstring(entry->second.Again) +
                      L" times)")) {
      return false;
    }
    entry = RecentAudit.erase(entry);
  }
  return true;
}

}  // namespace

bool (*NameAccount)(PSID sid, std::wstring& name) = LookupBySystem;

std::wstring DescribePipeClient(HANDLE pipe) {
  ULONG processId = 0;
  if (!pipe || pipe == INVALID_HANDLE_VALUE || !GetNamedPipeClientProcessId(pipe, &processId)) {
    return L"pid ? (?, ?)";
  }
  // The image only a process can tell, by its id; the user comes from the
  // client's own token.
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  const UniqueHandle token = ClientToken(pipe);
  return L"pid " + std::to_wstring(processId) + L" (" +
         (process ? ImageFileName(process.get()) : L"?") + L", " +
         (token ? TokenUserName(token.get()) : L"?") + L")";
}

bool AuditRequest(HANDLE pipe, const std::wstring& word) {
  const std::wstring line = L"request from " + DescribePipeClient(pipe) + L": " + word;
  const ULONGLONG now = GetTickCount64();
  if (!FlushAudit(now, false)) return false;
  const auto found = RecentAudit.find(line);
  if (found != RecentAudit.end()) {
    ++found->second.Again;
    return true;
  }
  if (!LogAuditLine(line)) return false;
  RecentAudit.emplace(line, Repeats{now, 0});
  return true;
}

void FlushAuditLines() {
  // At the stop every count is tried, whatever room the first found.
  while (!RecentAudit.empty() && !FlushAudit(0, true)) RecentAudit.erase(RecentAudit.begin());
}

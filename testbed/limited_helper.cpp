// The helper as the test rigs may run it: the product's own code and entry,
// its time limits first read from QUORVEL_TEST_LIMITS ("ComeUpMs=1500;
// DisconnectMs=1500"), so that a test that only needs a limit to pass need
// not sit through it. Never shipped: the product's main reads nothing of
// the kind, so no user and no configuration can shorten a limit.
#include <windows.h>

#include <cwchar>
#include <string>

#include "service/entry.h"
#include "support/limits.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

template <typename T>
bool Set(T& limit, const std::wstring& value) {
  wchar_t* end = nullptr;
  const unsigned long parsed = std::wcstoul(value.c_str(), &end, 10);
  if (value.empty() || *end != L'\0') return false;
  limit = static_cast<T>(parsed);
  return true;
}

bool ApplyLimit(const std::wstring& name, const std::wstring& value) {
  HelperLimitValues& l = HelperLimits;
  if (name == L"ToolWaitMs") return Set(l.ToolWaitMs, value);
  if (name == L"LeftoverRemovalMs") return Set(l.LeftoverRemovalMs, value);
  if (name == L"AfterFailedInstallMs") return Set(l.AfterFailedInstallMs, value);
  if (name == L"BetweenInstallsMs") return Set(l.BetweenInstallsMs, value);
  if (name == L"ComeUpMs") return Set(l.ComeUpMs, value);
  if (name == L"AfterRollbackMs") return Set(l.AfterRollbackMs, value);
  if (name == L"DisconnectMs") return Set(l.DisconnectMs, value);
  if (name == L"RequestTimeoutMs") return Set(l.RequestTimeoutMs, value);
  if (name == L"PipeClientsAtMost") return Set(l.PipeClientsAtMost, value);
  if (name == L"PipeClientsPerProcess") return Set(l.PipeClientsPerProcess, value);
  if (name == L"PipeHeldBytes") return Set(l.PipeHeldBytes, value);
  if (name == L"ServiceDeletionWaitMs") return Set(l.ServiceDeletionWaitMs, value);
  if (name == L"NetworkQuietMs") return Set(l.NetworkQuietMs, value);
  if (name == L"NetworkLongestMs") return Set(l.NetworkLongestMs, value);
  if (name == L"SplitIdleMs") return Set(l.SplitIdleMs, value);
  if (name == L"SplitRouteCap") return Set(l.SplitRouteCap, value);
  if (name == L"DomainRouteMinMs") return Set(l.DomainRouteMinMs, value);
  if (name == L"DomainRouteMaxMs") return Set(l.DomainRouteMaxMs, value);
  if (name == L"DomainRouteCap") return Set(l.DomainRouteCap, value);
  if (name == L"LogRotateBytes") return Set(l.LogRotateBytes, value);
  return false;
}

// A service gets no test's environment: the same text may stand in
// QuorvelHelperLimits.txt beside the executable instead.
std::wstring LimitsText() {
  wchar_t text[1024];
  const DWORD length = GetEnvironmentVariableW(L"QUORVEL_TEST_LIMITS", text, 1024);
  if (length > 0 && length < 1024) return std::wstring(text, length);
  const std::wstring path = ModuleDirectory() + L"\\QuorvelHelperLimits.txt";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"";
  char bytes[1024];
  DWORD got = 0;
  const BOOL read = ReadFile(file, bytes, sizeof(bytes), &got, nullptr);
  CloseHandle(file);
  return read ? Utf8ToWide(std::string(bytes, got)) : L"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring text = LimitsText();
  if (!text.empty()) {
    for (const std::wstring& entry : SplitListEntries(text)) {
      const size_t equals = entry.find(L'=');
      // A name the test got wrong must not pass unnoticed as the real limit.
      if (equals == std::wstring::npos ||
          !ApplyLimit(entry.substr(0, equals), entry.substr(equals + 1))) {
        return 97;
      }
    }
  }
  return RunHelper(argc, argv);
}

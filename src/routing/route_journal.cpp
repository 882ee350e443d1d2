#include "routing/route_journal.h"

#include <cstring>
#include <mutex>

#include "routing/route_row.h"
#include "routing/route_table.h"
#include "support/data_directory.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

constexpr wchar_t kJournalName[] = L"\\routes.journal";
constexpr size_t kJournalLimitBytes = 16 * 1024 * 1024;

UniqueFileHandle OpenJournal(DWORD access, DWORD disposition) {
  UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(kConfigFileAccess);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  const std::wstring path =
      (disposition == OPEN_EXISTING ? DataDirectoryLocation() : DataDirectory()) + kJournalName;
  return UniqueFileHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ,
                                      descriptor ? &attributes : nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool ParseNumber(const std::string& text, size_t& at, unsigned long limit, unsigned long& value) {
  const size_t first = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 10) {
    value = value * 10 + static_cast<unsigned long>(text[at++] - '0');
  }
  return at > first && value <= limit;
}

bool Expect(const std::string& text, size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

// Dotted decimal, exactly as FormatIPv4 writes it.
bool ParseAddress(const std::string& text, size_t& at, uint32_t& address) {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    unsigned long octet = 0;
    if ((i > 0 && !Expect(text, at, '.')) || !ParseNumber(text, at, 255, octet)) return false;
    bytes[i] = static_cast<uint8_t>(octet);
  }
  memcpy(&address, bytes, sizeof(address));
  return true;
}

// What a damaged line looked like, safe to log: printable ASCII only.
std::wstring Shown(const std::string& line) {
  std::wstring shown;
  for (const char c : line.substr(0, 200)) {
    shown += (c >= 0x20 && c < 0x7F) ? static_cast<wchar_t>(c) : L'?';
  }
  return shown;
}

}  // namespace

std::string RouteJournalLine(const JournaledRoute& route) {
  return std::to_string(route.InterfaceIndex) + " " + WideToUtf8(FormatIPv4(route.Destination)) +
         "/" + std::to_string(route.PrefixLength) + " " + WideToUtf8(FormatIPv4(route.Gateway));
}

bool ParseRouteJournalLine(const std::string& line, JournaledRoute& route) {
  size_t at = 0;
  unsigned long interfaceIndex = 0;
  unsigned long prefixLength = 0;
  JournaledRoute parsed;
  if (!ParseNumber(line, at, 0xFFFFFFFFul, interfaceIndex) || !Expect(line, at, ' ') ||
      !ParseAddress(line, at, parsed.Destination) || !Expect(line, at, '/') ||
      !ParseNumber(line, at, 32, prefixLength) || !Expect(line, at, ' ') ||
      !ParseAddress(line, at, parsed.Gateway) || at != line.size() || interfaceIndex == 0) {
    return false;
  }
  parsed.InterfaceIndex = static_cast<uint32_t>(interfaceIndex);
  parsed.PrefixLength = static_cast<uint8_t>(prefixLength);
  route = parsed;
  return true;
}

void JournalBypassRoute(const JournaledRoute& route) {
  if (!HelperState.DataDirectoryTrusted) return;
  UniqueFileHandle journal = OpenJournal(FILE_APPEND_DATA, OPEN_ALWAYS);
  if (!journal) {
    const DWORD error = GetLastError();
    LogLine(L"route journal not written: err=" + std::to_wstring(error));
    return;
  }
  const std::string line = RouteJournalLine(route) + "\r\n";
  DWORD written = 0;
  WriteFile(journal.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  HelperState.RouteJournalHasLines = true;
}

void EmptyRouteJournal() {
  if (!HelperState.RouteJournalHasLines || !HelperState.DataDirectoryTrusted) return;
  UniqueFileHandle journal = OpenJournal(GENERIC_WRITE, OPEN_EXISTING);
  if (journal) SetEndOfFile(journal.get());
  HelperState.RouteJournalHasLines = !journal && GetLastError() != ERROR_FILE_NOT_FOUND;
}

void RemoveRoutesLeftBehind() {
  std::string text;
  {
    UniqueFileHandle journal = OpenJournal(GENERIC_READ, OPEN_EXISTING);
    if (!journal) return;
    char chunk[8192];
    DWORD got = 0;
    while (text.size() < kJournalLimitBytes &&
           ReadFile(journal.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
      text.append(chunk, got);
    }
  }
  size_t listed = 0;
  size_t removed = 0;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    JournaledRoute route;
    if (!ParseRouteJournalLine(line, route)) {
      LogLine(L"damaged route journal line skipped: " + Shown(line));
      continue;
    }
    ++listed;
    const MIB_IPFORWARD_ROW2 row =
        BypassRouteRow(route.InterfaceIndex, route.Destination, route.PrefixLength, route.Gateway);
    if (DeleteIpForwardEntry2(&row) == NO_ERROR) ++removed;
  }
  if (listed > 0) {
    LogLine(L"removed " + std::to_wstring(removed) + L" bypass routes left by an earlier run");
  }
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  HelperState.RouteJournalHasLines = true;
  EmptyRouteJournal();
}

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
constexpr size_t kLongestLine = 64;  // "4294967295 255.255.255.255/32 255.255.255.255"

bool ParseNumber(const std::string& text, size_t& at, uint32_t limit, uint32_t& value) {
  const size_t first = at;
  uint64_t parsed = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    parsed = parsed * 10 + static_cast<unsigned>(text[at++] - '0');
    if (parsed > limit) return false;
  }
  value = static_cast<uint32_t>(parsed);
  return at > first;
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
    uint32_t octet = 0;
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

// Deletes the route of one line; counts what was listed and what went.
void RemoveListedRoute(const std::string& line, size_t& listed, size_t& removed) {
  if (line.empty()) return;
  JournaledRoute route;
  if (line.size() > kLongestLine || !ParseRouteJournalLine(line, route)) {
    LogLine(L"damaged route journal line skipped: " + Shown(line));
    return;
  }
  ++listed;
  const MIB_IPFORWARD_ROW2 row =
      BypassRouteRow(route.InterfaceIndex, route.Destination, route.PrefixLength, route.Gateway);
  if (DeleteIpForwardEntry2(&row) == NO_ERROR) ++removed;
}

}  // namespace

std::string RouteJournalLine(const JournaledRoute& route) {
  return std::to_string(route.InterfaceIndex) + " " + WideToUtf8(FormatIPv4(route.Destination)) +
         "/" + std::to_string(route.PrefixLength) + " " + WideToUtf8(FormatIPv4(route.Gateway));
}

bool ParseRouteJournalLine(const std::string& line, JournaledRoute& route) {
  size_t at = 0;
  uint32_t interfaceIndex = 0;
  uint32_t prefixLength = 0;
  JournaledRoute parsed;
  if (!ParseNumber(line, at, 0xFFFFFFFFu, interfaceIndex) || !Expect(line, at, ' ') ||
      !ParseAddress(line, at, parsed.Destination) || !Expect(line, at, '/') ||
      !ParseNumber(line, at, 32, prefixLength) || !Expect(line, at, ' ') ||
      !ParseAddress(line, at, parsed.Gateway) || at != line.size() || interfaceIndex == 0) {
    return false;
  }
  parsed.InterfaceIndex = interfaceIndex;
  parsed.PrefixLength = static_cast<uint8_t>(prefixLength);
  route = parsed;
  return true;
}

bool TakeOverRouteJournal() {
  UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(kConfigFileAccess);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  // No sharing: a second helper on the same data directory (an
  // administrator's console helper beside the service) must not take the
  // first one's routes away, nor empty its journal.
  UniqueFileHandle journal(
      CreateFileW((DataDirectory() + kJournalName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                  descriptor ? &attributes : nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!journal) {
    const DWORD error = GetLastError();
    LogLine(error == ERROR_SHARING_VIOLATION
                ? std::wstring(L"route journal held by another helper; this one keeps none")
                : L"route journal not opened: err=" + std::to_wstring(error));
    return false;
  }
  // The start check sets aside a journal it cannot trust; one that could
  // not be set aside is not believed either.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(journal.get(), &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    LogLine(L"route journal not trusted; this helper keeps none");
    return false;
  }
  // Line by line, however long the file: a route left unlisted would stay.
  size_t listed = 0;
  size_t removed = 0;
  std::string pending;
  char chunk[8192];
  DWORD got = 0;
  while (ReadFile(journal.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    pending.append(chunk, got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      RemoveListedRoute(line, listed, removed);
    }
    // A line that never ends is damaged; keep only enough to say so.
    if (pending.size() > kLongestLine) pending.resize(kLongestLine + 1);
  }
  RemoveListedRoute(pending, listed, removed);
  if (listed > 0) {
    LogLine(L"removed " + std::to_wstring(removed) + L" bypass routes left by an earlier run");
  }
  LARGE_INTEGER start{};
  SetFilePointerEx(journal.get(), start, nullptr, FILE_BEGIN);
  SetEndOfFile(journal.get());
  std::lock_guard<std::mutex> lock(HelperState.StateMutex);
  HelperState.RouteJournal = std::move(journal);
  return true;
}

void JournalBypassRoute(const JournaledRoute& route) {
  const HANDLE journal = HelperState.RouteJournal.get();
  // A failed creation is tried again at the destination's next connect; one
  // line covers all the tries.
  if (journal == INVALID_HANDLE_VALUE ||
      !HelperState.JournaledDestinations.insert(route.Destination).second) {
    return;
  }
  const std::string line = RouteJournalLine(route) + "\r\n";
  LARGE_INTEGER end{};
  DWORD written = 0;
  if (!SetFilePointerEx(journal, end, nullptr, FILE_END) ||
      !WriteFile(journal, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size()) {
    const DWORD error = GetLastError();
    LogLine(L"route journal not written: err=" + std::to_wstring(error));
  }
}

void EmptyRouteJournal() {
  const HANDLE journal = HelperState.RouteJournal.get();
  if (journal == INVALID_HANDLE_VALUE || HelperState.JournaledDestinations.empty()) return;
  LARGE_INTEGER start{};
  if (SetFilePointerEx(journal, start, nullptr, FILE_BEGIN) && SetEndOfFile(journal)) {
    HelperState.JournaledDestinations.clear();
  }
}

#include "routing/route_journal.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "routing/route_records.h"
#include "routing/route_row.h"
#include "support/data_directory.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/progress.h"
#include "support/thread_safety.h"

namespace {

constexpr wchar_t kJournalName[] = L"\\routes.journal";

// The journal this helper holds, and the lock over it (taken within the
// route store's, never the other way round).
struct Journal {
  UniqueFileHandle File;
  // Where slot 0 starts: after whatever an emptying that failed left.
  uint64_t Base = 0;
  uint32_t Slots = 0;            // slots the file holds from Base on
  std::set<uint32_t> FreeSlots;  // blank ones below Slots, reused lowest first
};
Mutex JournalMutex;
Journal TheJournal GUARDED_BY(JournalMutex);

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
  JournaledRoute route;
  switch (ReadJournalSlot(line, route)) {
    case JournalSlot::Withdrawn:
      return;
    case JournalSlot::Damaged:
      LogLine(L"damaged route journal line skipped: " + Shown(line));
      return;
    case JournalSlot::Route:
      break;
  }
  ++listed;
  MIB_IPFORWARD_ROW2 row = BypassRouteRow(route.InterfaceIndex, route.Prefix, route.Gateway);
  // By LUID when the line has one: Windows then takes the interface from it
  // alone, and the row matches only on the adapter that made it.
  if (route.InterfaceLuid != 0) {
    row.InterfaceLuid.Value = route.InterfaceLuid;
    row.InterfaceIndex = 0;
  }
  if (DeleteIpForwardEntry2(&row) == NO_ERROR) ++removed;
}

// Reads every line and deletes what it lists. A last line without its line
// end was cut short by a crash or a full disk in the middle of its write:
// what it says cannot be believed.
void ReplayJournal(HANDLE journal) {
  size_t listed = 0;
  size_t removed = 0;
  size_t lines = 0;
  std::string pending;
  char chunk[8192];
  DWORD got = 0;
  while (ReadFile(journal, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    pending.append(chunk, got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // A start waits for this: each batch is a step of its own.
      if (lines++ % kRoutesPerProgressStep == 0) ReportProgress(kShortStepMs);
      RemoveListedRoute(line, listed, removed);
    }
    // A line that never ends is damaged; keep only enough to say so.
    if (pending.size() > kJournalSlotBytes) pending.resize(kJournalSlotBytes);
  }
  if (pending.find_first_not_of(' ') != std::string::npos) {
    LogLine(L"damaged route journal line skipped: " + Shown(pending));
  }
  if (listed > 0) {
    LogLine(L"removed " + std::to_wstring(removed) + L" bypass routes left by an earlier run");
  }
}

bool Truncate(HANDLE file, uint64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

uint64_t FileSize(HANDLE file) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace

bool TakeOverRouteJournal() {
  UniqueLocalMemory descriptor = SecurityDescriptorFromSddl(kConfigFileAccess);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  // Shared for reading only: a second helper on the same data directory (an
  // administrator's console helper beside the service) must not take the
  // first one's routes away, nor empty its journal; an administrator may
  // read what it lists.
  UniqueFileHandle journal(
      CreateFileW((DataDirectory() + kJournalName).c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ, descriptor ? &attributes : nullptr, OPEN_ALWAYS,
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
  ReplayJournal(journal.get());
  // Lines that could not be emptied list routes that are gone now: harmless
  // to delete again at the next start. New lines go after them.
  uint64_t base = 0;
  if (!Truncate(journal.get(), 0)) {
    const DWORD error = GetLastError();
    LogLine(L"route journal not emptied: err=" + std::to_wstring(error));
    base = FileSize(journal.get());
  }
  MutexLock lock(JournalMutex);
  TheJournal = Journal{};
  TheJournal.File = std::move(journal);
  TheJournal.Base = base;
  return true;
}

namespace {

// Adds one slot's bytes: the line padded with blanks, then CR LF.
void AppendSlot(std::string& bytes, const JournaledRoute* route) {
  const size_t at = bytes.size();
  if (route) AppendRouteJournalLine(bytes, *route);
  bytes.resize(at + kLongestJournalLine, ' ');
  bytes += "\r\n";
}

// Writes slots in ascending order, the route of each (null for a blank
// line) in one WriteFile for each run of consecutive slots: a batch of a
// thousand lines is a write or two, not a thousand (each costs a system
// call, and under Wine tens of microseconds), and each line is formatted
// straight into the run's buffer.
bool WriteSlots(const std::vector<uint32_t>& slots,
                const std::vector<const JournaledRoute*>& routes) REQUIRES(JournalMutex) {
  std::string bytes;
  for (size_t first = 0; first < slots.size();) {
    size_t end = first + 1;
    while (end < slots.size() && slots[end] == slots[end - 1] + 1) ++end;
    bytes.clear();
    bytes.reserve((end - first) * kJournalSlotBytes);
    for (size_t i = first; i < end; ++i) AppendSlot(bytes, routes[i]);
    // The file pointer moved, then a plain write: the same two steps as an
    // OVERLAPPED offset on Windows, while Wine's server takes a round trip
    // for the offset (several times the write's own cost), and this write
    // comes before every new route. Nothing else moves the pointer meanwhile:
    // every journal call runs under JournalMutex.
    LARGE_INTEGER at;
    at.QuadPart =
        static_cast<LONGLONG>(TheJournal.Base + uint64_t{slots[first]} * kJournalSlotBytes);
    DWORD written = 0;
    if (!SetFilePointerEx(TheJournal.File.get(), at, nullptr, FILE_BEGIN) ||
        !WriteFile(TheJournal.File.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
        written != bytes.size()) {
      return false;
    }
    first = end;
  }
  return true;
}

// Blank lines for the given slots, ascending and without repeats.
bool WriteBlankSlots(const std::vector<uint32_t>& slots) REQUIRES(JournalMutex) {
  return WriteSlots(slots, std::vector<const JournaledRoute*>(slots.size(), nullptr));
}

}  // namespace

bool JournalRoutes(const std::vector<JournaledRoute>& routes, std::vector<uint32_t>& lines) {
  MutexLock lock(JournalMutex);
  lines.assign(routes.size(), kNotJournaled);
  if (!TheJournal.File || routes.empty()) return true;
  // Free slots first, lowest first, then new ones at the end: ascending as
  // taken, since every free slot lies below the end.
  std::vector<const JournaledRoute*> written;
  written.reserve(routes.size());
  auto free = TheJournal.FreeSlots.begin();
  uint32_t next = TheJournal.Slots;
  for (size_t i = 0; i < routes.size(); ++i) {
    lines[i] = free != TheJournal.FreeSlots.end() ? *free++ : next++;
    written.push_back(&routes[i]);
  }
  if (!WriteSlots(lines, written)) {
    const DWORD error = GetLastError();
    // Nothing is taken: the slots stay as they were (what was written of
    // them lists routes that will not be made, which a start deletes
    // harmlessly, and is overwritten by the next lines).
    lines.assign(routes.size(), kNotJournaled);
    SetLastError(error);
    return false;
  }
  TheJournal.FreeSlots.erase(TheJournal.FreeSlots.begin(), free);
  TheJournal.Slots = next;
  return true;
}

bool JournalRoute(const JournaledRoute& route, uint32_t& line) {
  std::vector<uint32_t> lines;
  const bool written = JournalRoutes({route}, lines);
  line = lines.empty() ? kNotJournaled : lines[0];
  return written;
}

void WithdrawJournalLines(const std::vector<uint32_t>& lines) {
  MutexLock lock(JournalMutex);
  if (!TheJournal.File) return;
  bool any = false;
  for (const uint32_t line : lines) {
    if (line == kNotJournaled || line >= TheJournal.Slots) continue;
    TheJournal.FreeSlots.insert(line);
    any = true;
  }
  if (!any) return;
  // The last lines go by shortening the file; those in the middle are
  // blanked, a run of consecutive ones in one write.
  uint32_t slots = TheJournal.Slots;
  while (slots > 0 && TheJournal.FreeSlots.count(slots - 1) != 0) --slots;
  if (slots != TheJournal.Slots &&
      Truncate(TheJournal.File.get(), TheJournal.Base + uint64_t{slots} * kJournalSlotBytes)) {
    TheJournal.FreeSlots.erase(TheJournal.FreeSlots.lower_bound(slots), TheJournal.FreeSlots.end());
    TheJournal.Slots = slots;
  }
  std::vector<uint32_t> blanks;
  for (const uint32_t line : lines) {
    if (line != kNotJournaled && line < TheJournal.Slots) blanks.push_back(line);
  }
  std::sort(blanks.begin(), blanks.end());
  blanks.erase(std::unique(blanks.begin(), blanks.end()), blanks.end());
  if (!WriteBlankSlots(blanks)) {
    const DWORD error = GetLastError();
    LogLine(L"route journal line not withdrawn: err=" + std::to_wstring(error));
  }
}

void WithdrawJournalLine(uint32_t line) { WithdrawJournalLines({line}); }

void EmptyRouteJournal() {
  MutexLock lock(JournalMutex);
  if (!TheJournal.File || (TheJournal.Slots == 0 && TheJournal.Base == 0)) return;
  if (Truncate(TheJournal.File.get(), 0)) {
    TheJournal.Base = 0;
    TheJournal.Slots = 0;
    TheJournal.FreeSlots.clear();
    return;
  }
  const DWORD error = GetLastError();
  LogLine(L"route journal not emptied: err=" + std::to_wstring(error));
  // Blank line by line; whatever stays lists routes that are gone.
  std::vector<uint32_t> blanks;
  for (uint32_t slot = 0; slot < TheJournal.Slots; ++slot) {
    if (TheJournal.FreeSlots.insert(slot).second) blanks.push_back(slot);
  }
  WriteBlankSlots(blanks);
}

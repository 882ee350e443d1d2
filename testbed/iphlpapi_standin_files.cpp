#include "iphlpapi_standin_files.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

#include "support/paths.h"

namespace standin {
namespace {

// One lock for every process and thread that uses a stand-in, so no journal
// line and no route update is lost. Wine runs services and console programs
// in one session, so Local\ reaches all of them.
constexpr wchar_t kMutexName[] = L"Local\\QuorvelIphlpapiStandinShared";
// The files are written by tests and never large: a bound keeps a mistake
// cheap.
constexpr LONGLONG kMaxFileBytes = 4 << 20;

// Tests write, replace and read these files while the stand-in has them open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long after its last write a file's stamp is not yet trusted, in 100 ns
// units. Linux stamps files from a clock that lags the one Windows programs
// read by up to a scheduler tick (1 to 10 ms); twice the coarsest tick
// leaves room, and costs re-reading a file (an open is about half a
// millisecond under Wine) only for that long after each write.
constexpr UINT64 kRacyWindow = 200'000ull;

UINT64 ToUInt64(FILETIME time) { return (UINT64{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

DWORD StampOf(const std::wstring& path, FileStamp* stamp) {
  *stamp = FileStamp{};
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? NO_ERROR : error;
  }
  stamp->exists = true;
  stamp->size = (UINT64{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  stamp->lastWrite = ToUInt64(data.ftLastWriteTime);
  return NO_ERROR;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.exists == b.exists && a.size == b.size && a.lastWrite == b.lastWrite;
}

}  // namespace

DWORD StampOfFile(const std::wstring& path, FileStamp* stamp) { return StampOf(path, stamp); }
bool SameFileStamp(const FileStamp& a, const FileStamp& b) { return SameStamp(a, b); }

DWORD FileSnapshot::Refresh(const std::wstring& path, bool* changed) {
  *changed = false;
  FILETIME now{};
  // Taken before the stamp: a write after this moment gets a later stamp.
  GetSystemTimeAsFileTime(&now);
  FileStamp stamp;
  DWORD rc = StampOf(path, &stamp);
  if (rc != NO_ERROR) return rc;
  if (valid_ && SameStamp(stamp, stamp_) &&
      (!stamp.exists || stamp.lastWrite + kRacyWindow < readAt_)) {
    return NO_ERROR;
  }
  std::string text;
  bool missing = !stamp.exists;
  if (stamp.exists) {
    rc = ReadWholeFile(path, &text, &missing);
    if (rc != NO_ERROR) return rc;
  }
  *changed = !valid_ || missing != missing_ || text != text_;
  valid_ = true;
  missing_ = missing;
  // A file that vanished between the stamp and the read is looked at again.
  stamp_ = missing ? FileStamp{} : stamp;
  readAt_ = ToUInt64(now);
  text_ = std::move(text);
  return NO_ERROR;
}

// An abandoned mutex (a process killed mid-call) is taken over: the files
// are only ever replaced whole, so no half-done update is left behind.
namespace {

// What every process of the stand-in shares, in one named mapping: the lock
// word (the holder's process and thread id, 0 when free) and the routes
// file's generation. A named mutex costs hundreds of microseconds a call
// under Wine; an uncontended lock word costs nothing, which keeps the
// stand-in's own cost far below what it stands in for.
struct SharedState {
  volatile LONG64 owner;
  volatile LONG64 routesGeneration;
};

SharedState* Shared() {
  static SharedState* shared = [] {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(SharedState), kMutexName);
    if (!mapping) return static_cast<SharedState*>(nullptr);
    // Kept for the process's life, as the view.
    return static_cast<SharedState*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedState)));
  }();
  return shared;
}

LONG64 Me() {
  return (static_cast<LONG64>(GetCurrentProcessId()) << 32) | GetCurrentThreadId();
}

// Whether the process holding the lock has ended (killed in a call): its
// lock is then taken over, as a mutex is abandoned.
bool HolderGone(LONG64 owner) {
  const DWORD pid = static_cast<DWORD>(static_cast<UINT64>(owner) >> 32);
  UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  return !process || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

thread_local int HeldDepth = 0;  // a thread may take the lock again inside a call

}  // namespace

volatile LONG64* SharedRoutesGeneration() {
  SharedState* shared = Shared();
  return shared ? &shared->routesGeneration : nullptr;
}

StandinLock::StandinLock() {
  SharedState* shared = Shared();
  if (!shared) {
    error_ = ERROR_LOCK_FAILED;
    return;
  }
  const LONG64 me = Me();
  if (HeldDepth > 0 && shared->owner == me) {
    ++HeldDepth;
    held_ = true;
    return;
  }
  for (unsigned spins = 0;; ++spins) {
    const LONG64 owner = InterlockedCompareExchange64(&shared->owner, me, 0);
    if (owner == 0) break;
    // Yielding keeps a waiter close behind a holder that copies a large
    // table; a sleep (a millisecond or more) only once it has waited long,
    // and then whether the holder still lives is looked at too.
    if (spins % 4096 == 4095) {
      if (HolderGone(owner) &&
          InterlockedCompareExchange64(&shared->owner, me, owner) == owner) {
        break;
      }
      Sleep(1);
    } else {
      SwitchToThread();
    }
  }
  HeldDepth = 1;
  held_ = true;
}

StandinLock::~StandinLock() { Release(); }

void StandinLock::Release() {
  if (!held_) return;
  held_ = false;
  if (--HeldDepth == 0) InterlockedExchange64(&Shared()->owner, 0);
}

std::wstring StandinDirectory() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&StandinDirectory), &self)) {
    return {};
  }
  const std::wstring path = ModulePath(self);
  return path.empty() ? path : DirectoryOfPath(path) + L"\\";
}

DWORD ReadWholeFile(const std::wstring& path, std::string* text, bool* missing) {
  text->clear();
  *missing = false;
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      *missing = true;
      return NO_ERROR;
    }
    return error;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return GetLastError();
  if (size.QuadPart > kMaxFileBytes) return ERROR_FILE_TOO_LARGE;
  text->resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < text->size()) {
    DWORD got = 0;
    if (!ReadFile(file.get(), &(*text)[done], static_cast<DWORD>(text->size() - done), &got,
                  nullptr)) {
      return GetLastError();
    }
    if (got == 0) break;
    done += got;
  }
  text->resize(done);
  return NO_ERROR;
}

// Written beside and moved over the old file, so a reader in another process
// sees either the old contents or the new, never part of them.
namespace {
// Append handles kept by AppendToFile, by path. Never destroyed: a call may
// still run on another thread while the process exits.
std::mutex& HeldMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::map<std::wstring, UniqueFileHandle>& HeldFiles() {
  static auto* held = new std::map<std::wstring, UniqueFileHandle>;
  return *held;
}
}  // namespace

DWORD ReplaceWholeFile(const std::wstring& path, const std::wstring& tempPath,
                       const std::string& text) {
  {
    // The name is about to hold another file: appends go there from now on.
    std::lock_guard<std::mutex> lock(HeldMutex());
    HeldFiles().erase(path);
  }
  {
    UniqueFileHandle file(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
      return GetLastError();
    }
    if (written != text.size()) return ERROR_WRITE_FAULT;
  }
  if (!MoveFileExW(tempPath.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING)) {
    return GetLastError();
  }
  return NO_ERROR;
}

// FILE_APPEND_DATA and a single write: a line from one process never lands
// inside a line from another. The handle is kept (an open costs about half
// a millisecond under Wine, a write a few microseconds) for as long as the
// name still holds that file: a name whose size is not the handle's has
// been replaced (written beside and moved over), and is opened again.
void AppendToFile(const std::wstring& path, const std::string& text) {
  std::lock_guard<std::mutex> lock(HeldMutex());
  UniqueFileHandle& file = HeldFiles()[path];
  if (file) {
    FileStamp stamp;
    LARGE_INTEGER size{};
    if (StampOf(path, &stamp) != NO_ERROR || !stamp.exists ||
        !GetFileSizeEx(file.get(), &size) || static_cast<UINT64>(size.QuadPart) != stamp.size) {
      file.reset();
    }
  }
  if (!file) {
    file.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++number;
    std::string content = text.substr(start, end - start);
    start = end + 1;
    const size_t hash = content.find('#');
    if (hash != std::string::npos) content.resize(hash);
    // '\r' counts as blank, which takes care of CR LF endings.
    Line line{number, {}};
    size_t pos = 0;
    for (;;) {
      pos = content.find_first_not_of(" \t\r", pos);
      if (pos == std::string::npos) break;
      const size_t stop = content.find_first_of(" \t\r", pos);
      line.words.push_back(content.substr(pos, stop - pos));
      pos = stop;
    }
    if (!line.words.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

bool ParseUnsigned(const std::string& word, DWORD* value, bool hexAllowed) {
  int base = 10;
  size_t pos = 0;
  if (hexAllowed && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    pos = 2;
  }
  if (pos == word.size()) return false;
  uint64_t result = 0;
  for (; pos < word.size(); ++pos) {
    const char c = word[pos];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * base + digit;
    if (result > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<DWORD>(result);
  return true;
}

bool ParseIPv4(const std::string& word, DWORD* address) {
  unsigned char bytes[4];
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? word.find('.', start) : word.size();
    if (dot == std::string::npos || dot == start || dot - start > 3) return false;
    DWORD octet = 0;
    if (!ParseUnsigned(word.substr(start, dot - start), &octet, false) || octet > 255) {
      return false;
    }
    bytes[i] = static_cast<unsigned char>(octet);
    start = dot + 1;
  }
  // The first octet is the first byte in memory: network byte order.
  std::memcpy(address, bytes, sizeof(bytes));
  return true;
}

std::string FormatIPv4(DWORD address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof(bytes));
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

bool SameAddress(const IpAddress& a, const IpAddress& b) {
  return a.family == b.family && std::memcmp(a.bytes, b.bytes, a.Size()) == 0;
}

bool ParseAddress(const std::string& word, IpAddress* address) {
  *address = IpAddress{};
  DWORD v4 = 0;
  if (ParseIPv4(word, &v4)) {
    std::memcpy(address->bytes, &v4, sizeof(v4));
    return true;
  }
  // inet_pton needs no WSAStartup, and takes no zone ("%5"), which a route's
  // address never has.
  in6_addr v6{};
  if (word.find(':') == std::string::npos || inet_pton(AF_INET6, word.c_str(), &v6) != 1) {
    return false;
  }
  address->family = AF_INET6;
  std::memcpy(address->bytes, &v6, sizeof(address->bytes));
  return true;
}

bool ParseAddressPrefix(const std::string& word, IpAddress* address, UINT8* length) {
  const size_t slash = word.find('/');
  DWORD bits = 0;
  if (slash == std::string::npos || !ParseAddress(word.substr(0, slash), address) ||
      !ParseUnsigned(word.substr(slash + 1), &bits, false) || bits > address->MaxPrefixLength()) {
    return false;
  }
  *length = static_cast<UINT8>(bits);
  return true;
}

std::string FormatAddress(const IpAddress& address) {
  if (address.family != AF_INET6) {
    DWORD v4 = 0;
    std::memcpy(&v4, address.bytes, sizeof(v4));
    return FormatIPv4(v4);
  }
  char text[INET6_ADDRSTRLEN] = {};
  in6_addr v6{};
  std::memcpy(&v6, address.bytes, sizeof(v6));
  if (!inet_ntop(AF_INET6, &v6, text, sizeof(text))) return "?";
  return text;
}

bool PrefixCovers(const IpAddress& prefix, UINT8 length, const IpAddress& address) {
  if (prefix.family != address.family || length > prefix.MaxPrefixLength()) return false;
  const size_t whole = length / 8;
  if (std::memcmp(prefix.bytes, address.bytes, whole) != 0) return false;
  const unsigned rest = length % 8;
  if (rest == 0) return true;
  const unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
  return ((prefix.bytes[whole] ^ address.bytes[whole]) & mask) == 0;
}

}  // namespace standin

#include "windivert_standin_files.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/paths.h"

namespace {

std::wstring* Directory = nullptr;  // set once in DllMain, never freed

std::wstring FileBeside(const wchar_t* name) {
  return (Directory ? *Directory : std::wstring(L".")) + L"\\" + name;
}

// Other processes append to the feed and rewrite the scenario while the
// stand-in reads them, and read the journal while it writes.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenForReading(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads from `offset` to the end (at most `limit` bytes) with positioned
// reads, so a handle kept open can be read again from the start.
std::string ReadFrom(HANDLE file, UINT64 offset, size_t limit) {
  std::string data;
  char buffer[8192];
  while (data.size() < limit) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = static_cast<DWORD>(std::min(sizeof(buffer), limit - data.size()));
    DWORD got = 0;
    if (!ReadFile(file, buffer, want, &got, &at) || got == 0) break;
    data.append(buffer, got);
    offset += got;
  }
  return data;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool ParseUnsigned(const std::string& text, int base, UINT64 max, UINT64* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
  if (*end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseDottedIPv4(const std::string& text, UINT32* hostOrder) {
  UINT32 result = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const size_t start = i;
    UINT32 value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      value = value * 10 + static_cast<UINT32>(text[i] - '0');
      ++i;
    }
    if (i == start || value > 255) return false;
    result = (result << 8) | value;
  }
  if (i != text.size()) return false;
  *hostOrder = result;
  return true;
}

UINT32 BigEndianWord(const unsigned char* bytes) {
  return (UINT32{bytes[0]} << 24) | (UINT32{bytes[1]} << 16) | (UINT32{bytes[2]} << 8) | bytes[3];
}

// /proc/net/udp prints "AABBCCDD:PPPP": the address as the host's
// little-endian reading of the network-order word, the port already in host
// order.
bool ParseProcEndpoint(const std::string& text, UINT32* hostOrder, UINT16* port) {
  const size_t colon = text.find(':');
  if (colon != 8 || text.size() != 13) return false;
  UINT64 raw = 0, rawPort = 0;
  if (!ParseUnsigned(text.substr(0, 8), 16, 0xFFFFFFFFull, &raw) ||
      !ParseUnsigned(text.substr(9), 16, 0xFFFF, &rawPort)) {
    return false;
  }
  const UINT32 word = static_cast<UINT32>(raw);
  *hostOrder = (word >> 24) | ((word >> 8) & 0xFF00) | ((word << 8) & 0xFF0000) | (word << 24);
  *port = static_cast<UINT16>(rawPort);
  return true;
}

}  // namespace

void InitStandinDirectory(HMODULE module) {
  const std::wstring path = ModulePath(module);
  if (!path.empty()) Directory = new std::wstring(DirectoryOfPath(path));
}

void Journal(const std::string& line) {
  // Append-only access makes each write land at the end even with other
  // writers; the mutex keeps that true where append access is emulated.
  static HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\QuorvelWinDivertStandinJournal");
  const DWORD savedError = GetLastError();
  bool locked = false;
  if (mutex) {
    const DWORD wait = WaitForSingleObject(mutex, 5000);
    locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  }
  const HANDLE file = CreateFileW(FileBeside(L"windivert-journal.txt").c_str(), FILE_APPEND_DATA,
                                  kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
  }
  if (locked) ReleaseMutex(mutex);
  SetLastError(savedError);
}

StandinScenario ReadScenario() {
  StandinScenario scenario;
  const HANDLE file = OpenForReading(FileBeside(L"windivert-scenario.txt"));
  if (file == INVALID_HANDLE_VALUE) return scenario;
  const std::string text = ReadFrom(file, 0, 1 << 20);
  CloseHandle(file);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::vector<std::string> words = SplitWords(text.substr(start, end - start));
    start = end + 1;
    UINT64 value = 0;
    std::string argument = words.size() == 2 ? words[1] : std::string();
    if (!argument.empty() && argument.back() == '\r') argument.pop_back();
    if (words.size() != 2 || !ParseUnsigned(argument, 0, 0xFFFFFFFFull, &value) || value == 0) {
      continue;
    }
    if (words[0] == "open-fail") scenario.openFailure = static_cast<DWORD>(value);
    if (words[0] == "send-fail") scenario.sendFailure = static_cast<DWORD>(value);
  }
  return scenario;
}

UINT64 FeedFileSize() {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(FileBeside(L"windivert-feed.txt").c_str(), GetFileExInfoStandard,
                            &data)) {
    return 0;
  }
  return (UINT64{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

void ReadNewFeedLines(FeedCursor* cursor, std::vector<SocketEvent>* events) {
  // Looking at the size is a fraction of the cost of opening the file under
  // Wine, and a waiting receive does this every few milliseconds.
  if (FeedFileSize() == cursor->offset) return;
  const HANDLE file = OpenForReading(FileBeside(L"windivert-feed.txt"));
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size)) {
    // A shorter file is a new one: the test started over.
    if (static_cast<UINT64>(size.QuadPart) < cursor->offset) {
      cursor->offset = 0;
      cursor->partial.clear();
    }
    const std::string data = ReadFrom(file, cursor->offset, 1 << 20);
    cursor->offset += data.size();
    cursor->partial += data;
  }
  CloseHandle(file);

  size_t start = 0;
  for (size_t end; (end = cursor->partial.find('\n', start)) != std::string::npos;
       start = end + 1) {
    std::string line = cursor->partial.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;
    SocketEvent event;
    if (ParseFeedLine(line, &event)) {
      events->push_back(event);
    } else {
      Journal("bad-feed-line " + line);
    }
  }
  cursor->partial.erase(0, start);
}

bool ParsePacketLine(const std::vector<std::string>& words, SocketEvent* event) {
  if (words.size() < 3 || (words[1] != "in" && words[1] != "out")) return false;
  event->isPacket = true;
  event->outbound = words[1] == "out";
  size_t at = 2;
  event->loopback = words[at] == "loopback";
  if (event->loopback) ++at;
  if (at < words.size() && words[at].rfind("if=", 0) == 0) {
    const std::string interface = words[at++].substr(3);
    const size_t dot = interface.find('.');
    UINT64 index = 0, sub = 0;
    if (!ParseUnsigned(interface.substr(0, dot), 10, 0xFFFFFFFFull, &index) || index == 0 ||
        (dot != std::string::npos &&
         !ParseUnsigned(interface.substr(dot + 1), 10, 0xFFFFFFFFull, &sub))) {
      return false;
    }
    event->ifIdx = static_cast<UINT32>(index);
    event->subIfIdx = static_cast<UINT32>(sub);
  }
  if (at < words.size() && words[at].rfind("after=", 0) == 0) {
    const std::string id = words[at++].substr(6);
    if (id.size() != 4 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
      return false;
    }
    event->after = id;
  }
  if (at + 1 != words.size() || words[at].size() % 2 != 0 || words[at].empty()) return false;
  event->bytes.clear();
  for (size_t i = 0; i < words[at].size(); i += 2) {
    UINT64 byte = 0;
    if (!ParseUnsigned(words[at].substr(i, 2), 16, 255, &byte)) return false;
    event->bytes.push_back(static_cast<char>(byte));
  }
  return event->bytes.size() <= 0xFFFF;
}

namespace {

// Address text as an event's address words: dotted IPv4 in word 0 (with
// word 1 0x0000FFFF when `mapped`), or for an IPv6 socket IPv6 text, one
// 128-bit number in host order, its least significant word first.
bool ParseEventAddress(const std::string& text, bool ipv6, bool mapped, UINT32 (&words)[4]) {
  std::memset(words, 0, sizeof(words));
  if (ParseDottedIPv4(text, &words[0])) {
    if (mapped) words[1] = 0x0000FFFF;
    return true;
  }
  if (!ipv6) return false;
  in6_addr address{};
  if (inet_pton(AF_INET6, text.c_str(), &address) != 1) return false;
  for (int word = 0; word < 4; ++word) {
    words[word] = BigEndianWord(address.s6_addr + 12 - 4 * word);
  }
  return true;
}

bool IsIPv4Words(const UINT32 (&words)[4]) {
  return words[3] == 0 && words[2] == 0 && (words[1] == 0 || words[1] == 0x0000FFFF);
}

}  // namespace

void DefaultLocalAddress(SocketEvent* event) {
  if (IsIPv4Words(event->remoteAddr)) {
    ParseEventAddress(kPhysicalLocalIPv4, false, true, event->localAddr);
  } else {
    ParseEventAddress(kPhysicalLocalIPv6, true, true, event->localAddr);
  }
}

bool ParseFeedLine(const std::string& line, SocketEvent* event) {
  std::vector<std::string> words = SplitWords(line);
  if (!words.empty() && words[0] == "packet") return ParsePacketLine(words, event);
  if (words.size() < 4) return false;
  const bool ipv6 = words[1] == "v6";
  std::string local;
  // What follows the address: the protocol, the endpoint, the remote port,
  // the local address.
  for (size_t i = 4; i < words.size(); ++i) {
    UINT64 number = 0;
    const std::string& word = words[i];
    if (word.rfind("local=", 0) == 0 && local.empty()) {
      local = word.substr(6);
      if (!ParseEventAddress(local, ipv6, true, event->localAddr)) return false;
    } else if (word == "tcp" || word == "udp") {
      event->protocol = word == "tcp" ? kProtocolTcp : kProtocolUdp;
    } else if (word.rfind("ep=", 0) == 0 && ParseUnsigned(word.substr(3), 10, ~0ull, &number) &&
               number != 0) {
      event->endpointId = number;
    } else if (word.rfind("port=", 0) == 0 && ParseUnsigned(word.substr(5), 10, 65535, &number)) {
      event->remotePort = static_cast<UINT16>(number);
    } else {
      return false;
    }
  }
  words.resize(4);

  static const char* const kNames[] = {"bind", "connect", "listen", "accept", "close"};
  UINT64 number = 0;
  bool named = false;
  for (UINT8 i = 0; i < 5; ++i) {
    if (words[0] == kNames[i]) {
      event->event = static_cast<UINT8>(3 + i);
      named = true;
    }
  }
  if (!named) {
    if (!ParseUnsigned(words[0], 10, 255, &number)) return false;
    event->event = static_cast<UINT8>(number);
  }

  if (words[1] != "v4" && words[1] != "v6") return false;
  event->ipv6 = ipv6;

  if (!ParseUnsigned(words[2], 10, 0xFFFFFFFFull, &number)) return false;
  event->processId = static_cast<UINT32>(number);

  if (!ParseEventAddress(words[3], ipv6, false, event->remoteAddr)) return false;
  if (local.empty()) DefaultLocalAddress(event);
  return true;
}

bool ReadUdpTable(std::vector<UdpSocket>* sockets) {
  // Opening a /proc file through Wine costs several times what reading it
  // again does, so one handle serves every poll, one reader at a time.
  static std::mutex tableMutex;
  static HANDLE table = INVALID_HANDLE_VALUE;
  std::lock_guard<std::mutex> lock(tableMutex);
  if (table == INVALID_HANDLE_VALUE) {
    table = OpenForReading(L"Z:\\proc\\net\\udp");
    // Z: is only the default mapping of the host's root.
    if (table == INVALID_HANDLE_VALUE) table = OpenForReading(L"\\\\?\\unix\\proc\\net\\udp");
    if (table == INVALID_HANDLE_VALUE) return false;
  }
  const std::string text = ReadFrom(table, 0, 16 << 20);
  if (text.empty()) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  sockets->clear();
  size_t start = text.find('\n');  // the heading
  while (start != std::string::npos && start + 1 < text.size()) {
    const size_t end = text.find('\n', start + 1);
    const std::vector<std::string> words =
        SplitWords(text.substr(start + 1, end == std::string::npos ? end : end - start - 1));
    start = end;
    UdpSocket socket;
    if (words.size() < 10 ||
        !ParseProcEndpoint(words[1], &socket.localHostOrder, &socket.localPort) ||
        !ParseProcEndpoint(words[2], &socket.remoteHostOrder, &socket.remotePort) ||
        !ParseUnsigned(words[9], 10, ~0ull, &socket.inode)) {
      continue;
    }
    sockets->push_back(socket);
  }
  return true;
}

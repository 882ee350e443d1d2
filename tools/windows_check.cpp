// windows_check: drives an installed QuorvelHelper through its whole road
// against the system it runs on and prints one line per check, then
// "N passed, M failed" (exit code 0 only when nothing failed).
//
// On Windows, run it elevated beside an installed helper with the real
// amneziawg.exe, WinDivert.dll and WinDivert64.sys: it connects a tunnel
// whose peer never answers, sets its own bypass and split lists (replacing
// the client's) and disconnects at the end. In the test bed the stand-ins
// answer for Windows: --feed names the WinDivert stand-in's feed, where the
// check writes the socket events Windows would have sent.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <bcrypt.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client_io.h"
#include "split/windivert_abi.h"
#include "support/code_directory.h"
#include "support/text.h"

namespace {

constexpr wchar_t kServiceName[] = L"QuorvelHelper";
constexpr wchar_t kListedName[] = L"quorvel-check-listed.exe";
constexpr wchar_t kUnlistedName[] = L"quorvel-check-other.exe";
// Documentation prefixes (RFC 5737, RFC 3849), where nothing real lives,
// and AS112's sink (RFC 7535), which nothing of the machine's needs while
// the check runs: the tunnel takes only these, so the tool's firewall
// (which blocks all untunnelled traffic for a single peer that takes
// everything) stays off, and a remote session to the machine, or a check
// that dies halfway, keeps the machine reachable. The bypass networks lie
// inside them, longer, so that their routes win over the tunnel's. A listed
// domain's answer brings a route only to an address the world can reach,
// which no documentation address is: the check's domain answers with a
// host of the sink, whose /32 wins over the tunnel's /24.
constexpr char kAllowedIPs[] =
    "192.0.2.0/24, 198.51.100.0/24, 203.0.113.0/24, 192.31.196.0/24, 2001:db8::/32";
constexpr char kBypassList[] = "198.51.100.0/25;203.0.113.128/25;2001:db8:ffff::/48";
const char* const kBypassRoutes[] = {"198.51.100.0/25", "203.0.113.128/25", "2001:db8:ffff::/48"};
constexpr char kListedUdp[] = "192.0.2.10";
constexpr char kListedTcp[] = "192.0.2.11";
constexpr char kUnlisted[] = "192.0.2.20";
// The tunnel's own IPv4 address: the source of what leaves through it.
constexpr char kTunnelAddress[] = "10.203.113.2";
// The helper's rows: a static route by the administrator, metric 1, never
// published.
constexpr ULONG kHelperProtocol = 3;  // MIB_IPPROTO_NETMGMT
constexpr ULONG kHelperMetric = 1;
// A name the check resolves through the tunnel: the tunnel's DNS server is
// an address inside it that nothing answers, so the check answers itself,
// as that server would (WinDivert's injection, or the stand-in's feed).
constexpr char kTunnelDns[] = "192.0.2.53";
constexpr char kCheckDomain[] = "quorvel-check.example";
constexpr char kDomainAddress[] = "192.31.196.1";
constexpr uint16_t kDnsId = 0x5143;
// Above the helper's handles (priority 0): WinDivert hands what a handle
// injects on to the handles of lower priority, the helper's DNS hold among
// them.
constexpr int16_t kInjectPriority = 1000;
// The service's idle time for a split route is 5 minutes; the check waits
// a minute longer and never shortens it.
constexpr DWORD kIdleWaitMs = 6 * 60 * 1000;

struct Options {
  bool waitIdle = false;
  std::wstring dataDir;  // the helper's; %ProgramData%\Quorvel by default
  std::wstring feed;     // the WinDivert stand-in's feed, in the test bed
};

class Report {
 public:
  void Line(bool passed, const std::string& what, const std::string& detail = "") {
    std::printf("%s  %s%s%s\n", passed ? "PASS" : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
    (passed ? passed_ : failed_)++;
  }
  int Finish() const {
    std::printf("%d passed, %d failed\n", passed_, failed_);
    return failed_ == 0 ? 0 : 1;
  }

 private:
  int passed_ = 0;
  int failed_ = 0;
};

std::string Ask(const std::string& line) {
  const RequestResult result = SendRequestBytes(line + "\n", 120000);
  if (result.outcome != RequestOutcome::Replied) return "<no reply>";
  std::string reply = result.reply;
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  return reply;
}

// The value after "key": in a flat answer, as its text (quotes removed), or
// "null"; "" when the key is missing. Enough for the helper's own answers.
std::string JsonField(const std::string& json, const std::string& key, size_t from = 0) {
  const std::string wanted = "\"" + key + "\":";
  const size_t at = json.find(wanted, from);
  if (at == std::string::npos) return "";
  size_t start = at + wanted.size();
  if (json.compare(start, 1, "\"") == 0) {
    const size_t end = json.find('"', start + 1);
    return end == std::string::npos ? "" : json.substr(start + 1, end - start - 1);
  }
  size_t end = start;
  while (end < json.size() && json[end] != ',' && json[end] != '}') ++end;
  return json.substr(start, end - start);
}

struct PhysicalRoute {
  bool present = false;
  ULONG ifIndex = 0;
  std::string gateway;
};

// "physical" or "physical6" of a state answer.
PhysicalRoute StatePhysical(const std::string& state, const std::string& key) {
  PhysicalRoute route;
  const size_t at = state.find("\"" + key + "\":");
  if (at == std::string::npos || JsonField(state, key, at) == "null") return route;
  route.present = true;
  route.ifIndex = std::strtoul(JsonField(state, "ifIndex", at).c_str(), nullptr, 10);
  route.gateway = JsonField(state, "gateway", at);
  return route;
}

std::string AddressText(const SOCKADDR_INET& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.si_family == AF_INET) {
    inet_ntop(AF_INET, &address.Ipv4.sin_addr, text, sizeof(text));
  } else if (address.si_family == AF_INET6) {
    inet_ntop(AF_INET6, &address.Ipv6.sin6_addr, text, sizeof(text));
  }
  return text;
}

// The system's routes as Windows reports them.
class SystemRoutes {
 public:
  SystemRoutes() { error_ = GetIpForwardTable2(AF_UNSPEC, &table_); }
  ~SystemRoutes() {
    if (table_) FreeMibTable(table_);
  }
  SystemRoutes(const SystemRoutes&) = delete;
  SystemRoutes& operator=(const SystemRoutes&) = delete;
  DWORD Error() const { return error_; }

  std::vector<const MIB_IPFORWARD_ROW2*> To(const std::string& prefix) const {
    std::vector<const MIB_IPFORWARD_ROW2*> rows;
    for (ULONG i = 0; table_ && i < table_->NumEntries; ++i) {
      const MIB_IPFORWARD_ROW2& row = table_->Table[i];
      if (AddressText(row.DestinationPrefix.Prefix) + "/" +
              std::to_string(row.DestinationPrefix.PrefixLength) ==
          prefix) {
        rows.push_back(&row);
      }
    }
    return rows;
  }

  // The default route Windows would take outside the tunnel: the lowest
  // route plus interface metric, the lowest index on a tie.
  PhysicalRoute Default(ADDRESS_FAMILY family, ULONG tunnelIndex) const {
    PhysicalRoute best;
    ULONG bestMetric = 0;
    for (ULONG i = 0; table_ && i < table_->NumEntries; ++i) {
      const MIB_IPFORWARD_ROW2& row = table_->Table[i];
      if (row.DestinationPrefix.Prefix.si_family != family ||
          row.DestinationPrefix.PrefixLength != 0 || row.InterfaceIndex == tunnelIndex) {
        continue;
      }
      MIB_IPINTERFACE_ROW face{};
      face.Family = family;
      face.InterfaceIndex = row.InterfaceIndex;
      if (GetIpInterfaceEntry(&face) != NO_ERROR || !face.Connected) continue;
      const ULONG metric = row.Metric + face.Metric;
      if (!best.present || metric < bestMetric ||
          (metric == bestMetric && row.InterfaceIndex < best.ifIndex)) {
        best.present = true;
        best.ifIndex = row.InterfaceIndex;
        best.gateway = AddressText(row.NextHop);
        bestMetric = metric;
      }
    }
    return best;
  }

 private:
  PMIB_IPFORWARD_TABLE2 table_ = nullptr;
  DWORD error_ = 0;
};

ULONG TunnelInterfaceIndex() {
  NET_LUID luid{};
  NET_IFINDEX index = 0;
  if (ConvertInterfaceAliasToLuid(L"Quorvel", &luid) != NO_ERROR) return 0;
  return ConvertInterfaceLuidToIndex(&luid, &index) == NO_ERROR ? index : 0;
}

template <typename Done>
bool WaitUntil(Done done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(100);
  }
  return true;
}

bool RouteExists(const std::string& prefix) { return !SystemRoutes().To(prefix).empty(); }

// A configuration the tool accepts and whose peer never answers: fresh
// keys, a peer on this machine's discard port.
std::string QuietConfiguration() {
  unsigned char keys[64];
  BCryptGenRandom(nullptr, keys, sizeof(keys), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  const std::string privateKey = ToBase64(std::string(reinterpret_cast<char*>(keys), 32));
  const std::string peerKey = ToBase64(std::string(reinterpret_cast<char*>(keys) + 32, 32));
  return "[Interface]\nPrivateKey = " + privateKey + "\nAddress = " + kTunnelAddress +
         "/32, fd00:cafe::2/128\n\n[Peer]\nPublicKey = " + peerKey +
         "\nEndpoint = 127.0.0.1:9\nAllowedIPs = " + kAllowedIPs + "\n";
}

std::wstring ThisProgram() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

std::wstring DirectoryOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// A copy of this program under another name, started to reach addresses;
// it holds its sockets until its input closes.
class Reacher {
 public:
  Reacher(const std::wstring& name, const std::string& udp, const std::string& tcp) {
    path_ = DirectoryOf(ThisProgram()) + L"\\" + name;
    if (!CopyFileW(ThisProgram().c_str(), path_.c_str(), FALSE)) return;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &input_, &inherit, 0)) return;
    if (!CreatePipe(&output_, &childOut, &inherit, 0)) {
      CloseHandle(childIn);
      return;
    }
    SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childOut;
    std::wstring command = L"\"" + path_ + L"\" --reach " + Utf8ToWide(udp) + L" " + Utf8ToWide(tcp);
    PROCESS_INFORMATION process{};
    if (CreateProcessW(path_.c_str(), command.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                       nullptr, nullptr, &startup, &process)) {
      process_ = process.hProcess;
      CloseHandle(process.hThread);
      pid_ = process.dwProcessId;
    }
    CloseHandle(childIn);
    CloseHandle(childOut);
    // "ready" once both sockets have tried.
    char line[64] = "";
    DWORD got = 0;
    ready_ = process_ && ReadFile(output_, line, sizeof(line) - 1, &got, nullptr) &&
             std::strncmp(line, "ready", 5) == 0;
  }
  ~Reacher() {
    Close();
    DeleteFileW(path_.c_str());
  }
  Reacher(const Reacher&) = delete;
  Reacher& operator=(const Reacher&) = delete;

  bool Ready() const { return ready_; }
  DWORD Pid() const { return pid_; }
  // A second TCP connect to the same address, once the first has tried.
  bool ConnectAgain() {
    DWORD written = 0, got = 0;
    char line[64] = "";
    return input_ && WriteFile(input_, "2", 1, &written, nullptr) && written == 1 &&
           ReadFile(output_, line, sizeof(line) - 1, &got, nullptr) &&
           std::strncmp(line, "again", 5) == 0;
  }
  // Its sockets close with it.
  void Close() {
    if (input_) CloseHandle(input_);
    input_ = nullptr;
    if (process_) {
      if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
      CloseHandle(process_);
    }
    process_ = nullptr;
    if (output_) CloseHandle(output_);
    output_ = nullptr;
  }

 private:
  std::wstring path_;
  HANDLE input_ = nullptr, output_ = nullptr, process_ = nullptr;
  DWORD pid_ = 0;
  bool ready_ = false;
};

// The child's part: a UDP socket that sends once and a TCP connect that
// never completes, both held until the parent closes our input; each "2"
// read from it makes one more TCP connect to the same address.
int Reach(const wchar_t* udp, const wchar_t* tcp) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  const auto target = [](const wchar_t* address) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    InetPtonW(AF_INET, address, &to.sin_addr);
    return to;
  };
  SOCKET datagram = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in to = target(udp);
  connect(datagram, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  send(datagram, "q", 1, 0);
  to = target(tcp);
  std::vector<SOCKET> streams;
  const auto connectStream = [&] {
    SOCKET stream = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    ioctlsocket(stream, FIONBIO, &nonBlocking);
    connect(stream, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    streams.push_back(stream);
  };
  connectStream();
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, nullptr);
  char byte;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got) {
    if (byte != '2') continue;
    connectStream();
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "again\n", 6, &written, nullptr);
  }
  for (const SOCKET stream : streams) closesocket(stream);
  closesocket(datagram);
  return 0;
}

// The TCP connects to one address as WinDivert's socket layer reports them,
// by a sniffing handle of the check's own on the WinDivert beside the
// service: what the helper's sniffer sees of them.
class ConnectWatch {
 public:
  ConnectWatch(const std::wstring& serviceDirectory, const std::string& remote) {
    const HMODULE module = LoadLibraryExW((serviceDirectory + L"\\WinDivert.dll").c_str(), nullptr,
                                          LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
      error_ = "WinDivert.dll not loaded: error " + std::to_string(GetLastError());
      return;
    }
    const auto entry = [&](const char* name) {
      return reinterpret_cast<void*>(GetProcAddress(module, name));
    };
    const auto open = reinterpret_cast<WinDivertOpenFn>(entry("WinDivertOpen"));
    recv_ = reinterpret_cast<WinDivertRecvFn>(entry("WinDivertRecv"));
    shutdown_ = reinterpret_cast<WinDivertShutdownFn>(entry("WinDivertShutdown"));
    close_ = reinterpret_cast<WinDivertCloseFn>(entry("WinDivertClose"));
    // Without the shutdown a blocked receive could not be ended.
    if (!open || !recv_ || !shutdown_ || !close_) {
      error_ = "WinDivert.dll lacks WinDivertOpen, Recv, Shutdown or Close";
      return;
    }
    const std::string filter = "event == CONNECT and tcp and remoteAddr == " + remote;
    handle_ = open(filter.c_str(), kWinDivertLayerSocket, 0,
                   kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
    if (handle_ == INVALID_HANDLE_VALUE) {
      error_ = "WinDivertOpen: error " + std::to_string(GetLastError());
      handle_ = nullptr;
      return;
    }
    thread_ = std::thread([this] { Receive(); });
  }
  ~ConnectWatch() { Stop(); }
  ConnectWatch(const ConnectWatch&) = delete;
  ConnectWatch& operator=(const ConnectWatch&) = delete;

  // Waits up to `timeoutMs` for `count` events, then ends the watch.
  std::vector<WinDivertAddress> Events(size_t count, DWORD timeoutMs) {
    WaitUntil([&] { return Seen() >= count; }, timeoutMs);
    Stop();
    return events_;
  }
  const std::string& Error() const { return error_; }

 private:
  void Receive() {
    for (;;) {
      WinDivertAddress event{};
      if (!recv_(handle_, nullptr, 0, nullptr, &event)) return;
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
    }
  }
  size_t Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  void Stop() {
    if (!handle_) return;
    shutdown_(handle_, kWinDivertShutdownRecv);
    if (thread_.joinable()) thread_.join();
    close_(handle_);
    handle_ = nullptr;
  }

  std::mutex mutex_;
  WinDivertRecvFn recv_ = nullptr;
  WinDivertShutdownFn shutdown_ = nullptr;
  WinDivertCloseFn close_ = nullptr;
  HANDLE handle_ = nullptr;
  std::thread thread_;
  std::vector<WinDivertAddress> events_;
  std::string error_;
};

// A socket event's local address as text: IPv4 comes IPv4-mapped.
std::string LocalAddressText(const WinDivertAddress& event, SOCKADDR_INET& address) {
  const uint32_t* words = event.Socket.LocalAddr;
  address = {};
  if (!WinDivertIsIPv6(event) || (words[3] == 0 && words[2] == 0 && words[1] == 0xFFFF)) {
    address.si_family = AF_INET;
    address.Ipv4.sin_addr.s_addr = htonl(words[0]);
  } else {
    address.si_family = AF_INET6;
    for (int word = 0; word < 4; ++word) {
      for (int byte = 0; byte < 4; ++byte) {
        address.Ipv6.sin6_addr.s6_addr[4 * word + byte] =
            static_cast<unsigned char>(words[3 - word] >> (24 - 8 * byte));
      }
    }
  }
  return AddressText(address);
}

// In the test bed: what Windows' WinDivert would report for the child's
// sockets. `tcpMore` ends the TCP connect's line: the listed copy's first
// left from the tunnel's address, as a connect whose route was chosen
// before its host route existed would; its second, a socket of its own,
// from the physical one (the stand-in's default).
void FeedConnects(const Options& options, const Reacher& reacher, const std::string& udp,
                  const std::string& tcp, const std::string& tcpMore = "") {
  if (options.feed.empty()) return;
  const std::string pid = std::to_string(reacher.Pid());
  const std::string lines = (udp.empty() ? "" : "connect v4 " + pid + " " + udp + " udp\n") +
                            "connect v4 " + pid + " " + tcp + " tcp" + tcpMore + "\n";
  HANDLE file = CreateFileW(options.feed.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
  CloseHandle(file);
}

std::wstring ServiceBinaryDirectory(DWORD& error) {
  error = 0;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG) : nullptr;
  std::wstring directory;
  DWORD needed = 0;
  if (service) QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (service && QueryServiceConfigW(service, config, needed, &needed)) {
    std::wstring path = config->lpBinaryPathName;
    if (!path.empty() && path[0] == L'"') path = path.substr(1, path.find(L'"', 1) - 1);
    directory = DirectoryOf(path);
  } else {
    error = GetLastError();
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return directory;
}

// Stops or starts the helper service and waits for the state.
bool DriveService(bool start) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceW(manager, kServiceName,
                             SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
              : nullptr;
  bool done = false;
  if (service) {
    SERVICE_STATUS status{};
    if (start) {
      StartServiceW(service, 0, nullptr);
    } else {
      ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    const DWORD wanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    done = WaitUntil(
        [&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == wanted; },
        120000);
  }
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return done;
}

std::string ReadWhole(const std::wstring& path, bool& found) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  found = file != INVALID_HANDLE_VALUE;
  std::string text;
  if (!found) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// No line but blanks: the helper blanks the lines of routes it took back.
bool JournalEmpty(const Options& options, std::string& detail) {
  bool found = false;
  const std::string text = ReadWhole(options.dataDir + L"\\routes.journal", found);
  for (const char c : text) {
    if (c != ' ' && c != '\r' && c != '\n') {
      detail = "routes.journal still lists routes";
      return false;
    }
  }
  detail = found ? "" : "no routes.journal";
  return true;
}

// Every prefix the check made the helper route, gone from the system.
std::string LeftBehind(const std::vector<std::string>& prefixes) {
  const SystemRoutes routes;
  std::string left;
  for (const std::string& prefix : prefixes) {
    if (!routes.To(prefix).empty()) left += (left.empty() ? "" : ", ") + prefix;
  }
  return left;
}

// The bypass routes as Windows shows them: one row each, on the physical
// interface through its gateway, with the helper's fields.
void CheckBypassRows(Report& report, const PhysicalRoute& physical, const PhysicalRoute& physical6) {
  const SystemRoutes routes;
  for (const char* text : kBypassRoutes) {
    const std::string prefix = text;
    const bool six = prefix.find(':') != std::string::npos;
    const PhysicalRoute& through = six ? physical6 : physical;
    const std::vector<const MIB_IPFORWARD_ROW2*> rows = routes.To(prefix);
    if (!through.present) {
      report.Line(rows.empty(), "bypass route " + prefix,
                  "no physical default route of its family: the route waits for one");
      continue;
    }
    std::string fault;
    if (rows.size() != 1) {
      fault = std::to_string(rows.size()) + " rows";
    } else if (rows[0]->InterfaceIndex != through.ifIndex ||
               AddressText(rows[0]->NextHop) != through.gateway) {
      fault = "on interface " + std::to_string(rows[0]->InterfaceIndex) + " via " +
              AddressText(rows[0]->NextHop);
    } else if (rows[0]->Protocol != kHelperProtocol || rows[0]->Metric != kHelperMetric ||
               rows[0]->Publish) {
      fault = "protocol " + std::to_string(rows[0]->Protocol) + ", metric " +
              std::to_string(rows[0]->Metric) + ", publish " + std::to_string(rows[0]->Publish);
    }
    report.Line(fault.empty(), "bypass route " + prefix + " via the physical gateway",
                fault.empty() ? "interface " + std::to_string(through.ifIndex) + " via " + through.gateway
                              : fault);
  }
}

void CheckPhysicalMatches(Report& report, const std::string& state, ULONG tunnelIndex) {
  const SystemRoutes routes;
  for (const auto& [key, family] : {std::pair<std::string, ADDRESS_FAMILY>{"physical", AF_INET},
                                    std::pair<std::string, ADDRESS_FAMILY>{"physical6", AF_INET6}}) {
    const PhysicalRoute windows = routes.Default(family, tunnelIndex);
    const PhysicalRoute helper = StatePhysical(state, key);
    const bool same = windows.present == helper.present &&
                      (!windows.present || (windows.ifIndex == helper.ifIndex &&
                                            windows.gateway == helper.gateway));
    const auto text = [](const PhysicalRoute& route) {
      return route.present ? std::to_string(route.ifIndex) + " via " + route.gateway
                           : std::string("none");
    };
    report.Line(same, "state's " + key + " route is Windows' default outside the tunnel",
                "Windows " + text(windows) + ", helper " + text(helper));
  }
}

// Facts, not checks: for each of the listed copy's TCP connects, the
// source address its socket event carried, and the interface Windows sends
// from that source by. Whether the first connect's packets could ever leave
// around the tunnel decides whether holding it at the socket layer could
// help.
void PrintConnectSources(const std::vector<WinDivertAddress>& events, const std::string& error,
                         ULONG tunnelIndex, ULONG physicalIndex) {
  if (!error.empty())
    std::printf("      fact: the listed copy's connects not watched: %s\n", error.c_str());
  const char* const which[] = {"first", "second"};
  for (size_t i = 0; i < 2; ++i) {
    if (i >= events.size()) {
      if (error.empty()) std::printf("      fact: no event of its %s TCP connect\n", which[i]);
      continue;
    }
    SOCKADDR_INET source{}, destination{}, chosenSource{};
    const std::string local = LocalAddressText(events[i], source);
    destination.si_family = AF_INET;
    InetPtonA(AF_INET, kListedTcp, &destination.Ipv4.sin_addr);
    MIB_IPFORWARD_ROW2 row{};
    const DWORD rc = GetBestRoute2(nullptr, 0, &source, &destination, 0, &row, &chosenSource);
    std::string leaves = "no route (error " + std::to_string(rc) + ")";
    if (rc == NO_ERROR) {
      leaves = "interface " + std::to_string(row.InterfaceIndex) +
               (row.InterfaceIndex == tunnelIndex     ? " (the tunnel's)"
                : row.InterfaceIndex == physicalIndex ? " (the physical one)"
                                                      : "");
    }
    std::printf(
        "      fact: %s TCP connect to %s: the event's local address %s%s; from it, "
        "packets leave by %s\n",
        which[i], kListedTcp, local.c_str(), local == kTunnelAddress ? " (the tunnel's)" : "",
        leaves.c_str());
  }
  std::fflush(stdout);
}

void CheckSplit(Report& report, const Options& options, const std::wstring& serviceDirectory,
                ULONG tunnelIndex, ULONG physicalIndex) {
  report.Line(Ask("splitapps " + WideToUtf8(kListedName)) == "OK", "splitapps accepted");
  ConnectWatch watch(serviceDirectory, kListedTcp);
  Reacher listed(kListedName, kListedUdp, kListedTcp);
  report.Line(listed.Ready(), "a listed copy of the check ran and connected");
  FeedConnects(options, listed, kListedUdp, kListedTcp, std::string(" local=") + kTunnelAddress);
  for (const char* address : {kListedUdp, kListedTcp}) {
    const std::string prefix = std::string(address) + "/32";
    report.Line(WaitUntil([&] { return RouteExists(prefix); }, 10000),
                std::string("the listed application's connect to ") + address + " made " + prefix);
  }
  // Its route exists now: a second connect to the same address.
  const bool again = listed.ConnectAgain();
  if (again) {
    FeedConnects(options, listed, "", kListedTcp,
                 " ep=" + std::to_string(0x5143000000ull + listed.Pid()));
  }
  report.Line(again, "the listed copy connected to " + std::string(kListedTcp) + " again");
  PrintConnectSources(watch.Events(2, 5000), watch.Error(), tunnelIndex, physicalIndex);
  const std::string afterwards = Ask("state");
  std::printf(
      "      fact: state counts %s first connections through the tunnel; explain %s %ls "
      "says first_connection %s\n",
      JsonField(afterwards, "missed_first_connections").c_str(), kListedTcp, kListedName,
      JsonField(Ask(std::string("explain ") + kListedTcp + " " + WideToUtf8(kListedName)),
                "first_connection")
          .c_str());
  std::fflush(stdout);
  const std::string explained = Ask(std::string("explain ") + kListedUdp);
  report.Line(JsonField(explained, "path") == "physical",
              std::string("explain ") + kListedUdp + " says physical", explained);
  {
    Reacher other(kUnlistedName, kUnlisted, kUnlisted);
    FeedConnects(options, other, kUnlisted, kUnlisted);
    Sleep(2000);  // time enough for a route that should not come
    report.Line(other.Ready() && !RouteExists(std::string(kUnlisted) + "/32"),
                std::string("an unlisted copy's connect to ") + kUnlisted + " made no route");
  }
  if (options.waitIdle) {
    listed.Close();
    std::printf("      waiting up to %lu s for the closed connections' routes to idle out\n",
                kIdleWaitMs / 1000);
    std::fflush(stdout);
    const bool gone = WaitUntil(
        [] {
          return !RouteExists(std::string(kListedUdp) + "/32") &&
                 !RouteExists(std::string(kListedTcp) + "/32");
        },
        kIdleWaitMs);
    report.Line(gone, "closed connections' split routes idled out");
  }
}

// The internet checksum of RFC 1071 over `bytes`, starting from `sum`.
uint16_t InternetChecksum(const std::string& bytes, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum += (static_cast<uint8_t>(bytes[i]) << 8) | static_cast<uint8_t>(bytes[i + 1]);
  }
  if (bytes.size() % 2) sum += static_cast<uint8_t>(bytes.back()) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void PutShort(std::string& bytes, uint16_t value) {
  bytes += static_cast<char>(value >> 8);
  bytes += static_cast<char>(value & 0xFF);
}

// The DNS message of the A question for kCheckDomain, or of its answer
// with kDomainAddress.
std::string DnsMessage(bool answer) {
  std::string dns;
  PutShort(dns, kDnsId);
  // An answer: recursion desired and available, no error; a question:
  // recursion desired.
  PutShort(dns, answer ? 0x8180 : 0x0100);
  PutShort(dns, 1);  // one question
  PutShort(dns, answer ? 1 : 0);
  PutShort(dns, 0);
  PutShort(dns, 0);
  for (size_t start = 0;;) {
    const std::string name = kCheckDomain;
    const size_t dot = name.find('.', start);
    const std::string label = name.substr(start, dot == std::string::npos ? dot : dot - start);
    dns += static_cast<char>(label.size());
    dns += label;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  dns += '\0';
  PutShort(dns, 1);  // A
  PutShort(dns, 1);  // IN
  if (!answer) return dns;
  PutShort(dns, 0xC00C);  // the question's name
  PutShort(dns, 1);
  PutShort(dns, 1);
  PutShort(dns, 0);
  PutShort(dns, 300);  // TTL
  PutShort(dns, 4);
  in_addr address{};
  InetPtonA(AF_INET, kDomainAddress, &address);
  dns.append(reinterpret_cast<const char*>(&address), 4);
  return dns;
}

// An IPv4 packet carrying `payload` over UDP (addresses as the four bytes
// written, ports in host order), checksums and all.
std::string UdpPacket(const in_addr& from, uint16_t fromPort, const in_addr& to, uint16_t toPort,
                      const std::string& payload) {
  const std::string source(reinterpret_cast<const char*>(&from), 4);
  const std::string destination(reinterpret_cast<const char*>(&to), 4);
  std::string udp;
  PutShort(udp, fromPort);
  PutShort(udp, toPort);
  PutShort(udp, static_cast<uint16_t>(8 + payload.size()));
  PutShort(udp, 0);
  udp += payload;
  std::string pseudo = source + destination;
  pseudo += '\0';
  pseudo += static_cast<char>(IPPROTO_UDP);
  PutShort(pseudo, static_cast<uint16_t>(udp.size()));
  uint16_t udpSum = InternetChecksum(pseudo + udp);
  if (udpSum == 0) udpSum = 0xFFFF;
  udp[6] = static_cast<char>(udpSum >> 8);
  udp[7] = static_cast<char>(udpSum & 0xFF);

  std::string ip;
  PutShort(ip, 0x4500);
  PutShort(ip, static_cast<uint16_t>(20 + udp.size()));
  PutShort(ip, kDnsId);
  PutShort(ip, 0);
  PutShort(ip, (64 << 8) | IPPROTO_UDP);
  PutShort(ip, 0);
  ip += source + destination;
  const uint16_t ipSum = InternetChecksum(ip);
  ip[10] = static_cast<char>(ipSum >> 8);
  ip[11] = static_cast<char>(ipSum & 0xFF);
  return ip + udp;
}

// On Windows: the packet handed to the stack as arriving through the
// tunnel's adapter, by the WinDivert beside the service. Empty when it went.
std::string InjectInbound(const std::wstring& serviceDirectory, const std::string& packet,
                          ULONG tunnelIndex) {
  const HMODULE module = LoadLibraryExW((serviceDirectory + L"\\WinDivert.dll").c_str(), nullptr,
                                        LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return "WinDivert.dll not loaded: error " + std::to_string(GetLastError());
  const auto open = reinterpret_cast<WinDivertOpenFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "WinDivertOpen")));
  const auto send = reinterpret_cast<WinDivertSendFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "WinDivertSend")));
  const auto close = reinterpret_cast<WinDivertCloseFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "WinDivertClose")));
  if (!open || !send || !close) return "WinDivert.dll lacks WinDivertOpen, Send or Close";
  // A handle for sending only: its filter takes nothing.
  const HANDLE handle = open("false", kWinDivertLayerNetwork, kInjectPriority, 0);
  if (handle == INVALID_HANDLE_VALUE) return "WinDivertOpen: error " + std::to_string(GetLastError());
  WinDivertAddress address{};
  // Network layer, inbound; the IPv4 and UDP checksums are valid (bits 21
  // and 23); Network.IfIdx at byte 16, SubIfIdx 0.
  address.Flags = (1u << 21) | (1u << 23);
  std::memcpy(address.Reserved3, &tunnelIndex, sizeof(tunnelIndex));
  UINT sent = 0;
  const bool ok = send(handle, packet.data(), static_cast<UINT>(packet.size()), &sent, &address);
  const DWORD error = GetLastError();
  close(handle);
  return ok ? "" : "WinDivertSend: error " + std::to_string(error);
}

// In the test bed: the stand-in's journal has its DNS hold's handle send the
// answer on.
bool StandinSentAnswer(const Options& options) {
  const std::wstring journal = DirectoryOf(options.feed) + L"\\windivert-journal.txt";
  char id[16];
  std::snprintf(id, sizeof(id), " dnsid=%04x ", kDnsId);
  return WaitUntil(
      [&] {
        bool found = false;
        return ReadWhole(journal, found).find(id) != std::string::npos;
      },
      5000);
}

// bypassdomains: a name resolved through the tunnel's DNS gets its route
// through the physical gateway before the answer reaches whoever asked.
void CheckDomainBypass(Report& report, const Options& options, const std::wstring& serviceDirectory,
                       ULONG tunnelIndex) {
  report.Line(Ask(std::string("bypassdomains ") + kCheckDomain) == "OK", "bypassdomains accepted");
  // The hold opens its handle on a thread of its own, after the reply: in
  // the test bed its journal says when; on Windows it takes a moment.
  if (!options.feed.empty()) {
    const std::wstring journal = DirectoryOf(options.feed) + L"\\windivert-journal.txt";
    WaitUntil(
        [&] {
          bool found = false;
          return ReadWhole(journal, found).find("(inbound and udp.SrcPort == 53") !=
                 std::string::npos;
        },
        5000);
  } else {
    Sleep(2000);
  }
  const std::string prefix = std::string(kDomainAddress) + "/32";
  SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(53);
  InetPtonA(AF_INET, kTunnelDns, &server.sin_addr);
  sockaddr_in local{};
  int localSize = sizeof(local);
  const bool bound = socket != INVALID_SOCKET &&
                     connect(socket, reinterpret_cast<sockaddr*>(&server), sizeof(server)) == 0 &&
                     getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) == 0;
  const std::string answer =
      UdpPacket(server.sin_addr, 53, local.sin_addr, ntohs(local.sin_port), DnsMessage(true));
  std::string detail;
  bool answered = false;
  bool routed = false;
  if (!bound) {
    detail = "no UDP socket towards " + std::string(kTunnelDns);
  } else if (!options.feed.empty()) {
    // The hold acts only on the answer to a question it saw leave: the
    // question first, the answer arriving through the tunnel once it has.
    const auto hex = [](const std::string& bytes) {
      std::string text;
      for (const char c : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", static_cast<uint8_t>(c));
        text += pair;
      }
      return text;
    };
    char after[8];
    std::snprintf(after, sizeof(after), "%04x", kDnsId);
    const std::string line = "packet out " + hex(UdpPacket(local.sin_addr, ntohs(local.sin_port), server.sin_addr, 53,
                                                 DnsMessage(false))) + "\npacket in if=" +
                             std::to_string(tunnelIndex) + " after=" + after + " " + hex(answer) +
                             "\n";
    HANDLE file = CreateFileW(options.feed.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
      WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(file);
    }
    answered = StandinSentAnswer(options);
    routed = answered && RouteExists(prefix);
    detail = answered ? "" : "the DNS hold never sent the answer on";
  } else {
    // The question goes into the tunnel, where nothing answers; the answer
    // comes in as the tunnel's DNS server would send it.
    const std::string question = DnsMessage(false);
    send(socket, question.data(), static_cast<int>(question.size()), 0);
    detail = InjectInbound(serviceDirectory, answer, tunnelIndex);
    if (detail.empty()) {
      DWORD timeoutMs = 5000;
      setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                 sizeof(timeoutMs));
      char reply[512];
      const int got = recv(socket, reply, sizeof(reply), 0);
      // Looked at the moment the answer is there: the route must be already.
      routed = got > 0 && RouteExists(prefix);
      answered = got >= 2 && static_cast<uint8_t>(reply[0]) == (kDnsId >> 8) &&
                 static_cast<uint8_t>(reply[1]) == (kDnsId & 0xFF);
      if (!answered) detail = "no answer within 5 s: error " + std::to_string(WSAGetLastError());
    }
  }
  if (socket != INVALID_SOCKET) closesocket(socket);
  report.Line(answered, std::string("an answer for ") + kCheckDomain + " through the tunnel's DNS came",
              detail);
  report.Line(routed, std::string("its address had ") + prefix + " when the answer came");
  const std::string explained = Ask(std::string("explain ") + kDomainAddress);
  report.Line(JsonField(explained, "domain") == kCheckDomain &&
                  JsonField(explained, "path") == "physical",
              std::string("explain ") + kDomainAddress + " names the domain and says physical",
              explained);
}

int RunChecks(const Options& options) {
  Report report;
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);

  DWORD error = 0;
  const std::wstring directory = ServiceBinaryDirectory(error);
  report.Line(!directory.empty(), "the QuorvelHelper service is installed",
              directory.empty() ? "error " + std::to_string(error) : WideToUtf8(directory));
  if (directory.empty()) return report.Finish();
  const std::wstring fault = CodeDirectoryFault(directory);
  report.Line(fault.empty(), "its directory only administrators can change", WideToUtf8(fault));
  // Each code file keeps the access list it came with: one moved in from a
  // user's folder stays that user's to replace.
  CodeFault file = FirstChangeableCodeFile(directory);
  const std::wstring awg = directory + L"\\awg";
  if (!file.Found() && GetFileAttributesW(awg.c_str()) != INVALID_FILE_ATTRIBUTES) {
    file = FirstChangeableCodeFile(awg);
  }
  report.Line(!file.Found(), "its code files (.exe, .dll, .sys) only administrators can change",
              file.Found() ? WideToUtf8(file.Path + L": " + file.Why) : "");

  report.Line(Ask("ping") == "OK", "ping");
  const std::string status = Ask("status");
  report.Line(status == "RUNNING" || status == "STOPPED", "status", status);
  report.Line(Ask("state").rfind("{", 0) == 0, "state");

  std::vector<std::string> made(std::begin(kBypassRoutes), std::end(kBypassRoutes));
  for (const char* host : {kListedUdp, kListedTcp, kDomainAddress}) {
    made.push_back(std::string(host) + "/32");
  }
  const std::string connect = Ask("connect " + ToBase64(QuietConfiguration()));
  report.Line(connect == "OK", "connect to a peer that never answers", connect);
  report.Line(Ask(std::string("bypassnets ") + kBypassList) == "OK", "bypassnets accepted");
  const std::string state = Ask("state");
  const PhysicalRoute physical = StatePhysical(state, "physical");
  const PhysicalRoute physical6 = StatePhysical(state, "physical6");
  CheckBypassRows(report, physical, physical6);
  const std::string explained = Ask("explain 198.51.100.7");
  report.Line(JsonField(explained, "path") == "physical", "explain 198.51.100.7 says physical",
              explained);
  CheckPhysicalMatches(report, state, TunnelInterfaceIndex());
  CheckSplit(report, options, directory, TunnelInterfaceIndex(), physical.ifIndex);
  CheckDomainBypass(report, options, directory, TunnelInterfaceIndex());

  report.Line(Ask("disconnect") == "OK", "disconnect");
  std::string left = LeftBehind(made);
  report.Line(left.empty(), "disconnect leaves none of the helper's rows", left);
  std::string detail;
  report.Line(JournalEmpty(options, detail), "the journal is empty after disconnect", detail);

  // Across a stop and a start of the service, connected.
  report.Line(Ask("connect " + ToBase64(QuietConfiguration())) == "OK" &&
                  Ask(std::string("bypassnets ") + kBypassList) == "OK",
              "connected again with the bypass list");
  report.Line(DriveService(false), "the service stops");
  left = LeftBehind(made);
  report.Line(left.empty(), "a stopped service leaves none of its rows", left);
  report.Line(JournalEmpty(options, detail), "the journal is empty after the stop", detail);
  report.Line(DriveService(true) && WaitUntil([] { return Ask("ping") == "OK"; }, 30000),
              "the service starts again and answers");
  left = LeftBehind(made);
  report.Line(left.empty(), "the started service made none of the old rows", left);
  report.Line(Ask("disconnect") == "OK" && Ask("bypassnets") == "OK" && Ask("splitapps") == "OK" &&
                  Ask("bypassdomains") == "OK",
              "disconnected, lists emptied");
  return report.Finish();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"--reach") == 0) return Reach(argv[2], argv[3]);
  Options options;
  wchar_t programData[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
  options.dataDir = std::wstring(programData) + L"\\Quorvel";
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    if (argument == L"--wait-idle") {
      options.waitIdle = true;
    } else if (argument == L"--data-dir" && i + 1 < argc) {
      options.dataDir = argv[++i];
    } else if (argument == L"--feed" && i + 1 < argc) {
      options.feed = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: windows_check [--wait-idle] [--data-dir DIR] [--feed FILE]\n"
                   "  run elevated beside an installed QuorvelHelper; it connects a test tunnel,\n"
                   "  replaces the bypass and split lists, and disconnects at the end\n");
      return 2;
    }
  }
  return RunChecks(options);
}

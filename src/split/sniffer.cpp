#include "split/sniffer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <memory>
#include <mutex>

#include "routing/route_table.h"
#include "split/address_scope.h"
#include "split/missed_connections.h"
#include "split/open_connections.h"
#include "split/process_match.h"
#include "split/windivert_abi.h"
#include "split/windivert_library.h"
#include "split/windivert_worker.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/log.h"
#include "support/text.h"

namespace {

constexpr DWORD kFailedReceivePauseMs = 50;

// The sniffer while it runs: started by StartSniffer, ended by StopSniffer,
// whose callers never overlap.
std::unique_ptr<WinDivertWorker> Worker;

// The event's remote IPv4 address in network byte order. The record holds
// it in host byte order; where the library offers its formatter, the address
// goes through its text, which gives the same value.
uint32_t RemoteIPv4(uint32_t hostOrder, WinDivertFormatIPv4Fn format) {
  if (format) {
    char text[22] = {};
    IN_ADDR parsed{};
    if (format(hostOrder, text, sizeof(text)) && inet_pton(AF_INET, text, &parsed) == 1 &&
        parsed.s_addr != 0) {
      return parsed.s_addr;
    }
  }
  return htonl(hostOrder);
}

// One of an event's addresses. An IPv6 address is one 128-bit number in
// host byte order, word 0 its lowest 32 bits; an IPv4 address shows as
// ::ffff:a.b.c.d (an IPv4 socket's in word 0 either way) and is an IPv4 one.
IpAddress EventAddress(const uint32_t (&words)[4], bool ipv6, WinDivertFormatIPv4Fn format) {
  if (!ipv6 || (words[3] == 0 && words[2] == 0 && words[1] == 0xFFFF)) {
    return IpAddress::FromIPv4(RemoteIPv4(words[0], format));
  }
  IpAddress remote{kFamilyIPv6};
  for (int word = 0; word < 4; ++word) {
    for (int byte = 0; byte < 4; ++byte) {
      remote.Bytes[4 * word + byte] = static_cast<uint8_t>(words[3 - word] >> (24 - 8 * byte));
    }
  }
  return remote;
}

// Where an event's socket connects to.
IpAddress RemoteAddress(const WinDivertAddress& event, WinDivertFormatIPv4Fn format) {
  return EventAddress(event.Socket.RemoteAddr, WinDivertIsIPv6(event), format);
}

// What the sniffer thread keeps between events: the list it matched against
// last and what it knows of processes.
struct SnifferContext {
  WinDivertFormatIPv4Fn Format = nullptr;
  ProcessMatcher Matcher;
};

// Published whole by the list command; read without a lock, so an event
// never waits behind a route operation to learn whether it matters.
std::shared_ptr<const SplitAppList> CurrentList() {
  return std::atomic_load(&HelperState.SplitApps);
}

// Said once per application per tunnel: its later misses are only counted.
void NoteFirstConnection(const std::wstring& imagePath, const IpAddress& local,
                         const IpAddress& remote) {
  if (MissedFirstConnections().Note(imagePath, local, remote) ==
      MissedConnections::Verdict::FirstMissOfApp) {
    LogLine(L"first connection of " + FoldedFileName(imagePath) + L" to " + FormatAddress(remote) +
            L" went through the tunnel; later ones go around");
  }
}

void HandleSocketEvent(const WinDivertAddress& event, SnifferContext& context) {
  switch (WinDivertEvent(event)) {
    case kWinDivertEventSocketConnect: {
      // Loopback never leaves the machine (the filter leaves it out where
      // the library can be woken without a connect of the helper's own).
      if (WinDivertIsLoopback(event)) return;
      // Matched before the address is looked at: most connects are of
      // processes not listed.
      std::wstring imagePath;
      if (!context.Matcher.Listed(event.Socket.ProcessId, CurrentList(), &imagePath)) return;
      const IpAddress remote = RemoteAddress(event, context.Format);
      if (!SplitRoutable(remote)) return;
      RouteConnection(event.Socket.EndpointId, event.Socket.ProcessId, remote);
      // The source the connect was given says whether its route came in time.
      NoteFirstConnection(
          imagePath, EventAddress(event.Socket.LocalAddr, WinDivertIsIPv6(event), nullptr), remote);
      return;
    }
    case kWinDivertEventSocketClose:
      // Only an endpoint that was counted has anything to release.
      EndConnection(event.Socket.EndpointId, event.Socket.ProcessId,
                    RemoteAddress(event, context.Format));
      return;
    default:
      return;
  }
}

void SnifferThread(WinDivertWorker& worker) {
  WinDivertLibrary library;
  if (!LoadWinDivert(library, L"per-app split")) return;
  // Sniffing at the socket layer needs the receive-only flag; without the
  // sniff flag the events would be held up instead of observed. Only what
  // is used is queued: every bind, listen, accept and loopback event would
  // take room in the driver's queue, and what does not fit is dropped. A
  // library without WinDivertShutdown is woken by a loopback connect of the
  // helper's own, so there loopback stays in and is skipped here.
  const char* filter = library.Shutdown ? "(event == CONNECT or event == CLOSE) and not loopback"
                                        : "event == CONNECT or event == CLOSE";
  const HANDLE handle =
      library.Open(filter, kWinDivertLayerSocket, 0, kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LogLine(L"WinDivertOpen failed err=" + std::to_wstring(error));
    return;
  }
  LogLine(L"WinDivert socket sniffer started");
  // The longest queue, kept the longest, for the moments the thread waits
  // behind a network move or a list change.
  if (library.SetParam) {
    library.SetParam(handle, kWinDivertParamQueueLength, kWinDivertQueueLengthMax);
    library.SetParam(handle, kWinDivertParamQueueTime, kWinDivertQueueTimeMaxMs);
  }
  uint64_t length = 0, timeMs = 0;
  if (library.GetParam && library.GetParam(handle, kWinDivertParamQueueLength, &length) &&
      library.GetParam(handle, kWinDivertParamQueueTime, &timeMs)) {
    LogLine(L"WinDivert queue: " + std::to_wstring(length) + L" events, " +
            std::to_wstring(timeMs) + L" ms");
  }
  worker.Publish(handle, library.Shutdown);
  SnifferContext context;
  context.Format = library.FormatIPv4;
  // Connections opened before now were never seen connecting.
  RouteOpenConnections(CurrentList(), context.Matcher);
  while (worker.Running()) {
    WinDivertAddress event{};
    UINT received = 0;
    if (!library.Recv(handle, nullptr, 0, &received, &event)) {
      if (!worker.Running()) break;
      Sleep(kFailedReceivePauseMs);
      continue;
    }
    // An event that arrives after the stop was asked for (such as the stop's
    // own wake-up connect) is not acted on: no route may follow a stop.
    if (!worker.Running()) break;
    HandleSocketEvent(event, context);
  }
  // Withdrawn first, so that a stop never shuts down a closed handle.
  worker.Withdraw(handle);
  library.Close(handle);
  LogLine(L"WinDivert sniffer stopped");
}

struct SocketTraits {
  using Type = SOCKET;
  static Type Invalid() noexcept { return INVALID_SOCKET; }
  static void Close(Type s) noexcept { closesocket(s); }
};
using UniqueSocket = UniqueResource<SocketTraits>;

// A connect of the helper's own that the sniffer sees as a socket event: a
// UDP socket bound to loopback and connected to itself sends nothing. It
// stays open until the sniffer thread has been joined.
UniqueSocket LoopbackConnect() {
  UniqueSocket wake(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!wake) return wake;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (bind(wake.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(wake.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(wake.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    wake.reset();
  }
  return wake;
}

}  // namespace

void StartSniffer() {
  if (Worker) return;
  Worker = std::make_unique<WinDivertWorker>(SnifferThread);
  if (!Worker->Started()) {
    // Left startable: the next connect or list change tries again.
    LogLine(L"WinDivert sniffer thread not started err=" + std::to_wstring(Worker->StartError()));
    Worker.reset();
  }
}

void StopSniffer() {
  if (!Worker) return;
  // The receive blocks until the next socket event anywhere on the machine,
  // which may be long in coming. The library's shutdown ends it at once; a
  // library without one is woken by a connect of the helper's own, open
  // until the thread has been joined.
  if (Worker->RequestStop()) {
    WSADATA winsock;
    const bool winsockUp = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
    {
      UniqueSocket wake = LoopbackConnect();
      Worker->Join();
    }
    if (winsockUp) WSACleanup();
  }
  Worker.reset();
  ForgetConnections();
  ClearSplitHostRoutes();
}

bool SnifferHandleOpen() { return Worker && Worker->AnyPublished(); }

void SplitListChanged() {
  // A sniffer that has not opened its handle yet looks when it has.
  if (!SnifferHandleOpen()) return;
  ProcessMatcher matcher;
  RouteOpenConnections(CurrentList(), matcher);
}

std::wstring ProcessImageName(uint32_t processId) {
  ProcessFacts facts;
  return ReadProcessFacts(processId, FactsWanted::Image, facts) ? FoldedFileName(facts.ImagePath)
                                                                : std::wstring();
}

// WinDivert.dll stand-in: test-bed only, never shipped.
//
// The real library needs a kernel driver that Wine does not have. This one
// takes the same calls at the socket layer (WinDivert 2 signatures) and
// hands out socket events that tests feed it: through WinDivertStandinFeed or
// WinDivertStandinFeedLine in process, or as lines appended to
// windivert-feed.txt beside the DLL from another process. Like the real driver
// it also reports connects that nobody fed: every UDP socket of the host that
// becomes connected to 127.0.0.1 while a receive waits, which is how the
// helper wakes its own receive where the library has no WinDivertShutdown.
//
// Builds: WINDIVERT_STANDIN_NO_RECV, _NO_FORMAT and _NO_SHUTDOWN each leave out
// one export, so tests can check how the helper copes with an incomplete
// library. The files beside the DLL are described in testbed/README.md.
#include "windivert_standin.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "windivert_standin_files.h"
#include "windivert_standin_filter.h"

#if defined(WINDIVERT_STANDIN_NO_RECV)
#define WINDIVERT_STANDIN_VARIANT "norecv"
#elif defined(WINDIVERT_STANDIN_NO_FORMAT)
#define WINDIVERT_STANDIN_VARIANT "noformat"
#elif defined(WINDIVERT_STANDIN_NO_SHUTDOWN)
#define WINDIVERT_STANDIN_VARIANT "noshutdown"
#else
#define WINDIVERT_STANDIN_VARIANT "full"
#endif

namespace {

// WINDIVERT_ADDRESS is written by byte offset, so nothing here depends on how
// a compiler would lay out its bit-fields and unions.
constexpr size_t kAddressSize = 80;
constexpr size_t kTimestampOffset = 0;  // the performance counter when the driver took it
constexpr size_t kFlagsOffset = 8;  // Layer 0-7, Event 8-15, Sniffed 16, Outbound 17, ...
constexpr size_t kEndpointIdOffset = 16;
constexpr size_t kParentEndpointIdOffset = 24;
constexpr size_t kProcessIdOffset = 32;
constexpr size_t kLocalAddrOffset = 36;
constexpr size_t kRemoteAddrOffset = 52;
constexpr size_t kLocalPortOffset = 68;
constexpr size_t kRemotePortOffset = 70;
constexpr size_t kProtocolOffset = 72;
static_assert(kProtocolOffset < kAddressSize, "socket data lies inside the record");

constexpr UINT32 kLayerNetwork = 0;
constexpr UINT32 kLayerSocket = 3;
constexpr size_t kNetworkIfIdxOffset = 16;  // Network.IfIdx: the interface a packet came on
constexpr UINT32 kFedPacketInterface = 7;
constexpr UINT32 kSniffedBit = 1u << 16;
constexpr UINT32 kOutboundBit = 1u << 17;
constexpr UINT32 kLoopbackBit = 1u << 18;
constexpr UINT32 kIPv6Bit = 1u << 20;
constexpr UINT64 kFlagSniff = 1;
constexpr UINT64 kFlagRecvOnly = 4;

[[maybe_unused]] constexpr int kShutdownRecv = 1;
[[maybe_unused]] constexpr int kShutdownBoth = 3;

// A waiting receive looks at the feed file and at the host's UDP table once
// a tick (about 1-2% of a core under Wine); an event queued in process wakes
// it at once.
constexpr auto kPollTick = std::chrono::milliseconds(10);

using Clock = std::chrono::steady_clock;

// WinDivert's queue: at most QUEUE_LENGTH events (32 to 16384, 4096 by
// default), none kept longer than QUEUE_TIME (100 to 16000 ms, 2000 by
// default); what does not fit, or waits longer, is dropped.
constexpr UINT64 kParamQueueLength = 0, kParamQueueTime = 1, kParamQueueSize = 2;
constexpr UINT64 kQueueLengthMin = 32, kQueueLengthMax = 16384, kQueueLengthDefault = 4096;
constexpr UINT64 kQueueTimeMin = 100, kQueueTimeMax = 16000, kQueueTimeDefault = 2000;
constexpr UINT64 kQueueSizeMin = 65535, kQueueSizeMax = 33554432, kQueueSizeDefault = 4194304;

struct Queued {
  SocketEvent event;
  Clock::time_point at;
  LONGLONG captured = 0;  // QueryPerformanceCounter's value at `at`
};

struct Session {
  HANDLE value = nullptr;
  UINT32 layer = kLayerSocket;  // the network layer queues fed packets, the socket layer events
  UINT64 flags = 0;             // as opened: sniffing, receive only
  std::shared_ptr<const SocketFilter> filter;
  UINT64 queueLength = kQueueLengthDefault;
  UINT64 queueTimeMs = kQueueTimeDefault;
  UINT64 queueSize = kQueueSizeDefault;
  UINT64 dropped = 0;
  std::deque<Queued> queue;
  bool closed = false;
  bool recvShutdown = false;
  int waiting = 0;       // receives blocked on the empty queue
  bool polling = false;  // one receive at a time reads the files for this handle
  // Touched only by the receive that holds `polling`, or before the session
  // is published.
  FeedCursor feed;
  bool udpReadable = false;
  std::unordered_set<UINT64> udpConnectedToLoopback;
};

struct State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE queueChanged = CONDITION_VARIABLE_INIT;
  CONDITION_VARIABLE idleChanged = CONDITION_VARIABLE_INIT;
  std::vector<std::shared_ptr<Session>> open;  // in the order they were opened
  UINT64 handlesOpened = 0;
  // A UDP endpoint's remotes so far (address and port) and its last one: a
  // CONNECT comes once for each new remote, and the CLOSE of the endpoint
  // carries the last, then a second CLOSE follows with a zero remote when
  // its resources are released.
  struct UdpEndpoint {
    std::unordered_set<std::string> remotes;
    SocketEvent last;
  };
  std::unordered_map<UINT64, UdpEndpoint> udp;
};

// Never destroyed: a receive may still be blocked in it when the process
// exits and the runtime runs its destructors.
State& Shared() {
  static State* state = new State;
  return *state;
}

class Locked {
 public:
  Locked() { AcquireSRWLockExclusive(&Shared().lock); }
  ~Locked() { ReleaseSRWLockExclusive(&Shared().lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Under the lock.
std::shared_ptr<Session> FindOpen(HANDLE handle) {
  for (const auto& session : Shared().open) {
    if (session->value == handle) return session;
  }
  return nullptr;
}

bool IsLoopback(const SocketEvent& event) {
  const UINT32* a = event.remoteAddr;
  if (!event.ipv6) return (a[0] >> 24) == 127;
  const bool v6Loopback = a[0] == 1 && a[1] == 0 && a[2] == 0 && a[3] == 0;
  const bool v4Mapped = a[1] == 0xFFFF && a[2] == 0 && a[3] == 0 && (a[0] >> 24) == 127;
  return v6Loopback || v4Mapped;
}

// An endpoint for an event fed without one: the same for the same process,
// family, protocol and remote, so that a close finds its connect's.
UINT64 DerivedEndpoint(const SocketEvent& event) {
  UINT64 hash = 1469598103934665603ull;
  const auto mix = [&hash](UINT64 value) { hash = (hash ^ value) * 1099511628211ull; };
  mix(event.processId);
  mix(event.ipv6);
  mix(event.protocol);
  for (UINT32 word : event.remoteAddr) mix(word);
  mix(event.remotePort);
  return hash | 1;
}

std::string RemoteKey(const SocketEvent& event) {
  std::string key(reinterpret_cast<const char*>(event.remoteAddr), sizeof(event.remoteAddr));
  key.append(reinterpret_cast<const char*>(&event.remotePort), sizeof(event.remotePort));
  return key;
}

// What the socket layer reports for one fed event (under the lock): UDP
// connects to a remote the endpoint has had already report nothing; a UDP
// close reports the endpoint's last remote, then a zero one.
std::vector<SocketEvent> AsTheSocketLayerReports(SocketEvent event) {
  State& state = Shared();
  constexpr UINT8 kEventClose = 7;
  std::vector<SocketEvent> reported;
  if (event.protocol != kProtocolUdp || (event.event != kEventConnect && event.event != kEventClose)) {
    if (event.endpointId == 0) event.endpointId = DerivedEndpoint(event);
    reported.push_back(event);
    return reported;
  }
  if (event.endpointId == 0) {
    SocketEvent keyed = event;
    keyed.event = kEventConnect;
    event.endpointId = DerivedEndpoint(keyed);
  }
  if (event.event == kEventConnect) {
    State::UdpEndpoint& endpoint = state.udp[event.endpointId];
    if (!endpoint.remotes.insert(RemoteKey(event)).second) return reported;
    endpoint.last = event;
    reported.push_back(event);
    return reported;
  }
  const auto known = state.udp.find(event.endpointId);
  if (known != state.udp.end()) {
    std::memcpy(event.remoteAddr, known->second.last.remoteAddr, sizeof(event.remoteAddr));
    event.remotePort = known->second.last.remotePort;
    state.udp.erase(known);
  }
  reported.push_back(event);
  std::memset(event.remoteAddr, 0, sizeof(event.remoteAddr));
  event.remotePort = 0;
  reported.push_back(event);
  return reported;
}

// Into a session's queue, as the driver does: what its filter passes, while
// the queue has room (under the lock).
void Admit(Session& session, const std::vector<SocketEvent>& events) {
  const Clock::time_point now = Clock::now();
  LARGE_INTEGER captured{};
  QueryPerformanceCounter(&captured);
  for (const SocketEvent& fed : events) {
    if (fed.isPacket != (session.layer == kLayerNetwork)) continue;  // another layer's
    const std::vector<SocketEvent> reported =
        fed.isPacket ? std::vector<SocketEvent>{fed} : AsTheSocketLayerReports(fed);
    for (const SocketEvent& event : reported) {
      const bool loopback = event.isPacket ? event.loopback : IsLoopback(event);
      if (session.filter && !FilterPasses(*session.filter, event, loopback)) continue;
      if (session.queue.size() >= session.queueLength) {
        ++session.dropped;
        continue;
      }
      session.queue.push_back({event, now, captured.QuadPart});
    }
  }
}

void WriteRecord(const SocketEvent& event, LONGLONG captured, UINT64 sessionFlags,
                 void* address) {
  unsigned char* record = static_cast<unsigned char*>(address);
  std::memset(record, 0, kAddressSize);
  std::memcpy(record + kTimestampOffset, &captured, sizeof(captured));
  if (event.isPacket) {
    // Diverted unless the handle sniffs: then a copy, the packet went on.
    UINT32 flags = kLayerNetwork;
    if (sessionFlags & kFlagSniff) flags |= kSniffedBit;
    if (event.outbound) flags |= kOutboundBit;
    if (event.loopback) flags |= kLoopbackBit;
    if (!event.bytes.empty() && (static_cast<unsigned char>(event.bytes[0]) >> 4) == 6) {
      flags |= kIPv6Bit;
    }
    std::memcpy(record + kFlagsOffset, &flags, sizeof(flags));
    std::memcpy(record + kNetworkIfIdxOffset, &kFedPacketInterface, sizeof(kFedPacketInterface));
    return;
  }
  UINT32 flags = kLayerSocket | (UINT32{event.event} << 8) | kSniffedBit;
  if (event.event == kEventConnect) flags |= kOutboundBit;
  if (IsLoopback(event)) flags |= kLoopbackBit;
  if (event.ipv6) flags |= kIPv6Bit;
  const UINT64 parentEndpointId = 0;
  std::memcpy(record + kFlagsOffset, &flags, sizeof(flags));
  std::memcpy(record + kEndpointIdOffset, &event.endpointId, sizeof(event.endpointId));
  std::memcpy(record + kParentEndpointIdOffset, &parentEndpointId, sizeof(parentEndpointId));
  std::memcpy(record + kProcessIdOffset, &event.processId, sizeof(event.processId));
  std::memcpy(record + kLocalAddrOffset, event.localAddr, sizeof(event.localAddr));
  std::memcpy(record + kRemoteAddrOffset, event.remoteAddr, sizeof(event.remoteAddr));
  std::memcpy(record + kLocalPortOffset, &event.localPort, sizeof(event.localPort));
  std::memcpy(record + kRemotePortOffset, &event.remotePort, sizeof(event.remotePort));
  std::memcpy(record + kProtocolOffset, &event.protocol, sizeof(event.protocol));
}

bool ConnectedToLoopback(const UdpSocket& socket) {
  return socket.inode != 0 && socket.remoteHostOrder == kLoopbackHostOrder;
}

// A UDP socket connected to 127.0.0.1 that was not so at the last look is a
// connect of this process as far as the helper can tell: the host's table
// does not say which Windows process holds a socket.
void CollectUdpConnects(Session* session, std::vector<SocketEvent>* events) {
  std::vector<UdpSocket> table;
  if (!ReadUdpTable(&table)) return;
  std::unordered_set<UINT64> now;
  for (const UdpSocket& socket : table) {
    if (!ConnectedToLoopback(socket)) continue;
    now.insert(socket.inode);
    if (session->udpConnectedToLoopback.count(socket.inode)) continue;
    SocketEvent event;
    event.event = kEventConnect;
    event.processId = GetCurrentProcessId();
    event.localAddr[0] = socket.localHostOrder;
    event.remoteAddr[0] = socket.remoteHostOrder;
    event.localPort = socket.localPort;
    event.remotePort = socket.remotePort;
    event.protocol = kProtocolUdp;
    events->push_back(event);
  }
  // Forgetting closed sockets lets a reused inode count as new again.
  session->udpConnectedToLoopback = std::move(now);
}

// The receive that holds `session->polling` reads the files without the lock.
void Poll(Session* session, std::vector<SocketEvent>* events) {
  ReadNewFeedLines(&session->feed, events);
  if (session->layer == kLayerSocket && session->udpReadable) CollectUdpConnects(session, events);
}

// Nothing queued anywhere, and every handle that may still receive is back
// in its receive: whatever was fed has been handled.
bool IdleLocked() {
  const State& state = Shared();
  for (const auto& session : state.open) {
    if (!session->queue.empty()) return false;
    if (session->waiting == 0 && !session->recvShutdown) return false;
  }
  return true;
}

// Unused in the build without WinDivertRecv, which must still compile clean.
[[maybe_unused]] BOOL Receive(HANDLE handle, void* packet, UINT packetLength, UINT* recvLength,
                              void* address) {
  if (recvLength) *recvLength = 0;
  State& state = Shared();
  SocketEvent event;
  LONGLONG captured = 0;
  DWORD error = ERROR_SUCCESS;
  UINT64 sessionFlags = 0;
  {
    Locked lock;
    const std::shared_ptr<Session> session = FindOpen(handle);
    if (!session) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    sessionFlags = session->flags;
    bool waiting = false;
    Clock::time_point lastPoll = Clock::now();
    for (;;) {
      if (session->closed) {
        error = ERROR_INVALID_HANDLE;
        break;
      }
      if (!session->queue.empty()) {
        const Queued front = session->queue.front();
        session->queue.pop_front();
        if (Clock::now() - front.at > std::chrono::milliseconds(session->queueTimeMs)) {
          ++session->dropped;  // waited longer than the queue keeps events
          WakeAllConditionVariable(&state.idleChanged);
          continue;
        }
        event = front.event;
        captured = front.captured;
        break;
      }
      if (session->recvShutdown) {
        error = ERROR_NO_DATA;
        break;
      }
      if (!waiting) {
        waiting = true;
        ++session->waiting;
        WakeAllConditionVariable(&state.idleChanged);
      }
      const Clock::time_point now = Clock::now();
      if (now - lastPoll >= kPollTick && !session->polling) {
        lastPoll = now;
        session->polling = true;
        std::vector<SocketEvent> found;
        ReleaseSRWLockExclusive(&state.lock);
        Poll(session.get(), &found);
        AcquireSRWLockExclusive(&state.lock);
        session->polling = false;
        if (!session->closed && !session->recvShutdown) Admit(*session, found);
        if (!found.empty()) WakeAllConditionVariable(&state.queueChanged);
        continue;
      }
      SleepConditionVariableSRW(&state.queueChanged, &state.lock,
                                static_cast<DWORD>(kPollTick.count()), 0);
    }
    if (waiting) --session->waiting;
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  if (event.isPacket) {
    // As the driver: a packet larger than the buffer is not handed out.
    if (!packet || packetLength < event.bytes.size()) {
      Journal("recv too-small len=" + std::to_string(event.bytes.size()));
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(packet, event.bytes.data(), event.bytes.size());
    if (recvLength) *recvLength = static_cast<UINT>(event.bytes.size());
  }
  if (address) WriteRecord(event, captured, sessionFlags, address);
  return TRUE;
}

// Socket events fed in process go to the newest open socket handle, unless
// it was shut down for receive.
void Queue(const std::vector<SocketEvent>& events) {
  Locked lock;
  State& state = Shared();
  for (auto it = state.open.rbegin(); it != state.open.rend(); ++it) {
    if ((*it)->layer != kLayerSocket) continue;
    if (!(*it)->recvShutdown) Admit(**it, events);
    break;
  }
  // Packets reach every network handle whose filter takes them, as the
  // driver hands each handle its own.
  for (const std::shared_ptr<Session>& session : state.open) {
    if (session->layer == kLayerNetwork && !session->recvShutdown) Admit(*session, events);
  }
  WakeAllConditionVariable(&state.queueChanged);
}

std::string OneLine(const char* text) {
  std::string line = text ? text : "";
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return line;
}

}  // namespace

extern "C" {

__declspec(dllexport) HANDLE
    WinDivertOpen(const char* filter, int layer, INT16 priority, UINT64 flags) {
  std::string line = "open filter=\"" + OneLine(filter) + "\" layer=" + std::to_string(layer) +
                     " priority=" + std::to_string(priority) + " flags=" + std::to_string(flags);
  DWORD failure = 0;
  if (ScenarioOpenFailure(&failure)) {
    Journal(line + " rc=err " + std::to_string(failure));
    SetLastError(failure);
    return INVALID_HANDLE_VALUE;
  }

  auto session = std::make_shared<Session>();
  // The socket layer only sniffs; the network layer diverts unless told to
  // sniff. Other layers are not modelled: refused.
  const bool network = layer == static_cast<int>(kLayerNetwork);
  session->layer = network ? kLayerNetwork : kLayerSocket;
  session->flags = flags;
  session->filter = layer == static_cast<int>(kLayerSocket) ? CompileSocketFilter(filter ? filter : "")
                    : network ? CompileNetworkFilter(filter ? filter : "")
                              : nullptr;
  if (!session->filter) {
    Journal(line + " rc=err " + std::to_string(ERROR_INVALID_PARAMETER));
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  session->feed.offset = FeedFileSize();
  std::vector<UdpSocket> table;
  session->udpReadable = ReadUdpTable(&table);
  const DWORD udpError = GetLastError();
  if (session->udpReadable) {
    for (const UdpSocket& socket : table) {
      if (ConnectedToLoopback(socket)) session->udpConnectedToLoopback.insert(socket.inode);
    }
  }
  {
    Locked lock;
    State& state = Shared();
    // Not a kernel handle: a value no other object of the process can have.
    session->value = reinterpret_cast<HANDLE>(0x57D10000 + 4 * ++state.handlesOpened);
    state.open.push_back(session);
    WakeAllConditionVariable(&state.idleChanged);
  }
  if (!session->udpReadable) Journal("udp-table unreadable err=" + std::to_string(udpError));
  Journal(line + " rc=ok");
  return session->value;
}

#ifndef WINDIVERT_STANDIN_NO_RECV
__declspec(dllexport) BOOL WinDivertRecv(HANDLE handle, void* packet, UINT packetLength,
                                         UINT* recvLength, void* address) {
  return Receive(handle, packet, packetLength, recvLength, address);
}
#endif

// A packet sent on: journaled with its DNS id (the first two bytes after a
// UDP header, when there is one) and the machine's performance counter in
// microseconds, as the IP Helper stand-in's journal gives it with
// "journal-times", so a test can tell what came first.
__declspec(dllexport) BOOL WinDivertSend(HANDLE handle, const void* packet, UINT packetLength,
                                         UINT* sendLength, const void* address) {
  if (sendLength) *sendLength = 0;
  {
    Locked lock;
    const std::shared_ptr<Session> session = FindOpen(handle);
    if (!session) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (session->layer != kLayerNetwork || !packet || packetLength == 0 || !address) {
      SetLastError(ERROR_INVALID_PARAMETER);  // the socket layer cannot inject
      return FALSE;
    }
    if (session->flags & kFlagRecvOnly) {
      // A receive-only handle cannot inject: refused, and the packet is not
      // journaled as sent.
      Journal("send refused: receive-only handle");
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
    }
  }
  const auto* p = static_cast<const unsigned char*>(packet);
  const size_t header = (p[0] >> 4) == 6 ? 40 : size_t{p[0] & 0x0Fu} * 4;
  std::string id = "none";
  if (packetLength >= header + 10) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02x%02x", p[header + 8], p[header + 9]);
    id = text;
  }
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  const LONGLONG q = now.QuadPart, f = frequency.QuadPart;
  Journal("send len=" + std::to_string(packetLength) + " dnsid=" + id +
          " t=" + std::to_string(q / f * 1000000 + q % f * 1000000 / f));
  if (sendLength) *sendLength = packetLength;
  return TRUE;
}

#ifndef WINDIVERT_STANDIN_NO_SHUTDOWN
__declspec(dllexport) BOOL WinDivertShutdown(HANDLE handle, int how) {
  {
    Locked lock;
    State& state = Shared();
    const std::shared_ptr<Session> session = FindOpen(handle);
    if (!session) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (how < kShutdownRecv || how > kShutdownBoth) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (how & kShutdownRecv) session->recvShutdown = true;
    WakeAllConditionVariable(&state.queueChanged);
    WakeAllConditionVariable(&state.idleChanged);
  }
  Journal("shutdown how=" + std::to_string(how));
  return TRUE;
}
#endif

__declspec(dllexport) BOOL WinDivertClose(HANDLE handle) {
  UINT64 dropped = 0;
  {
    Locked lock;
    State& state = Shared();
    const std::shared_ptr<Session> session = FindOpen(handle);
    if (!session) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    session->closed = true;
    dropped = session->dropped;
    session->queue.clear();
    for (auto it = state.open.begin(); it != state.open.end(); ++it) {
      if (*it == session) {
        state.open.erase(it);
        break;
      }
    }
    // Receives blocked on this handle still hold the session and see it closed.
    WakeAllConditionVariable(&state.queueChanged);
    WakeAllConditionVariable(&state.idleChanged);
  }
  Journal("close dropped=" + std::to_string(dropped));
  return TRUE;
}

__declspec(dllexport) BOOL WinDivertSetParam(HANDLE handle, int param, UINT64 value) {
  UINT64 low = 0, high = 0;
  switch (param) {
    case kParamQueueLength: low = kQueueLengthMin; high = kQueueLengthMax; break;
    case kParamQueueTime: low = kQueueTimeMin; high = kQueueTimeMax; break;
    case kParamQueueSize: low = kQueueSizeMin; high = kQueueSizeMax; break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  if (value < low || value > high) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    Locked lock;
    const std::shared_ptr<Session> session = FindOpen(handle);
    if (!session) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    (param == kParamQueueLength ? session->queueLength
     : param == kParamQueueTime ? session->queueTimeMs
                                : session->queueSize) = value;
  }
  Journal("set-param " + std::to_string(param) + " " + std::to_string(value));
  return TRUE;
}

__declspec(dllexport) BOOL WinDivertGetParam(HANDLE handle, int param, UINT64* value) {
  Locked lock;
  const std::shared_ptr<Session> session = FindOpen(handle);
  if (!session) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!value || param < 0 || param > 4) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  switch (param) {
    case kParamQueueLength: *value = session->queueLength; break;
    case kParamQueueTime: *value = session->queueTimeMs; break;
    case kParamQueueSize: *value = session->queueSize; break;
    case 3: *value = 2; break;  // the major version the stand-in plays
    default: *value = 2; break;
  }
  return TRUE;
}

#ifndef WINDIVERT_STANDIN_NO_FORMAT
__declspec(dllexport) BOOL
    WinDivertHelperFormatIPv4Address(UINT32 addr, char* buffer, UINT bufLen) {
  const std::string text = std::to_string(addr >> 24) + "." + std::to_string((addr >> 16) & 0xFF) +
                           "." + std::to_string((addr >> 8) & 0xFF) + "." +
                           std::to_string(addr & 0xFF);
  if (bufLen < text.size() + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return TRUE;
}
#endif

__declspec(dllexport) void WinDivertStandinFeed(const WinDivertStandinEvent* events, UINT count) {
  if (!events || count == 0) return;
  std::vector<SocketEvent> queued;
  for (UINT i = 0; i < count; ++i) {
    SocketEvent event;
    event.event = events[i].event;
    event.ipv6 = events[i].ipv6 != 0;
    event.processId = events[i].processId;
    event.remoteAddr[0] = events[i].remoteHostOrder;
    queued.push_back(event);
  }
  Queue(queued);
}

__declspec(dllexport) BOOL WinDivertStandinFeedLine(const char* line) {
  if (!line) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string text = line;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos || text[first] == '#') return TRUE;
  SocketEvent event;
  if (text.find_first_of("\r\n") != std::string::npos || !ParseFeedLine(text, &event)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Queue({event});
  return TRUE;
}

__declspec(dllexport) BOOL WinDivertStandinWaitIdle(DWORD timeoutMs) {
  State& state = Shared();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Locked lock;
  while (!IdleLocked()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
    SleepConditionVariableSRW(&state.idleChanged, &state.lock, static_cast<DWORD>(left), 0);
  }
  return TRUE;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    InitStandinDirectory(instance);
    Journal("load pid=" + std::to_string(GetCurrentProcessId()) +
            " variant=" WINDIVERT_STANDIN_VARIANT);
  }
  return TRUE;
}

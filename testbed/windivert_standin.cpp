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

#include <algorithm>
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
#include "windivert_standin_packets.h"

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
constexpr size_t kNetworkIfIdxOffset = 16;     // Network.IfIdx: the interface a packet came on
constexpr size_t kNetworkSubIfIdxOffset = 20;  // Network.SubIfIdx
constexpr UINT32 kSniffedBit = 1u << 16;
constexpr UINT32 kOutboundBit = 1u << 17;
constexpr UINT32 kLoopbackBit = 1u << 18;
constexpr UINT32 kIPv6Bit = 1u << 20;
constexpr UINT32 kIPChecksumBit = 1u << 21;
constexpr UINT32 kTCPChecksumBit = 1u << 22;
constexpr UINT32 kUDPChecksumBit = 1u << 23;
constexpr UINT64 kFlagSniff = 1;
constexpr UINT64 kFlagDrop = 2;
constexpr UINT64 kFlagRecvOnly = 4;
constexpr UINT64 kFlagSendOnly = 8;
constexpr UINT64 kFlagsKnown = 0x3F;  // and NO_INSTALL 0x10, FRAGMENTS 0x20
// WINDIVERT_PRIORITY_HIGHEST and _LOWEST.
constexpr int kPriorityHighest = 30000;
constexpr int kPriorityLowest = -30000;
constexpr int kAboveEveryPriority = kPriorityHighest + 1;
// Packets handed out and not sent back yet, kept per handle to tell a send
// of one of them (unchanged) from a made-up packet: bounded, so a handle
// that drops what it receives costs nothing growing.
constexpr size_t kHandedOutAtMost = 65536;

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
  // Signalled when its queue gains an event or packet, or the handle is
  // shut down or closed: each handle's receives wake for their own queue
  // only, as each of the driver's handles has its own.
  CONDITION_VARIABLE queueChanged = CONDITION_VARIABLE_INIT;
  UINT32 layer = kLayerSocket;  // the network layer queues fed packets, the socket layer events
  UINT64 flags = 0;             // as opened: sniffing, dropping, receive or send only
  int priority = 0;
  UINT64 serial = 0;  // the order opened: among equal priorities, the older first
  DWORD sendFailure = 0;  // every send fails with it ("send-fail" in the scenario)
  std::shared_ptr<const SocketFilter> filter;
  UINT64 queueLength = kQueueLengthDefault;
  UINT64 queueTimeMs = kQueueTimeDefault;
  UINT64 queueSize = kQueueSizeDefault;
  UINT64 dropped = 0;
  std::deque<Queued> queue;
  bool closed = false;
  bool recvShutdown = false;
  int waiting = 0;       // receives blocked on the empty queue
  // Threads a receive handed a packet or event to that have not come back
  // to receive again: still at work on it, so the handle is not idle.
  std::unordered_set<DWORD> working;
  bool polling = false;  // one receive at a time reads the files for this handle
  // Touched only by the receive that holds `polling`, or before the session
  // is published.
  FeedCursor feed;
  bool udpReadable = false;
  std::unordered_set<UINT64> udpConnectedToLoopback;
  // A diverting network handle's packets handed out and not sent back yet:
  // each one's hash and when the driver took it.
  std::unordered_multimap<UINT64, LONGLONG> handedOut;
};

struct State {
  SRWLOCK lock = SRWLOCK_INIT;
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
  // Every interface a fed packet came on, with its sub-interface: the only
  // ones an inbound injection may name.
  std::unordered_map<UINT32, UINT32> interfaces;
  // Packet lines of the feed file are read once for all network handles
  // (each takes its way through them), by one waiting receive at a time,
  // which touches the cursor without the lock. It starts where the file
  // ends when a network handle opens while none is.
  FeedCursor packetFeed;
  bool packetPolling = false;
  // Replies fed to come only once their requests have left ("after="),
  // and the DNS ids of the outbound packets that have reached the network.
  // Forgotten when the last network handle closes.
  std::vector<SocketEvent> awaiting;
  std::unordered_set<std::string> departed;
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

LONGLONG CounterNow() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// Socket events into a socket handle's queue, as the driver does: what its
// filter passes, while the queue has room (under the lock). A handle opened
// without WINDIVERT_FLAG_SNIFF blocks the events it takes: the application's
// bind or connect fails, which the journal tells.
void Admit(Session& session, const std::vector<SocketEvent>& events) {
  const Clock::time_point now = Clock::now();
  const LONGLONG captured = CounterNow();
  for (const SocketEvent& fed : events) {
    if (fed.isPacket) continue;  // the network layer's
    for (const SocketEvent& event : AsTheSocketLayerReports(fed)) {
      if (session.filter && !FilterPasses(*session.filter, event, IsLoopback(event))) continue;
      if (session.queue.size() >= session.queueLength) {
        ++session.dropped;
        continue;
      }
      session.queue.push_back({event, now, captured});
      WakeConditionVariable(&session.queueChanged);
      if (!(session.flags & kFlagSniff)) {
        Journal("blocked event=" + std::to_string(event.event) + " pid=" +
                std::to_string(event.processId));
      }
    }
  }
}

// A packet's way through the network handles, as WinDivert documents it:
// from the highest priority down (below `below`: a packet a handle sends
// on goes to the handles of lower priority only), the first whose filter
// takes it diverts it and it goes no further until that handle sends it
// on; a sniffing handle takes a copy and the packet goes on at once; a
// dropping one ends it. A handle shut down for receive, or opened to send
// only, takes nothing. Inbound loopback packets are never captured. A
// packet no handle keeps reaches the stack: true then (under the lock).
bool Pass(const SocketEvent& packet, int below, Clock::time_point at, LONGLONG captured) {
  if (packet.loopback && !packet.outbound) return true;
  std::vector<Session*> handles;
  for (const auto& session : Shared().open) {
    if (session->layer == kLayerNetwork && session->priority < below) handles.push_back(session.get());
  }
  std::sort(handles.begin(), handles.end(), [](const Session* a, const Session* b) {
    return a->priority != b->priority ? a->priority > b->priority : a->serial < b->serial;
  });
  for (Session* session : handles) {
    if (session->recvShutdown || (session->flags & kFlagSendOnly)) continue;
    if (!FilterPasses(*session->filter, packet, packet.loopback)) continue;
    const bool sniff = (session->flags & kFlagSniff) != 0;
    if ((session->flags & kFlagDrop) || session->queue.size() >= session->queueLength) {
      ++session->dropped;
      if (sniff) continue;
      return false;
    }
    session->queue.push_back({packet, at, captured});
    // One receive for one packet, as the driver completes one pending
    // receive for each: a handle's other receiving threads sleep on.
    WakeConditionVariable(&session->queueChanged);
    if (!sniff) return false;
  }
  return true;
}

UINT64 MicrosecondsOf(LONGLONG counter);
std::string PacketWords(const SocketEvent& packet, LONGLONG at);
std::vector<std::string> PassFed(const std::vector<SocketEvent>& events);

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
    // As the driver: a checksum is flagged valid only when it is.
    const PacketChecksums valid = ChecksumsOf(event.bytes);
    if (valid.ip) flags |= kIPChecksumBit;
    if (valid.tcp) flags |= kTCPChecksumBit;
    if (valid.udp) flags |= kUDPChecksumBit;
    std::memcpy(record + kFlagsOffset, &flags, sizeof(flags));
    std::memcpy(record + kNetworkIfIdxOffset, &event.ifIdx, sizeof(event.ifIdx));
    std::memcpy(record + kNetworkSubIfIdxOffset, &event.subIfIdx, sizeof(event.subIfIdx));
    return;
  }
  UINT32 flags = kLayerSocket | (UINT32{event.event} << 8);
  if (sessionFlags & kFlagSniff) flags |= kSniffedBit;
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
    event.localAddr[1] = 0x0000FFFF;
    event.remoteAddr[0] = socket.remoteHostOrder;
    event.localPort = socket.localPort;
    event.remotePort = socket.remotePort;
    event.protocol = kProtocolUdp;
    events->push_back(event);
  }
  // Forgetting closed sockets lets a reused inode count as new again.
  session->udpConnectedToLoopback = std::move(now);
}

// The receive that holds `session->polling` reads the files without the
// lock: a socket handle's events (its own cursor; packet lines are the
// network layer's).
void Poll(Session* session, std::vector<SocketEvent>* events) {
  ReadNewFeedLines(&session->feed, events);
  if (session->udpReadable) CollectUdpConnects(session, events);
}

// Nothing queued anywhere, and every handle that may still receive is back
// in its receive: whatever was fed has been handled.
bool IdleLocked() {
  const State& state = Shared();
  for (const auto& session : state.open) {
    if (!session->queue.empty() || !session->working.empty()) return false;
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
    if (session->flags & kFlagSendOnly) {
      // WINDIVERT_FLAG_SEND_ONLY disables receiving; the documentation
      // names no code: the stand-in's choice.
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
    }
    sessionFlags = session->flags;
    // Back to receive: whatever this thread was handed last, it is done with.
    session->working.erase(GetCurrentThreadId());
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
        session->working.insert(GetCurrentThreadId());
        if (event.isPacket && !(session->flags & kFlagSniff)) {
          if (session->handedOut.size() >= kHandedOutAtMost) session->handedOut.clear();
          session->handedOut.emplace(PacketHash(event.bytes), captured);
        }
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
      const bool network = session->layer == kLayerNetwork;
      bool& polling = network ? state.packetPolling : session->polling;
      if (now - lastPoll >= kPollTick && !polling) {
        lastPoll = now;
        polling = true;
        std::vector<SocketEvent> found;
        ReleaseSRWLockExclusive(&state.lock);
        if (network) {
          ReadNewFeedLines(&state.packetFeed, &found);
        } else {
          Poll(session.get(), &found);
        }
        AcquireSRWLockExclusive(&state.lock);
        polling = false;
        if (network) {
          const std::vector<std::string> passed = PassFed(found);
          if (!passed.empty()) {
            ReleaseSRWLockExclusive(&state.lock);
            for (const std::string& line : passed) Journal(line);
            AcquireSRWLockExclusive(&state.lock);
          }
        } else if (!session->closed && !session->recvShutdown) {
          Admit(*session, found);
        }
        continue;
      }
      SleepConditionVariableSRW(&session->queueChanged, &state.lock,
                                static_cast<DWORD>(kPollTick.count()), 0);
    }
    if (waiting) --session->waiting;
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  if (address) WriteRecord(event, captured, sessionFlags, address);
  if (event.isPacket) {
    // As the driver: a packet larger than the buffer is cut to what fits,
    // and the receive fails; what was not copied is gone (a diverted
    // packet comes back only when it is sent).
    const size_t copied = packet ? std::min<size_t>(packetLength, event.bytes.size()) : 0;
    if (copied) std::memcpy(packet, event.bytes.data(), copied);
    if (recvLength) *recvLength = static_cast<UINT>(copied);
    if (copied < event.bytes.size()) {
      Journal("recv too-small len=" + std::to_string(event.bytes.size()) +
              " copied=" + std::to_string(copied));
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
  }
  return TRUE;
}

// Socket events fed in process go to the newest open socket handle, unless
// it was shut down for receive; packets take their way through the network
// handles.
void Queue(const std::vector<SocketEvent>& events) {
  std::vector<std::string> passed;
  {
    Locked lock;
    State& state = Shared();
    for (auto it = state.open.rbegin(); it != state.open.rend(); ++it) {
      if ((*it)->layer != kLayerSocket) continue;
      if (!(*it)->recvShutdown) Admit(**it, events);
      break;
    }
    passed = PassFed(events);
  }
  for (const std::string& line : passed) Journal(line);
}

void Arrive(const SocketEvent& packet, std::vector<std::string>& passed);

// A packet that reached the network on its way out: the replies that
// waited for it arrive now (under the lock).
void Departed(const SocketEvent& packet, std::vector<std::string>& passed) {
  State& state = Shared();
  if (!packet.outbound) return;
  const std::string id = DnsIdOf(packet.bytes);
  if (id == "none") return;
  if (state.departed.size() >= 65536) state.departed.clear();
  state.departed.insert(id);
  std::vector<SocketEvent> replies;
  for (auto it = state.awaiting.begin(); it != state.awaiting.end();) {
    if (it->after == id) {
      replies.push_back(*it);
      it = state.awaiting.erase(it);
    } else {
      ++it;
    }
  }
  for (const SocketEvent& reply : replies) Arrive(reply, passed);
}

// A fed packet arriving (under the lock), or waiting for its request to
// leave first; a "pass ..." line for each that no handle diverted.
void Arrive(const SocketEvent& packet, std::vector<std::string>& passed) {
  State& state = Shared();
  if (!packet.after.empty() && !state.departed.count(packet.after)) {
    state.awaiting.push_back(packet);
    return;
  }
  state.interfaces[packet.ifIdx] = packet.subIfIdx;
  const LONGLONG captured = CounterNow();
  if (Pass(packet, kAboveEveryPriority, Clock::now(), captured)) {
    passed.push_back("pass " + PacketWords(packet, captured));
    Departed(packet, passed);
  }
}

// Fed packets on their way (under the lock): the lines that journal those
// no handle diverted, "pass ...", for the caller to write once it has let
// the lock go.
std::vector<std::string> PassFed(const std::vector<SocketEvent>& events) {
  std::vector<std::string> passed;
  for (const SocketEvent& event : events) {
    if (event.isPacket) Arrive(event, passed);
  }
  return passed;
}

UINT64 MicrosecondsOf(LONGLONG counter) {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  const LONGLONG f = frequency.QuadPart;
  return static_cast<UINT64>(counter / f * 1000000 + counter % f * 1000000 / f);
}

// "dir=in len=<n> dnsid=<hex|none> t=<us>": a packet sent on or re-injected.
std::string PacketWords(const SocketEvent& packet, LONGLONG at) {
  return std::string("dir=") + (packet.outbound ? "out" : "in") +
         " len=" + std::to_string(packet.bytes.size()) + " dnsid=" + DnsIdOf(packet.bytes) +
         " t=" + std::to_string(MicrosecondsOf(at));
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
  const StandinScenario scenario = ReadScenario();
  if (scenario.openFailure != 0) {
    Journal(line + " rc=err " + std::to_string(scenario.openFailure));
    SetLastError(scenario.openFailure);
    return INVALID_HANDLE_VALUE;
  }

  auto session = std::make_shared<Session>();
  // The network layer diverts unless told to sniff; the socket layer must
  // be opened receive-only, and blocks what it takes unless it sniffs.
  // Other layers are not modelled: refused. So are the flag combinations
  // WinDivert calls invalid, unknown flags and priorities out of range.
  const bool network = layer == static_cast<int>(kLayerNetwork);
  const bool socket = layer == static_cast<int>(kLayerSocket);
  session->layer = network ? kLayerNetwork : kLayerSocket;
  session->flags = flags;
  session->priority = priority;
  session->sendFailure = scenario.sendFailure;
  const bool flagsValid = (flags & ~kFlagsKnown) == 0 &&
                          (flags & (kFlagSniff | kFlagDrop)) != (kFlagSniff | kFlagDrop) &&
                          (flags & (kFlagRecvOnly | kFlagSendOnly)) != (kFlagRecvOnly | kFlagSendOnly) &&
                          (!socket || (flags & kFlagRecvOnly));
  const bool priorityValid = priority >= kPriorityLowest && priority <= kPriorityHighest;
  session->filter = socket ? CompileSocketFilter(filter ? filter : "")
                    : network ? CompileNetworkFilter(filter ? filter : "")
                              : nullptr;
  if (!session->filter || !flagsValid || !priorityValid) {
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
    session->serial = state.handlesOpened;
    if (network && std::none_of(state.open.begin(), state.open.end(), [](const auto& other) {
          return other->layer == kLayerNetwork;
        })) {
      state.packetFeed.offset = session->feed.offset;
      state.packetFeed.partial.clear();
    }
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

// A packet sent on, as WinDivert documents injection: an inbound one on the
// interface and sub-interface its address names (one a fed packet came on:
// a zeroed or invented address is refused), every checksum its address
// flags valid right (else refused); the stand-in's own choice of code for
// both, ERROR_INVALID_PARAMETER, since the documentation names none. It
// then goes on to the handles of lower priority. Journaled with its
// direction, its DNS id and the machine's performance counter in
// microseconds (the IP Helper stand-in's "journal-times" clock), so a test
// can tell what came first; "same=yes" when it is, byte for byte, a packet
// this handle received and had not sent yet, and then "held=" the
// microseconds since the driver took it.
__declspec(dllexport) BOOL WinDivertSend(HANDLE handle, const void* packet, UINT packetLength,
                                         UINT* sendLength, const void* address) {
  if (sendLength) *sendLength = 0;
  std::string line;
  std::vector<std::string> passed;  // replies that waited for this packet to leave
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
    if (session->sendFailure != 0) {
      Journal("send refused: send-fail " + std::to_string(session->sendFailure));
      SetLastError(session->sendFailure);
      return FALSE;
    }
    const auto* record = static_cast<const unsigned char*>(address);
    UINT32 flags = 0, ifIdx = 0, subIfIdx = 0;
    std::memcpy(&flags, record + kFlagsOffset, sizeof(flags));
    std::memcpy(&ifIdx, record + kNetworkIfIdxOffset, sizeof(ifIdx));
    std::memcpy(&subIfIdx, record + kNetworkSubIfIdxOffset, sizeof(subIfIdx));
    SocketEvent sent;
    sent.isPacket = true;
    sent.outbound = (flags & kOutboundBit) != 0;
    sent.loopback = (flags & kLoopbackBit) != 0;
    sent.ifIdx = ifIdx;
    sent.subIfIdx = subIfIdx;
    sent.bytes.assign(static_cast<const char*>(packet), packetLength);
    const State& state = Shared();
    const auto known = state.interfaces.find(ifIdx);
    if (!sent.outbound && (known == state.interfaces.end() || known->second != subIfIdx)) {
      Journal("send refused: interface " + std::to_string(ifIdx) + "." +
              std::to_string(subIfIdx) + " unknown");
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const PacketChecksums valid = ChecksumsOf(sent.bytes);
    if (((flags & kIPChecksumBit) && !valid.ip) || ((flags & kTCPChecksumBit) && !valid.tcp) ||
        ((flags & kUDPChecksumBit) && !valid.udp)) {
      Journal("send refused: a checksum flagged valid is not");
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const LONGLONG now = CounterNow();
    line = "send " + PacketWords(sent, now);
    const auto received = session->handedOut.find(PacketHash(sent.bytes));
    if (received != session->handedOut.end()) {
      line += " same=yes held=" + std::to_string(MicrosecondsOf(now - received->second));
      session->handedOut.erase(received);
    } else {
      line += " same=no";
    }
    if (Pass(sent, session->priority, Clock::now(), now)) Departed(sent, passed);
  }
  Journal(line);
  for (const std::string& one : passed) Journal(one);
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
    WakeAllConditionVariable(&session->queueChanged);
    WakeAllConditionVariable(&state.idleChanged);
  }
  Journal("shutdown how=" + std::to_string(how));
  return TRUE;
}
#endif

// What a diverting network handle still had queued goes on to the handles
// of lower priority, as WinDivert 2.2's driver re-injects it when the handle
// closes (journaled "reinject ..." each); what waited past the queue's time
// is dropped, as the driver would have. A sniffing handle's copies and a
// socket handle's events are simply gone.
__declspec(dllexport) BOOL WinDivertClose(HANDLE handle) {
  UINT64 dropped = 0;
  std::vector<std::string> reinjected, passed;
  {
    Locked lock;
    State& state = Shared();
    const std::shared_ptr<Session> session = FindOpen(handle);
    if (!session) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    session->closed = true;
    for (auto it = state.open.begin(); it != state.open.end(); ++it) {
      if (*it == session) {
        state.open.erase(it);
        break;
      }
    }
    const bool diverting = session->layer == kLayerNetwork && !(session->flags & kFlagSniff);
    const Clock::time_point now = Clock::now();
    for (const Queued& queued : session->queue) {
      if (!diverting) continue;
      if (now - queued.at > std::chrono::milliseconds(session->queueTimeMs)) {
        ++session->dropped;
        continue;
      }
      const LONGLONG captured = CounterNow();
      reinjected.push_back("reinject " + PacketWords(queued.event, captured));
      if (Pass(queued.event, session->priority, now, captured)) Departed(queued.event, passed);
    }
    if (std::none_of(state.open.begin(), state.open.end(),
                     [](const auto& other) { return other->layer == kLayerNetwork; })) {
      state.awaiting.clear();
      state.departed.clear();
    }
    dropped = session->dropped;
    session->queue.clear();
    // Receives blocked on this handle still hold the session and see it closed.
    WakeAllConditionVariable(&session->queueChanged);
    WakeAllConditionVariable(&state.idleChanged);
  }
  for (const std::string& line : reinjected) Journal(line);
  for (const std::string& line : passed) Journal(line);
  Journal("close dropped=" + std::to_string(dropped) + " reinjected=" +
          std::to_string(reinjected.size()));
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
    DefaultLocalAddress(&event);
    if (events[i].localHostOrder != 0) event.localAddr[0] = events[i].localHostOrder;
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

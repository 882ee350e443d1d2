// The WinDivert stand-in's network layer against what WinDivert 2.2's
// documentation says of the driver, refusals included: a stand-in that
// accepts more than the real thing lets the helper's mistakes pass. And the
// DNS hold's own filters, as the stand-in applies them: what they take and
// what they leave alone. In-process, against the stand-in beside the test
// programs.
#include "windivert_standin.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns_packets.h"
#include "service_harness.h"
#include "split/dns_filter.h"
#include "split/windivert_abi.h"
#include "split/windivert_library.h"
#include "support/address.h"

namespace {

constexpr uint64_t kFlagDrop = 2;
constexpr uint64_t kFlagSendOnly = 8;
constexpr uint32_t kChecksumBits = 7u << 21;  // IPChecksum, TCPChecksum, UDPChecksum

// The stand-in beside the tests, loaded as the helper loads WinDivert, and
// its test entry points.
struct Library : WinDivertLibrary {
  WinDivertStandinFeedLineFn feedLine = nullptr;
  WinDivertStandinWaitIdleFn waitIdle = nullptr;
};

const Library& Standin() {
  static const Library library = [] {
    Library l;
    if (!LoadWinDivert(l, L"the stand-in's tests")) return l;
    const HMODULE module = GetModuleHandleW(L"WinDivert.dll");
    l.feedLine = reinterpret_cast<WinDivertStandinFeedLineFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertStandinFeedLine")));
    l.waitIdle = reinterpret_cast<WinDivertStandinWaitIdleFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinDivertStandinWaitIdle")));
    return l;
  }();
  return library;
}

struct Received {
  Bytes packet;
  WinDivertAddress address{};
};

// A network-layer handle with a thread that receives what it is given,
// keeps it, and (when told) sends each packet straight back on.
class Handle {
 public:
  Handle(const std::string& filter, int16_t priority, uint64_t flags, bool receive = true,
         bool sendBack = false)
      : sendBack_(sendBack) {
    handle_ = Standin().Open(filter.c_str(), kWinDivertLayerNetwork, priority, flags);
    if (handle_ != INVALID_HANDLE_VALUE && receive) thread_ = std::thread([this] { Run(); });
  }
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  std::vector<Received> Taken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_;
  }
  void Close() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    if (thread_.joinable()) {
      Standin().Shutdown(handle_, kWinDivertShutdownRecv);
      thread_.join();
    }
    Standin().Close(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  void Run() {
    std::vector<uint8_t> buffer(0xFFFF);
    for (;;) {
      Received one;
      UINT length = 0;
      if (!Standin().Recv(handle_, buffer.data(), static_cast<UINT>(buffer.size()), &length,
                          &one.address)) {
        return;
      }
      one.packet.assign(buffer.begin(), buffer.begin() + length);
      if (sendBack_) Standin().Send(handle_, one.packet.data(), length, nullptr, &one.address);
      std::lock_guard<std::mutex> lock(mutex_);
      taken_.push_back(std::move(one));
    }
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  const bool sendBack_;
  std::mutex mutex_;
  std::vector<Received> taken_;
  std::thread thread_;
};

class StandinNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Standin().Open && Standin().Send && Standin().feedLine && Standin().waitIdle)
        << "the WinDivert stand-in beside the tests";
    journalStart_ = ReadLines(BesideTests(L"windivert-journal.txt")).size();
  }
  static void Feed(const char* direction, const Bytes& packet, unsigned interfaceIndex = 0) {
    ASSERT_TRUE(Standin().feedLine(PacketLine(direction, packet, interfaceIndex).c_str()));
  }
  static bool Idle() { return Standin().waitIdle(5000) != FALSE; }
  std::vector<std::string> Journal() const {
    std::vector<std::string> lines = ReadLines(BesideTests(L"windivert-journal.txt"));
    lines.erase(lines.begin(), lines.begin() + std::min(journalStart_, lines.size()));
    return lines;
  }

  size_t journalStart_ = 0;
};

const Bytes kAnswer = Answer(WithId(Response("bank.com", 1, {}), 0x0A01));

}  // namespace

// A packet goes to the highest-priority handle whose filter takes it, and
// to a lower one only once sent on; a sniffing handle gets a copy and the
// packet goes on at once.
TEST_F(StandinNetwork, PacketsTakeTheHandlesInPriorityOrder) {
  Handle low("udp", -5, 0);
  Handle sniff("udp", 5, kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  Handle high("udp", 10, 0);
  Handle other("tcp", 20, 0);
  ASSERT_TRUE(low.Open() && sniff.Open() && high.Open() && other.Open());
  Feed("in", kAnswer);
  ASSERT_TRUE(Idle());
  ASSERT_EQ(high.Taken().size(), 1u);
  EXPECT_EQ(sniff.Taken().size(), 0u) << "went past the handle that diverted it";
  EXPECT_EQ(low.Taken().size(), 0u);
  EXPECT_EQ(other.Taken().size(), 0u);
  const Received held = high.Taken()[0];
  EXPECT_EQ(held.packet, kAnswer);
  ASSERT_TRUE(Standin().Send(high.Get(), held.packet.data(), static_cast<UINT>(held.packet.size()),
                             nullptr, &held.address));
  ASSERT_TRUE(Idle());
  ASSERT_EQ(sniff.Taken().size(), 1u);
  EXPECT_NE(sniff.Taken()[0].address.Flags & (1u << 16), 0u) << "a sniffed copy says so";
  ASSERT_EQ(low.Taken().size(), 1u) << "the copy went on to the lower handle";
  EXPECT_EQ(high.Taken().size(), 1u) << "a packet sent on never comes back to its sender";
  EXPECT_EQ(Count(Journal(), "send dir=in len=" + std::to_string(kAnswer.size()) + " dnsid=0a01"),
            1u);
}

// Closing a diverting handle re-injects what it still held, to the handles
// below it; what waited longer than the queue's time is dropped, as the
// driver drops it, whether a receive or the close finds it.
TEST_F(StandinNetwork, ClosingReinjectsWhatWaitedAndTheQueueTimeDropsTheRest) {
  Handle low("udp", 0, 0);
  ASSERT_TRUE(low.Open());
  {
    // Nothing receives from it (so no wait for idle while it is open): what
    // is fed is in its queue when the feed returns.
    Handle holding("udp", 10, 0, false);
    ASSERT_TRUE(holding.Open());
    for (unsigned id = 1; id <= 3; ++id)
      Feed("in", Answer(WithId(Response("bank.com", 1, {}), id)));
  }
  ASSERT_TRUE(Idle());
  EXPECT_EQ(low.Taken().size(), 3u) << "what the closed handle held is lost";
  EXPECT_EQ(Count(Journal(), "reinject dir=in"), 3u) << "went past the handle that held it";
  EXPECT_EQ(Count(Journal(), "close dropped=0 reinjected=3"), 1u);
  {
    Handle late("udp", 10, 0, false);
    ASSERT_TRUE(late.Open());
    ASSERT_TRUE(Standin().SetParam(late.Get(), kWinDivertParamQueueTime, 100));
    Feed("in", kAnswer);
    Sleep(250);
  }
  ASSERT_TRUE(Idle());
  EXPECT_EQ(Count(Journal(), "close dropped=1 reinjected=0"), 1u);
  EXPECT_EQ(low.Taken().size(), 3u);
}

TEST_F(StandinNetwork, PacketsPastTheQueueTimeAreNeverHandedOut) {
  Handle waiting("udp", 0, 0, false);
  ASSERT_TRUE(Standin().SetParam(waiting.Get(), kWinDivertParamQueueTime, 100));
  Feed("in", kAnswer);
  Sleep(250);
  std::atomic<bool> received{false};
  std::atomic<DWORD> error{0};
  std::thread receiver([&] {
    std::vector<uint8_t> buffer(0xFFFF);
    UINT length = 0;
    WinDivertAddress address{};
    received = Standin().Recv(waiting.Get(), buffer.data(), 0xFFFF, &length, &address) != FALSE;
    error = GetLastError();
  });
  ASSERT_TRUE(Idle());
  Standin().Shutdown(waiting.Get(), kWinDivertShutdownRecv);
  receiver.join();
  EXPECT_FALSE(received) << "handed out after 250 ms in a queue that keeps 100";
  EXPECT_EQ(error.load(), static_cast<DWORD>(ERROR_NO_DATA));
}

// Inbound injection needs the interface and sub-interface the packet came
// on (WinDivertRecv gives them); a zeroed or invented one is refused. A
// checksum flagged valid must be; one not flagged is not looked at.
TEST_F(StandinNetwork, InboundSendsNeedTheirInterfaceAndTheirChecksums) {
  Handle handle("udp", 0, 0);
  ASSERT_TRUE(handle.Open());
  Feed("in", Udp(kServer, kAsker, Response("bank.com", 1, {}), 0x4000, 17, true), 0);
  ASSERT_TRUE(
      Standin().feedLine(("packet in if=30.2 " + PacketLine("in", kAnswer).substr(10)).c_str()));
  ASSERT_TRUE(Idle());
  const std::vector<Received> taken = handle.Taken();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].address.Reserved3[0], 7u) << "Network.IfIdx of a packet fed without one";
  EXPECT_EQ(taken[0].address.Flags & kChecksumBits, (1u << 21) | (1u << 23))
      << "IPChecksum and UDPChecksum, both right";
  uint32_t ifIdx = 0, subIfIdx = 0;
  std::memcpy(&ifIdx, taken[1].address.Reserved3, 4);
  std::memcpy(&subIfIdx, taken[1].address.Reserved3 + 4, 4);
  EXPECT_EQ(ifIdx, 30u);
  EXPECT_EQ(subIfIdx, 2u);
  EXPECT_EQ(taken[1].address.Flags & kChecksumBits, 0u) << "zero checksums are not right ones";

  const auto send = [&](const Bytes& packet, const WinDivertAddress& address) {
    SetLastError(0);
    const BOOL sent = Standin().Send(handle.Get(), packet.data(), static_cast<UINT>(packet.size()),
                                     nullptr, &address);
    return sent ? 0u : GetLastError();
  };
  EXPECT_EQ(send(taken[1].packet, taken[1].address), 0u);
  WinDivertAddress zeroed{};
  EXPECT_EQ(send(kAnswer, zeroed), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  WinDivertAddress invented = taken[1].address;
  invented.Reserved3[0] = 99;
  EXPECT_EQ(send(kAnswer, invented), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  WinDivertAddress otherSub = taken[1].address;
  otherSub.Reserved3[4] = 3;
  EXPECT_EQ(send(kAnswer, otherSub), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  WinDivertAddress outbound{};
  outbound.Flags = kWinDivertOutboundBit;
  EXPECT_EQ(send(Asked(Query("bank.com", 1)), outbound), 0u)
      << "an outbound packet's interface is ignored";

  Bytes changed = taken[0].packet;
  ASSERT_GT(changed.size(), 40u);
  changed[40] ^= 1;  // a byte of the DNS message
  EXPECT_EQ(send(changed, taken[0].address), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  WinDivertAddress unflagged = taken[0].address;
  unflagged.Flags &= ~kChecksumBits;
  EXPECT_EQ(send(changed, unflagged), 0u);
  EXPECT_EQ(send(taken[0].packet, taken[0].address), 0u);
  const std::vector<std::string> journal = Journal();
  EXPECT_EQ(Count(journal, "send refused: interface 0.0 unknown"), 1u);
  EXPECT_EQ(Count(journal, "send refused: interface 99.2 unknown"), 1u);
  EXPECT_EQ(Count(journal, "send refused: a checksum flagged valid is not"), 1u);
  EXPECT_EQ(Count(journal, "same=yes"), 2u) << "the two packets sent back as received";
}

// A receive into a buffer too small copies what fits and fails with
// ERROR_INSUFFICIENT_BUFFER; the rest of the packet is gone.
TEST_F(StandinNetwork, AShortBufferGetsWhatFitsAndAnError) {
  Handle handle("udp", 0, 0, false);
  ASSERT_TRUE(handle.Open());
  Feed("in", kAnswer);
  uint8_t buffer[20] = {};
  UINT length = 99;
  WinDivertAddress address{};
  SetLastError(0);
  EXPECT_FALSE(Standin().Recv(handle.Get(), buffer, sizeof(buffer), &length, &address));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(length, 20u);
  EXPECT_EQ(Bytes(buffer, buffer + 20), Bytes(kAnswer.begin(), kAnswer.begin() + 20));
  EXPECT_EQ(address.Reserved3[0], 7u) << "the address is written all the same";
  EXPECT_EQ(Count(Journal(), "recv too-small len=" + std::to_string(kAnswer.size()) + " copied=20"),
            1u);
}

// WinDivert never captures inbound loopback packets; outbound ones it does.
TEST_F(StandinNetwork, InboundLoopbackIsNeverCaptured) {
  Handle handle("true", 0, kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  ASSERT_TRUE(handle.Open());
  ASSERT_TRUE(
      Standin().feedLine(("packet in loopback " + PacketLine("in", kAnswer).substr(10)).c_str()));
  ASSERT_TRUE(
      Standin().feedLine(("packet out loopback " + PacketLine("in", kAnswer).substr(10)).c_str()));
  ASSERT_TRUE(Idle());
  ASSERT_EQ(handle.Taken().size(), 1u);
  EXPECT_NE(handle.Taken()[0].address.Flags & kWinDivertOutboundBit, 0u);
}

// What WinDivertOpen refuses with ERROR_INVALID_PARAMETER: the socket layer
// without WINDIVERT_FLAG_RECV_ONLY, sniffing and dropping at once, receive
// only and send only at once, unknown flags, a priority out of range, a
// layer the stand-in does not model, a filter it cannot judge.
TEST(StandinOpen, RefusesWhatWinDivertRefuses) {
  ASSERT_TRUE(Standin().Open) << "the WinDivert stand-in beside the tests";
  const struct {
    const char* filter;
    int layer;
    int priority;
    uint64_t flags;
    bool opens;
  } cases[] = {
      {"true", kWinDivertLayerSocket, 0, kWinDivertFlagRecvOnly, true},
      {"true", kWinDivertLayerSocket, 0, kWinDivertFlagSniff | kWinDivertFlagRecvOnly, true},
      {"true", kWinDivertLayerSocket, 0, kWinDivertFlagSniff, false},
      {"true", kWinDivertLayerSocket, 0, 0, false},
      {"true", kWinDivertLayerNetwork, 0, 0, true},
      {"true", kWinDivertLayerNetwork, 0, kWinDivertFlagSniff | kFlagDrop, false},
      {"true", kWinDivertLayerNetwork, 0, kWinDivertFlagRecvOnly | kFlagSendOnly, false},
      {"true", kWinDivertLayerNetwork, 0, 0x40, false},
      {"true", kWinDivertLayerNetwork, 30000, 0, true},
      {"true", kWinDivertLayerNetwork, -30000, 0, true},
      {"true", kWinDivertLayerNetwork, 30001, 0, false},
      {"true", kWinDivertLayerNetwork, -30001, 0, false},
      {"true", 2, 0, kWinDivertFlagSniff | kWinDivertFlagRecvOnly, false},
      {"udp.Payload[2] >= 0x80 and udp.Payload16[2] = 1", kWinDivertLayerNetwork, 0, 0, true},
      {"ip.SrcAddr == 192.0.2.1 or ipv6.DstAddr != 2001:db8::1", kWinDivertLayerNetwork, 0, 0,
       true},
      {"tcp.PayloadLength > 12 and ifIdx == 7", kWinDivertLayerNetwork, 0, 0, true},
      {"udp.Payload[-1] == 1", kWinDivertLayerNetwork, 0, 0, false},
      {"ip.SrcAddr == 2001:db8::1", kWinDivertLayerNetwork, 0, 0, false},
      {"udp.Payload[2] >= 0xZZ", kWinDivertLayerNetwork, 0, 0, false},
      {"processId == 4", kWinDivertLayerNetwork, 0, 0, false},
      {"udp.SrcPort == 53", kWinDivertLayerSocket, 0, kWinDivertFlagRecvOnly, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.filter) + " layer " + std::to_string(c.layer) + " priority " +
                 std::to_string(c.priority) + " flags " + std::to_string(c.flags));
    SetLastError(0);
    const HANDLE handle =
        Standin().Open(c.filter, c.layer, static_cast<int16_t>(c.priority), c.flags);
    EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.opens);
    if (handle != INVALID_HANDLE_VALUE) {
      Standin().Close(handle);
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
}

// A socket-layer handle without WINDIVERT_FLAG_SNIFF blocks the events it
// takes (the application's connect fails): the stand-in says so, and its
// records are not marked sniffed.
TEST(StandinOpen, ASocketHandleThatDoesNotSniffBlocks) {
  ASSERT_TRUE(Standin().Open) << "the WinDivert stand-in beside the tests";
  const std::wstring journalPath = BesideTests(L"windivert-journal.txt");
  const size_t start = ReadLines(journalPath).size();
  for (const uint64_t flags :
       {kWinDivertFlagRecvOnly, kWinDivertFlagSniff | kWinDivertFlagRecvOnly}) {
    const HANDLE handle = Standin().Open("true", kWinDivertLayerSocket, 0, flags);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Standin().feedLine("connect v4 4242 93.184.216.34"));
    WinDivertAddress address{};
    ASSERT_TRUE(Standin().Recv(handle, nullptr, 0, nullptr, &address));
    EXPECT_EQ((address.Flags >> 16) & 1, flags & kWinDivertFlagSniff);
    Standin().Close(handle);
  }
  std::vector<std::string> journal = ReadLines(journalPath);
  journal.erase(journal.begin(), journal.begin() + start);
  EXPECT_EQ(Count(journal, "blocked event=4 pid=4242"), 1u);
}

// A socket event's local address as WinDivert documents it: IPv4 mapped
// (::ffff:a.b.c.d, word 0 the address and word 1 0x0000FFFF), IPv6 as one
// 128-bit number with its lowest word first; the physical interface's when
// a feed names none, so that feeds written before it keep their meaning.
TEST(StandinSocketEvents, CarryTheirLocalAddressAsTheDriverLaysItOut) {
  ASSERT_TRUE(Standin().Open && Standin().feedLine) << "the WinDivert stand-in beside the tests";
  const auto feed = reinterpret_cast<WinDivertStandinFeedFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"WinDivert.dll"), "WinDivertStandinFeed")));
  ASSERT_TRUE(feed);
  using Words = std::vector<uint32_t>;
  const struct {
    const char* line;  // nullptr: through WinDivertStandinFeed
    uint32_t localHostOrder;
    Words local;
    Words remote;
  } cases[] = {
      {"connect v4 7 93.184.216.34", 0, {0xC0A80102, 0xFFFF, 0, 0}, {0x5DB8D822, 0, 0, 0}},
      {"connect v4 7 93.184.216.34 tcp local=10.8.0.2 port=443",
       0,
       {0x0A080002, 0xFFFF, 0, 0},
       {0x5DB8D822, 0, 0, 0}},
      {"connect v6 7 ::ffff:8.8.4.4 local=10.8.0.2",
       0,
       {0x0A080002, 0xFFFF, 0, 0},
       {0x08080404, 0xFFFF, 0, 0}},
      {"connect v6 7 2001:db8::5", 0, {2, 0, 0, 0xFD000007}, {5, 0, 0, 0x20010DB8}},
      {"connect v6 7 2001:db8::5 udp local=fd00:8::2",
       0,
       {2, 0, 0, 0xFD000008},
       {5, 0, 0, 0x20010DB8}},
      {nullptr, 0, {0xC0A80102, 0xFFFF, 0, 0}, {0x01020304, 0, 0, 0}},
      {nullptr, 0x0A080002, {0x0A080002, 0xFFFF, 0, 0}, {0x01020304, 0, 0, 0}},
  };
  const HANDLE handle = Standin().Open("event == CONNECT", kWinDivertLayerSocket, 0,
                                       kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line ? c.line : "fed as a record");
    if (c.line) {
      ASSERT_TRUE(Standin().feedLine(c.line));
    } else {
      const WinDivertStandinEvent event{4, 0, 7, 0x01020304, c.localHostOrder};
      feed(&event, 1);
    }
    WinDivertAddress address{};
    ASSERT_TRUE(Standin().Recv(handle, nullptr, 0, nullptr, &address));
    EXPECT_EQ(Words(std::begin(address.Socket.LocalAddr), std::end(address.Socket.LocalAddr)),
              c.local);
    EXPECT_EQ(Words(std::begin(address.Socket.RemoteAddr), std::end(address.Socket.RemoteAddr)),
              c.remote);
  }
  Standin().Close(handle);
  // A socket of one family has no local address of the other; one local
  // address an event.
  for (const char* bad : {"connect v4 7 1.2.3.4 local=fd00:8::2", "connect v4 7 1.2.3.4 local=",
                          "connect v4 7 1.2.3.4 local=10.8.0.2 local=10.8.0.3",
                          "connect v6 7 2001:db8::5 local=fd00::8::2"}) {
    EXPECT_FALSE(Standin().feedLine(bad)) << bad;
  }
}

// The DNS hold's filters, as the stand-in applies them: questions out and
// responses in, each one question of opcode 0 at the start of its payload,
// neither loopback, nothing of a tunnel endpoint on port 53 (of either
// family); over TCP the same after the message's length.
TEST_F(StandinNetwork, TheHoldsFiltersTakeQuestionsAndAnswersButNoTunnelPackets) {
  IpAddress endpoint4, endpoint6, elsewhere;
  ASSERT_TRUE(ParseAddress(L"198.51.100.7", endpoint4));
  ASSERT_TRUE(ParseAddress(L"2001:db8::7", endpoint6));
  ASSERT_TRUE(ParseAddress(L"203.0.113.1", elsewhere));
  Handle udp(DnsHoldFilter({{endpoint4, 53}, {endpoint6, 53}, {elsewhere, 51820}}), 0, 0, true,
             true);
  Handle tcp(DnsTcpFilter(), 0, kWinDivertFlagSniff | kWinDivertFlagRecvOnly);
  ASSERT_TRUE(udp.Open() && tcp.Open());
  const End tunnel4 = {"198.51.100.7", 53}, tunnel6 = {"2001:db8::7", 53};
  const End server6 = {"2001:db8::53", 53}, asker6 = {"2001:db8::2", 50000};
  const End elsewhere53 = {"203.0.113.1", 53};
  Bytes twoQuestions = WithId(Response("bank.com", 1, {}), 0x0B09);
  twoQuestions[5] = 2;
  Bytes otherOpcode = WithId(Response("bank.com", 1, {}, 0x8980), 0x0B0A);
  // A WireGuard data packet: type 4, three zero bytes, the receiver index.
  const Bytes wireGuard = {4, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xBB};
  const struct {
    const char* what;
    const char* direction;
    Bytes packet;
    bool udp, tcp;
  } cases[] = {
      {"a question", "out", Asked(WithId(Query("bank.com", 1), 0x0B01)), true, false},
      {"its answer", "in", Answer(WithId(Response("bank.com", 1, {}), 0x0B01)), true, false},
      {"an IPv6 answer", "in", Udp(server6, asker6, WithId(Response("bank.com", 28, {}), 0x0B02)),
       true, false},
      {"an answer from an endpoint that is not on port 53", "in",
       Udp(elsewhere53, kAsker, WithId(Response("bank.com", 1, {}), 0x0B03)), true, false},
      {"an answer over TCP", "in",
       Tcp(kServer, kAsker, WithId(Response("bank.com", 1, {}), 0x0B04)), false, true},
      {"a question over TCP", "out", Tcp(kAsker, kServer, WithId(Query("bank.com", 1), 0x0B05)),
       false, true},
      {"the tunnel's packet from its endpoint", "in",
       Udp(tunnel4, kAsker, WithId(Response("bank.com", 1, {}), 0x0B06)), false, false},
      {"the tunnel's packet to its endpoint", "out",
       Udp(kAsker, tunnel4, WithId(Query("bank.com", 1), 0x0B07)), false, false},
      {"the IPv6 tunnel's packet", "in",
       Udp(tunnel6, asker6, WithId(Response("bank.com", 1, {}), 0x0B08)), false, false},
      {"two questions", "in", Answer(twoQuestions), false, false},
      {"another opcode", "in", Answer(otherOpcode), false, false},
      {"a response sent out", "out",
       Udp(kAsker, kServer, WithId(Response("bank.com", 1, {}), 0x0B0B)), false, false},
      {"a question coming in", "in", Udp(kServer, kAsker, WithId(Query("bank.com", 1), 0x0B0C)),
       false, false},
      {"a WireGuard packet from port 53", "in", Udp(elsewhere53, kAsker, wireGuard), false, false},
      {"a WireGuard packet to port 53", "out", Udp(kAsker, elsewhere53, wireGuard), false, false},
      {"an answer from port 5353", "in",
       Udp({"192.0.2.53", 5353}, kAsker, WithId(Response("bank.com", 1, {}), 0x0B0D)), false,
       false},
  };
  for (const auto& c : cases) Feed(c.direction, c.packet);
  ASSERT_TRUE(Idle());
  const std::vector<Received> byUdp = udp.Taken(), byTcp = tcp.Taken();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto took = [&c](const std::vector<Received>& taken) {
      for (const Received& one : taken) {
        if (one.packet == c.packet) return true;
      }
      return false;
    };
    EXPECT_EQ(took(byUdp), c.udp);
    EXPECT_EQ(took(byTcp), c.tcp);
  }
}

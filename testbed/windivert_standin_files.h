#pragma once
// The files beside the WinDivert stand-in and the host's UDP socket table:
// everything the stand-in reads or writes outside its own memory.
#include <windows.h>

#include <string>
#include <vector>

constexpr UINT8 kProtocolTcp = 6;
constexpr UINT8 kProtocolUdp = 17;

// One socket event as the stand-in queues it, before it becomes a record.
struct SocketEvent {
  UINT8 event = 0;
  bool ipv6 = false;
  UINT32 processId = 0;
  // Host byte order, word 0 the lowest 32 bits. The local address as the
  // driver gives it, IPv4 mapped (::ffff:a.b.c.d); the remote as the
  // stand-in always gave it, IPv4 in word 0 and the rest zero.
  UINT32 localAddr[4] = {};
  UINT32 remoteAddr[4] = {};
  UINT16 localPort = 0;
  UINT16 remotePort = 0;
  UINT8 protocol = kProtocolTcp;
  UINT64 endpointId = 0;  // 0: the stand-in gives one (see Queue)
  // A packet for the network layer instead of a socket event: its bytes
  // (an IPv4 or IPv6 packet), its direction and whether it is loopback.
  bool isPacket = false;
  bool outbound = false;
  bool loopback = false;
  // The interface it came in on (or leaves by), as Network.IfIdx and
  // SubIfIdx give it.
  UINT32 ifIdx = 7;
  UINT32 subIfIdx = 0;
  // A reply that can only arrive once its request has left: it waits until
  // an outbound packet with this DNS id (four hex digits) has reached the
  // network. Empty: it arrives when fed.
  std::string after;
  std::string bytes;
};

constexpr UINT8 kEventConnect = 4;
constexpr UINT32 kLoopbackHostOrder = 0x7F000001;

// Called once from DllMain with the stand-in's own module.
void InitStandinDirectory(HMODULE module);

// Appends one line (without its line feed) to windivert-journal.txt in a
// single write, so lines of several processes never interleave.
void Journal(const std::string& line);

// windivert-scenario.txt, read at each open: "open-fail <code>" makes the
// open fail with that code; "send-fail <code>" makes every WinDivertSend on
// the handle opened fail with it. 0: none.
struct StandinScenario {
  DWORD openFailure = 0;
  DWORD sendFailure = 0;
};
StandinScenario ReadScenario();

// Where the reader of windivert-feed.txt stands. A handle starts at the size
// the file had when it was opened; a line without its line feed waits in
// `partial` until the writer completes it.
struct FeedCursor {
  UINT64 offset = 0;
  std::string partial;
};
UINT64 FeedFileSize();
// Appends the events of the lines completed since the cursor to `events`.
void ReadNewFeedLines(FeedCursor* cursor, std::vector<SocketEvent>* events);
// The local address of a socket event whose feed gives none: the physical
// interface's in the tests' scenario (its gateway 192.168.1.1 on interface
// 7), IPv4 when the remote is IPv4, else IPv6.
constexpr char kPhysicalLocalIPv4[] = "192.168.1.2";
constexpr char kPhysicalLocalIPv6[] = "fd00:7::2";
void DefaultLocalAddress(SocketEvent* event);
// "<event> <v4|v6> <pid> <address> [tcp|udp] [ep=<n>] [port=<n>] [local=<address>]", or
// "packet <in|out> [loopback] [if=<n>[.<sub>]] [after=<dnsid>] <hex bytes>"
// for the network layer; false for anything else.
bool ParseFeedLine(const std::string& line, SocketEvent* event);

// One row of the host's /proc/net/udp.
struct UdpSocket {
  UINT64 inode = 0;
  UINT32 localHostOrder = 0;
  UINT16 localPort = 0;
  UINT32 remoteHostOrder = 0;
  UINT16 remotePort = 0;
};
// False (with the reason in GetLastError) when the table cannot be read.
bool ReadUdpTable(std::vector<UdpSocket>* sockets);

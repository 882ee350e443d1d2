#pragma once
// Test-side entry points of the WinDivert stand-in (test-bed only, never
// shipped). Every build of the stand-in exports them, whatever WinDivert
// entry points it leaves out.
//
// Feed queues socket events for the most recently opened socket handle that
// is still open; events fed while no such handle is open, or after it was
// shut down for receive, are dropped, as the real driver would never have
// reported them.
//
// FeedLine parses one line of windivert-feed.txt's syntax ("connect v6 1234
// 2001:db8::5", "packet in <hex>") and queues its event as Feed does, or
// sends its packet on its way through the network handles. A trailing line
// feed (LF or CR LF) is allowed; a blank or comment line queues nothing and
// is TRUE. FALSE (ERROR_INVALID_PARAMETER) for a line it cannot parse.
//
// WaitIdle returns TRUE once every event fed so far has been handed out by
// WinDivertRecv, every thread a receive handed one to has come back to
// receive again, and a receiver is blocked again on every open handle's
// empty queue (a handle shut down for receive needs none; no handle open is
// idle too); FALSE with ERROR_TIMEOUT otherwise. That is how a caller
// knows the receiving threads have finished with the last event.
#include <windows.h>

#include <cstddef>

struct WinDivertStandinEvent {
  UINT8 event;  // 3 bind, 4 connect, 5 listen, 6 accept, 7 close
  UINT8 ipv6;   // non-zero: an IPv6 socket; the address still goes to RemoteAddr[0]
  UINT32 processId;
  UINT32 remoteHostOrder;  // IPv4 address in host byte order (127.0.0.1 = 0x7F000001)
  // The socket's IPv4 local address, host byte order; 0: the physical
  // interface's, 192.168.1.2 (the record holds it IPv4-mapped either way).
  UINT32 localHostOrder = 0;
};
static_assert(sizeof(WinDivertStandinEvent) == 16, "natural alignment, shared with the DLL");
static_assert(offsetof(WinDivertStandinEvent, processId) == 4, "natural alignment");
static_assert(offsetof(WinDivertStandinEvent, remoteHostOrder) == 8, "natural alignment");
static_assert(offsetof(WinDivertStandinEvent, localHostOrder) == 12, "natural alignment");

extern "C" {
#ifdef WINDIVERT_STANDIN_BUILD
#define WINDIVERT_STANDIN_API __declspec(dllexport)
#else
#define WINDIVERT_STANDIN_API __declspec(dllimport)
#endif
WINDIVERT_STANDIN_API void WinDivertStandinFeed(const WinDivertStandinEvent* events, UINT count);
WINDIVERT_STANDIN_API BOOL WinDivertStandinFeedLine(const char* line);
WINDIVERT_STANDIN_API BOOL WinDivertStandinWaitIdle(DWORD timeoutMs);
}

// Run-time lookup, as tests that copy the DLL around load it with
// LoadLibraryW rather than link to it.
using WinDivertStandinFeedFn = decltype(&WinDivertStandinFeed);
using WinDivertStandinFeedLineFn = decltype(&WinDivertStandinFeedLine);
using WinDivertStandinWaitIdleFn = decltype(&WinDivertStandinWaitIdle);

#pragma once
// The few parts of WinDivert 2's interface the sniffer uses, declared here
// from the library's published documentation. The library is loaded at run
// time, so nothing of it is needed to build.
#include <windows.h>

#include <cstddef>
#include <cstdint>

constexpr int kWinDivertLayerSocket = 3;
constexpr uint64_t kWinDivertFlagSniff = 1;
constexpr uint64_t kWinDivertFlagRecvOnly = 4;
constexpr int kWinDivertShutdownRecv = 1;
constexpr uint32_t kWinDivertEventSocketConnect = 4;
constexpr uint32_t kWinDivertEventSocketClose = 7;

// WINDIVERT_ADDRESS as the socket layer fills it.
struct WinDivertAddress {
  int64_t Timestamp;  // the performance counter when the driver took the packet or event
  // Bits 0-7 layer, 8-15 event, 16 sniffed, 17 outbound, 18 loopback,
  // 19 impostor, 20 IPv6.
  uint32_t Flags;
  uint32_t Reserved2;
  union {
    uint8_t Reserved3[64];
    struct {
      uint64_t EndpointId;
      uint64_t ParentEndpointId;
      uint32_t ProcessId;
      // IPv4: ::ffff:a.b.c.d, the address in word 0, in host byte order.
      uint32_t LocalAddr[4];
      uint32_t RemoteAddr[4];
      uint16_t LocalPort;
      uint16_t RemotePort;
      uint8_t Protocol;
    } Socket;
  };
};
static_assert(sizeof(WinDivertAddress) == 80, "WINDIVERT_ADDRESS is 80 bytes");
static_assert(offsetof(WinDivertAddress, Flags) == 8, "event and flags word at byte 8");
static_assert(offsetof(WinDivertAddress, Socket.ProcessId) == 32, "process id at byte 32");
static_assert(offsetof(WinDivertAddress, Socket.LocalAddr) == 36, "local address at byte 36");
static_assert(offsetof(WinDivertAddress, Socket.RemoteAddr) == 52, "remote address at byte 52");

inline uint32_t WinDivertEvent(const WinDivertAddress& address) {
  return (address.Flags >> 8) & 0xFF;
}
inline bool WinDivertIsIPv6(const WinDivertAddress& address) {
  return ((address.Flags >> 20) & 1) != 0;
}
inline bool WinDivertIsLoopback(const WinDivertAddress& address) {
  return ((address.Flags >> 18) & 1) != 0;
}

// WINDIVERT_PARAM_QUEUE_LENGTH and _QUEUE_TIME, and their largest values.
constexpr int kWinDivertParamQueueLength = 0;
constexpr int kWinDivertParamQueueTime = 1;
constexpr uint64_t kWinDivertQueueLengthMax = 16384;
constexpr uint64_t kWinDivertQueueTimeMaxMs = 16000;

using WinDivertOpenFn = HANDLE (*)(const char* filter, int layer, int16_t priority, uint64_t flags);
using WinDivertRecvFn = BOOL (*)(HANDLE handle, void* packet, UINT packetLength,
                                 UINT* receivedLength, WinDivertAddress* address);
using WinDivertCloseFn = BOOL (*)(HANDLE handle);
using WinDivertShutdownFn = BOOL (*)(HANDLE handle, int how);
using WinDivertFormatIPv4Fn = BOOL (*)(UINT32 hostOrderAddress, char* buffer, UINT length);
using WinDivertSetParamFn = BOOL (*)(HANDLE handle, int param, uint64_t value);
using WinDivertGetParamFn = BOOL (*)(HANDLE handle, int param, uint64_t* value);
using WinDivertSendFn = BOOL (*)(HANDLE handle, const void* packet, UINT packetLength,
                                 UINT* sentLength, const WinDivertAddress* address);

constexpr int kWinDivertLayerNetwork = 0;
constexpr uint32_t kWinDivertOutboundBit = 1u << 17;

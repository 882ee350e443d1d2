#pragma once
// The one process-wide state record. Every field is owned by the subsystem
// that documents it; the record only gathers them so there is a single place
// that says what the helper keeps in memory.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/handles.h"
#include "support/protocol.h"

// The interface and next hop of the machine's IPv4 default route, captured
// before a tunnel is installed. Gateway in network byte order; 0 in either
// field means not captured.
struct PhysicalRouteRecord {
  uint32_t InterfaceIndex = 0;
  uint32_t Gateway = 0;
};

// One network the client wants routed around the tunnel: the address in
// network byte order with every host bit cleared, and the prefix length.
struct BypassNet {
  uint32_t Network = 0;
  uint8_t PrefixLength = 0;
};

struct HelperStateRecord {
  // Constant names.
  const wchar_t* const ServiceName = kServiceName;
  const wchar_t* const ServiceDisplayName = L"Quorvel Helper";
  const wchar_t* const PipePath = kPipePath;
  const wchar_t* const TunnelName = L"Quorvel";

  // Manual-reset; signalled once when the pipe server must end, never reset.
  // Created before the pipe server runs and never closed.
  HANDLE StopEvent = nullptr;

  // Service mode only. Written by the service main thread and, once, by the
  // control handler before it signals StopEvent; never by both at once.
  SERVICE_STATUS ServiceStatus{};
  SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;

  // Serialises the log file. Never held while taking StateMutex.
  std::mutex LogMutex;
  // Guards BypassRouteTable, BypassNetList and SplitAppSet, which the
  // pipe server's thread and the sniffer thread share. Not recursive; lock
  // order is StateMutex before LogMutex.
  std::mutex StateMutex;

  // Whether the last connect brought the tunnel up (cleared by disconnect).
  // The list commands read it to decide whether a new list applies at once.
  std::atomic<bool> TunnelConnected{false};

  // Written only by the connect sequence while the sniffer is stopped; read
  // by the route table under StateMutex.
  PhysicalRouteRecord PhysicalRoute;
  // Every bypass route the helper created (or found already present):
  // destination address (network byte order) to prefix length.
  std::map<uint32_t, uint8_t> BypassRouteTable;
  // The route journal in the data directory, held without sharing for the
  // helper's whole life once it has taken it over at start (none when the
  // directory was not trusted or another helper holds it), and the
  // destinations journaled since it was last emptied. Guarded by
  // StateMutex, like the table whose creations it records.
  UniqueFileHandle RouteJournal;
  std::set<uint32_t> JournaledDestinations;
  // The client's bypass networks, in the order given, duplicates kept.
  std::vector<BypassNet> BypassNetList;
  // Lower-cased file names of the applications split around the tunnel.
  std::set<std::wstring> SplitAppSet;

  // The socket sniffer's thread. SnifferRunning is written only by exchange;
  // SnifferWorker only by StartSniffer and StopSniffer, whose callers never
  // overlap.
  std::atomic<bool> SnifferRunning{false};
  std::thread SnifferWorker;
  // How StopSniffer reaches a sniffer thread blocked in its receive: the
  // thread publishes its open WinDivert handle and the library's shutdown
  // entry point (null when the library has none) here, and withdraws them
  // before it closes the handle.
  std::mutex SnifferWakeMutex;
  HANDLE SnifferHandle = nullptr;
  BOOL (*SnifferShutdown)(HANDLE handle, int how) = nullptr;
};

extern HelperStateRecord HelperState;

#pragma once
// The one process-wide state record. Every field is owned by the subsystem
// that documents it; the record only gathers them so there is a single place
// that says what the helper keeps in memory.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "support/protocol.h"

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
  // Guards the shared collections of the routing and split subsystems.
  // Not recursive; lock order is StateMutex before LogMutex.
  std::mutex StateMutex;
};

extern HelperStateRecord HelperState;

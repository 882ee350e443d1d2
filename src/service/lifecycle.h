#pragma once
// The service's life under the service control manager: start, serve the
// pipe on the service main thread, stop on request.
#include <windows.h>

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context);

// What service and console mode share: serve the pipe until StopEvent, then
// take down what the helper set up on the machine. Returns ERROR_SUCCESS, or
// the Windows error that kept the pipe from being served.
DWORD ServeUntilStopped();

#pragma once
// The service's life under the service control manager: start, serve the
// pipe on the service main thread, stop on request.
#include <windows.h>

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                   LPVOID context);

#pragma once
// Chooses the run mode from the first argument and returns the exit code:
//   --install    register (or update) and start the service
//   --uninstall  stop and remove it
//   --console    serve the pipe in the foreground until Ctrl+C or close
//   anything else, or nothing: service mode under the service dispatcher
// Comparisons are exact: no case folding, trimming or prefixes.
int RunHelper(int argc, wchar_t** argv);

#include <windows.h>

int RunConsoleMode();
// Ctrl+C, Ctrl+Break, console close, logoff and shutdown: stop the server.
// For the last three the process ends when this returns, so it waits (up to
// about 4.5 s) for console mode to finish its clean-up.
BOOL WINAPI ConsoleControlHandler(DWORD control);

#pragma once
// The control pipe \\.\pipe\QuorvelHelper: one client at a time, on the
// calling thread, until HelperState.StopEvent is signalled.
//
// Only local clients are admitted (PIPE_REJECT_REMOTE_CLIENTS), and only
// LocalSystem, Administrators and Authenticated Users may open it; only the
// first two may create instances of it. Each run insists on creating the
// name itself: while another process holds it, the server logs that once
// and retries every 500 ms until the name is free or the stop comes.
#include <windows.h>

// Precondition: HelperState.StopEvent exists. Returns ERROR_SUCCESS once it
// has seen the stop, or the Windows error that kept it from serving at all
// (logged here).
DWORD RunPipeServer();

// The pipe's access rules, as SDDL.
extern const wchar_t kPipeSecurityDescriptor[];

// Test seam: makes the event for the pipe's overlapped I/O. Tests swap it
// for one that fails, to see how a server that cannot start is reported.
extern HANDLE (*CreatePipeIoEvent)();

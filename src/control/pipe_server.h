#pragma once
// The control pipe \\.\pipe\QuorvelHelper, until HelperState.StopEvent is
// signalled. The calling thread reads every connected client at once (each
// with its own deadline, HelperLimits' bounds on clients in all, on clients
// of one process and on the request bytes held), and hands each complete
// request to one command thread, which runs them one at a time in the order
// they were completed: a client that sends nothing holds nothing up.
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

// The pipe's access rules, as SDDL (kPipeSecurityDescriptor).
#include "control/pipe_instance.h"

// Test seam: makes each event the server waits on (manual-reset). Tests swap it
// for one that fails, to see how a server that cannot start is reported.
extern HANDLE (*CreatePipeIoEvent)();

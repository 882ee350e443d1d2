#pragma once
// The control pipe \\.\pipe\QuorvelHelper: one client at a time, on the
// calling thread, until HelperState.StopEvent is signalled.
//
// Only local clients are admitted (PIPE_REJECT_REMOTE_CLIENTS), and only
// LocalSystem, Administrators and Authenticated Users may open it.
//
// Precondition: HelperState.StopEvent exists.
void RunPipeServer();

// The pipe's access rules, as SDDL.
extern const wchar_t kPipeSecurityDescriptor[];

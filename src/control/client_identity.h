#pragma once
// Who sent a request: a configuration is run by the tunnel tool as
// LocalSystem on behalf of whichever local user sent it, so the log says who
// asked for each command that changes something.
#include <windows.h>

#include <string>

// "pid N (IMAGE, DOMAIN\user)" of the client at the other end of a pipe
// instance: its process id, the file name of its image and the user of its
// token; "?" for each that cannot be read.
std::wstring DescribePipeClient(HANDLE pipe);

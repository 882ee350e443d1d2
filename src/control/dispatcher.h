#pragma once
// The command language on the system: one request line in, one fixed reply
// text out.
#include <windows.h>

#include <string>

#include "control/commands.h"

// `client` is the pipe instance the line came through, for naming who sent
// a request that changes something; without one the log says "?".
std::wstring DispatchCommand(const std::wstring& line, HANDLE client = nullptr);

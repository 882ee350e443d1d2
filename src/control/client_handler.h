#pragma once
// One connection of the control pipe: read one request line (UTF-8, ended by
// a line feed), dispatch it, write the reply and a line feed, close.
#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "support/protocol.h"

// The request line of what a client sent: up to the first line feed, without
// trailing carriage returns, cut at a zero byte, decoded leniently from UTF-8
// (malformed sequences become U+FFFD). Blanks are kept.
std::wstring FrameRequestLine(std::string_view received);

// Takes ownership of a connected overlapped pipe instance and closes it
// before returning, whatever happened. A client that takes longer than
// HelperLimits.RequestTimeoutMs to deliver its line (or ReplyTimeoutMs to
// make room for the reply) is dropped, so that one stalled client can never
// hold the only server thread. ioEvent is a manual-reset event for
// its overlapped operations; it is borrowed, not closed.
void HandleClient(HANDLE pipe, HANDLE ioEvent);

#pragma once
// What one connection of the control pipe carries: one request line (UTF-8,
// ended by a line feed) in, one reply line out. Includes no platform header:
// it builds natively for fuzzing.
#include <cstddef>
#include <string>
#include <string_view>

#include "support/protocol.h"

// The request line of what a client sent: up to the first line feed, without
// trailing carriage returns, cut at a zero byte, decoded leniently from UTF-8
// (malformed sequences become U+FFFD). Blanks are kept.
std::wstring FrameRequestLine(std::string_view received);

enum class RequestState {
  Incomplete,  // no line feed yet, and within the limit
  Complete,    // a line feed came (what follows it is never looked at)
  TooLong,     // more than kRequestLimitBytes before the line feed
};

// Adds what a client sent next to its request so far and says where the
// request stands. The limit is exact: a line of kRequestLimitBytes before
// its line feed is taken, one byte more is refused, whether or not the line
// feed comes in the very chunk that crosses the limit.
RequestState AddToRequest(std::string& request, std::string_view chunk);

// The reply to a request that is TooLong (it is not executed).
constexpr wchar_t kRequestTooLongReply[] = L"ERR request too long";

// The bytes of a reply on the wire: UTF-8 and a line feed.
std::string ReplyBytes(const std::wstring& reply);

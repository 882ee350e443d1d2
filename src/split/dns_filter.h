#pragma once
// The WinDivert filters of the DNS hold, in WinDivert's filter language.
// Includes no platform header.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/address.h"

// At most this many tunnel endpoints on port 53 are kept out by address: a
// filter has a bounded size, and a configuration with more such peers is
// not one anybody writes.
constexpr size_t kMaxEndpointsKeptOut = 16;

// The hold's handle, which diverts (so that a question is always sent on
// before its answer can exist, and is seen before it): outbound UDP
// questions to port 53 and inbound UDP responses from port 53, neither
// loopback, each a message with exactly one question of opcode 0 (the third
// byte of the DNS header: the QR bit, the opcode, AA, TC and RD), and
// nothing to or from a tunnel endpoint of `endpoints` on port 53, whose
// packets would otherwise all pass through the hold (only the first
// kMaxEndpointsKeptOut such endpoints).
std::string DnsHoldFilter(const std::vector<std::pair<IpAddress, uint16_t>>& endpoints);

// The handle that copies DNS over TCP: the same questions and responses as
// whole messages at the start of a segment, after their two-byte length.
std::string DnsTcpFilter();

#pragma once
// The client's list of networks, IPv4 and IPv6, that must never go through
// the tunnel (the "bypassnets" command).
#include <string>
#include <string_view>

#include "support/address.h"

// One entry, already trimmed: an address (a host: /32 or /128) or an
// address, "/" and a prefix length, the length one or two decimal digits
// (0-32) for IPv4 and one to three (0-128) for IPv6, followed by nothing but
// blanks. Host bits are cleared. False for an entry to skip: a bad address
// (with a zone, a port or brackets among them), a length out of range, or
// anything else after the "/" (no digits, a sign, hex, a mask, a second
// number), which must never turn into a wider route such as 0.0.0.0/0.
bool ParseBypassNet(std::wstring_view entry, RoutePrefix& net);

// Replaces BypassNetList with the valid entries of the argument, logs their
// number, and, while the tunnel is up, makes the routes follow the new list.
void SetBypassNets(const std::wstring& argument);

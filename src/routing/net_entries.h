#pragma once
// The entries of a bypass network list ("bypassnets"), and the networks the
// configuration reader takes the same way. Includes no platform header: it
// builds natively for fuzzing.
#include <string_view>
#include <vector>

#include "support/address.h"

// One entry, already trimmed: an address (a host: /32 or /128) or an
// address, "/" and a prefix length, the length one or two decimal digits
// (0-32) for IPv4 and one to three (0-128) for IPv6, followed by nothing but
// blanks. Host bits are cleared. False for an entry to skip: a bad address
// (with a zone, a port or brackets among them), a length out of range, or
// anything else after the "/" (no digits, a sign, hex, a mask, a second
// number), which must never turn into a wider route such as 0.0.0.0/0.
bool ParseBypassNet(std::wstring_view entry, RoutePrefix& net);

// The valid entries of a list argument ("a; b;c"), in the order given,
// duplicates kept.
std::vector<RoutePrefix> ParseBypassNets(std::wstring_view list);

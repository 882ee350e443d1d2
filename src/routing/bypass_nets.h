#pragma once
// The client's list of IPv4 networks that must never go through the tunnel
// (the "bypassnets" command).
#include <string>
#include <string_view>

#include "support/helper_state.h"

// One entry, already trimmed: "a.b.c.d" (a host) or "a.b.c.d/len". Host bits
// are cleared. False for an entry to skip: a bad address, a length outside
// 0-32, or a "/" without any digits after it (which must never turn into
// 0.0.0.0/0, a route for all traffic).
bool ParseBypassNet(std::wstring_view entry, BypassNet& net);

// Replaces BypassNetList with the valid entries of the argument, logs their
// number, and installs their routes at once when the tunnel is up. Routes of
// networks that left the list stay until the next clear.
void SetBypassNets(const std::wstring& argument);

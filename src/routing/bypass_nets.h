#pragma once
// The client's list of networks, IPv4 and IPv6, that must never go through
// the tunnel (the "bypassnets" command).
#include <string>
#include <vector>

#include "routing/net_entries.h"

// Replaces BypassNetList with the valid entries of the argument and logs
// their number. The routes follow it when the session applies it.
void PublishBypassNets(const std::wstring& argument);

// The list as last set, for the routes to follow.
std::vector<RoutePrefix> PublishedBypassNets();

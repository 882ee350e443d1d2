#pragma once
// Which remote addresses may get a route around the tunnel, for each reason
// one is asked for. Includes no platform header.
#include "support/address.h"

// Where a listed application connects that its traffic could go around the
// tunnel to: never 0.0.0.0/8, loopback 127.0.0.0/8, link-local
// 169.254.0.0/16, multicast 224.0.0.0/4 or 240.0.0.0/4 (broadcast among
// them); nor ::, ::1, link-local fe80::/10 or multicast ff00::/8. The
// application chose the address itself, so the LAN is allowed. Whether the
// tunnel is the path there now is the route table's to judge.
bool SplitRoutable(const IpAddress& remote);

// Which addresses are reachable from anywhere on the Internet, as IANA's
// IPv4 and IPv6 Special-Purpose Address Registries mark them. Only those may
// get a route around the tunnel because a DNS answer named them: an answer
// must never lead traffic to the LAN, to a carrier's shared space, to a
// translator that embeds a private address, or anywhere else only a
// network's own hosts reach.

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is judged as the IPv4
// address. IPv6 outside 2000::/3 (global unicast) is never reachable.
bool GloballyReachable(const IpAddress& address);

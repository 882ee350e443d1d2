#pragma once
// Which addresses are reachable from anywhere on the Internet, as IANA's
// IPv4 and IPv6 Special-Purpose Address Registries mark them. Only those may
// get a route around the tunnel because a DNS answer named them: an answer
// must never lead traffic to the LAN, to a carrier's shared space, to a
// translator that embeds a private address, or anywhere else only a
// network's own hosts reach. Includes no platform header.
#include "support/address.h"

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is judged as the IPv4
// address. IPv6 outside 2000::/3 (global unicast) is never reachable.
bool GloballyReachable(const IpAddress& address);

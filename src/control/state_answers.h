#pragma once
// What the helper can say about itself when bypass or split does not do
// what someone expected: its state, and which way traffic to an address
// goes and why. Each answer is one line of JSON without blanks outside its
// strings.
#include <string>
#include <string_view>

#include "support/address.h"

// "state": connected, the physical routes, the routes made, the sniffer,
// the lengths of the lists, what the DNS hold could not do, the first
// connections of listed applications that went through the tunnel, and the
// warnings of the running tunnel and of the domain list.
std::wstring DescribeState();

// "explain ADDRESS [IMAGE]": the route Windows picks for the address now,
// the helper's route that covers it, whether IMAGE (a file name or full
// path) is listed for split and whether its latest connect there went
// through the tunnel, and whether the tunnel tool's firewall drops
// traffic that leaves outside the tunnel, for an address and image as
// ParseExplainRequest reads them.
std::wstring ExplainAddress(const IpAddress& address, std::wstring_view image);
// The same for the request's argument; "ERR bad address" when ADDRESS is
// not an IPv4 or IPv6 address.
std::wstring ExplainAddress(const std::wstring& argument);

#pragma once
// The IP Helper's row for one bypass route, shared by everything that
// creates or deletes one: a delete must name exactly what the create made.
#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstdint>

#include "support/address.h"

// An address in the IP Helper's form, and back (the family as it says).
void SetAddress(SOCKADDR_INET& into, const IpAddress& address);
IpAddress FromSockaddr(const SOCKADDR_INET& address);

// Every field not set here keeps the system's defaults. The gateway is of
// the prefix's family.
MIB_IPFORWARD_ROW2 BypassRouteRow(uint32_t interfaceIndex, const RoutePrefix& prefix,
                                  const IpAddress& gateway);

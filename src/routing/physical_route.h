#pragma once
// Which interface and gateway the machine's own IPv4 default route uses, so
// that bypass routes leave through the physical network and not the tunnel.
#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "support/helper_state.h"

// The system's IPv4 route table (GetIpForwardTable, sized then filled; no
// retry when it grew in between). Nothing when it could not be read.
std::optional<std::vector<MIB_IPFORWARDROW>> ReadIPv4RouteTable();

// The index of the tunnel's own adapter: the interface whose alias is the
// tunnel's name. 0 when there is none.
uint32_t TunnelInterfaceIndex();

// The 0.0.0.0/0 row with the lowest metric, the first among equal ones,
// never one of metric 0xFFFFFFFF nor one on `excludedInterface` (the
// tunnel's: a tunnel whose peer takes all traffic installs a default route
// of its own, with a low metric). {0, 0} when there is none.
PhysicalRouteRecord FindPhysicalDefaultRoute(const std::vector<MIB_IPFORWARDROW>& rows,
                                             uint32_t excludedInterface);

// Resets HelperState.PhysicalRoute, then records the interface index and
// next hop of the physical default route as above, with the tunnel's
// adapter left out. Logs the interface index found (0 when none) unless the
// route table could not even be sized. The connect sequence runs it while
// no tunnel of its own is installed; a helper that starts while the tunnel
// runs relies on the adapter being left out.
void CapturePhysicalDefaultRoute();

#pragma once
// Which interface and gateway the machine's own default routes (IPv4 and
// IPv6) use, so that bypass routes leave through the physical network and
// not the tunnel.
#include <cstdint>
#include <optional>
#include <vector>

#include "support/address.h"
#include "support/helper_state.h"

// One row of the system's route table, either family, as the helper looks
// at it. Metric: the row's own for IPv4 (as GetIpForwardTable gives it);
// the row's plus its interface's for IPv6, the metric Windows ranks by, and
// at least 0xFFFFFFFF (unusable) when its interface cannot be read.
struct SystemRoute {
  RoutePrefix Prefix;
  uint32_t InterfaceIndex = 0;
  IpAddress NextHop;
  uint64_t Metric = 0;
};

// The system's route table of one family: IPv4 from GetIpForwardTable
// (sized, then filled, sized again up to four times when it grew in
// between), IPv6 from GetIpForwardTable2. Nothing when it could not be read
// whole: never a part of it, nor an empty table in its place.
std::optional<std::vector<SystemRoute>> ReadRouteTable(uint16_t family);

// The index of the tunnel's own adapter: the interface whose alias is the
// tunnel's name. 0 when there is none.
uint32_t TunnelInterfaceIndex();

// The default route (prefix length 0) with the lowest metric, never one of
// metric 0xFFFFFFFF nor one on `excludedInterface` (the tunnel's: a tunnel
// whose peer takes all traffic installs a default route of its own, with a
// low metric). An on-link one (next hop 0.0.0.0 or ::) counts like any
// other. Among equal metrics `currentInterface` (the one routes already
// use; 0 for none) wins, else the lowest interface index. Its interface and
// next hop; both 0 when there is none.
struct DefaultRoute {
  uint32_t InterfaceIndex = 0;
  IpAddress NextHop;
};
DefaultRoute FindPhysicalDefaultRoute(const std::vector<SystemRoute>& rows,
                                      uint32_t excludedInterface, uint32_t currentInterface);

// The route Windows picks now for traffic to `destination`
// (GetBestRoute2): its interface and next hop; nothing when there is none.
std::optional<DefaultRoute> BestRouteTo(const IpAddress& destination);

// False when Windows would send traffic to `destination` through another
// interface than the tunnel's adapter (an on-link LAN host, the subnet's
// broadcast, what a bypass network or someone else's route takes around the
// tunnel already); true when it goes through the tunnel, and while the
// adapter cannot be found, with nothing to compare.
bool TunnelIsThePathTo(const IpAddress& destination);

// Resets HelperState.PhysicalRoute and PhysicalRoute6, then records the
// physical default route of each family as above, with the tunnel's
// adapter left out. Logs "physical default route: ifIndex=N" (unless the
// IPv4 table could not even be sized), then "physical IPv6 default route:
// ifIndex=N gw=ADDRESS" or "no physical IPv6 default route". The connect
// sequence runs it while no tunnel of its own is installed; a helper that
// starts while the tunnel runs relies on the adapter being left out.
void CapturePhysicalDefaultRoute();

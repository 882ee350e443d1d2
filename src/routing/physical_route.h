#pragma once
// Which interface and gateway the machine's own IPv4 default route uses, so
// that bypass routes leave through the physical network and not the tunnel.

// Resets HelperState.PhysicalRoute, then records the interface index and
// next hop of the default route (0.0.0.0/0) with the lowest metric; among
// equal metrics the first in the table wins. Logs the interface index found
// (0 when none) unless the route table could not even be sized.
// Must run while no tunnel is installed and the sniffer is stopped.
void CapturePhysicalDefaultRoute();

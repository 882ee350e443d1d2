#include "routing/route_row.h"

MIB_IPFORWARD_ROW2 BypassRouteRow(uint32_t interfaceIndex, uint32_t destination,
                                  uint8_t prefixLength, uint32_t gateway) {
  MIB_IPFORWARD_ROW2 row;
  InitializeIpForwardEntry(&row);
  row.InterfaceIndex = interfaceIndex;
  row.DestinationPrefix.Prefix.si_family = AF_INET;
  row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr = destination;
  row.DestinationPrefix.PrefixLength = prefixLength;
  row.NextHop.si_family = AF_INET;
  row.NextHop.Ipv4.sin_addr.s_addr = gateway;
  row.SitePrefixLength = 0;
  row.Metric = 1;
  // A static route made by the administrator (MIB_IPPROTO_NETMGMT); mingw
  // declares the field as an enum.
  row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(3);
  return row;
}

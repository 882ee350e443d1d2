#include "routing/route_row.h"

#include <cstring>

void SetAddress(SOCKADDR_INET& into, const IpAddress& address) {
  if (address.IsIPv6()) {
    into.si_family = AF_INET6;
    std::memcpy(&into.Ipv6.sin6_addr, address.Bytes, sizeof(into.Ipv6.sin6_addr));
  } else {
    into.si_family = AF_INET;
    into.Ipv4.sin_addr.s_addr = address.IPv4();
  }
}

IpAddress FromSockaddr(const SOCKADDR_INET& address) {
  if (address.si_family == AF_INET) return IpAddress::FromIPv4(address.Ipv4.sin_addr.s_addr);
  IpAddress result;
  result.Family = kFamilyIPv6;
  std::memcpy(result.Bytes, &address.Ipv6.sin6_addr, sizeof(result.Bytes));
  return result;
}

MIB_IPFORWARD_ROW2 BypassRouteRow(uint32_t interfaceIndex, const RoutePrefix& prefix,
                                  const IpAddress& gateway) {
  MIB_IPFORWARD_ROW2 row;
  InitializeIpForwardEntry(&row);
  row.InterfaceIndex = interfaceIndex;
  SetAddress(row.DestinationPrefix.Prefix, prefix.Destination);
  row.DestinationPrefix.PrefixLength = prefix.Length;
  SetAddress(row.NextHop, gateway);
  row.SitePrefixLength = 0;
  row.Metric = 1;
  // A static route made by the administrator (MIB_IPPROTO_NETMGMT); mingw
  // declares the field as an enum.
  row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(3);
  // InitializeIpForwardEntry sets Publish TRUE: a host route could then be
  // advertised in the router advertisements of an interface that sends
  // them. The other defaults are what these rows want: infinite valid and
  // preferred lifetimes (the row lasts until it is deleted; rows made this
  // way are never stored, so a reboot takes them all the same), Loopback,
  // AutoconfigureAddress and Immortal TRUE, Origin manual.
  row.Publish = FALSE;
  return row;
}

#pragma once
// What the helper reads of a tunnel configuration before it passes it on to
// the tunnel tool: never its text or a key, only these conclusions. Read as
// the tool reads it: "[Section]" lines, "Key = Value" lines with blanks
// around the key and the "=", keys and section names in any case, and
// everything from a "#" on a comment. Includes no platform header: it builds
// natively for fuzzing.
#include <string>
#include <vector>

#include "support/address.h"

// A peer's "Endpoint = host:port": an address ("192.0.2.1:51820",
// "[2001:db8::1]:51820"), or a host name the tool resolves itself (Address
// then has no family, Host holds the name).
struct PeerEndpoint {
  IpAddress Address;
  std::wstring Host;
  uint16_t Port = 0;
};

struct ConfigurationFacts {
  // The first script hook (PreUp, PostUp, PreDown, PostDown, any section) as
  // the configuration writes it; empty when there is none. The tool runs
  // such hooks as the account that runs it, here LocalSystem.
  std::wstring Hook;
  // Exactly one [Peer], whose AllowedIPs hold 0.0.0.0/0 or ::/0: tools of
  // this family then block all traffic outside the tunnel.
  bool SinglePeerTakesAll = false;
  // The peers' AllowedIPs together cover ::/0 (itself, or ::/1 with 8000::/1).
  bool TunnelCarriesIPv6 = false;
  // The [Interface]'s Address networks and its DNS servers (as host
  // prefixes): the tunnel's own, reached through it.
  std::vector<RoutePrefix> OwnNetworks;
  // The [Interface]'s Address entries without their lengths: the tunnel's
  // own addresses, the source of whatever leaves through it.
  std::vector<IpAddress> OwnAddresses;
  // Every peer's AllowedIPs, in the order written (host bits cleared): the
  // routes the tool makes through the tunnel.
  std::vector<RoutePrefix> AllowedIPs;
  // Every peer's Endpoint: where the tunnel's own packets come from.
  std::vector<PeerEndpoint> Endpoints;
};

ConfigurationFacts ReadConfigurationFacts(const std::wstring& configuration);

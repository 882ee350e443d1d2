#pragma once
// What the helper reads of a tunnel configuration before it passes it on to
// the tunnel tool: never its text or a key, only these conclusions. Read as
// the tool reads it: "[Section]" lines, "Key = Value" lines with blanks
// around the key and the "=", keys and section names in any case, and
// everything from a "#" on a comment.
#include <string>
#include <vector>

#include "support/address.h"

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
};

ConfigurationFacts ReadConfigurationFacts(const std::wstring& configuration);

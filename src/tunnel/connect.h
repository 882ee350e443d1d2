#pragma once
// Bringing the one tunnel up and down through the tunnel tool.
#include <string>

// Writes the configuration to Quorvel.conf in the data directory, replaces
// any tunnel of the same name, captures the physical default route, installs
// the tunnel service (up to three attempts) and waits up to 15 s for it to
// run. Up: reinstalls the bypass routes and, with applications listed,
// starts the sniffer; true. Not up: the tunnel is removed again so that the
// machine keeps its connectivity; false. Reasons are in the log.
bool ConnectTunnel(const std::wstring& configuration);

// Stops the sniffer, deletes the bypass routes, asks the tool to remove the
// tunnel service and waits up to 8 s for it to stop running. The lists and
// the configuration file stay for the next connect.
void DisconnectTunnel();

// At start: when the tunnel service runs already (the helper was restarted
// after a crash while the tunnel stayed up), counts itself connected,
// captures the physical default route with the tunnel's adapter left out,
// and follows the network, so that lists sent now apply at once.
void AdoptRunningTunnel();

#pragma once
// What the helper knows of the tunnel comes from the service control manager
// alone: the tunnel tool registers the tunnel as the service
// "AmneziaWGTunnel$Quorvel". Every probe opens and closes its own handles,
// and every failure reads as the negative answer.
#include <string>

std::wstring TunnelServiceName();
// True only while the service exists and is SERVICE_RUNNING.
bool TunnelServiceRunning();
bool TunnelServiceExists();
// Returns once the service can no longer be opened, or after timeoutMs of
// sleeping in 300 ms steps while it still exists (0 or less: one probe).
void WaitForTunnelServiceGone(int timeoutMs);

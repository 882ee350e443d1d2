#pragma once
// Bypass by domain name: inbound DNS answers are held at WinDivert's network
// layer until the host routes of a listed domain's addresses exist, so that
// an application's first connection to them already goes around the tunnel.
// Answers over TCP are only copied (a stream cannot be held a segment at a
// time): their routes follow them.
#include <string>

// Starts the hold's thread while the tunnel is up and the domain list is not
// empty (a second call does nothing). Without WinDivert the hold is off,
// said once.
void StartDnsHold();
// Ends the hold (its receive is shut down, every packet still queued is
// let through) and forgets the domain routes, which go unless the list or a
// split application wants them.
void StopDnsHold();
bool DnsHoldRunning();

// Replaces the domain list (as SetBypassDomains does) and, while the tunnel
// is up, starts or stops the hold to match it.
void SetBypassDomainsAndHold(const std::wstring& argument);

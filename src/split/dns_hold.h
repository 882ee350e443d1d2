#pragma once
// Bypass by domain name: inbound DNS answers are held at WinDivert's network
// layer until the host routes of a listed domain's addresses exist, so that
// an application's first connection to them already goes around the tunnel.
// Only an answer to a question this machine asked brings routes: the
// outbound questions pass through the same handle first. Answers over TCP
// are only copied (a stream cannot be held a segment at a time): their
// routes follow them.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/address.h"

// Starts the hold's thread while the tunnel is up and the domain list is not
// empty (a second call does nothing). The tunnel's peer endpoints are left
// out of the hold's filter: its own traffic is never held. Without
// WinDivert the hold is off, said once.
void StartDnsHold(const std::vector<std::pair<IpAddress, uint16_t>>& tunnelEndpoints);
// Ends the hold (its receive is shut down, every packet still queued is
// let through, routes still waiting to be made are dropped: it waits for
// the route call in progress only) and forgets the domain routes, which go
// unless the list or a split application wants them. Every stop path calls
// it before the routes are cleared, so that none is made after the clear.
void StopDnsHold();
bool DnsHoldRunning();

// Since the hold last started: answers that went on without their routes
// because the route maker's queue was full, and packets WinDivertSend did
// not take back (each lost).
struct DnsHoldCounts {
  uint64_t AnswersUnrouted = 0;
  uint64_t SendFailures = 0;
};
DnsHoldCounts CountDnsHold();

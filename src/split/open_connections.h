#pragma once
// The connections of listed applications that hold split host routes open,
// kept by socket endpoint: a TCP socket connects to one remote, a UDP
// socket reports a connect for every new remote it sends to (a QUIC,
// WebRTC or game socket reaches hundreds) and one close for the endpoint,
// whatever remote that close names. A close releases every remote its
// endpoint holds, so the process need not be readable any more (it has
// often ended) and an unlisted process's close costs one lookup. Callable
// from any thread; never with StateMutex held.
#include <cstdint>
#include <memory>

#include "split/process_match.h"
#include "support/address.h"

// A listed process's socket `endpoint` connected to `remote`: a host route
// to it, and one more connection counted on it (once per endpoint and
// remote). Endpoint 0 (a library that fills none): counted by process and
// remote instead.
void RouteConnection(uint64_t endpoint, uint32_t processId, const IpAddress& remote);

// Socket `endpoint` closed: every remote it holds is released. A second close
// of it changes nothing. An endpoint never seen (a TCP connection counted
// from the open-connections scan, or endpoint 0) releases one connection of
// that process to `remote`, if there is one.
void EndConnection(uint64_t endpoint, uint32_t processId, const IpAddress& remote);

// Forgets every counted connection (the routes go with the sniffer).
void ForgetConnections();

// The IPv4 TCP connections open now (connecting or established) whose
// processes the list names get their host routes, as if their connects had
// just been seen; a connection counted already is not counted again. Logs
// how many there were, when any.
void RouteOpenConnections(const std::shared_ptr<const SplitAppList>& list, ProcessMatcher& matcher);

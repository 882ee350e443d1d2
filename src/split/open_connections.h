#pragma once
// The connections of listed applications that hold split host routes open.
// Each is counted by process and remote address from its connect until its
// close: a close is matched against the connect it ends, so the process
// need not be readable any more (it has often ended) and an unlisted
// process's close costs one lookup. Callable from any thread; never with
// StateMutex held.
#include <cstdint>
#include <memory>

#include "split/process_match.h"
#include "support/address.h"

// Where a listed application connects that its traffic should go around the
// tunnel to: every address but the unspecified and broadcast IPv4 ones, and
// ::, ::1, link-local fe80::/10 and multicast ff00::/8.
bool SplitRoutable(const IpAddress& remote);

// A listed process connected to `remote`: a host route to it, and one more
// connection counted on it.
void RouteConnection(uint32_t processId, const IpAddress& remote);

// A socket of `processId` to `remote` closed. Ends one counted connection of
// that process to that address, if there is one.
void EndConnection(uint32_t processId, const IpAddress& remote);

// Forgets every counted connection (the routes go with the sniffer).
void ForgetConnections();

// The IPv4 TCP connections open now (connecting or established) whose
// processes the list names get their host routes, as if their connects had
// just been seen; a connection counted already is not counted again. Logs
// how many there were, when any.
void RouteOpenConnections(const std::shared_ptr<const SplitAppList>& list, ProcessMatcher& matcher);

#pragma once
// Following the physical network while the tunnel is up: when the machine
// changes network (Wi-Fi to Ethernet, a new gateway, resume from sleep) the
// bypass routes move to the new default route; when Windows drops them (an
// interface that goes down for a moment) they come back.
//
// Windows tells of route and interface changes through callbacks on threads
// of its own; they only wake the watcher's one worker, which waits for a
// burst of changes to settle (200 ms after the last, never more than 2 s
// after the first), then looks once (FollowPhysicalRoute). Between changes it
// takes away split host routes nobody has used for a while
// (ExpireIdleSplitRoutes).

// Registers for route and interface changes of both families and starts the
// worker.
// Called once the routes of a connect are in, and at start when the tunnel
// runs already. A second call changes nothing.
void StartNetworkWatch();

// Cancels both registrations (no callback runs after this) and ends the
// worker. Called before every clear of the route table, so that nothing is
// made after it. Nothing when not watching.
void StopNetworkWatch();

// Asks the worker for a look now, as a change would (resume from sleep).
// Nothing when not watching.
void NudgeNetworkWatch();

// One look, on the calling thread: the table read, the physical default
// route found in it, the routes followed; and when the routes beside the
// bypass list changed (list_limits.h), the list merged again. While connected and no adapter
// has the tunnel's alias, nothing moves ("tunnel interface not found;
// routes not moved", once until it is found again).
void FollowPhysicalNetwork();

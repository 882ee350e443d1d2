#pragma once
// A connected session: what the helper runs beside a tunnel that is up, and
// the one order in which it starts and stops. Every path that brings a
// tunnel up, takes up a running one, takes it down or ends the helper goes
// through here, so that no worker outlives the routes it could add to.
#include <string>

// How the session begins: with a tunnel just brought up, whose list routes
// are made first; or with one taken up after a restart of the helper, whose
// routes the journal's replay has just dealt with.
enum class SessionStart { NewTunnel, RunningTunnel };

// In order: the list's routes (NewTunnel), the network watch, the sniffer
// (with applications listed), the DNS hold (with domains listed).
void StartSession(SessionStart how);

// The first half of the stop: the DNS hold, then the network watch. From
// here on nothing follows the network or makes a route from an answer,
// while the sniffer and the routes made so far stay (a connect removes the
// old tunnel in between, its bypass routes still in place).
void StopFollowing();

// The reverse: the DNS hold first (its route maker may be making the routes
// of a flood of answers, each route call holding the state lock the watch
// needs to finish), the network watch, the sniffer; then every route the
// helper made is deleted. Safe to call when nothing runs.
void StopSession();

// The three list commands, one shape: the list is parsed and published for
// every reader, then, while the tunnel is up, applied through the session.
void SplitAppsCommand(const std::wstring& argument);
void BypassNetsCommand(const std::wstring& argument);
void BypassDomainsCommand(const std::wstring& argument);

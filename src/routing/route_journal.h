#pragma once
// A write-ahead record of the bypass routes in the system, kept in the data
// directory: the route table itself lives in memory only, so a helper that
// crashes or is killed would otherwise leave its routes behind until the
// next reboot, carrying every program's traffic to those addresses around
// the tunnel. Only Local System and Administrators may write it.
#include <cstdint>
#include <string>

// One route as the journal keeps it: what deleting it needs.
struct JournaledRoute {
  uint32_t InterfaceIndex = 0;
  uint32_t Destination = 0;  // network byte order
  uint8_t PrefixLength = 0;
  uint32_t Gateway = 0;  // network byte order
};

// Appends a route before it is created, when the data directory was last
// found trusted. Called with StateMutex held.
void JournalBypassRoute(const JournaledRoute& route);
// Empties the journal once its routes are deleted. Called with StateMutex
// held; no file is touched when nothing was journaled since the last time.
void EmptyRouteJournal();

// At start, before the pipe is served, and only for a trusted data
// directory (a planted journal would make the service delete what an
// attacker chose): deletes every route an earlier run journaled, logs how
// many went, skips (and logs) a damaged line, and empties the journal.
void RemoveRoutesLeftBehind();

// The text of one journal line, and back; false for a damaged line.
std::string RouteJournalLine(const JournaledRoute& route);
bool ParseRouteJournalLine(const std::string& line, JournaledRoute& route);

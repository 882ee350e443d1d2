#pragma once
// A write-ahead record of the bypass routes in the system, kept in the data
// directory: the route table itself lives in memory only, so a helper that
// crashes or is killed would otherwise leave its routes behind until the
// next reboot, carrying every program's traffic to those addresses around
// the tunnel. Only Local System and Administrators may write it, and one
// helper at a time holds it, for its whole life.
#include <cstdint>
#include <string>

// One route as the journal keeps it: what deleting it needs.
struct JournaledRoute {
  uint32_t InterfaceIndex = 0;
  uint32_t Destination = 0;  // network byte order
  uint8_t PrefixLength = 0;
  uint32_t Gateway = 0;  // network byte order
};

// At start, before the pipe is served, and only for a trusted data
// directory (a planted journal would make the service delete what an
// attacker chose): opens the journal without sharing and keeps it; deletes
// every route it lists (an earlier run's), logs how many went, skips (and
// logs) a damaged line, and empties it. False when another helper holds it:
// this one then keeps no journal and leaves that helper's routes alone.
bool TakeOverRouteJournal();

// Appends a route before it is created, once per destination between two
// clears. Called with StateMutex held; nothing without a journal.
void JournalBypassRoute(const JournaledRoute& route);
// Empties the journal once its routes are deleted. Called with StateMutex
// held; no file call when nothing was journaled since the last time.
void EmptyRouteJournal();

// The text of one journal line, and back; false for a damaged line.
std::string RouteJournalLine(const JournaledRoute& route);
bool ParseRouteJournalLine(const std::string& line, JournaledRoute& route);

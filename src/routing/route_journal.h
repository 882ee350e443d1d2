#pragma once
// A write-ahead record of the routes the helper has put into the system,
// kept in the data directory: the route table itself lives in memory only,
// so a helper that crashes or is killed would otherwise leave its routes
// behind until the next reboot, carrying every program's traffic to those
// addresses around the tunnel. Only Local System and Administrators may
// write it, and one helper at a time holds it, for its whole life.
//
// Once every operation on the table is done, the journal lists exactly the
// routes the helper made and has not deleted, each as it was made; only a
// creation under way when the helper died may be listed without having
// happened. Each route has a line of its own (a fixed-size slot, so that a
// line can be withdrawn in place); a withdrawn line is blank.
#include <cstdint>
#include <string>
#include <vector>

#include "routing/journal_line.h"
#include "support/address.h"

// At start, before the pipe is served, and only for a trusted data
// directory (a planted journal would make the service delete what an
// attacker chose): opens the journal without sharing and keeps it; deletes
// every route it lists (an earlier run's), logs how many went, skips (and
// logs) a damaged line (a last line without its line end among them), and
// empties it. False when it cannot be used (another helper holds it, say):
// this helper then keeps no journal and leaves that helper's routes alone.
bool TakeOverRouteJournal();

// The rest is called by the route store (route_store.h) only. The journal
// has a lock of its own, taken within the store's, which keeps the file's
// position still between calls.

// Writes a route's line before the route is created, and gives the line's
// number (kNotJournaled when the helper keeps no journal). False when the
// line could not be written (the caller logs it, GetLastError() telling
// why): the route must not be created then,
// or a crash would leave it behind unlisted.
bool JournalRoute(const JournaledRoute& route, uint32_t& line);
// The same for several routes at once, in as few writes as their slots
// allow: every line or none (false, GetLastError() telling why).
bool JournalRoutes(const std::vector<JournaledRoute>& routes, std::vector<uint32_t>& lines);
// Takes lines back at once (kNotJournaled ones are skipped).
void WithdrawJournalLines(const std::vector<uint32_t>& lines);
// Takes a line back: its route was deleted, was never made, or turned out
// to be someone else's. A line that cannot be blanked stays (and is
// logged): the journal may list a route that is gone, never miss one.
void WithdrawJournalLine(uint32_t line);
// Empties the journal once every route in it is deleted. No file call when
// it holds nothing.
void EmptyRouteJournal();

#pragma once
// The engine of the per-app split: a thread that watches every socket
// connect and close on the machine through WinDivert, asks for a host bypass
// route for each address a listed application connects to, and counts the
// connections that hold each route. When it starts it routes the
// connections listed applications hold open already. Runs only while the
// tunnel is up and applications are listed; without WinDivert it logs one
// line and split stays off.
#include <cstdint>
#include <string>

// Starts the sniffer thread unless one was started and not stopped since
// (running, or ended early because the library could not be used).
void StartSniffer();

// Stops and joins the sniffer thread, promptly even when no socket event
// comes, then deletes its split host routes (the list's networks keep
// theirs). Does nothing at all when the sniffer was not started.
void StopSniffer();

// The list changed: while the sniffer runs, the connections open now of the
// applications the list names get their routes.
void SplitListChanged();

// Whether the sniffer thread has its WinDivert handle open, so that events
// fed now reach it (for tests and benchmarks that feed the stand-in).
bool SnifferHandleOpen();

// The lower-cased file name of a process's image ("" when there is none to
// give: ids 0 and 4, a process that cannot be opened, a path of MAX_PATH or
// more).
std::wstring ProcessImageName(uint32_t processId);

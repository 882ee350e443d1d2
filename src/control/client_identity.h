#pragma once
// Who sent a request: a configuration is run by the tunnel tool as
// LocalSystem on behalf of whichever local user sent it, so the log says who
// asked for each command that changes something.
#include <windows.h>

#include <string>

// "pid N (IMAGE, USER)" of the client at the other end of a pipe instance:
// its process id, the file name of that process's image (cut as a client's
// text is), and the user of the client's own token as the pipe holds it
// (read while impersonating the client, never through the process id, which
// another process may have by then); "?" for each that cannot be read. USER
// is "DOMAIN\user" once a lookup off the pipe's thread has named that
// account, its SID ("S-1-5-21-...") until then: naming an account may wait
// seconds for a domain controller, and the pipe serves every client on one
// thread.
std::wstring DescribePipeClient(HANDLE pipe);

// Looks an account up by name; true and "DOMAIN\user" when it is known.
// Runs on the naming thread only. A seam for tests (a lookup that never
// returns); LookupAccountSidW by default.
extern bool (*NameAccount)(PSID sid, std::wstring& name);

// Logs "request from <client>: <word>", except that the same line again
// within a second of its first is only counted; the count is logged as
// "request from <client>: <word> (repeated N times)" once that second has
// passed, at the next audit line or at FlushAuditLines, whichever is first.
// False when the log had no room for the line, or for a count that was
// due: the request must then be refused, so that no change goes unlogged.
bool AuditRequest(HANDLE pipe, const std::wstring& word);
// Logs what is still counted (the server's stop).
void FlushAuditLines();

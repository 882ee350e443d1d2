#pragma once
// The helper's only diagnostic output: helper.log in the data directory, one
// "YYYY-MM-DD hh:mm:ss  text" line per call, UTF-8 without BOM, CR LF.
// Safe from any thread; a line that cannot be written is dropped silently.
//
// The file is opened only in a directory the data directory check has just
// accepted, and kept open: a LocalSystem process must never open a file by
// name in a directory an ordinary user may control. Until such a directory
// exists, lines are held back in memory (the first 256) and written once one
// does; while none exists the helper writes no file at all.
//
// A line that would take helper.log past HelperLimits.LogRotateBytes (8 MiB)
// first renames it to helper.log.1, replacing the older one, and a new
// helper.log begins with "log continued from helper.log.1": whatever clients
// send, at most about twice that much log exists.
#include <string>

void LogLine(const std::wstring& text);

// Opens (or reopens) `directory` + "\helper.log" for appending and writes
// the lines held back. Only the data directory check calls it, right after
// accepting the directory. False when the file cannot be opened; lines are
// then held back again.
bool OpenLogFile(const std::wstring& directory);
// Stops writing to the file; later lines are held back.
void CloseLogFile();

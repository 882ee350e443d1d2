#pragma once
// The helper's only diagnostic output: helper.log in the data directory, one
// "YYYY-MM-DD hh:mm:ss  text" line per call, UTF-8 without BOM, CR LF.
// Safe from any thread; a line that cannot be written is dropped (and counted
// when the log's bound is the reason).
//
// The file is opened only in a directory the data directory check has just
// accepted, and kept open: a LocalSystem process must never open a file by
// name in a directory an ordinary user may control. Until such a directory
// exists, lines are held back in memory (the first 192, audit lines up to
// 256) and written once one does; while none exists the helper writes no
// file at all.
//
// A line that would take helper.log past HelperLimits.LogRotateBytes (8 MiB)
// first renames it to helper.log.1, replacing the older one, and a new
// helper.log begins with "log continued from helper.log.1". While the rename
// is refused (a reader holds either file without sharing delete), helper.log
// keeps growing, up to twice that bound (16 MiB): ordinary lines up to three
// quarters of it, the last quarter kept for audit lines. Past that, lines are
// dropped and counted, and a state-changing request whose audit line finds
// no room is refused (LogAuditLine); the next generation begins by saying
// how many of each. Whatever clients send, no file of the log grows past 16
// MiB, and no change a client asked for goes unlogged.
#include <string>
#include <string_view>

void LogLine(const std::wstring& text);

// Logs the line that names who asked for a change. True when it was written
// (or held back to be written); false when there was no room for it: the
// change must then not be made.
bool LogAuditLine(const std::wstring& text);

// The longest a string that a client chose (a key, a file name, a path) or
// that a program outside the helper wrote (the tunnel tool's words) appears
// in a line: ClientText cuts it there.
constexpr size_t kClientTextChars = 200;
// `text` as a line may hold it: at most kClientTextChars characters (a
// surrogate pair counts once and is never cut in two), each control
// character or line or paragraph separator shown as '?', then, when
// anything was cut, "... (N more characters)" with N the characters cut,
// `alreadyCut` (what the caller cut before, as characters) included.
std::wstring ClientText(std::wstring_view text, unsigned long long alreadyCut = 0);

// Opens (or reopens) `directory` + "\helper.log" for appending and writes
// the lines held back. Only the data directory check calls it, right after
// accepting the directory. False when the file cannot be opened; lines are
// then held back again.
bool OpenLogFile(const std::wstring& directory);
// Stops writing to the file; later lines are held back.
void CloseLogFile();

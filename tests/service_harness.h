#pragma once
// Tools for the tests that go through the real service control manager of
// the build's Wine prefix: child processes with captured output, the paths
// of the built programs, service registration and waiting, the service-mode
// log.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/handles.h"

// True under Wine, where a few service-manager answers differ from Windows.
bool RunningUnderWine();

// Paths of the programs this build produced, as Windows paths.
std::wstring HelperExePath();
// The same helper with limits a test may shorten through QUORVEL_TEST_LIMITS
// (testbed/limited_helper.cpp); never shipped.
std::wstring LimitedHelperExePath();
std::wstring ControlClientExePath();
// The maintainer's check of an installed helper (tools/windows_check.cpp).
std::wstring WindowsCheckExePath();
// A file of the test bed (the stand-ins' build folder).
std::wstring TestbedFile(const wchar_t* name);
// A path as CMake gives it, as Windows sees it.
std::wstring ToWindowsPath(const std::string& built);

// Quotes one argument for a command line (for the cases the tests use:
// blanks, no embedded quotes).
std::wstring Quote(const std::wstring& text);

struct ProcessResult {
  bool started = false;   // CreateProcessW succeeded
  bool finished = false;  // exited before the time-out (killed otherwise)
  DWORD exitCode = 0;
  std::string output;  // stdout and stderr together
  ULONGLONG elapsedMs = 0;
  DWORD error = 0;  // CreateProcessW's error when !started
  DWORD pid = 0;    // the process id it had
};

// Runs exe with the given command-line tail (appended after the quoted exe
// path and a blank; empty means no arguments) and waits for it.
ProcessResult RunProgram(const std::wstring& exe, const std::wstring& argumentTail,
                         DWORD timeoutMs = 20000);

// Service control manager helpers. Every function opens and closes its own
// handles, so none of them keeps a deleted service alive.
struct ServiceConfig {
  bool found = false;
  DWORD error = 0;
  DWORD serviceType = 0;
  DWORD startType = 0;
  DWORD errorControl = 0;
  std::wstring binaryPath;
  std::wstring displayName;
  std::wstring account;  // the account it runs as ("LocalSystem")
};
ServiceConfig QueryConfig(const wchar_t* name);

// The optional configuration: description and failure actions. `error` is 0
// when the manager answered.
struct ServiceRecovery {
  DWORD error = 0;
  std::wstring description;
  // How long the manager waits for the service at shutdown (0, with
  // preshutdownError, when it did not say).
  DWORD preshutdownMs = 0;
  DWORD preshutdownError = 0;
  DWORD resetSeconds = 0;
  std::vector<SC_ACTION> actions;
};
ServiceRecovery QueryRecovery(const wchar_t* name);

// The current state, or 0 when the service cannot be opened or queried.
DWORD ServiceState(const wchar_t* name);
// The status last reported (false when it cannot be queried).
bool ServiceStatusNow(const wchar_t* name, SERVICE_STATUS_PROCESS& status);
// The process id of the running service, or 0.
DWORD ServiceProcessId(const wchar_t* name);
bool ServiceExists(const wchar_t* name);

// Polls every 10 ms until the state is reached; returns whether it was.
bool WaitForServiceState(const wchar_t* name, DWORD state, DWORD timeoutMs);
// Polls until OpenServiceW fails with ERROR_SERVICE_DOES_NOT_EXIST.
bool WaitForServiceGone(const wchar_t* name, DWORD timeoutMs);

// Registers the tunnel tool stand-in in its service mode under the given
// name, demand start, with extra arguments on its command line. Returns the error (0 on success).
DWORD CreateStandinService(const wchar_t* name, const std::wstring& extraArguments = L"");
// StartServiceW; returns the error (0 on success).
DWORD StartNamedService(const wchar_t* name);
// DeleteService; returns the error (0 on success).
DWORD DeleteNamedService(const wchar_t* name);
// Stops and deletes a service if it exists, and waits until the manager has
// forgotten it. Returns false if it is still registered after timeoutMs.
bool RemoveServiceAndWait(const wchar_t* name, DWORD timeoutMs = 15000);
// Makes sure neither an installed helper service (which would hold the
// control pipe) nor a tunnel service is left from an earlier test.
// Stops and deletes the helper's and the tunnel's services; false when one
// was still there after its wait (a stop that takes longer than a loaded
// machine should need).
bool RemoveHelperServices();
// ControlService; returns the error (0 on success) and the reported status.
DWORD ControlNamedService(const wchar_t* name, DWORD control, SERVICE_STATUS* status = nullptr);

// The helper's log as a service writes it. Wine starts services with
// ProgramData=C:\users\Public whatever the caller's environment says;
// Windows gives them the machine's ProgramData.
std::wstring ServiceLogPath();
// Size of a file in bytes, 0 when it does not exist.
ULONGLONG FileSize(const std::wstring& path);
// The texts (after the time stamp) of the complete log lines that start at
// or after byte offset `from`. A line that does not have the log's format
// is returned as "<malformed> " followed by the raw line, so a test sees it.
std::vector<std::string> LogTextsSince(const std::wstring& path, ULONGLONG from);

// One line of the helper log (without CR LF): true when it has the log's
// "YYYY-MM-DD hh:mm:ss  " stamp, with the text after the stamp.
bool LogLineText(const std::string& line, std::string& text);

// Assertion helpers: how many lines hold `text`; the lines one per line,
// indented, for a message; the lines that start with `prefix`, without it.
size_t Count(const std::vector<std::string>& lines, const std::string& text);
std::string Joined(const std::vector<std::string>& lines);
std::vector<std::string> Starting(const std::vector<std::string>& lines, const std::string& prefix);
// "a.b.c.d" as the network-order value a socket address holds (0 if bad).
uint32_t IPv4(const char* text);
// A file beside the test program: where in-process tests find the stand-ins.
std::wstring BesideTests(const wchar_t* name);
// The calls of one kind ("create" or "delete") in the IP Helper stand-in's
// journal, each from "dest=" on.
std::vector<std::string> RouteCalls(const std::vector<std::string>& journal,
                                    const std::string& kind);

// Polls every 20 ms until done() holds or the time is up; returns done().
template <typename Done>
bool WaitUntil(Done done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
  return true;
}

// Polls until `text` appears among LogTextsSince(path, from).
bool WaitForLogText(const std::wstring& path, ULONGLONG from, const std::string& text,
                    DWORD timeoutMs);

// Points ProgramData somewhere for the life of the object (nullptr: unset),
// then puts it back.
class ProgramDataOverride {
 public:
  explicit ProgramDataOverride(const wchar_t* value);
  ~ProgramDataOverride();
  ProgramDataOverride(const ProgramDataOverride&) = delete;
  ProgramDataOverride& operator=(const ProgramDataOverride&) = delete;

 private:
  bool had_ = false;
  std::wstring saved_;
};

// A new, empty directory under the temp folder, unique per call ("" when it
// cannot be made).
std::wstring NewScratchDirectory(const std::wstring& tag);

// Gives one of HelperLimits (or any variable) another value for the life of
// the object, for the helper's code run in-process.
template <typename T>
class ScopedLimit {
 public:
  ScopedLimit(T& limit, T value) : limit_(limit), saved_(limit) { limit_ = value; }
  ~ScopedLimit() { limit_ = saved_; }
  ScopedLimit(const ScopedLimit&) = delete;
  ScopedLimit& operator=(const ScopedLimit&) = delete;

 private:
  T& limit_;
  T saved_;
};

// A ProgramData of the test's own for the helper's code run in-process: the
// data directory made and accepted, so that the helper's log is open in it,
// for the object's life; then the log is closed and everything removed.
class ScratchDataDirectory {
 public:
  explicit ScratchDataDirectory(const wchar_t* tag);
  ~ScratchDataDirectory();
  ScratchDataDirectory(const ScratchDataDirectory&) = delete;
  ScratchDataDirectory& operator=(const ScratchDataDirectory&) = delete;
  bool Ready() const { return ready_; }
  const std::wstring& Root() const { return root_; }  // what ProgramData names

 private:
  std::wstring root_;
  ProgramDataOverride override_;
  bool ready_;
};
// Deletes a directory and everything below it.
void RemoveTree(const std::wstring& path);
// Replaces the access list of a file or directory with the one of `sddl`'s
// D: part. Wine keeps no access list of a file, but turns one into Unix
// mode bits and reads it back from them: an Everyone entry with full
// control is read back as one that may write.
bool SetAccessList(const std::wstring& path, const wchar_t* sddl);
// A symbolic link at `link` to `target` (a file or a directory that exists).
// Under Wine a Unix one, made by the host's ln: Wine's CreateSymbolicLinkW
// reports success and makes nothing. Windows: CreateSymbolicLinkW.
bool PlantSymbolicLink(const std::wstring& link, const std::wstring& target);
// Under Wine: the Unix mode of a file, by the host's chmod ("0666"): Wine
// reads a file's access list back from it (0666: Everyone may write).
bool SetHostFileMode(const std::wstring& path, const char* mode);
// Under Wine, as root: the host's chattr +i (or -i) on a directory, after
// which nothing in it can be renamed, created or deleted, while files
// already open in it can still be written. Holding a file open does not
// stop a rename under Wine as it does on Windows; this does.
bool SetHostImmutable(const std::wstring& directory, bool immutable);
// What a reader of the log can do to its rotation: on Windows, hold
// helper.log and helper.log.1 open without sharing delete (any user may
// read them), after which neither can be renamed; under Wine, where a held
// file can still be renamed, the data directory made immutable. For the
// object's life, or until Thaw.
class FrozenLogRotation {
 public:
  explicit FrozenLogRotation(const std::wstring& dataDirectory);
  ~FrozenLogRotation() { Thaw(); }
  FrozenLogRotation(const FrozenLogRotation&) = delete;
  FrozenLogRotation& operator=(const FrozenLogRotation&) = delete;
  bool Frozen() const { return frozen_; }
  void Thaw();

 private:
  std::wstring directory_;
  bool frozen_ = false;
  UniqueFileHandle current_, older_;
};
// Removes such a link itself. Under Wine DeleteFileW and RemoveDirectoryW
// on a Unix link delete its target, and a link whose target is gone cannot
// be seen at all, so the host's rm does it.
void RemoveSymbolicLink(const std::wstring& link);
// A whole file ("" when it cannot be read); readers share everything, as the
// helper may be writing at the same time.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Adds to the end in one write (a reader may be reading meanwhile).
bool AppendFileBytes(const std::wstring& path, const std::string& bytes);
// The lines of a text file, without their LF or CR LF ends.
std::vector<std::string> ReadLines(const std::wstring& path);

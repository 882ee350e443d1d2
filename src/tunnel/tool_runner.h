#pragma once
// Running the tunnel tool amneziawg.exe: where it is, and one hidden run of
// it with a bounded wait.
#include <string>

// The tool beside the helper: "<module directory>\awg\amneziawg.exe", else
// "<module directory>\amneziawg.exe"; "" when neither exists. A copy in a
// directory that non-administrators can change, or that they can change
// itself, or beside a DLL they can change, counts as missing, and is logged
// ("not loading ..."). Nothing is cached.
std::wstring FindTunnelTool();

// The exit code a run reports while the tool is still running.
constexpr int kToolStillRunning = 259;  // STILL_ACTIVE

// Runs `"<toolPath>" <arguments>` with no window and waits up to
// HelperLimits.ToolWaitMs (30 s).
// Returns the exit code, kToolStillRunning for a tool that is still running
// (it is left running), or -1 when it could not be started ("CreateProcess
// failed: " and the command line are logged). The tool's standard output and
// error go to one pipe that is read while waiting; a non-zero exit is logged
// with the start of what the tool wrote.
int RunTunnelTool(const std::wstring& toolPath, const std::wstring& arguments);

// How the tool's output appears in the log: of its first 2 KiB, line breaks
// shown as " | ", trailing ones dropped, then cut as a client's text is
// (ClientText: 200 characters, and how many more), `dropped` bytes the
// reader did not keep counted as characters cut.
std::wstring ToolOutputForLog(const std::string& output, unsigned long long dropped = 0);

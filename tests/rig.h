#pragma once
// A rig: a folder of its own holding a copy of the real QuorvelHelper.exe with
// the stand-ins it should find beside it (IP Helper, WinDivert, the tunnel
// tool in awg\), and a ProgramData of its own. Tests start the helper from
// there, in console mode or as the installed service, drive it through its
// pipe, and read what the stand-ins and the helper wrote.
#include <windows.h>

#include <string>
#include <vector>

#include "support/handles.h"

struct RigLayout {
  // File in the test-bed folder that becomes WinDivert.dll beside the
  // helper; nullptr for none.
  const wchar_t* winDivert = L"WinDivert.dll";
  enum class Tool { InAwgFolder, Beside, None } tool = Tool::InAwgFolder;
  // Shortened limits ("ComeUpMs=1500;..."): the rig runs the test build's
  // helper that reads them (testbed/limited_helper.cpp), from its
  // environment in console mode and from QuorvelHelperLimits.txt beside it
  // as a service; nullptr: the product.
  const wchar_t* limits = nullptr;
};

class HelperRig {
 public:
  // Makes the folder afresh under the build's rigs folder.
  explicit HelperRig(const std::wstring& name, RigLayout layout = {});
  // Ends what it started: a console helper is killed, an installed helper
  // service and the tunnel service are removed.
  ~HelperRig();
  HelperRig(const HelperRig&) = delete;
  HelperRig& operator=(const HelperRig&) = delete;

  const std::wstring& Dir() const { return dir_; }
  std::wstring ToolDir() const;
  std::wstring HelperPath() const { return dir_ + L"\\QuorvelHelper.exe"; }
  // The helper's data directory: the rig's own for console mode; as a
  // service it is whatever the service's ProgramData says.
  std::wstring DataDir() const;
  std::wstring LogPath() const { return DataDir() + L"\\helper.log"; }
  std::wstring ConfigPath() const { return DataDir() + L"\\Quorvel.conf"; }

  // What the stand-ins wrote, a line each.
  std::vector<std::string> RouteJournal() const;    // IP Helper calls
  std::vector<std::string> ToolJournal() const;     // tunnel tool runs
  std::vector<std::string> SnifferJournal() const;  // WinDivert opens and closes
  // The routes the IP Helper stand-in holds now, made through it by anyone
  // ("<if> <dest>/<len> <nexthop> <metric> <protocol>"), in the order made.
  std::vector<std::string> SystemRoutes() const;
  // The routes the helper's own journal lists (routes.journal, without the
  // blank lines of routes it took back, and without the LUID field).
  std::vector<std::string> ListedRoutes() const;
  // The helper's log texts (after the stamp) since the rig was made.
  std::vector<std::string> Log() const;
  // Until the line has been logged `times` times (since the rig was made).
  bool WaitForLog(const std::string& text, DWORD timeoutMs, size_t times = 1) const;
  // Waits until the IP Helper stand-in has been asked to create a route to
  // `destination` ("a.b.c.d/len").
  bool WaitForRoute(const std::string& destination, DWORD timeoutMs) const;

  // Test-bed files beside the helper or the tool.
  bool WriteRouteScenario(const std::string& text) const;
  bool WriteToolBehaviour(const std::string& text) const;
  // Appends socket events ("connect v4 <pid> <a.b.c.d>", a line each).
  bool FeedSocketEvents(const std::string& lines) const;

  // Starts QuorvelHelper.exe --console from the rig with the rig's
  // ProgramData (and `extraPath` before PATH), and waits until it answers.
  bool StartConsole(const std::wstring& extraPath = L"");
  void KillConsole();
  // Ends every process started from the rig's folder (a console helper
  // included): what a test started there and left running.
  void KillStrayProcesses();
  HANDLE ConsoleProcess() const { return console_.get(); }

  // Installs the rig's helper as the QuorvelHelper service (with the IP
  // Helper stand-in forced for it) and waits until it answers.
  bool InstallService();
  void RemoveService();

 private:
  std::wstring dir_;
  RigLayout layout_;
  bool service_ = false;
  ULONGLONG logStart_ = 0;
  UniqueHandle console_;
};

// The routes the IP Helper stand-in in `folder` holds now, as
// HelperRig::SystemRoutes gives them.
std::vector<std::string> StandinRoutes(const std::wstring& folder);

// A default route for the IP Helper stand-in: interface 7, gateway
// 192.168.1.1.
extern const char kPhysicalDefaultRoute[];

// One request line to the helper's pipe with a generous wait for a busy
// helper (a connect may take seconds); returns the reply without its line
// feed, or "<no reply>".
std::string Send(const std::string& line, DWORD busyWaitMs = 60000);

// A process that is ended when the object goes.
class RunningProcess {
 public:
  RunningProcess() = default;
  explicit RunningProcess(HANDLE process) : process_(process) {}
  RunningProcess(RunningProcess&&) = default;
  RunningProcess& operator=(RunningProcess&&) = default;
  ~RunningProcess();
  bool valid() const { return process_.valid(); }
  DWORD Id() const { return process_ ? GetProcessId(process_.get()) : 0; }
  HANDLE get() const { return process_.get(); }
  void Kill();

 private:
  UniqueHandle process_;
};

// Copies the test bed's sleeper under `fileName` into `directory` and starts
// it; it runs until killed, so that the helper can name a real process.
RunningProcess StartNamedProcess(const std::wstring& directory, const std::wstring& fileName);

// Starts the test bed's pipe_idler: `count` connections to the helper's
// pipe from one process of its own, none of which ever writes. `opened`
// and `refused` are what it reports: the connections it made, and those
// of them the helper answered and closed at once.
RunningProcess StartPipeIdler(unsigned count, unsigned& opened, unsigned& refused);

// The same for a chain, as a launcher starts a game that starts a helper:
// names[0] starts names[1], which starts names[2] ... Their processes in
// chain order; empty when the chain did not come up whole.
std::vector<RunningProcess> StartProcessChain(const std::wstring& directory,
                                              const std::vector<std::wstring>& names);

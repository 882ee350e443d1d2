#include "rig.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <sstream>

#include "client_io.h"
#include "routing/journal_line.h"
#include "service_harness.h"
#include "support/paths.h"
#include "support/text.h"

const char kPhysicalDefaultRoute[] = "route 0.0.0.0 0.0.0.0 192.168.1.1 7 25\n";

namespace {

constexpr wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\QuorvelHelper.exe\\DllOverrides";
constexpr DWORD kStartTimeoutMs = 15000;
// For programs a test ends with TerminateProcess: no console at all. Under
// Wine a console program started without a window gets a headless console
// host that outlives a killed program and keeps the test's output pipe open,
// so that CTest waits for its time-out.
constexpr DWORD kKilledLater = DETACHED_PROCESS;

std::wstring RigsFolder() { return DirectoryOfPath(HelperExePath()) + L"\\rigs"; }

bool Copy(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool SameName(const std::wstring& entry, const std::wstring& name) {
  if (entry.size() <= name.size() || entry[name.size()] != L'=') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::towupper(entry[i]) != std::towupper(name[i])) return false;
  }
  return true;
}

// This process's environment with ProgramData (and PATH) replaced, as a
// block for CreateProcessW.
std::wstring EnvironmentWith(const std::wstring& programData, const std::wstring& extraPath,
                             const wchar_t* limits) {
  std::vector<std::wstring> entries;
  std::wstring path;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    if (SameName(text, L"ProgramData")) continue;
    if (SameName(text, L"PATH")) {
      path = text.substr(5);
      continue;
    }
    entries.push_back(text);
  }
  FreeEnvironmentStringsW(block);
  entries.push_back(L"ProgramData=" + programData);
  if (limits) entries.push_back(std::wstring(L"QUORVEL_TEST_LIMITS=") + limits);
  entries.push_back(L"PATH=" + (extraPath.empty() ? path : extraPath + L";" + path));
  std::wstring result;
  for (const std::wstring& entry : entries) result += entry + L'\0';
  return result + L'\0';
}

// A test that was killed (by CTest's time-out, say) leaves its helper
// running, and that helper would answer every later test in its place.
// Every process whose image lies below `folder` (with its trailing "\").
void KillProcessesBelow(const std::wstring& folder) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                    entry.th32ProcessID));
    if (!process) continue;
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    if (!QueryFullProcessImageNameW(process.get(), 0, path, &length)) continue;
    if (std::wstring(path, length).compare(0, folder.size(), folder) != 0) continue;
    TerminateProcess(process.get(), 9);
    WaitForSingleObject(process.get(), 5000);
  }
}

void KillStrayRigProcesses() { KillProcessesBelow(RigsFolder() + L"\\"); }

}  // namespace

HelperRig::HelperRig(const std::wstring& name, RigLayout layout)
    : dir_(RigsFolder() + L"\\" + name), layout_(layout) {
  CreateDirectoryW(RigsFolder().c_str(), nullptr);
  KillStrayRigProcesses();
  RemoveTree(dir_);
  CreateDirectoryW(dir_.c_str(), nullptr);
  CreateDirectoryW((dir_ + L"\\ProgramData").c_str(), nullptr);
  Copy(layout_.limits ? LimitedHelperExePath() : HelperExePath(), HelperPath());
  // The same limits for the installed service, which gets no environment
  // of ours.
  if (layout_.limits) {
    WriteFileBytes(dir_ + L"\\QuorvelHelperLimits.txt", WideToUtf8(layout_.limits));
  }
  Copy(TestbedFile(L"iphlpapi.dll"), dir_ + L"\\iphlpapi.dll");
  if (layout_.winDivert) Copy(TestbedFile(layout_.winDivert), dir_ + L"\\WinDivert.dll");
  if (layout_.tool != RigLayout::Tool::None) {
    CreateDirectoryW(ToolDir().c_str(), nullptr);
    Copy(TestbedFile(L"amneziawg.exe"), ToolDir() + L"\\amneziawg.exe");
  }
  WriteRouteScenario(kPhysicalDefaultRoute);
}

HelperRig::~HelperRig() {
  KillConsole();
  if (service_) RemoveService();
  RemoveServiceAndWait(L"AmneziaWGTunnel$Quorvel");
}

void HelperRig::KillStrayProcesses() { KillProcessesBelow(dir_ + L"\\"); }

std::wstring HelperRig::ToolDir() const {
  return layout_.tool == RigLayout::Tool::Beside ? dir_ : dir_ + L"\\awg";
}

std::wstring HelperRig::DataDir() const {
  return service_ ? DirectoryOfPath(ServiceLogPath()) : dir_ + L"\\ProgramData\\Quorvel";
}

std::vector<std::string> HelperRig::RouteJournal() const {
  return ReadLines(dir_ + L"\\iphlpapi-journal.txt");
}
std::vector<std::string> HelperRig::ToolJournal() const {
  return ReadLines(ToolDir() + L"\\amneziawg-journal.txt");
}
std::vector<std::string> HelperRig::SnifferJournal() const {
  return ReadLines(dir_ + L"\\windivert-journal.txt");
}
std::vector<std::string> HelperRig::SystemRoutes() const { return StandinRoutes(dir_); }

std::vector<std::string> StandinRoutes(const std::wstring& folder) {
  // Appended to: a "- <if> <dest>/<len> <nexthop>" line takes a route away.
  std::vector<std::string> routes;
  for (const std::string& line : ReadLines(folder + L"\\iphlpapi-routes.txt")) {
    if (line.rfind("- ", 0) != 0) {
      routes.push_back(line);
      continue;
    }
    const std::string key = line.substr(2) + " ";
    for (auto route = routes.begin(); route != routes.end(); ++route) {
      if (route->rfind(key, 0) == 0) {
        routes.erase(route);
        break;
      }
    }
  }
  return routes;
}

std::vector<std::string> HelperRig::ListedRoutes() const {
  std::vector<std::string> listed;
  for (const std::string& line : ReadLines(DataDir() + L"\\routes.journal")) {
    JournaledRoute route;
    if (ReadJournalSlot(line, route) != JournalSlot::Route) continue;
    route.InterfaceLuid = 0;  // the stand-in's LUIDs only encode the index
    listed.push_back(RouteJournalLine(route));
  }
  return listed;
}
std::vector<std::string> HelperRig::Log() const { return LogTextsSince(LogPath(), logStart_); }
bool HelperRig::WaitForLog(const std::string& text, DWORD timeoutMs, size_t times) const {
  return WaitUntil(
      [&] {
        const std::vector<std::string> log = Log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), text)) >= times;
      },
      timeoutMs);
}

bool HelperRig::WaitForRoute(const std::string& destination, DWORD timeoutMs) const {
  const std::string wanted = " dest=" + destination + " ";
  return WaitUntil(
      [&] {
        for (const std::string& line : RouteJournal()) {
          if (line.rfind("create", 0) == 0 && line.find(wanted) != std::string::npos) return true;
        }
        return false;
      },
      timeoutMs);
}

bool HelperRig::WriteRouteScenario(const std::string& text) const {
  // Written beside and moved over, so the stand-in never reads half a file
  // (an empty one would have no interfaces).
  // A stand-in reading the file at that moment refuses the replacement
  // for as long as it reads: tried again.
  const std::wstring path = dir_ + L"\\iphlpapi-scenario.txt";
  if (!WriteFileBytes(path + L".new", text)) return false;
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (MoveFileExW((path + L".new").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    Sleep(2);
  }
  return false;
}
bool HelperRig::WriteToolBehaviour(const std::string& text) const {
  return WriteFileBytes(ToolDir() + L"\\amneziawg-behaviour.txt", text);
}
bool HelperRig::FeedSocketEvents(const std::string& lines) const {
  return AppendFileBytes(dir_ + L"\\windivert-feed.txt", lines);
}

bool HelperRig::StartConsole(const std::wstring& extraPath) {
  KillConsole();
  std::wstring environment = EnvironmentWith(dir_ + L"\\ProgramData", extraPath, layout_.limits);
  std::wstring commandLine = Quote(HelperPath()) + L" --console";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(HelperPath().c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT | kKilledLater, environment.data(), dir_.c_str(),
                      &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  console_.reset(process.hProcess);
  const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
  while (GetTickCount64() < deadline) {
    if (WaitForSingleObject(console_.get(), 0) == WAIT_OBJECT_0) return false;
    if (SendRequestBytes("ping\n", 100).reply == "OK\n") return true;
    Sleep(20);
  }
  return false;
}

void HelperRig::KillConsole() {
  if (!console_) return;
  TerminateProcess(console_.get(), 9);
  WaitForSingleObject(console_.get(), 5000);
  console_.reset();
}

bool HelperRig::InstallService() {
  RemoveHelperServices();
  // Wine's service manager does not reliably prefer the DLL beside a
  // service's executable; this per-program override makes it.
  RegSetKeyValueW(HKEY_CURRENT_USER, kOverrideKey, L"iphlpapi", REG_SZ, L"native",
                  sizeof(L"native"));
  service_ = true;
  logStart_ = FileSize(LogPath());
  const ProcessResult installed = RunProgram(HelperPath(), L"--install");
  if (installed.exitCode != 0) return false;
  if (!WaitForServiceState(L"QuorvelHelper", SERVICE_RUNNING, kStartTimeoutMs)) return false;
  return Send("ping", 5000) == "OK";
}

void HelperRig::RemoveService() {
  RemoveServiceAndWait(L"QuorvelHelper");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kOverrideKey, L"iphlpapi");
  service_ = false;
}

std::string Send(const std::string& line, DWORD busyWaitMs) {
  const RequestResult result = SendRequestBytes(line + "\n", busyWaitMs);
  if (result.outcome != RequestOutcome::Replied) return "<no reply>";
  std::string reply = result.reply;
  if (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

RunningProcess::~RunningProcess() { Kill(); }

void RunningProcess::Kill() {
  if (!process_) return;
  TerminateProcess(process_.get(), 9);
  WaitForSingleObject(process_.get(), 5000);
  process_.reset();
}

RunningProcess StartNamedProcess(const std::wstring& directory, const std::wstring& fileName) {
  const std::wstring path = directory + L"\\" + fileName;
  if (!Copy(TestbedFile(L"sleeper.exe"), path)) return RunningProcess();
  std::wstring commandLine = Quote(path);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, kKilledLater,
                      nullptr, nullptr, &startup, &process)) {
    return RunningProcess();
  }
  CloseHandle(process.hThread);
  return RunningProcess(process.hProcess);
}

namespace {

// Starts `path` with its standard output and error going to a pipe, and
// reads from it until `enough` says the text so far will do (or the pipe
// ends). An invalid process when it could not be started.
template <typename Enough>
RunningProcess StartAndRead(const std::wstring& path, std::wstring commandLine, std::string& text,
                            Enough enough) {
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return RunningProcess();
  const UniqueHandle output(readEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      kKilledLater, nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (!started) return RunningProcess();
  CloseHandle(process.hThread);
  RunningProcess running(process.hProcess);
  char buffer[256];
  DWORD got = 0;
  while (!enough(text) && ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return running;
}

}  // namespace

RunningProcess StartPipeIdler(unsigned count, unsigned& opened, unsigned& refused) {
  opened = refused = 0;
  const std::wstring path = TestbedFile(L"pipe_idler.exe");
  std::string text;
  RunningProcess idler =
      StartAndRead(path, Quote(path) + L" " + std::to_wstring(count), text,
                   [](const std::string& so) { return so.find('\n') != std::string::npos; });
  std::istringstream line(text);
  line >> opened >> refused;
  return idler;
}

std::vector<RunningProcess> StartProcessChain(const std::wstring& directory,
                                              const std::vector<std::wstring>& names) {
  const std::wstring path = directory + L"\\" + names.at(0);
  if (!Copy(TestbedFile(L"sleeper.exe"), path)) return {};
  std::wstring commandLine = Quote(path);
  for (size_t i = 1; i < names.size(); ++i) commandLine += L" --spawn " + Quote(names[i]);
  // Every sleeper of the chain writes "<pid> <name>" to the one output.
  std::string text;
  RunningProcess head = StartAndRead(path, commandLine, text, [&](const std::string& so) {
    return static_cast<size_t>(std::count(so.begin(), so.end(), '\n')) >= names.size();
  });
  if (!head.valid()) return {};
  std::vector<RunningProcess> chain;
  chain.push_back(std::move(head));
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // the head's, started here
  while (chain.size() < names.size() && std::getline(lines, line)) {
    const DWORD id = std::strtoul(line.c_str(), nullptr, 10);
    chain.emplace_back(OpenProcess(
        PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!chain.back().valid()) return {};
  }
  if (chain.size() != names.size()) return {};
  return chain;
}

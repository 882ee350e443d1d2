// The MSI under Windows Installer (Wine's msiexec, in a prefix of the
// installer's own): install, connect, upgrade while connected, uninstall
// while connected, and an install whose registration fails, rolled back
// whole. The package is the Wine-only build: the product's executables with
// the test bed's stand-ins for the tunnel tool, WinDivert and IP Helper.
#include <windows.h>

#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "quorvel_product.h"
#include "rig.h"
#include "service/install.h"
#include "service_harness.h"
#include "support/code_directory.h"
#include "support/handles.h"
#include "support/paths.h"
#include "support/text.h"
#include "test_server.h"

namespace {

constexpr wchar_t kHelperService[] = L"QuorvelHelper";
constexpr wchar_t kTunnelService[] = L"AmneziaWGTunnel$Quorvel";
constexpr wchar_t kInstallFolder[] = L"C:\\Program Files\\Quorvel";
// Services see the machine's ProgramData in this prefix, as on Windows
// (bootstrap.sh names it for them): the folder the package's uninstall
// cleans.
constexpr wchar_t kDataFolder[] = L"C:\\ProgramData\\Quorvel";
constexpr wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\QuorvelHelper.exe\\DllOverrides";
constexpr DWORD kMsiexecTimeoutMs = 120000;
constexpr DWORD kServiceTimeoutMs = 15000;
// Where the package puts what it carries.
const wchar_t* const kPackageFiles[] = {L"QuorvelHelper.exe", L"quorvelctl.exe", L"WinDivert.dll",
                                        L"WinDivert64.sys", L"awg\\amneziawg.exe"};
const char kEveryoneMayChange[] = "S-1-1-0 may change it";

std::wstring Package() { return ToWindowsPath(QUORVEL_TEST_PACKAGE); }
std::wstring NextPackage() { return ToWindowsPath(QUORVEL_TEST_NEXT_PACKAGE); }
std::wstring Installed(const std::wstring& name) {
  return std::wstring(kInstallFolder) + L"\\" + name;
}
std::wstring InData(const wchar_t* name) { return std::wstring(kDataFolder) + L"\\" + name; }
bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct MsiexecRun {
  ProcessResult process;
  std::string log;  // the verbose log, for a failure's message
  std::string Tail() const {
    return process.output + "\n-- msiexec log, the end:\n" +
           log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  }
};

// Whether the log ends an execution of the action with anything but
// success ("Action ended <time>: NAME. Return value 1.").
bool ActionFailed(const std::string& log, const std::string& action) {
  const std::string ended = ": " + action + ". Return value ";
  for (size_t at = log.find(ended); at != std::string::npos; at = log.find(ended, at + 1)) {
    const size_t value = at + ended.size();
    if (value < log.size() && log[value] != '1') return true;
  }
  return false;
}

// msiexec quiet, with a verbose log. `arguments`: "/i PACKAGE", "/x ...".
MsiexecRun Msiexec(const std::wstring& arguments) {
  const std::wstring log = NewScratchDirectory(L"msiexec") + L"\\msiexec.log";
  MsiexecRun run;
  run.process = RunProgram(L"C:\\windows\\system32\\msiexec.exe",
                           arguments + L" /qn /l*v " + Quote(log), kMsiexecTimeoutMs);
  run.log = ReadFileBytes(log);
  return run;
}

// The first column of every row a query of the package's database gives.
std::vector<std::wstring> QueryPackage(const std::wstring& package, const wchar_t* sql) {
  std::vector<std::wstring> values;
  MSIHANDLE database = 0;
  if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS) {
    return values;
  }
  MSIHANDLE view = 0;
  if (MsiDatabaseOpenViewW(database, sql, &view) == ERROR_SUCCESS &&
      MsiViewExecute(view, 0) == ERROR_SUCCESS) {
    MSIHANDLE record = 0;
    while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
      wchar_t value[512];
      DWORD length = 512;
      if (MsiRecordGetStringW(record, 1, value, &length) == ERROR_SUCCESS) values.push_back(value);
      MsiCloseHandle(record);
    }
  }
  if (view) MsiCloseHandle(view);
  MsiCloseHandle(database);
  return values;
}

std::wstring UpgradeCode() {
  const std::vector<std::wstring> code =
      QueryPackage(Package(), L"SELECT `Value` FROM `Property` WHERE `Property` = 'UpgradeCode'");
  return code.empty() ? L"" : code[0];
}

// The installed products of this package's family: one entry each in the
// installed programs.
std::vector<std::wstring> InstalledProducts() {
  std::vector<std::wstring> products;
  const std::wstring upgradeCode = UpgradeCode();
  wchar_t product[39];
  for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS;
       ++i) {
    products.push_back(product);
  }
  return products;
}

std::string ProductVersion(const std::wstring& product) {
  wchar_t version[64];
  DWORD length = 64;
  if (MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length) !=
      ERROR_SUCCESS) {
    return "<none>";
  }
  return WideToUtf8(version);
}

// An executable's VERSIONINFO: the fixed part as "a.b.c.d" and the strings
// Windows shows.
struct FileVersion {
  std::string fixed = "<none>";
  std::string file;
  std::string product;
};
FileVersion ReadFileVersion(const std::wstring& path) {
  FileVersion version;
  DWORD ignored = 0;
  std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  if (data.empty() ||
      !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) {
    return version;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) && fixed) {
    version.fixed = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                    std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                    std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                    std::to_string(LOWORD(fixed->dwFileVersionLS));
  }
  for (auto [name, field] :
       {std::pair{L"FileVersion", &version.file}, std::pair{L"ProductVersion", &version.product}}) {
    wchar_t* text = nullptr;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&text), &size) && text) {
      *field = WideToUtf8(text);
    }
  }
  return version;
}

// The judgement --install makes of a directory, made of a file's own
// access list.
std::wstring FileDescriptorFault(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return L"<unreadable>";
  }
  const UniqueLocalMemory held(descriptor);
  return CodeDirectoryDescriptorFault(descriptor);
}

// The installed client, as a user would run it.
ProcessResult Quorvelctl(const std::wstring& arguments) {
  return RunProgram(Installed(L"quorvelctl.exe"), arguments, 60000);
}
std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

class PackageUnderMsiexec : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(UpgradeCode().empty()) << "cannot read " << WideToUtf8(Package());
    Clean();
    // Wine's service manager does not reliably prefer the DLL beside a
    // service's executable; this per-program override makes it load the
    // IP Helper stand-in the test package carries.
    RegSetKeyValueW(HKEY_CURRENT_USER, kOverrideKey, L"iphlpapi", REG_SZ, L"native",
                    sizeof(L"native"));
  }
  void TearDown() override {
    Clean();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kOverrideKey, L"iphlpapi");
  }

  // Nothing left of an earlier run: no product, no service, no folder.
  static void Clean() {
    for (const std::wstring& product : InstalledProducts()) Msiexec(L"/x " + product);
    RemoveHelperServices();
    RemoveTree(kInstallFolder);
    RemoveTree(kDataFolder);
  }

  // The bypass route and the tunnel: "bypassnets" first (the helper's
  // lists do not outlive it), then "connect".
  void Connect() {
    ASSERT_TRUE(WriteFileBytes(Installed(L"iphlpapi-scenario.txt"), kPhysicalDefaultRoute));
    const std::wstring configuration = NewScratchDirectory(L"tunnel") + L"\\tunnel.conf";
    ASSERT_TRUE(WriteFileBytes(configuration, "[Interface]\n"));
    const ProcessResult lists = Quorvelctl(L"bypassnets 10.0.0.0/8");
    ASSERT_EQ(lists.exitCode, 0u) << lists.output;
    const ProcessResult connect = Quorvelctl(L"connect " + Quote(configuration));
    ASSERT_EQ(connect.exitCode, 0u) << connect.output;
    ASSERT_EQ(Trimmed(connect.output), "OK");
    ASSERT_TRUE(WaitForServiceState(kTunnelService, SERVICE_RUNNING, kServiceTimeoutMs));
    // What the uninstall must take: guarded, so that "gone" means removed.
    ASSERT_TRUE(Exists(InData(L"Quorvel.conf")));
    ASSERT_TRUE(Exists(InData(L"routes.journal")));
    ASSERT_EQ(StandinRoutes(kInstallFolder).size(), 1u) << Joined(StandinRoutes(kInstallFolder));
  }

  // The helper registered as the package and its own registration make it,
  // running, answering the installed client; one product installed, of
  // `version`, the version the installed helper carries.
  void ExpectInstalledAndServing(const std::string& version) {
    const ServiceConfig config = QueryConfig(kHelperService);
    ASSERT_TRUE(config.found) << ErrorText(config.error);
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    // Quoted by the helper's own registration after InstallServices, which
    // under Wine writes the path bare (Windows Installer's own quoting is
    // for a Windows machine to show).
    EXPECT_EQ(config.binaryPath, L"\"" + Installed(L"QuorvelHelper.exe") + L"\" --run");
    EXPECT_EQ(config.displayName, L"Quorvel Helper");
    EXPECT_EQ(config.account, L"LocalSystem");
    const ServiceRecovery recovery = QueryRecovery(kHelperService);
    EXPECT_EQ(recovery.description, kServiceDescription);
    // The package's own row says the same (the registration after it
    // would hide a difference).
    EXPECT_EQ(QueryPackage(Package(),
                           L"SELECT `Description` FROM `ServiceInstall` WHERE "
                           L"`Name` = 'QuorvelHelper'"),
              std::vector<std::wstring>{kServiceDescription});
    // Only the helper's own registration sets it (wixl writes no
    // MsiServiceConfig): read back, it shows that the custom action ran.
    EXPECT_EQ(recovery.preshutdownMs, 60000u) << ErrorText(recovery.preshutdownError);

    ASSERT_TRUE(WaitForServiceState(kHelperService, SERVICE_RUNNING, kServiceTimeoutMs))
        << "state " << ServiceState(kHelperService);
    const ProcessResult ping = Quorvelctl(L"ping");
    EXPECT_EQ(ping.exitCode, 0u) << ping.output;
    EXPECT_EQ(Trimmed(ping.output), "OK");

    for (const wchar_t* file : kPackageFiles) {
      EXPECT_TRUE(Exists(Installed(file))) << WideToUtf8(file) << " not installed";
    }
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u) << "entries in the installed programs";
    EXPECT_EQ(ProductVersion(products[0]), version);
    const FileVersion helper = ReadFileVersion(Installed(L"QuorvelHelper.exe"));
    EXPECT_EQ(helper.file, version);
    EXPECT_EQ(helper.fixed, version + ".0");
  }
};

TEST(PackageVersion, BothExecutablesCarryTheProjectVersion) {
  for (const std::wstring& path : {HelperExePath(), ControlClientExePath()}) {
    SCOPED_TRACE(WideToUtf8(path));
    const FileVersion version = ReadFileVersion(path);
    EXPECT_EQ(version.fixed, std::string(QUORVEL_VERSION_TEXT) + ".0");
    EXPECT_EQ(version.file, QUORVEL_VERSION_TEXT);
    EXPECT_EQ(version.product, QUORVEL_VERSION_TEXT);
  }
}

TEST_F(PackageUnderMsiexec, InstallConnectUpgradeAndUninstallWhileConnected) {
  // The folder's property is private: set on the command line, it is
  // ignored, and the LocalSystem service stays where only administrators
  // may write.
  const std::vector<std::wstring> folderProperty =
      QueryPackage(Package(),
                   L"SELECT `Directory` FROM `Directory` WHERE `Directory_Parent` = "
                   L"'ProgramFiles64Folder' AND `DefaultDir` = 'Quorvel'");
  ASSERT_EQ(folderProperty.size(), 1u);
  const std::wstring elsewhere = NewScratchDirectory(L"elsewhere");
  MsiexecRun run = Msiexec(L"/i " + Quote(Package()) + L" " + folderProperty[0] + L"=" +
                           Quote(elsewhere + L"\\"));
  ASSERT_EQ(run.process.exitCode, 0u) << run.Tail();
  EXPECT_FALSE(Exists(elsewhere + L"\\QuorvelHelper.exe")) << "installed where the caller said";
  ASSERT_NO_FATAL_FAILURE(ExpectInstalledAndServing(QUORVEL_VERSION_TEXT));

  ASSERT_NO_FATAL_FAILURE(Connect());
  const DWORD oldHelper = ServiceProcessId(kHelperService);

  // The next version while connected: the old one removed whole (its
  // services stopped, the tunnel's too, its secrets gone), the new one
  // registered and started. One entry in the installed programs.
  run = Msiexec(L"/i " + Quote(NextPackage()));
  ASSERT_EQ(run.process.exitCode, 0u) << run.Tail();
  ASSERT_NO_FATAL_FAILURE(ExpectInstalledAndServing(QUORVEL_NEXT_VERSION_TEXT));
  EXPECT_NE(ServiceProcessId(kHelperService), oldHelper);
  EXPECT_TRUE(WaitForServiceGone(kTunnelService, kServiceTimeoutMs)) << "the old tool still runs";
  EXPECT_EQ(Trimmed(Quorvelctl(L"status").output), "STOPPED");
  EXPECT_EQ(StandinRoutes(kInstallFolder).size(), 0u) << Joined(StandinRoutes(kInstallFolder));
  EXPECT_FALSE(Exists(InData(L"Quorvel.conf")));

  // No way back to an older version over a newer one.
  run = Msiexec(L"/i " + Quote(Package()));
  EXPECT_NE(run.process.exitCode, 0u) << "downgrade accepted";
  ASSERT_EQ(InstalledProducts().size(), 1u);
  EXPECT_EQ(ProductVersion(InstalledProducts()[0]), QUORVEL_NEXT_VERSION_TEXT);

  ASSERT_NO_FATAL_FAILURE(Connect());
  run = Msiexec(L"/x " + Quote(NextPackage()));
  ASSERT_EQ(run.process.exitCode, 0u) << run.Tail();
  EXPECT_TRUE(WaitForServiceGone(kHelperService, kServiceTimeoutMs));
  EXPECT_TRUE(WaitForServiceGone(kTunnelService, kServiceTimeoutMs)) << "the tunnel outlived it";
  for (const wchar_t* file : kPackageFiles) {
    EXPECT_FALSE(Exists(Installed(file))) << WideToUtf8(file) << " left behind";
  }
  EXPECT_TRUE(InstalledProducts().empty());
  // The helper deleted its route as it stopped; the secrets are gone, the
  // log stays.
  EXPECT_EQ(StandinRoutes(kInstallFolder).size(), 0u) << Joined(StandinRoutes(kInstallFolder));
  for (const wchar_t* secret : {L"Quorvel.conf", L"Quorvel.conf.new", L"routes.journal"}) {
    EXPECT_FALSE(Exists(InData(secret))) << WideToUtf8(secret) << " left behind";
  }
  EXPECT_TRUE(Exists(InData(L"helper.log")));
}

// --install refuses a folder or file users can change with exit 3, after
// the files are in place: the install fails, and nothing of it remains.
// `name` (below the install folder) is made changeable by everyone first.
void ExpectInstallRolledBack(const std::wstring& name, bool folder) {
  const std::string planted = "planted by a user\n";
  const std::wstring path = Installed(name);
  ASSERT_TRUE(CreateDirectoryW(kInstallFolder, nullptr));
  if (folder) {
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    ASSERT_TRUE(SetAccessList(path, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)"));
    ASSERT_EQ(WideToUtf8(CodeDirectoryFault(path)), kEveryoneMayChange);
  } else {
    ASSERT_TRUE(WriteFileBytes(path, planted));
    ASSERT_TRUE(SetAccessList(path, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)"));
    ASSERT_EQ(WideToUtf8(FileDescriptorFault(path)), kEveryoneMayChange);
    ASSERT_EQ(CodeDirectoryFault(kInstallFolder), L"");
  }

  const MsiexecRun run = Msiexec(L"/i " + Quote(Package()));
  if (run.process.exitCode == 0) {
    // What the helper's registration let through: the package's copy in
    // place, and still changeable by everyone.
    EXPECT_EQ(WideToUtf8(FileDescriptorFault(path)), kEveryoneMayChange);
    FAIL() << "installed, although " << WideToUtf8(name) << " can be changed by everyone";
  }
  // Windows Installer's "fatal error during installation" (1603); Wine's
  // msiexec says 1627, "function failed during execution".
  EXPECT_TRUE(run.process.exitCode == ERROR_INSTALL_FAILURE ||
              run.process.exitCode == ERROR_FUNCTION_FAILED)
      << run.process.exitCode << "\n"
      << run.Tail();
  // The helper's registration is what failed (1 is success in both
  // Windows Installer's log and Wine's).
  EXPECT_TRUE(ActionFailed(run.log, "QuorvelRegisterHelper")) << run.Tail();

  EXPECT_FALSE(ServiceExists(kHelperService));
  EXPECT_TRUE(InstalledProducts().empty());
  for (const wchar_t* file : kPackageFiles) {
    // What was there before may be put back (Windows restores what it
    // wrote over; Wine deletes it); nothing of the package stays.
    if (Installed(file) == path) {
      EXPECT_TRUE(!Exists(path) || ReadFileBytes(path) == planted) << "the package's copy stayed";
    } else {
      EXPECT_FALSE(Exists(Installed(file))) << WideToUtf8(file) << " left behind";
    }
  }
}

TEST_F(PackageUnderMsiexec, AFolderUsersCanChangeRollsTheWholeInstallBack) {
  ExpectInstallRolledBack(L"awg", true);
}

// A file the package writes over keeps its own access list under Wine (one
// left from a copy made by hand, moved in from a user's downloads): the
// helper's registration must judge each file it would load or run, not
// only their folders.
TEST_F(PackageUnderMsiexec, AFileUsersCanChangeRollsTheWholeInstallBack) {
  ExpectInstallRolledBack(L"WinDivert.dll", false);
}

}  // namespace

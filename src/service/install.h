#pragma once
#include <string>
// Registration with the service control manager. The outcome is the exit
// code; only a refused install says why.

// 0: created or updated, start requested; 1: the manager could not be opened
// for creating services; 2: the service could neither be updated nor created
// (an old registration still pending deletion is waited for, up to 10 s);
// 3: the helper, its directory, its awg folder or a code file in either
// (.exe, .dll, .sys) can be changed by non-administrators, nothing
// registered: "<path> can be changed by non-administrators: <why>" on
// standard error, and "install refused: " with the same in helper.log.
int InstallService();
// 0: the manager was opened (stop and delete were requested if the service
// exists); 1: the manager could not be opened.
int UninstallService();

// The registered command line: the quoted executable path, a blank, "--run".
std::wstring ServiceCommandLine();

// The description --install gives the service (beside its recovery: restart
// after 2 s, twice, the failure count reset after a day).
extern const wchar_t kServiceDescription[];

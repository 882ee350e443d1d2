#pragma once
// The helper runs as LocalSystem and loads code from beside itself: the
// tunnel tool (in awg\ or beside), WinDivert.dll, and any DLL the system
// looks for in its own directory first. Whoever can change those
// directories can run code as LocalSystem, so code is loaded only from a
// directory that only administrators can change.
#include <windows.h>

#include <string>

// Why someone other than an administrator could change what the directory
// holds; empty when nobody can. Trusted are Local System, Administrators
// and TrustedInstaller, and the owner of the system directory (on Windows
// TrustedInstaller; under Wine, which owns every file by its one user,
// that user). The owner must be one of them (an owner may always rewrite
// the access list), and so must every account an allowing entry gives a
// right to write, add, delete, or change the access list or the owner,
// entries for what is made inside included. A link or junction in the
// directory's place, a missing directory, and an unreadable descriptor are
// faults too.
std::wstring CodeDirectoryFault(const std::wstring& directory);

// The same judgement of a descriptor alone (owner and access list).
std::wstring CodeDirectoryDescriptorFault(PSECURITY_DESCRIPTOR descriptor);

// "<directory> can be changed by non-administrators": what is logged, and
// printed, when a directory fails.
std::wstring ChangeableDirectoryText(const std::wstring& directory);

#pragma once
// The helper runs as LocalSystem and loads code from beside itself: the
// tunnel tool (in awg\ or beside), WinDivert.dll and its driver, and any
// DLL the system looks for in its own directory first. Whoever can change
// those directories, or one of those files, can run code as LocalSystem, so
// code is loaded only from a directory, and only from files, that only
// administrators can change. A file keeps its own owner and access list
// when it is moved: one moved in from a user's folder stays that user's to
// rewrite, whatever the directory says.
#include <windows.h>

#include <initializer_list>
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

// The same judgement of one file: a link in its place, a directory, and a
// file that cannot be opened are faults too.
std::wstring CodeFileFault(const std::wstring& path);

// The same judgement of a descriptor alone (owner and access list).
std::wstring CodeDirectoryDescriptorFault(PSECURITY_DESCRIPTOR descriptor);

// The code files the helper judges: what the system would load or run.
constexpr std::initializer_list<const wchar_t*> kCodeFileKinds = {L".exe", L".dll", L".sys"};

// The first file of `directory` (not below it) whose name ends in one of
// `kinds` (ASCII case ignored) and whose judgement fails: its full path
// and why. Both empty when none fails (subdirectories are not files). A
// directory that cannot be listed is a fault of the directory itself.
struct CodeFault {
  std::wstring Path;
  std::wstring Why;
  bool Found() const { return !Why.empty(); }
};
CodeFault FirstChangeableCodeFile(const std::wstring& directory,
                                  std::initializer_list<const wchar_t*> kinds = kCodeFileKinds);

// "<path> can be changed by non-administrators": what is logged, and
// printed, when a directory or a file fails.
std::wstring ChangeableDirectoryText(const std::wstring& directory);

// "not loading <path>: it can be changed by non-administrators (<why>)":
// what the service logs when a file it would load or run fails.
std::wstring NotLoadingFileText(const CodeFault& fault);

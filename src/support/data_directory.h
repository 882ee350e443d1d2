#pragma once
// The data directory holds the tunnel's private key and takes the writes of
// a LocalSystem process, so it must be the helper's own: not readable beyond
// what the client needs, and not a directory an ordinary user made first
// (its owner could fill it with links that redirect the helper's writes).
#include <windows.h>

#include <string>
#include <vector>

#include "support/handles.h"

// Local System and Administrators full control, Users read and list;
// protected from ProgramData's rules, inherited by what is made inside.
extern const wchar_t kDataDirectoryAccess[];
// Local System and Administrators only: the file holds the private key.
extern const wchar_t kConfigFileAccess[];

// The system's descriptor for an SDDL text; empty when it cannot be made.
UniqueLocalMemory SecurityDescriptorFromSddl(const wchar_t* sddl);

// Creates the last level of `path` with kDataDirectoryAccess; false when
// nothing was created (an existing name included). Never with default
// security: that would be ProgramData's, under which every user may read.
bool CreateDataDirectory(const std::wstring& path);

enum class DirectoryVerdict { Missing, Trusted, ReparsePoint, NotADirectory, ForeignOwner };

// What the check sees of a name: its attributes (INVALID_FILE_ATTRIBUTES
// when nothing answers to it) and its owner's SID (empty when unreadable).
struct DirectoryFacts {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  std::vector<BYTE> owner;
  DWORD links = 0;  // names the object has (hard links); 0 when unknown
};
DirectoryFacts InspectDirectory(const std::wstring& path);

// The decision alone. Trusted owners: Local System, Administrators and the
// process's own user (under Wine every file's owner reads as Wine's user,
// which is also the process user). An unreadable owner is a foreign one.
DirectoryVerdict JudgeDirectory(DWORD attributes, PSID owner, PSID processUser);

// Whether a file the helper writes in its directory (the log, the route
// journal, the configuration being staged) can be used as it is: one name,
// not a link or directory, and a trusted owner. Directories of earlier
// versions let every user create files in them, and such a file would be
// the user's to write or to redirect.
bool FileCanBeTrusted(const DirectoryFacts& facts, PSID processUser);

// The user of this process's token, as SID bytes (empty on failure).
std::vector<BYTE> ProcessUserSid();

// Makes `path` a directory that can be trusted, or says it is not: a missing
// one is created; a trusted one gets kDataDirectoryAccess again (and an
// existing Quorvel.conf in it kConfigFileAccess), mending what earlier
// versions made, and a file of the helper's in it that cannot be trusted is
// renamed aside; any other is renamed aside to `path` + ".untrusted-" + a
// time stamp (nothing is deleted) and made anew. Returns whether what
// stands at `path` now can be trusted; every refusal is logged.
bool EnsureTrustedDirectory(const std::wstring& path, PSID processUser);
// The same for the data directory and this process's user; then opens the
// log there (support/log.h), or stops writing it when the directory is
// refused. Run at start and before every write of the configuration file.
bool EnsureTrustedDataDirectory();

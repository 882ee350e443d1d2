#pragma once
// The data directory holds the tunnel's private key and takes the writes of
// a LocalSystem process, so it must be the helper's own: not readable beyond
// what the client needs, and not a directory an ordinary user made first
// (its owner could fill it with links that redirect the helper's writes).
#include <windows.h>

#include <string>
#include <vector>

#include "support/handles.h"
#include "support/security.h"

// Local System and Administrators full control, Users read and list;
// protected from ProgramData's rules, inherited by what is made inside.
extern const wchar_t kDataDirectoryAccess[];
// Local System and Administrators only: the file holds the private key.
extern const wchar_t kConfigFileAccess[];

// Creates the last level of `path` with kDataDirectoryAccess; false when
// nothing was created (an existing name included). Never with default
// security: that would be ProgramData's, under which every user may read.
bool CreateDataDirectory(const std::wstring& path);

enum class DirectoryVerdict { Missing, Trusted, ReparsePoint, NotADirectory, ForeignOwner };

// What the checks see of a name, a directory or a file, without following a
// link: its attributes (INVALID_FILE_ATTRIBUTES when nothing answers to it),
// its owner's SID (empty when unreadable) and how many names it has.
struct PathFacts {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  std::vector<BYTE> owner;
  DWORD links = 0;  // names the object has (hard links); 0 when unknown
};
PathFacts InspectPath(const std::wstring& path);

// Trusted owners: Local System, Administrators and the process's own user
// (under Wine every file's owner reads as Wine's user, which is also the
// process user). An unreadable owner (null) is a foreign one.
bool OwnerTrusted(PSID owner, PSID processUser);

// The decision on a directory alone.
DirectoryVerdict JudgeDirectory(DWORD attributes, PSID owner, PSID processUser);

// Whether a file the helper writes in its directory (the log, the route
// journal, the configuration being staged) can be used as it is: one name,
// not a link or directory, and a trusted owner. Directories of earlier
// versions let every user create files in them, and such a file would be
// the user's to write or to redirect.
bool FileCanBeTrusted(const PathFacts& facts, PSID processUser);

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

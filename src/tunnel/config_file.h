#pragma once
// The tunnel configuration file, Quorvel.conf in the data directory: it
// holds the tunnel's private key, and the tool installs the tunnel from
// whatever the name holds.
#include <string>

enum class ConfigWrite { Written, NotOpened, NotWritten };

// Stores the configuration at `path` (ConfigFilePath()) as UTF-8 without a
// byte-order mark, up to its first NUL, readable by Local System and
// Administrators only. The name is replaced in one step, so it always holds
// a whole file, and a link standing there is replaced, never written
// through. NotOpened: the data directory is not trusted (logged here) or
// the new file cannot be created. NotWritten: the write or the replacement
// failed; the name keeps what it held.
ConfigWrite WriteConfigurationFile(const std::wstring& path, const std::wstring& configuration);

// The configuration stored by the last connect, read back from a trusted
// data directory only (a helper that takes up a running tunnel learns what
// it means from it); false when there is none that can be trusted.
bool ReadStoredConfiguration(std::wstring& configuration);

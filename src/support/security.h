#pragma once
// Security descriptors and identities the helper's parts share.
#include <windows.h>

#include <vector>

#include "support/handles.h"

// The system's descriptor for an SDDL text; empty when it cannot be made.
UniqueLocalMemory SecurityDescriptorFromSddl(const wchar_t* sddl);

// The user of this process's token, as SID bytes (empty on failure).
std::vector<BYTE> ProcessUserSid();

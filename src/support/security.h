#pragma once
// Security descriptors and identities the helper's parts share.
#include <windows.h>

#include <string>
#include <vector>

#include "support/handles.h"

// The system's descriptor for an SDDL text; empty when it cannot be made.
UniqueLocalMemory SecurityDescriptorFromSddl(const wchar_t* sddl);

// The SID as text ("S-1-5-18"); empty when it cannot be converted.
std::wstring SidString(PSID sid);

// The user of this process's token, as SID bytes (empty on failure).
std::vector<BYTE> ProcessUserSid();

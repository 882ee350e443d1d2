#pragma once
// The domains whose DNS answers bring bypass routes ("bypassdomains").
#include <string>
#include <string_view>

#include "support/helper_state.h"

// One entry, already trimmed: a host name of ASCII letters, digits and
// "-", labels of 1 to 63 characters that neither begin nor end with "-",
// at most 253 in all, optionally after "*." (which means the same: a name
// covers every name below it) and before one trailing ".". Sets `name` in
// lower case without either. False for an entry to skip: a non-ASCII one
// (IDN entries come in their "xn--" form), an address written as a name
// (its last label all digits), and localhost and the names below it. A
// single label ("ru") is taken: a whole top-level domain.
bool ParseBypassDomain(std::wstring_view entry, std::string& name);

// The listed domain that covers `name` (lower case, no trailing dot): the
// name itself or the nearest of the names above it; null when none does.
const std::string* CoveringDomain(const BypassDomainList& list, std::string_view name);

// Replaces HelperState.BypassDomains with the valid entries of the list
// (and a warning for each single label among them) and logs their number.
void SetBypassDomains(const std::wstring& argument);

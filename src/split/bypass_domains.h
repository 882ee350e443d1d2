#pragma once
// The domains whose DNS answers bring bypass routes ("bypassdomains").
#include <string>

#include "support/bypass_domain_list.h"

// Replaces HelperState.BypassDomains with the valid entries of the list
// (and a warning for each single label among them) and logs their number.
void SetBypassDomains(const std::wstring& argument);

#pragma once
// The domains whose DNS answers bring bypass routes (the "bypassdomains"
// list), as the helper holds it. Includes no platform header: it builds
// natively for fuzzing.
#include <set>
#include <string>
#include <string_view>
#include <vector>

// ASCII lower case, no trailing dot; each covers itself and every name
// below it.
struct BypassDomainList {
  std::set<std::string> Names;
  // What `state` says about the list (an entry that covers a whole
  // top-level domain), made once when the list is set.
  std::vector<std::wstring> Warnings;
};

// One entry, already trimmed: a host name of ASCII letters, digits and
// "-", labels of 1 to 63 characters that neither begin nor end with "-",
// at most 253 in all, optionally after "*." (which means the same: a name
// covers every name below it) and before one trailing ".". Sets `name` in
// lower case without either. False for an entry to skip: a non-ASCII one
// (IDN entries come in their "xn--" form), an address written as a name
// (its last label all digits), and localhost and the names below it. A
// single label ("ru") is taken: a whole top-level domain.
bool ParseBypassDomain(std::wstring_view entry, std::string& name);

// The valid entries of a list argument ("a; b;c"), and a warning for each
// single label among them.
BypassDomainList ParseBypassDomains(std::wstring_view list);

// The listed domain that covers `name` (lower case, no trailing dot): the
// name itself or the nearest of the names above it; null when none does.
const std::string* CoveringDomain(const BypassDomainList& list, std::string_view name);

#include "support/bypass_domain_list.h"

#include <utility>

#include "support/text.h"

namespace {

constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxName = 253;

}  // namespace

bool ParseBypassDomain(std::wstring_view entry, std::string& name) {
  if (entry.substr(0, 2) == L"*.") entry.remove_prefix(2);
  if (!entry.empty() && entry.back() == L'.') entry.remove_suffix(1);
  if (entry.empty() || entry.size() > kMaxName) return false;
  std::string folded;
  folded.reserve(entry.size());
  size_t label = 0;
  bool numeric = true;  // the label so far is all digits
  for (const wchar_t c : entry) {
    if (c == L'.') {
      // A label begins and ends with a letter or digit (RFC 952, 1123).
      if (label == 0 || folded.back() == '-') return false;
      label = 0;
      numeric = true;
      folded += '.';
      continue;
    }
    const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    const bool digit = c >= L'0' && c <= L'9';
    if (!letter && !digit && c != L'-') return false;
    if (label == 0 && c == L'-') return false;
    if (++label > kMaxLabel) return false;
    numeric = numeric && digit;
    folded += static_cast<char>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c);
  }
  if (label == 0 || folded.back() == '-') return false;
  // No top-level domain is all digits: such an entry is an address
  // ("1.2.3.4", "0.0.0.0") written where a name belongs.
  if (numeric) return false;
  // The machine's own name for itself, never asked of a server.
  const std::string_view local = "localhost";
  if (folded == local ||
      (folded.size() > local.size() &&
       folded.compare(folded.size() - local.size() - 1, std::string::npos, ".localhost") == 0)) {
    return false;
  }
  name = std::move(folded);
  return true;
}

BypassDomainList ParseBypassDomains(std::wstring_view list) {
  BypassDomainList domains;
  for (const std::wstring& entry : SplitListEntries(list)) {
    std::string name;
    if (ParseBypassDomain(entry, name)) domains.Names.insert(std::move(name));
  }
  // A single label covers a whole top-level domain: a user's real choice
  // (every site of a country), but one worth saying aloud.
  for (const std::string& name : domains.Names) {
    if (name.find('.') == std::string::npos) {
      domains.Warnings.push_back(L"warning: bypass domain " + Utf8ToWide(name) +
                                 L" covers a whole top-level domain");
    }
  }
  return domains;
}

const std::string* CoveringDomain(const BypassDomainList& list, std::string_view name) {
  for (;;) {
    const auto found = list.Names.find(std::string(name));
    if (found != list.Names.end()) return &*found;
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos) return nullptr;
    name.remove_prefix(dot + 1);
  }
}

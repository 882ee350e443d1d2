#include "split/bypass_domains.h"

#include <memory>
#include <utility>

#include "support/log.h"
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
  for (const wchar_t c : entry) {
    if (c == L'.') {
      if (label == 0) return false;
      label = 0;
      folded += '.';
      continue;
    }
    const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    if (!letter && !(c >= L'0' && c <= L'9') && c != L'-') return false;
    if (++label > kMaxLabel) return false;
    folded += static_cast<char>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c);
  }
  if (label == 0) return false;
  name = std::move(folded);
  return true;
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

void SetBypassDomains(const std::wstring& argument) {
  auto list = std::make_shared<BypassDomainList>();
  for (const std::wstring& entry : SplitListEntries(argument)) {
    std::string name;
    if (ParseBypassDomain(entry, name)) list->Names.insert(std::move(name));
  }
  const size_t count = list->Names.size();
  std::atomic_store(&HelperState.BypassDomains,
                    std::shared_ptr<const BypassDomainList>(std::move(list)));
  LogLine(L"bypass domains set: " + std::to_wstring(count));
}

#include "split/bypass_domains.h"

#include <memory>
#include <utility>

#include "support/helper_state.h"
#include "support/log.h"

void SetBypassDomains(const std::wstring& argument) {
  auto list = std::make_shared<const BypassDomainList>(ParseBypassDomains(argument));
  const size_t count = list->Names.size();
  std::atomic_store(&HelperState.BypassDomains, std::move(list));
  LogLine(L"bypass domains set: " + std::to_wstring(count));
}

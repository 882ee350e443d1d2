#include "split/process_match.h"

#include <windows.h>

#include <winternl.h>

#include <cstddef>
#include <utility>

#include "support/handles.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

constexpr uint32_t kSystemProcessId = 4;
// How far up a process's ancestry a launcher is looked for.
constexpr int kAncestorsAtMost = 32;
// Caches start again when they grow past this; a busy machine starts many
// processes.
constexpr size_t kCachedAtMost = 8192;

// PROCESS_BASIC_INFORMATION as the system fills it: the Windows SDK names
// the parent's field Reserved3, mingw names it; both lay it out alike.
struct BasicProcessInformation {
  LONG ExitStatus;
  PVOID PebBaseAddress;
  ULONG_PTR AffinityMask;
  LONG BasePriority;
  ULONG_PTR UniqueProcessId;
  ULONG_PTR InheritedFromUniqueProcessId;
};
static_assert(sizeof(BasicProcessInformation) == 48, "x64 PROCESS_BASIC_INFORMATION");
static_assert(offsetof(BasicProcessInformation, InheritedFromUniqueProcessId) == 40,
              "the parent's process id");

bool PathIn(const std::wstring& path, const std::vector<std::wstring>& paths) {
  for (const std::wstring& listed : paths) {
    if (CompareStringOrdinal(path.c_str(), static_cast<int>(path.size()), listed.c_str(),
                             static_cast<int>(listed.size()), TRUE) == CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

bool LaunchedBy(const std::wstring& imagePath, const SplitAppList& list) {
  return list.LaunchedBy.count(FoldedFileName(imagePath)) != 0 ||
         PathIn(imagePath, list.LaunchedByPaths);
}

}  // namespace

bool ReadProcessFacts(uint32_t processId, FactsWanted wanted, ProcessFacts& facts) {
  if (processId == 0 || processId == kSystemProcessId) return false;
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return false;
  if (wanted != FactsWanted::Image) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return false;
    facts.CreationTime = (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
    if (wanted == FactsWanted::Creation) return true;
  }
  if (!ProcessImagePath(process.get(), facts.ImagePath)) return false;
  if (wanted == FactsWanted::Image) return true;
  BasicProcessInformation basic{};
  ULONG got = 0;
  facts.ParentId = NtQueryInformationProcess(process.get(), ProcessBasicInformation, &basic,
                                             sizeof(basic), &got) == 0
                       ? static_cast<uint32_t>(basic.InheritedFromUniqueProcessId)
                       : 0;
  return true;
}

std::wstring FoldedFileName(const std::wstring& path) {
  return FoldAsciiLower(FileNameOfPath(path));
}

bool ImageListed(const std::wstring& imagePath, const SplitAppList& list) {
  const std::wstring name = FoldedFileName(imagePath);
  return list.Names.count(name) != 0 || list.LaunchedBy.count(name) != 0 ||
         PathIn(imagePath, list.Paths) || PathIn(imagePath, list.LaunchedByPaths);
}

uint64_t SystemFileTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

bool ProcessMatcher::Facts(uint32_t processId, FactsWanted wanted, ProcessFacts& facts) {
  if (!read_(processId, wanted, facts)) return false;
  if (wanted == FactsWanted::Image) return true;
  const uint64_t now = now_();
  const auto cached = seen_.find(processId);
  if (cached != seen_.end()) {
    if (cached->second.Facts.CreationTime == facts.CreationTime) {
      cached->second.LastSeen = now;  // still running
    } else {
      seen_.erase(cached);  // the id names another process now
    }
  }
  if (wanted == FactsWanted::All) {
    if (seen_.size() >= kCachedAtMost) seen_.clear();
    seen_[processId] = {facts, now};
  }
  return true;
}

bool ProcessMatcher::Listed(uint32_t processId, const std::shared_ptr<const SplitAppList>& list,
                            std::wstring* imagePath) {
  if (list != list_) {
    list_ = list;
    verdicts_.clear();
  }
  ProcessFacts facts;
  if (!list->HasLaunchers()) {
    const bool listed =
        Facts(processId, FactsWanted::Image, facts) && ImageListed(facts.ImagePath, *list);
    if (listed && imagePath) *imagePath = std::move(facts.ImagePath);
    return listed;
  }
  // Its creation time tells this process from an earlier one of the same id.
  if (!Facts(processId, FactsWanted::Creation, facts)) return false;
  const auto key = std::make_pair(processId, facts.CreationTime);
  const auto known = verdicts_.find(key);
  if (known != verdicts_.end()) {
    if (known->second && imagePath) {
      // Its facts were kept when the verdict was made, unless the cache
      // started again since.
      const auto seen = seen_.find(processId);
      if (seen != seen_.end() && seen->second.Facts.CreationTime == facts.CreationTime) {
        *imagePath = seen->second.Facts.ImagePath;
      } else if (Facts(processId, FactsWanted::Image, facts)) {
        *imagePath = std::move(facts.ImagePath);
      }
    }
    return known->second;
  }
  if (!Facts(processId, FactsWanted::All, facts)) return false;
  const bool listed = ImageListed(facts.ImagePath, *list) ||
                      AncestorLaunched(facts.ParentId, facts.CreationTime, *list);
  if (verdicts_.size() >= kCachedAtMost) verdicts_.clear();
  verdicts_.emplace(key, listed);
  if (listed && imagePath) *imagePath = std::move(facts.ImagePath);
  return listed;
}

bool ProcessMatcher::AncestorLaunched(uint32_t parentId, uint64_t childCreation,
                                      const SplitAppList& list) {
  for (int depth = 0; depth < kAncestorsAtMost; ++depth) {
    ProcessFacts parent;
    if (!Facts(parentId, FactsWanted::All, parent)) {
      // Ended: what was seen of it while it ran, if it was seen running
      // when the child was made (else another process may have had the id
      // then, and ended since too).
      const auto seen = seen_.find(parentId);
      if (seen == seen_.end() || seen->second.LastSeen < childCreation) return false;
      parent = seen->second.Facts;
    }
    // A process that started after the child cannot have started it: the
    // system gave the ended parent's id to another process since.
    if (parent.CreationTime >= childCreation) return false;
    if (LaunchedBy(parent.ImagePath, list)) return true;
    if (parent.ParentId == 0 || parent.ParentId == parentId) return false;
    childCreation = parent.CreationTime;
    parentId = parent.ParentId;
  }
  return false;
}

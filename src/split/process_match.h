#pragma once
// Whether a process is one the split list names: by its file name, by its
// full image path, or as a process that a listed launcher ("steam.exe+")
// started, directly or not.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "support/helper_state.h"

// What the match needs of a process. Creation time as a FILETIME count.
struct ProcessFacts {
  uint64_t CreationTime = 0;
  std::wstring ImagePath;  // Win32 form
  uint32_t ParentId = 0;   // the process that created it, as the system recorded it
};

// Reads what is wanted of a process: its image path alone (what naming it
// has always cost: open, query, close), its creation time alone, or all.
// False when the process cannot be read (it has ended, or access is
// refused).
enum class FactsWanted { Image, Creation, All };
using ProcessFactsReader = bool (*)(uint32_t processId, FactsWanted wanted, ProcessFacts& facts);
bool ReadProcessFacts(uint32_t processId, FactsWanted wanted, ProcessFacts& facts);

// The file name of a full path, A-Z folded: what the list's names are
// compared with.
std::wstring FoldedFileName(const std::wstring& path);

// Matches processes against one list at a time. Without launchers in the
// list, a process costs what naming it always has (its image path, read
// afresh). With them, it is kept by one thread (the sniffer's), and its
// caches make the second and later events of a process cost one
// creation-time read:
// - verdicts by process id and creation time, forgotten when the list
//   changes (a process's ancestry never changes, a list does);
// - the facts of every process it has read, so that a launcher that has
//   ended still counts for the children it started while alive. An ended
//   parent counts only when it was seen running at or after its child's
//   creation: then the id named it when the child was made, and no process
//   that got the id later (a launcher's id reused by an unrelated program
//   that started the child and ended too) is ever taken for it. A parent
//   must have started before its child, and a cached process seen again
//   with another creation time is another process.
// The time now as a FILETIME count (a seam for tests).
using FileTimeClock = uint64_t (*)();
uint64_t SystemFileTimeNow();

class ProcessMatcher {
 public:
  explicit ProcessMatcher(ProcessFactsReader read = ReadProcessFacts,
                          FileTimeClock now = SystemFileTimeNow)
      : read_(read), now_(now) {}
  // `imagePath`, when given, gets the listed process's image path (left as
  // it was for a process not listed): read in the same look, so naming a
  // listed process's image costs nothing more.
  bool Listed(uint32_t processId, const std::shared_ptr<const SplitAppList>& list,
              std::wstring* imagePath = nullptr);

 private:
  bool AncestorLaunched(uint32_t parentId, uint64_t childCreation, const SplitAppList& list);
  bool Facts(uint32_t processId, FactsWanted wanted, ProcessFacts& facts);

  // A process seen, and when it was last seen running.
  struct Seen {
    ProcessFacts Facts;
    uint64_t LastSeen = 0;
  };

  ProcessFactsReader read_;
  FileTimeClock now_;
  std::shared_ptr<const SplitAppList> list_;
  std::map<std::pair<uint32_t, uint64_t>, bool> verdicts_;
  std::map<uint32_t, Seen> seen_;
};

// Whether a process's own image (file name or path) is listed, in any way.
bool ImageListed(const std::wstring& imagePath, const SplitAppList& list);

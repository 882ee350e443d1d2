// The three lists a client sends ("bypassnets", "splitapps",
// "bypassdomains"), all three read from the same text: every entry taken
// prints and reads back as itself, and a merged network list covers exactly
// the addresses of its entries without letting a route beside the list
// win where an entry won. Input: the list as UTF-8; after a "|" the routes
// beside it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "routing/net_entries.h"
#include "routing/net_merge.h"
#include "support/bypass_domain_list.h"
#include "support/split_app_list.h"
#include "support/text.h"

namespace {

std::string Text(const RoutePrefix& prefix) { return WideToUtf8(FormatPrefix(prefix)); }

// ------------------------------------------------------------- networks

unsigned Width(const RoutePrefix& prefix) { return prefix.Destination.IsIPv4() ? 32 : 128; }

// The first address of a prefix, and the one after its last (none past the
// end of the family's space).
IpAddress First(const RoutePrefix& prefix) { return prefix.Destination; }
bool AfterLast(const RoutePrefix& prefix, IpAddress& after) {
  after = prefix.Destination;
  const unsigned bytes = Width(prefix) / 8;
  // Set every host bit, then add one.
  for (unsigned bit = prefix.Length; bit < Width(prefix); ++bit) {
    after.Bytes[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
  }
  for (int i = static_cast<int>(bytes) - 1; i >= 0; --i) {
    if (++after.Bytes[i] != 0) return true;
  }
  return false;
}

// Whole bytes, then the bits of the last one.
bool Covers(const RoutePrefix& prefix, const IpAddress& address) {
  if (prefix.Destination.Family != address.Family) return false;
  const unsigned whole = prefix.Length / 8, bits = prefix.Length % 8;
  if (std::memcmp(prefix.Destination.Bytes, address.Bytes, whole) != 0) return false;
  const uint8_t mask = static_cast<uint8_t>(0xFF00 >> bits);
  return bits == 0 || ((prefix.Destination.Bytes[whole] ^ address.Bytes[whole]) & mask) == 0;
}

// The longest of `prefixes` that covers the address; -1 when none does.
int Longest(const std::vector<RoutePrefix>& prefixes, const IpAddress& address) {
  int longest = -1;
  for (const RoutePrefix& prefix : prefixes) {
    if (Covers(prefix, address)) longest = std::max(longest, int{prefix.Length});
  }
  return longest;
}

void CheckNets(std::wstring_view list, std::wstring_view beside) {
  const std::vector<RoutePrefix> nets = ParseBypassNets(list);
  std::wstring printed;
  for (const RoutePrefix& net : nets) {
    FUZZ_CHECK((net.Destination.IsIPv4() || net.Destination.IsIPv6()) && net.Length <= Width(net) &&
                   MaskAddress(net.Destination, net.Length) == net.Destination,
               "not a network: " + Text(net));
    RoutePrefix again;
    FUZZ_CHECK(ParseBypassNet(FormatPrefix(net), again) && again == net,
               Text(net) + " does not read back as itself");
    printed += FormatPrefix(net) + L";";
  }
  FUZZ_CHECK(ParseBypassNets(printed) == nets, "the printed list reads otherwise");

  // Merging, on lists small enough to check every breakpoint against
  // every prefix.
  std::vector<RoutePrefix> entries(nets.begin(), nets.begin() + std::min<size_t>(nets.size(), 32));
  std::vector<RoutePrefix> limits = ParseBypassNets(beside);
  limits.resize(std::min<size_t>(limits.size(), 8));
  const std::vector<MergedNet> merged = MergeNets(entries, limits);
  std::vector<RoutePrefix> routes;
  size_t carried = 0;
  for (const MergedNet& route : merged) {
    FUZZ_CHECK(
        MaskAddress(route.Prefix.Destination, route.Prefix.Length) == route.Prefix.Destination,
        "a merged route with host bits: " + Text(route.Prefix));
    // Never a default route the list did not hold.
    if (route.Prefix.Length == 0) {
      FUZZ_CHECK(std::any_of(entries.begin(), entries.end(),
                             [&](const RoutePrefix& entry) {
                               return entry.Length == 0 &&
                                      entry.Destination.Family == route.Prefix.Destination.Family;
                             }),
                 "halves joined into a default route");
    }
    routes.push_back(route.Prefix);
    carried += route.Entries;
  }
  std::vector<RoutePrefix> distinct = entries;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  FUZZ_CHECK(carried == distinct.size(), "the routes carry " + std::to_string(carried) + " of " +
                                             std::to_string(distinct.size()) + " entries");
  // Coverage changes only where some prefix starts or ends: looking at
  // every such place looks at every address there is, in effect.
  std::vector<IpAddress> places;
  for (const std::vector<RoutePrefix>* set : {&entries, &routes, &limits}) {
    for (const RoutePrefix& prefix : *set) {
      places.push_back(First(prefix));
      IpAddress after;
      if (AfterLast(prefix, after)) places.push_back(after);
    }
  }
  for (const IpAddress& place : places) {
    const int entry = Longest(entries, place), route = Longest(routes, place);
    const int limit = Longest(limits, place);
    const std::string where = WideToUtf8(FormatAddress(place));
    FUZZ_CHECK((entry >= 0) == (route >= 0), where + (entry >= 0 ? " is an entry's but no route's"
                                                                 : " is a route's but no entry's"));
    FUZZ_CHECK(route <= entry, where + " takes a route narrower than its entry");
    FUZZ_CHECK(!(entry > limit) || route > limit,
               where + ": a route beside the list (/" + std::to_string(limit) +
                   ") wins over the merged route where the entry won");
    const RoutePrefix* narrowest = NarrowestCovering(entries, place);
    FUZZ_CHECK(narrowest ? int{narrowest->Length} == entry : entry < 0,
               "the narrowest entry covering " + where + " found otherwise");
  }
}

// ----------------------------------------------------------- applications

void CheckApps(std::wstring_view list) {
  const SplitAppList apps = ParseSplitApps(list);
  std::wstring printed;
  const auto check = [&](const std::wstring& entry, bool launcher, bool path) {
    FUZZ_CHECK(!entry.empty() && entry.find(L';') == std::wstring::npos,
               "an empty entry, or one with ';'");
    FUZZ_CHECK((entry.find(L'\\') != std::wstring::npos) == path,
               "a path sorted as a name or back");
    if (!path) {
      FUZZ_CHECK(std::none_of(entry.begin(), entry.end(),
                              [](wchar_t c) { return c >= L'A' && c <= L'Z'; }),
                 "a name not folded: " + Shown(entry));
    }
    printed += entry + (launcher ? L"+;" : L";");
  };
  for (const std::wstring& name : apps.Names) check(name, false, false);
  for (const std::wstring& name : apps.LaunchedBy) check(name, true, false);
  for (const std::wstring& path : apps.Paths) check(path, false, true);
  for (const std::wstring& path : apps.LaunchedByPaths) check(path, true, true);
  const SplitAppList again = ParseSplitApps(printed);
  FUZZ_CHECK(again.Names == apps.Names && again.LaunchedBy == apps.LaunchedBy &&
                 again.Paths == apps.Paths && again.LaunchedByPaths == apps.LaunchedByPaths,
             "the printed list reads otherwise: " + Shown(printed));
}

// ---------------------------------------------------------------- domains

bool IsLabelSuffix(const std::string& name, const std::string& domain) {
  return name == domain || (name.size() > domain.size() &&
                            name.compare(name.size() - domain.size(), domain.size(), domain) == 0 &&
                            name[name.size() - domain.size() - 1] == '.');
}

void CheckCover(const BypassDomainList& domains, const std::string& name) {
  const std::string* cover = CoveringDomain(domains, name);
  std::string nearest;
  for (const std::string& domain : domains.Names) {
    if (IsLabelSuffix(name, domain) && domain.size() > nearest.size()) nearest = domain;
  }
  FUZZ_CHECK(cover ? *cover == nearest : nearest.empty(),
             name + " covered by " + (cover ? *cover : "nothing") + ", not " + nearest);
}

void CheckDomains(std::wstring_view list) {
  const BypassDomainList domains = ParseBypassDomains(list);
  std::wstring printed;
  size_t singles = 0;
  for (const std::string& name : domains.Names) {
    FUZZ_CHECK(!name.empty() && name.size() <= 253 && name.front() != '.' && name.back() != '.',
               "not a name: " + name);
    size_t label = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
      if (i == name.size() || name[i] == '.') {
        FUZZ_CHECK(label >= 1 && label <= 63 && name[i - 1] != '-' && name[i - label] != '-',
                   "a label that is none: " + name);
        label = 0;
        continue;
      }
      const char c = name[i];
      FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-',
                 "a character no host name holds: " + name);
      ++label;
    }
    const std::string last = name.substr(name.rfind('.') + 1);
    FUZZ_CHECK(last.find_first_not_of("0123456789") != std::string::npos,
               "an address taken for a name: " + name);
    FUZZ_CHECK(!IsLabelSuffix(name, "localhost"), "localhost taken: " + name);
    singles += name.find('.') == std::string::npos;
    printed += Utf8ToWide(name) + L";";
    CheckCover(domains, name);
    CheckCover(domains, "x." + name);
    CheckCover(domains, name.substr(name.find('.') + 1));
  }
  FUZZ_CHECK(domains.Warnings.size() == singles, "one warning for each single label");
  const BypassDomainList again = ParseBypassDomains(printed);
  FUZZ_CHECK(again.Names == domains.Names && again.Warnings == domains.Warnings,
             "the printed list reads otherwise");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));
  const size_t bar = text.find(L'|');
  const std::wstring_view list = std::wstring_view(text).substr(0, bar);
  const std::wstring_view beside =
      bar == std::wstring::npos ? std::wstring_view() : std::wstring_view(text).substr(bar + 1);
  CheckNets(list, beside);
  CheckApps(list);
  CheckDomains(list);
  return 0;
}

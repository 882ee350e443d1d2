#pragma once
// The record of the routes the helper asked for: what it knows of each, and
// the table that holds them, keyed by prefix (family, destination, length).
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include "support/address.h"

// Where a recorded route stands in the system. Only the helper's own are
// journaled and ever deleted; one that was there already (an administrator's
// static route, another VPN's) is recorded so that it is not asked for again,
// and left alone. A waiting one is wanted but not in the system: there is no
// physical default route to make it through (or making it failed while the
// routes moved to a new one); it is made when there is.
enum class RouteState : uint8_t { Ours, Theirs, Waiting };

// The route journal's line of a route; none for a route that is not the
// helper's, or when the helper keeps no journal.
constexpr uint32_t kNotJournaled = 0xFFFFFFFF;

struct RecordedRoute {
  bool ForList = false;    // an entry of the bypass list asks for it
  bool ForSplit = false;   // the sniffer asked for it, for a listed application
  bool ForDomain = false;  // a listed domain's DNS answer gave the address
  RouteState State = RouteState::Ours;
  // The row the helper created (Ours only): a delete must name it exactly.
  uint32_t InterfaceIndex = 0;
  IpAddress Gateway;
  uint32_t JournalLine = kNotJournaled;
  // Split host routes: connections listed processes hold open to the
  // address, and since when none has (GetTickCount64), for the route to go
  // once nobody has used it for a while.
  uint32_t OpenConnections = 0;
  uint64_t IdleSince = 0;
};

inline bool operator==(const RecordedRoute& a, const RecordedRoute& b) {
  return a.ForList == b.ForList && a.ForSplit == b.ForSplit && a.ForDomain == b.ForDomain &&
         a.State == b.State && a.InterfaceIndex == b.InterfaceIndex && a.Gateway == b.Gateway &&
         a.JournalLine == b.JournalLine && a.OpenConnections == b.OpenConnections &&
         a.IdleSince == b.IdleSince;
}

// IPv4 and IPv6 routes in maps of their own: the sniffer looks an IPv4 host
// route up on every event, and a key of one integer keeps that lookup as
// cheap as a lookup can be. Visited in order: IPv4 first, each family by
// address (IPv4: its network-order value as one number), then length.
class RouteTable {
 public:
  // Inline: the sniffer's every event for a destination already routed.
  RecordedRoute* Find(const RoutePrefix& prefix) {
    if (!prefix.Destination.IsIPv4()) return FindIPv6(prefix);
    const auto found = ipv4_.find(KeyOf4(prefix));
    return found == ipv4_.end() ? nullptr : &found->second;
  }
  void Insert(const RoutePrefix& prefix, const RecordedRoute& route);
  void Erase(const RoutePrefix& prefix);
  void Clear();
  size_t Size() const { return ipv4_.size() + ipv6_.size(); }
  bool Empty() const { return ipv4_.empty() && ipv6_.empty(); }
  std::vector<RoutePrefix> Prefixes() const;

  // visit(const RoutePrefix&, RecordedRoute&) for every route in order.
  template <typename Visit>
  void ForEach(Visit visit) {
    for (auto& [key, route] : ipv4_) visit(PrefixOf(key), route);
    for (auto& [key, route] : ipv6_) visit(PrefixOf(key), route);
  }
  // visit(prefix, route) for at most `limit` routes of one family, in order,
  // from the one after `after` (from the first when there is none); returns
  // where the next piece starts after, none once the family is done. For a
  // walk that lets go of the lock between pieces: the routes added or
  // removed meanwhile are seen or not, the others once each. visit must not
  // add or remove routes.
  template <typename Visit>
  std::optional<RoutePrefix> ForSome(uint16_t family, const std::optional<RoutePrefix>& after,
                                     size_t limit, Visit visit) {
    if (family == kFamilyIPv6) {
      return Piece(ipv6_, after ? std::optional<IPv6Key>(KeyOf6(*after)) : std::nullopt, limit,
                   visit);
    }
    return Piece(ipv4_, after ? std::optional<IPv4Key>(KeyOf4(*after)) : std::nullopt, limit,
                 visit);
  }
  // The same, keeping only the routes for which visit returns true.
  template <typename Visit>
  void KeepIf(Visit visit) {
    KeepIf(ipv4_, visit);
    KeepIf(ipv6_, visit);
  }

 private:
  struct IPv6Key {
    uint8_t Bytes[16];
    uint8_t Length;
    bool operator<(const IPv6Key& other) const;
  };
  using IPv4Key = uint64_t;  // the address's network-order value << 8 | length

  static IPv4Key KeyOf4(const RoutePrefix& prefix) {
    return (uint64_t{prefix.Destination.IPv4()} << 8) | prefix.Length;
  }
  static IPv6Key KeyOf6(const RoutePrefix& prefix);
  RecordedRoute* FindIPv6(const RoutePrefix& prefix);
  static RoutePrefix PrefixOf(IPv4Key key);
  static RoutePrefix PrefixOf(const IPv6Key& key);
  template <typename Map, typename Key, typename Visit>
  static std::optional<RoutePrefix> Piece(Map& map, const std::optional<Key>& after, size_t limit,
                                          Visit& visit) {
    auto entry = after ? map.upper_bound(*after) : map.begin();
    for (size_t visited = 0; entry != map.end(); ++entry, ++visited) {
      if (visited == limit) return PrefixOf(std::prev(entry)->first);
      visit(PrefixOf(entry->first), entry->second);
    }
    return std::nullopt;
  }
  template <typename Map, typename Visit>
  static void KeepIf(Map& map, Visit& visit) {
    for (auto entry = map.begin(); entry != map.end();) {
      entry = visit(PrefixOf(entry->first), entry->second) ? std::next(entry) : map.erase(entry);
    }
  }

  std::map<IPv4Key, RecordedRoute> ipv4_;
  std::map<IPv6Key, RecordedRoute> ipv6_;
};

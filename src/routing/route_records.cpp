#include "routing/route_records.h"

#include <cstring>

bool RouteTable::IPv6Key::operator<(const IPv6Key& other) const {
  if (const int order = std::memcmp(Bytes, other.Bytes, sizeof(Bytes))) return order < 0;
  return Length < other.Length;
}

RouteTable::IPv6Key RouteTable::KeyOf6(const RoutePrefix& prefix) {
  IPv6Key key{};
  std::memcpy(key.Bytes, prefix.Destination.Bytes, sizeof(key.Bytes));
  key.Length = prefix.Length;
  return key;
}

RoutePrefix RouteTable::PrefixOf(IPv4Key key) {
  return {IpAddress::FromIPv4(static_cast<uint32_t>(key >> 8)), static_cast<uint8_t>(key)};
}

RoutePrefix RouteTable::PrefixOf(const IPv6Key& key) {
  RoutePrefix prefix;
  prefix.Destination.Family = kFamilyIPv6;
  std::memcpy(prefix.Destination.Bytes, key.Bytes, sizeof(key.Bytes));
  prefix.Length = key.Length;
  return prefix;
}

RecordedRoute* RouteTable::FindIPv6(const RoutePrefix& prefix) {
  const auto found = ipv6_.find(KeyOf6(prefix));
  return found == ipv6_.end() ? nullptr : &found->second;
}

void RouteTable::Insert(const RoutePrefix& prefix, const RecordedRoute& route) {
  if (prefix.Destination.IsIPv4()) {
    ipv4_.insert_or_assign(KeyOf4(prefix), route);
  } else {
    ipv6_.insert_or_assign(KeyOf6(prefix), route);
  }
}

void RouteTable::Erase(const RoutePrefix& prefix) {
  if (prefix.Destination.IsIPv4()) {
    ipv4_.erase(KeyOf4(prefix));
  } else {
    ipv6_.erase(KeyOf6(prefix));
  }
}

void RouteTable::Clear() {
  ipv4_.clear();
  ipv6_.clear();
}

std::vector<RoutePrefix> RouteTable::Prefixes() const {
  std::vector<RoutePrefix> prefixes;
  for (const auto& entry : ipv4_) prefixes.push_back(PrefixOf(entry.first));
  for (const auto& entry : ipv6_) prefixes.push_back(PrefixOf(entry.first));
  return prefixes;
}

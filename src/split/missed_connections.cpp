#include "split/missed_connections.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The key an image is counted under: the file name of a path, A-Z folded,
// as the split list's names are compared.
std::wstring ImageKey(std::wstring_view image) {
  const size_t slash = image.find_last_of(L"\\/");
  std::wstring key(slash == std::wstring_view::npos ? image : image.substr(slash + 1));
  for (wchar_t& c : key) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return key;
}

}  // namespace

bool MissedConnections::AddressOrder::operator()(const IpAddress& a, const IpAddress& b) const {
  if (a.Family != b.Family) return a.Family < b.Family;
  return std::memcmp(a.Bytes, b.Bytes, sizeof(a.Bytes)) < 0;
}

void MissedConnections::Start(std::vector<IpAddress> ownAddresses,
                              std::vector<RoutePrefix> ownNetworks) {
  std::lock_guard<std::mutex> lock(mutex_);
  ownAddresses_ = std::move(ownAddresses);
  ownNetworks_ = std::move(ownNetworks);
  total_ = 0;
  apps_.clear();
}

void MissedConnections::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  ownAddresses_.clear();
  ownNetworks_.clear();
}

bool MissedConnections::FromTunnel(const IpAddress& local, const IpAddress& remote) const {
  // An IPv4 source of a dual-stack socket comes IPv4-mapped.
  const IpAddress source = Unmapped(local);
  if (std::find(ownAddresses_.begin(), ownAddresses_.end(), source) == ownAddresses_.end()) {
    return false;
  }
  // The tunnel's own networks are reached through it by design: no miss.
  return std::none_of(ownNetworks_.begin(), ownNetworks_.end(),
                      [&](const RoutePrefix& own) { return PrefixCovers(own, remote); });
}

MissedConnections::Verdict MissedConnections::Note(const std::wstring& imagePath,
                                                   const IpAddress& local,
                                                   const IpAddress& destination) {
  const IpAddress remote = Unmapped(destination);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!FromTunnel(local, remote)) {
    // A connect around the tunnel ends what an earlier miss to the same
    // address said; with no miss recorded there is nothing to look up.
    if (!apps_.empty()) {
      const auto app = apps_.find(ImageKey(imagePath));
      if (app != apps_.end()) app->second.ThroughTunnel.erase(remote);
    }
    return Verdict::Around;
  }
  ++total_;
  std::wstring key = ImageKey(imagePath);
  auto app = apps_.find(key);
  const bool first = app == apps_.end();
  if (first) {
    if (apps_.size() >= kMissedAppsAtMost) return Verdict::Missed;
    app = apps_.emplace(std::move(key), App{}).first;
  }
  App& record = app->second;
  ++record.Count;
  record.Last = remote;
  auto known = record.ThroughTunnel.find(remote);
  if (known != record.ThroughTunnel.end()) {
    known->second = record.Count;
  } else {
    if (record.ThroughTunnel.size() >= kMissedAddressesAtMost) {
      record.ThroughTunnel.erase(
          std::min_element(record.ThroughTunnel.begin(), record.ThroughTunnel.end(),
                           [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    record.ThroughTunnel.emplace(remote, record.Count);
  }
  return first ? Verdict::FirstMissOfApp : Verdict::Missed;
}

MissedSummary MissedConnections::Summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  MissedSummary summary;
  summary.Total = total_;
  for (const auto& [image, app] : apps_) summary.Apps.push_back({image, app.Count, app.Last});
  return summary;
}

bool MissedConnections::LastWentThroughTunnel(std::wstring_view image,
                                              const IpAddress& remote) const {
  const std::wstring key = ImageKey(image);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto app = apps_.find(key);
  return app != apps_.end() && app->second.ThroughTunnel.count(Unmapped(remote)) != 0;
}

MissedConnections& MissedFirstConnections() {
  static MissedConnections record;
  return record;
}

#pragma once
// Connects of listed applications that went through the tunnel anyway.
// Windows picks a connection's route, and with it its source address, before
// the socket layer reports the connect, and a host route made then is too
// late for that connection: its packets keep the tunnel's source, which the
// strong host model binds to the tunnel's interface. So the first connection
// of a listed application to a new address goes through the tunnel and
// later ones go around. The event's local address says which happened: one
// of the tunnel's own addresses means through the tunnel (a miss).
//
// Counted per application image (its file name, A-Z folded) and in all,
// since the tunnel came up; the last verdict per image and address is kept
// for "explain". Bounded: at most kMissedAppsAtMost images are counted one
// by one (the total counts every miss) and kMissedAddressesAtMost
// addresses per image remembered (the oldest miss forgotten first).
// Callable from any thread. Includes no platform header.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/address.h"

constexpr size_t kMissedAppsAtMost = 256;
constexpr size_t kMissedAddressesAtMost = 1024;

struct MissedByApp {
  std::wstring Image;  // file name, A-Z folded
  uint64_t Count = 0;
  IpAddress Last;  // the remote of its latest miss
};

struct MissedSummary {
  uint64_t Total = 0;
  std::vector<MissedByApp> Apps;  // those with a miss, by image name
};

class MissedConnections {
 public:
  enum class Verdict {
    Around,          // left by the physical network, or not the tunnel's to judge
    Missed,          // through the tunnel; its application has missed before
    FirstMissOfApp,  // through the tunnel, the application's first since the tunnel came up
  };

  // The tunnel came up: its own addresses (the configuration's Address
  // lines, without their lengths) and its own networks (reached through it,
  // never routed around it). Everything counted before is forgotten.
  void Start(std::vector<IpAddress> ownAddresses, std::vector<RoutePrefix> ownNetworks);
  // The tunnel went: nothing is judged a miss any more; what was counted
  // stays readable until the next Start.
  void Stop();

  // A connect of a listed application (`imagePath` a full path or a file
  // name) to `remote`, which split routes around the tunnel, from `local`.
  // Cheap while nothing was missed: a lock and a few compares.
  Verdict Note(const std::wstring& imagePath, const IpAddress& local, const IpAddress& remote);

  MissedSummary Summary() const;
  // Whether the image's (a full path or a file name) latest connect to
  // `remote` went through the tunnel.
  bool LastWentThroughTunnel(std::wstring_view image, const IpAddress& remote) const;

 private:
  struct AddressOrder {
    bool operator()(const IpAddress& a, const IpAddress& b) const;
  };
  struct App {
    uint64_t Count = 0;
    IpAddress Last;
    // Remotes whose latest connect was a miss, with the number of that miss
    // (oldest forgotten first when full).
    std::map<IpAddress, uint64_t, AddressOrder> ThroughTunnel;
  };
  bool FromTunnel(const IpAddress& local, const IpAddress& remote) const;

  mutable std::mutex mutex_;
  std::vector<IpAddress> ownAddresses_;
  std::vector<RoutePrefix> ownNetworks_;
  uint64_t total_ = 0;
  std::map<std::wstring, App, std::less<>> apps_;
};

// The helper's one record: the sniffer notes, the tunnel's connect and
// disconnect start and stop it, "state" and "explain" read it.
MissedConnections& MissedFirstConnections();

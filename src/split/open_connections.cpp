#include "split/open_connections.h"

#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "routing/route_table.h"
#include "split/address_scope.h"
#include "support/handles.h"
#include "support/helper_state.h"
#include "support/log.h"

namespace {

struct Connection {
  uint32_t ProcessId;
  IpAddress Remote;
};

bool operator<(const Connection& a, const Connection& b) {
  if (a.ProcessId != b.ProcessId) return a.ProcessId < b.ProcessId;
  if (a.Remote.Family != b.Remote.Family) return a.Remote.Family < b.Remote.Family;
  return std::memcmp(a.Remote.Bytes, b.Remote.Bytes, sizeof(a.Remote.Bytes)) < 0;
}

struct AddressLess {
  bool operator()(const IpAddress& a, const IpAddress& b) const {
    if (a.Family != b.Family) return a.Family < b.Family;
    return std::memcmp(a.Bytes, b.Bytes, sizeof(a.Bytes)) < 0;
  }
};

// Taken before StateMutex (the route calls take that one), never after it.
std::mutex CountMutex;
// The remotes each endpoint holds, and its process. A UDP socket may hold
// tens of thousands: a new remote of it is one lookup, not a walk.
struct Endpoint {
  uint32_t ProcessId = 0;
  std::set<IpAddress, AddressLess> Remotes;
};
std::map<uint64_t, Endpoint> Endpoints;
// How many endpoints hold each process's remote: what the open-connections
// scan asks for each connection it finds, without walking every endpoint.
std::map<Connection, uint32_t> HeldByEndpoints;
// Connections without an endpoint: found by the open-connections scan, or
// from a library that fills none; matched at close by process and remote.
std::map<Connection, uint32_t> Counted;
size_t RemotesHeld = 0;

// Closes go missing when a process ends in ways the system does not report
// one for each of its sockets; when the counts fill up, those of ended
// processes are given back.
constexpr size_t kCountedAtMost = 65536;

bool ProcessEnded(uint32_t processId) {
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  DWORD code = 0;
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  return GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE;
}

// Every remote the endpoint holds is let go. CountMutex held.
void ReleaseEndpoint(const Endpoint& endpoint) {
  for (const IpAddress& remote : endpoint.Remotes) {
    NoteSplitClose(remote);
    const auto held = HeldByEndpoints.find({endpoint.ProcessId, remote});
    if (held != HeldByEndpoints.end() && --held->second == 0) HeldByEndpoints.erase(held);
  }
  RemotesHeld -= endpoint.Remotes.size();
}

// CountMutex held.
void GiveBackEndedProcesses() {
  std::map<uint32_t, bool> ended;
  const auto gone = [&](uint32_t processId) {
    const auto known = ended.find(processId);
    return known != ended.end() ? known->second : (ended[processId] = ProcessEnded(processId));
  };
  for (auto entry = Counted.begin(); entry != Counted.end();) {
    if (!gone(entry->first.ProcessId)) {
      ++entry;
      continue;
    }
    for (uint32_t open = entry->second; open > 0; --open) NoteSplitClose(entry->first.Remote);
    RemotesHeld -= entry->second;
    entry = Counted.erase(entry);
  }
  for (auto entry = Endpoints.begin(); entry != Endpoints.end();) {
    if (!gone(entry->second.ProcessId)) {
      ++entry;
      continue;
    }
    ReleaseEndpoint(entry->second);
    entry = Endpoints.erase(entry);
  }
}

// Room for one more held remote; when there is none, the route is made
// but not held (it idles like any other). CountMutex held.
bool RoomToHold() {
  if (RemotesHeld < kCountedAtMost) return true;
  GiveBackEndedProcesses();
  return RemotesHeld < kCountedAtMost;
}

// One more counted connection without an endpoint. CountMutex held.
bool CountConnection(const Connection& connection) {
  if (!AddSplitHostRoute(connection.Remote)) return false;
  if (!RoomToHold()) {
    NoteSplitClose(connection.Remote);
    return true;
  }
  ++Counted[connection];
  ++RemotesHeld;
  return true;
}

std::vector<MIB_TCPROW_OWNER_PID> OpenTcpConnections() {
  std::vector<unsigned char> buffer;
  DWORD size = 0;
  DWORD rc = ERROR_INSUFFICIENT_BUFFER;
  // The table can grow between the call that sizes it and the one that fills it.
  for (int attempt = 0; attempt < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size);
    rc = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, AF_INET,
                             TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
  }
  if (rc != NO_ERROR) {
    if (rc != ERROR_INSUFFICIENT_BUFFER || !buffer.empty()) {
      LogLine(L"split: open connections not read err=" + std::to_wstring(rc));
    }
    return {};
  }
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  return std::vector<MIB_TCPROW_OWNER_PID>(table->table, table->table + table->dwNumEntries);
}

}  // namespace

void RouteConnection(uint64_t endpoint, uint32_t processId, const IpAddress& remote) {
  std::lock_guard<std::mutex> lock(CountMutex);
  if (endpoint == 0) {
    CountConnection({processId, remote});
    return;
  }
  const auto known = Endpoints.find(endpoint);
  if (known != Endpoints.end() && known->second.Remotes.count(remote) != 0) {
    return;  // this socket holds it already
  }
  if (!AddSplitHostRoute(remote)) return;
  if (!RoomToHold()) {
    NoteSplitClose(remote);
    return;
  }
  Endpoint& entry = Endpoints[endpoint];
  entry.ProcessId = processId;
  entry.Remotes.insert(remote);
  ++HeldByEndpoints[{processId, remote}];
  ++RemotesHeld;
}

void EndConnection(uint64_t endpoint, uint32_t processId, const IpAddress& remote) {
  std::lock_guard<std::mutex> lock(CountMutex);
  const auto known = endpoint == 0 ? Endpoints.end() : Endpoints.find(endpoint);
  if (known != Endpoints.end()) {
    ReleaseEndpoint(known->second);
    Endpoints.erase(known);
    return;
  }
  const auto counted = Counted.find({processId, remote});
  if (counted == Counted.end()) return;
  if (--counted->second == 0) Counted.erase(counted);
  --RemotesHeld;
  NoteSplitClose(remote);
}

void ForgetConnections() {
  std::lock_guard<std::mutex> lock(CountMutex);
  Counted.clear();
  Endpoints.clear();
  HeldByEndpoints.clear();
  RemotesHeld = 0;
}

void RouteOpenConnections(const std::shared_ptr<const SplitAppList>& list,
                          ProcessMatcher& matcher) {
  // SYN-SENT and ESTABLISHED; a connection on its way out needs no route.
  constexpr DWORD kSynSent = 3, kEstablished = 5;
  std::map<Connection, uint32_t> open;
  for (const MIB_TCPROW_OWNER_PID& row : OpenTcpConnections()) {
    if (row.dwState != kSynSent && row.dwState != kEstablished) continue;
    const Connection connection{row.dwOwningPid, IpAddress::FromIPv4(row.dwRemoteAddr)};
    if (SplitRoutable(connection.Remote)) ++open[connection];
  }
  size_t routed = 0;
  std::map<uint32_t, bool> listed;
  for (const auto& [connection, count] : open) {
    auto known = listed.find(connection.ProcessId);
    if (known == listed.end()) {
      known =
          listed.emplace(connection.ProcessId, matcher.Listed(connection.ProcessId, list)).first;
    }
    if (!known->second) continue;
    std::lock_guard<std::mutex> lock(CountMutex);
    const auto counted = Counted.find(connection);
    uint32_t have = counted == Counted.end() ? 0 : counted->second;
    const auto held = HeldByEndpoints.find(connection);  // seen connecting already
    if (held != HeldByEndpoints.end()) have += held->second;
    for (; have < count; ++have) {
      if (!CountConnection(connection)) break;
      ++routed;
    }
  }
  if (routed > 0) {
    LogLine(L"split: " + std::to_wstring(routed) +
            L" open connections of listed applications routed");
  }
}

#include "split/open_connections.h"

#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "routing/route_table.h"
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

// Taken before StateMutex (the route calls take that one), never after it.
std::mutex CountMutex;
std::map<Connection, uint32_t> Counted;

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

// CountMutex held.
void GiveBackEndedProcesses() {
  std::map<uint32_t, bool> ended;
  for (auto entry = Counted.begin(); entry != Counted.end();) {
    const uint32_t processId = entry->first.ProcessId;
    const auto known = ended.find(processId);
    const bool gone =
        known != ended.end() ? known->second : (ended[processId] = ProcessEnded(processId));
    if (!gone) {
      ++entry;
      continue;
    }
    for (uint32_t open = entry->second; open > 0; --open) NoteSplitClose(entry->first.Remote);
    entry = Counted.erase(entry);
  }
}

// One more counted connection, its route made or counted. CountMutex held.
bool CountConnection(const Connection& connection) {
  if (!AddSplitHostRoute(connection.Remote)) return false;
  if (Counted.size() >= kCountedAtMost && Counted.count(connection) == 0) {
    GiveBackEndedProcesses();
    if (Counted.size() >= kCountedAtMost) {
      // Not remembered, so not held: the route idles like any other.
      NoteSplitClose(connection.Remote);
      return true;
    }
  }
  ++Counted[connection];
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

bool SplitRoutable(const IpAddress& remote) {
  if (remote.IsUnspecified()) return false;
  const uint8_t* bytes = remote.Bytes;
  if (remote.IsIPv4())
    return !(bytes[0] == 255 && bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255);
  static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const bool loopback = std::memcmp(bytes, kLoopback, sizeof(kLoopback)) == 0;
  const bool linkLocal = bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
  const bool multicast = bytes[0] == 0xFF;
  return !loopback && !linkLocal && !multicast;
}

void RouteConnection(uint32_t processId, const IpAddress& remote) {
  std::lock_guard<std::mutex> lock(CountMutex);
  CountConnection({processId, remote});
}

void EndConnection(uint32_t processId, const IpAddress& remote) {
  std::lock_guard<std::mutex> lock(CountMutex);
  const auto counted = Counted.find({processId, remote});
  if (counted == Counted.end()) return;
  if (--counted->second == 0) Counted.erase(counted);
  NoteSplitClose(remote);
}

void ForgetConnections() {
  std::lock_guard<std::mutex> lock(CountMutex);
  Counted.clear();
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
    for (uint32_t have = counted == Counted.end() ? 0 : counted->second; have < count; ++have) {
      if (!CountConnection(connection)) break;
      ++routed;
    }
  }
  if (routed > 0) {
    LogLine(L"split: " + std::to_wstring(routed) +
            L" open connections of listed applications routed");
  }
}

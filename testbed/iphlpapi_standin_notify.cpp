// Change notifications of the IP Helper stand-in (test-bed only): route and
// interface callbacks, called from a watcher thread of the stand-in when the
// scenario file changes or a service named by a service route comes or goes,
// or from StandinNotifyChanges on the caller's thread.
//
// Locks, always taken in this order and never held across a callback:
// the watch lock (what the watcher last saw), then the registry lock. The
// round lock keeps the rounds of the watcher and of StandinNotifyChanges
// from interleaving; StandinLock is taken only around file work.
// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
// clang-format on

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "iphlpapi_standin.h"
#include "iphlpapi_standin_files.h"
#include "iphlpapi_standin_scenario.h"

extern "C" {
NETIO_STATUS WINAPI StandinNotifyRouteChange2(ADDRESS_FAMILY family,
                                              PIPFORWARD_CHANGE_CALLBACK callback, PVOID context,
                                              BOOLEAN initial, HANDLE* handle);
NETIO_STATUS WINAPI StandinNotifyIpInterfaceChange(ADDRESS_FAMILY family,
                                                   PIPINTERFACE_CHANGE_CALLBACK callback,
                                                   PVOID context, BOOLEAN initial, HANDLE* handle);
NETIO_STATUS WINAPI StandinCancelMibChangeNotify2(HANDLE handle);
}

static_assert(std::is_same_v<decltype(&StandinNotifyRouteChange2), decltype(&NotifyRouteChange2)>);
static_assert(
    std::is_same_v<decltype(&StandinNotifyIpInterfaceChange), decltype(&NotifyIpInterfaceChange)>);
static_assert(
    std::is_same_v<decltype(&StandinCancelMibChangeNotify2), decltype(&CancelMibChangeNotify2)>);

namespace {

using standin::FileSnapshot;
using standin::StandinDirectory;
using standin::StandinLock;

// A registration's handle is this plus its number: far above any kernel
// handle of the process, so a CloseHandle on it fails as on Windows.
constexpr uintptr_t kHandleBase = 0x4E000000;
constexpr uintptr_t kMaxRegistrations = 0x00FFFFFF;
// How often the watcher looks; a test hears of a change within 100 ms.
constexpr DWORD kWatchTickMs = 20;

struct Registration {
  UINT64 id = 0;
  ADDRESS_FAMILY family = AF_UNSPEC;
  PIPFORWARD_CHANGE_CALLBACK routeCallback = nullptr;  // one of the two
  PIPINTERFACE_CHANGE_CALLBACK interfaceCallback = nullptr;
  void* context = nullptr;
  bool initialPending = false;
  bool active = true;
  int running = 0;  // callbacks in progress
  DWORD runningThread = 0;
};

struct Registry {
  std::mutex mutex;
  // A registration was added, or a callback returned.
  std::condition_variable changed;
  std::vector<std::shared_ptr<Registration>> registrations;  // in registration order
  UINT64 lastId = 0;
  bool watcherStarted = false;
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

// What the watcher last saw: the scenario's text and which of the services
// it names exist.
struct Watch {
  std::mutex mutex;
  FileSnapshot scenario;
  std::vector<std::string> services;
  std::vector<bool> present;
};

// Never destroyed: the watcher may still run while the process exits.
Registry& TheRegistry() {
  static auto* registry = new Registry;
  return *registry;
}

Watch& TheWatch() {
  static auto* watch = new Watch;
  return *watch;
}

std::recursive_mutex& RoundMutex() {
  static auto* mutex = new std::recursive_mutex;
  return *mutex;
}

std::vector<bool> ServicesPresent(const std::vector<std::string>& names) {
  std::vector<bool> present;
  for (const std::string& name : names) present.push_back(standin::ServiceState(name) != 0);
  return present;
}

// Brings the watch up to date; true when the scenario's text or a service's
// existence differs from what it saw before. Under the watch lock.
bool LookAgain(const std::wstring& dir, Watch* watch) {
  bool textChanged = false;
  // A file that cannot be read now counts as unchanged; the next look
  // tries again.
  if (watch->scenario.Refresh(dir + standin::kScenarioFile, &textChanged) != NO_ERROR) {
    textChanged = false;
  }
  if (textChanged) {
    // Parsed here without journaling: a bad file is reported by the calls.
    standin::Scenario scenario;
    int badLine = 0;
    watch->services.clear();
    if (standin::ParseScenarioText(watch->scenario.text(), &scenario, &badLine)) {
      watch->services = scenario.RouteServices();
    }
  }
  std::vector<bool> present = ServicesPresent(watch->services);
  const bool servicesChanged = present != watch->present;
  watch->present = std::move(present);
  return textChanged || servicesChanged;
}

// Routes on interfaces that are down leave the routes file as it is read.
void ApplyDown(const std::wstring& dir) {
  StandinLock lock;
  if (lock.error() != NO_ERROR) return;
  std::shared_ptr<const standin::Scenario> scenario;
  if (standin::LoadScenario(dir, &scenario) != NO_ERROR) return;
  std::vector<standin::RouteRow> routes;
  standin::LoadRoutes(dir, *scenario, &routes);
}

ADDRESS_FAMILY RowFamily(const Registration& registration) {
  return registration.family == AF_UNSPEC ? static_cast<ADDRESS_FAMILY>(AF_INET)
                                          : registration.family;
}

// Windows passes no row with the initial notification.
void Invoke(const std::wstring& dir, Registration* registration, MIB_NOTIFICATION_TYPE type) {
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (!registration->active) return;
    ++registration->running;
    registration->runningThread = GetCurrentThreadId();
  }
  standin::AppendJournalLocked(dir, "callback handle=" + std::to_string(registration->id));
  const bool initial = type == MibInitialNotification;
  if (registration->routeCallback) {
    MIB_IPFORWARD_ROW2 row;
    standin::FillDefaults(&row);
    row.DestinationPrefix.Prefix.si_family = RowFamily(*registration);
    row.NextHop.si_family = RowFamily(*registration);
    registration->routeCallback(registration->context, initial ? nullptr : &row, type);
  } else {
    MIB_IPINTERFACE_ROW row;
    std::memset(&row, 0, sizeof(row));
    row.Family = RowFamily(*registration);
    registration->interfaceCallback(registration->context, initial ? nullptr : &row, type);
  }
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (--registration->running == 0) registration->runningThread = 0;
  }
  registry.changed.notify_all();
}

std::vector<std::shared_ptr<Registration>> Registrations() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.registrations;
}

// A route this process made or deleted through the stand-in: Windows tells
// every route registration of every route added or deleted.
std::atomic<bool> OwnRouteChange{false};

// Every route callback, then (unless only routes changed) every interface
// callback.
void Round(const std::wstring& dir, bool routesOnly = false) {
  std::lock_guard<std::recursive_mutex> round(RoundMutex());
  const std::vector<std::shared_ptr<Registration>> all = Registrations();
  for (const bool routes : {true, false}) {
    if (!routes && routesOnly) break;
    for (const std::shared_ptr<Registration>& registration : all) {
      if ((registration->routeCallback != nullptr) == routes) {
        Invoke(dir, registration.get(), MibParameterNotification);
      }
    }
  }
}

void DeliverInitial(const std::wstring& dir) {
  std::lock_guard<std::recursive_mutex> round(RoundMutex());
  std::vector<std::shared_ptr<Registration>> due;
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const std::shared_ptr<Registration>& registration : registry.registrations) {
      if (!registration->initialPending) continue;
      registration->initialPending = false;
      due.push_back(registration);
    }
  }
  for (const std::shared_ptr<Registration>& registration : due) {
    Invoke(dir, registration.get(), MibInitialNotification);
  }
}

DWORD WINAPI WatcherMain(LPVOID) {
  const std::wstring dir = StandinDirectory();
  Registry& registry = TheRegistry();
  for (;;) {
    {
      // Idle while nobody is registered.
      std::unique_lock<std::mutex> lock(registry.mutex);
      registry.changed.wait(lock, [&registry] { return !registry.registrations.empty(); });
    }
    DeliverInitial(dir);
    bool changed = false;
    {
      std::lock_guard<std::mutex> lock(TheWatch().mutex);
      changed = LookAgain(dir, &TheWatch());
    }
    const bool own = OwnRouteChange.exchange(false);
    if (changed) {
      ApplyDown(dir);
      Round(dir);
    } else if (own) {
      Round(dir, true);
    }
    WaitForSingleObject(registry.wake, kWatchTickMs);
  }
}

// Under the registry lock. The module is pinned first: a FreeLibrary of the
// stand-in must not pull the code out from under the watcher.
bool StartWatcherLocked(Registry* registry) {
  if (registry->watcherStarted) return true;
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                          reinterpret_cast<LPCWSTR>(&WatcherMain), &self)) {
    return false;
  }
  const HANDLE thread = CreateThread(nullptr, 0, WatcherMain, nullptr, 0, nullptr);
  if (!thread) return false;
  CloseHandle(thread);
  registry->watcherStarted = true;
  return true;
}

DWORD Register(const char* kind, ADDRESS_FAMILY family, PIPFORWARD_CHANGE_CALLBACK routeCallback,
               PIPINTERFACE_CHANGE_CALLBACK interfaceCallback, PVOID context, BOOLEAN initial,
               HANDLE* handle) {
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  const std::string line = std::string("notify-") + kind + " family=" + std::to_string(family) +
                           " initial=" + (initial ? "1" : "0");
  if (handle) *handle = nullptr;
  if (!handle || (!routeCallback && !interfaceCallback) ||
      (family != AF_INET && family != AF_INET6 && family != AF_UNSPEC)) {
    standin::AppendJournalLocked(dir,
                                 line + " handle=0 rc=" + std::to_string(ERROR_INVALID_PARAMETER));
    return ERROR_INVALID_PARAMETER;
  }
  auto registration = std::make_shared<Registration>();
  registration->family = family;
  registration->routeCallback = routeCallback;
  registration->interfaceCallback = interfaceCallback;
  registration->context = context;
  registration->initialPending = initial != FALSE;

  Registry& registry = TheRegistry();
  Watch& watch = TheWatch();
  // The watch lock across the whole registration: a watcher that was idle
  // must compare with the scenario as it is now, not as it was when the last
  // registration went, or it would report an old change (or take a change
  // made right after this call for the state it starts from).
  std::lock_guard<std::mutex> watchLock(watch.mutex);
  bool idle = false;
  DWORD error = NO_ERROR;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    idle = registry.registrations.empty();
    if (registry.lastId >= kMaxRegistrations) {
      error = ERROR_NO_SYSTEM_RESOURCES;
    } else if (!StartWatcherLocked(&registry)) {
      error = GetLastError();
    } else {
      registration->id = ++registry.lastId;
    }
  }
  if (error != NO_ERROR) {
    standin::AppendJournalLocked(dir, line + " handle=0 rc=" + std::to_string(error));
    return error;
  }
  if (idle) LookAgain(dir, &watch);
  // Journaled before the watcher can see it, so no callback line comes first.
  standin::AppendJournalLocked(dir, line + " handle=" + std::to_string(registration->id) + " rc=0");
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.registrations.push_back(registration);
  }
  registry.changed.notify_all();
  if (initial) SetEvent(registry.wake);
  *handle = reinterpret_cast<HANDLE>(kHandleBase + registration->id);
  return NO_ERROR;
}

UINT64 RegistrationNumber(HANDLE handle) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  return value > kHandleBase && value - kHandleBase <= kMaxRegistrations ? value - kHandleBase
                                                                         : value;
}

DWORD Cancel(HANDLE handle, UINT64 id) {
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> lock(registry.mutex);
  if (reinterpret_cast<uintptr_t>(handle) != kHandleBase + id) return ERROR_INVALID_PARAMETER;
  for (auto it = registry.registrations.begin(); it != registry.registrations.end(); ++it) {
    const std::shared_ptr<Registration> registration = *it;
    if (registration->id != id) continue;
    registration->active = false;
    registry.registrations.erase(it);
    // Windows would wait for its own callback here for ever. The stand-in
    // says so instead of hanging the test; no callback follows either way.
    if (registration->running > 0 && registration->runningThread == GetCurrentThreadId()) {
      return ERROR_POSSIBLE_DEADLOCK;
    }
    registry.changed.wait(lock, [&registration] { return registration->running == 0; });
    return NO_ERROR;
  }
  return ERROR_INVALID_PARAMETER;
}

}  // namespace

namespace standin {
void NoteOwnRouteChange() { OwnRouteChange = true; }
}  // namespace standin

extern "C" {

NETIO_STATUS WINAPI StandinNotifyRouteChange2(ADDRESS_FAMILY family,
                                              PIPFORWARD_CHANGE_CALLBACK callback, PVOID context,
                                              BOOLEAN initial, HANDLE* handle) {
  return Register("route", family, callback, nullptr, context, initial, handle);
}

NETIO_STATUS WINAPI StandinNotifyIpInterfaceChange(ADDRESS_FAMILY family,
                                                   PIPINTERFACE_CHANGE_CALLBACK callback,
                                                   PVOID context, BOOLEAN initial, HANDLE* handle) {
  return Register("interface", family, nullptr, callback, context, initial, handle);
}

NETIO_STATUS WINAPI StandinCancelMibChangeNotify2(HANDLE handle) {
  const UINT64 id = RegistrationNumber(handle);
  const DWORD rc = Cancel(handle, id);
  const std::wstring dir = StandinDirectory();
  if (!dir.empty()) {
    standin::AppendJournalLocked(
        dir, "cancel handle=" + std::to_string(id) + " rc=" + std::to_string(rc));
  }
  return rc;
}

__declspec(dllexport) void StandinNotifyChanges(void) {
  const std::wstring dir = StandinDirectory();
  if (dir.empty()) return;
  {
    // The watcher need not report again what this round reports.
    std::lock_guard<std::mutex> lock(TheWatch().mutex);
    LookAgain(dir, &TheWatch());
  }
  ApplyDown(dir);
  Round(dir);
}

}  // extern "C"

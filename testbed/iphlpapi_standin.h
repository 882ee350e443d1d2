#pragma once
// Test-side entry point of the IP Helper stand-in (test-bed only, never
// shipped), for tests and benchmarks that load the stand-in in their own
// process.
//
// StandinNotifyChanges does on the calling thread what the stand-in's watcher
// does when the scenario changes: it takes the routes of interfaces that are
// down out of the routes file, then calls every registered route callback and
// every registered interface callback once (MibParameterNotification), each
// journaled, whether or not anything changed. It returns when the last
// callback has returned.
#include <windows.h>

extern "C" {
#ifdef IPHLPAPI_STANDIN_BUILD
#define IPHLPAPI_STANDIN_API __declspec(dllexport)
#else
#define IPHLPAPI_STANDIN_API __declspec(dllimport)
#endif
IPHLPAPI_STANDIN_API void StandinNotifyChanges(void);
}

// Run-time lookup: the stand-in is loaded in place of the system's
// iphlpapi.dll, whose import library a test links, not the stand-in's.
using StandinNotifyChangesFn = decltype(&StandinNotifyChanges);

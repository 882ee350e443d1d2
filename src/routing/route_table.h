#pragma once
// The bypass routes the helper has put into the system's IPv4 route table,
// all through the captured physical default route, so that every one of them
// can be taken out again. None of these may be called with StateMutex held:
// each takes it itself.
#include <cstdint>
#include <string>

// Creates a route to destination/prefixLength (destination in network byte
// order, host bits already cleared) through HelperState.PhysicalRoute and
// records it. A destination already recorded costs one map lookup and
// nothing else, whatever its prefix length: the sniffer relies on that.
// Failures are logged; nothing is recorded then, so a later call retries.
void AddBypassRoute(uint32_t destination, uint8_t prefixLength);

// Deletes every recorded route (results ignored) and empties the record.
void ClearBypassRoutes();

// Adds a route for every entry of BypassNetList, then logs how many routes
// are recorded in all and through which interface and gateway.
void InstallBypassRoutes();

// Dotted decimal of an IPv4 address in network byte order.
std::wstring FormatIPv4(uint32_t address);

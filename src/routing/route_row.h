#pragma once
// The IP Helper's row for one bypass route, shared by everything that
// creates or deletes one: a delete must name exactly what the create made.
#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstdint>

// Every field not set here keeps the system's defaults.
MIB_IPFORWARD_ROW2 BypassRouteRow(uint32_t interfaceIndex, uint32_t destination,
                                  uint8_t prefixLength, uint32_t gateway);

#pragma once
// The part of WinDivert's filter language the stand-in applies to socket
// events (test-bed only): true, false, the flags loopback, outbound, ipv6,
// tcp and udp, the fields event, protocol, processId and remoteAddr compared
// with == or != (event names BIND, CONNECT, LISTEN, ACCEPT, CLOSE; remoteAddr
// a dotted IPv4 address), combined with not/!, and/&&, or/|| and
// parentheses. What it cannot read makes WinDivertOpen fail, as WinDivert
// refuses a filter it cannot compile: a filter the stand-in cannot judge is
// never taken for one that passes everything.
#include <memory>
#include <string>

#include "windivert_standin_files.h"

class SocketFilter;

// Null when the text is not a filter this stand-in can apply.
std::shared_ptr<const SocketFilter> CompileSocketFilter(const std::string& text);
// The network layer's: the same combinations of true, false, loopback,
// outbound, inbound, ip, ipv6, tcp and udp, and udp.SrcPort, udp.DstPort,
// tcp.SrcPort and tcp.DstPort compared with a number (false for a packet
// without that header), judged on a fed packet's bytes.
std::shared_ptr<const SocketFilter> CompileNetworkFilter(const std::string& text);
bool FilterPasses(const SocketFilter& filter, const SocketEvent& event, bool loopback);

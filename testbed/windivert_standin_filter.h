#pragma once
// The part of WinDivert's filter language the stand-in applies (test-bed
// only). What it cannot read makes WinDivertOpen fail, as WinDivert refuses
// a filter it cannot compile: a filter the stand-in cannot judge is never
// taken for one that passes everything.
//
// Both layers: true, false, combined with not/!, and/&&, or/|| and
// parentheses; a test is FIELD op VALUE with op one of == (or =), !=, <, >,
// <=, >=, or a FIELD alone (FIELD != 0); VALUE a decimal or 0x hexadecimal
// number, or an address for an address field.
// - Socket layer: loopback, outbound, ipv6, tcp, udp; event (BIND, CONNECT,
//   LISTEN, ACCEPT, CLOSE or a number), protocol, processId, remoteAddr
//   (dotted IPv4).
// - Network layer: inbound, outbound, loopback, ip, ipv6, tcp, udp; ifIdx,
//   subIfIdx, length; ip.SrcAddr and ip.DstAddr (dotted IPv4), ipv6.SrcAddr
//   and ipv6.DstAddr (IPv6 text); udp.SrcPort, udp.DstPort,
//   udp.PayloadLength, udp.Payload[i], udp.Payload16[i], udp.Payload32[i]
//   and the same of tcp (i a byte or word index from the payload's start,
//   words in network order). A test of a header the packet lacks, or of a
//   payload word past its end, fails.
#include <memory>
#include <string>

#include "windivert_standin_files.h"

class SocketFilter;

// Null when the text is not a filter this stand-in can apply.
std::shared_ptr<const SocketFilter> CompileSocketFilter(const std::string& text);
std::shared_ptr<const SocketFilter> CompileNetworkFilter(const std::string& text);
bool FilterPasses(const SocketFilter& filter, const SocketEvent& event, bool loopback);

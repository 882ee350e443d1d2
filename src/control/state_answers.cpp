#include "control/state_answers.h"

#include <cstdint>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "control/commands.h"
#include "routing/bypass_nets.h"
#include "routing/net_merge.h"
#include "routing/physical_route.h"
#include "routing/route_table.h"
#include "split/dns_hold.h"
#include "split/missed_connections.h"
#include "split/process_match.h"
#include "split/sniffer.h"
#include "support/address.h"
#include "support/helper_state.h"
#include "support/text.h"

namespace {

std::wstring JsonString(std::wstring_view text) {
  std::wstring quoted = L"\"";
  for (const wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      quoted += L'\\';
      quoted += c;
    } else if (c < 0x20) {
      wchar_t escaped[8];
      std::swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(c));
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + L'"';
}

std::wstring JsonRoute(uint32_t interfaceIndex, const IpAddress& gateway) {
  return L"{\"ifIndex\":" + std::to_wstring(interfaceIndex) + L",\"gateway\":" +
         JsonString(FormatAddress(gateway)) + L"}";
}

}  // namespace

std::wstring DescribeState() {
  const bool connected = HelperState.TunnelConnected;
  std::wstring physical = L"null", physical6 = L"null", warnings;
  size_t bypassNets = 0, splitApps = 0, bypassDomains = 0;
  const RouteCounts counts = CountBypassRoutes();
  const size_t routes = counts.Routes, splitRoutes = counts.SplitRoutes;
  const NextHop route4 = PhysicalRouteOf(kFamilyIPv4), route6 = PhysicalRouteOf(kFamilyIPv6);
  if (connected && route4.Captured()) physical = JsonRoute(route4.InterfaceIndex, route4.Gateway);
  if (connected && route6.Captured()) physical6 = JsonRoute(route6.InterfaceIndex, route6.Gateway);
  bypassNets = PublishedBypassNets().size();
  {
    MutexLock lock(HelperState.StateMutex);
    splitApps = std::atomic_load(&HelperState.SplitApps)->Size();
    const std::shared_ptr<const BypassDomainList> domains =
        std::atomic_load(&HelperState.BypassDomains);
    bypassDomains = domains->Names.size();
    for (const std::wstring& warning : HelperState.TunnelFacts.Warnings) {
      warnings += (warnings.empty() ? L"" : L",") + JsonString(warning);
    }
    for (const std::wstring& warning : domains->Warnings) {
      warnings += (warnings.empty() ? L"" : L",") + JsonString(warning);
    }
  }
  const DnsHoldCounts dns = CountDnsHold();
  const MissedSummary missed = MissedFirstConnections().Summary();
  std::wstring missedByApp;
  for (const MissedByApp& app : missed.Apps) {
    missedByApp += (missedByApp.empty() ? L"{\"image\":" : L",{\"image\":") +
                   JsonString(app.Image) + L",\"count\":" + std::to_wstring(app.Count) +
                   L",\"last_address\":" + JsonString(FormatAddress(app.Last)) + L"}";
  }
  return L"{\"connected\":" + std::wstring(connected ? L"true" : L"false") + L",\"physical\":" +
         physical + L",\"physical6\":" + physical6 + L",\"routes\":" + std::to_wstring(routes) +
         L",\"split_routes\":" + std::to_wstring(splitRoutes) + L",\"sniffer\":" +
         (SnifferHandleOpen() ? L"\"running\"" : L"\"stopped\"") + L",\"bypassnets\":" +
         std::to_wstring(bypassNets) + L",\"splitapps\":" + std::to_wstring(splitApps) +
         L",\"bypassdomains\":" + std::to_wstring(bypassDomains) + L",\"domain_routes\":" +
         std::to_wstring(counts.DomainRoutes) + L",\"dns_answers_unrouted\":" +
         std::to_wstring(dns.AnswersUnrouted) + L",\"dns_send_failures\":" +
         std::to_wstring(dns.SendFailures) + L",\"missed_first_connections\":" +
         std::to_wstring(missed.Total) + L",\"missed_by_app\":[" + missedByApp +
         L"],\"warnings\":[" + warnings + L"]}";
}

std::wstring ExplainAddress(const std::wstring& argument) {
  IpAddress address;
  std::wstring image;
  if (!ParseExplainRequest(argument, address, image)) return L"ERR bad address";
  return ExplainAddress(address, image);
}

std::wstring ExplainAddress(const IpAddress& address, std::wstring_view image) {
  const std::optional<DefaultRoute> best = BestRouteTo(address);
  const uint32_t tunnel = TunnelInterfaceIndex();
  uint32_t physical = 0;
  std::optional<RoutePrefix> listEntry;  // the list's entry the address falls in
  bool singlePeerTakesAll = false;
  std::shared_ptr<const SplitAppList> list;
  if (HelperState.TunnelConnected) physical = PhysicalRouteOf(address.Family).InterfaceIndex;
  // The narrowest route first: one lookup a length, whatever the table holds.
  const std::optional<RoutePrefix> covering = NarrowestRouteCovering(address);
  const std::vector<RoutePrefix> nets = PublishedBypassNets();
  if (const RoutePrefix* entry = NarrowestCovering(nets, address)) listEntry = *entry;
  {
    MutexLock lock(HelperState.StateMutex);
    singlePeerTakesAll = HelperState.TunnelFacts.SinglePeerTakesAll;
    list = std::atomic_load(&HelperState.SplitApps);
  }

  // The domain whose answer made the host route that covers the address.
  const std::string domain = covering ? DomainOfRoute(*covering) : std::string();
  const wchar_t* path = !best                                               ? L"none"
                        : tunnel != 0 && best->InterfaceIndex == tunnel     ? L"tunnel"
                        : physical != 0 && best->InterfaceIndex == physical ? L"physical"
                                                                            : L"other";
  const std::wstring split =
      image.empty()
          ? L"null"
          : JsonString(ImageListed(std::wstring(image), *list) ? L"listed" : L"not listed");
  const wchar_t* firstConnection =
      image.empty() || !MissedFirstConnections().LastWentThroughTunnel(image, address)
          ? L"null"
          : L"\"through the tunnel\"";
  const bool blocked = singlePeerTakesAll && std::wstring_view(path) != L"tunnel";
  return L"{\"address\":" + JsonString(FormatAddress(address)) + L",\"path\":" + JsonString(path) +
         L",\"ifIndex\":" + (best ? std::to_wstring(best->InterfaceIndex) : L"null") +
         L",\"next_hop\":" + (best ? JsonString(FormatAddress(best->NextHop)) : L"null") +
         L",\"helper_route\":" + (covering ? JsonString(FormatPrefix(*covering)) : L"null") +
         L",\"list_entry\":" + (listEntry ? JsonString(FormatPrefix(*listEntry)) : L"null") +
         L",\"domain\":" + (domain.empty() ? L"null" : JsonString(Utf8ToWide(domain))) +
         L",\"split\":" + split + L",\"first_connection\":" + firstConnection +
         L",\"blocked_by_tool_firewall\":" + (blocked ? L"true" : L"false") + L"}";
}

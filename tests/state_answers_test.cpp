// What the helper says about itself and about configurations, through the
// pipe of the real QuorvelHelper.exe: "state" and "explain" (their JSON read
// by a parser of this file, not by comparing text), the warnings about
// configurations that defeat bypass and split, the refusal of script hooks,
// and the log line that names who asked for a change.
#include <windows.h>

#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client_io.h"
#include "rig.h"
#include "service_harness.h"
#include "support/text.h"
#include "test_server.h"
#include "tunnel/config_facts.h"

namespace {

// ------------------------------------------------------------------ JSON

struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;  // in the order written

  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (const auto& member : members) keys.push_back(member.first);
    return keys;
  }
  const Json& operator[](const std::string& key) const {
    static const Json missing = [] {
      Json none;
      none.text = "<missing>";
      return none;
    }();
    for (const auto& member : members) {
      if (member.first == key) return member.second;
    }
    return missing;
  }
  bool IsNull() const { return kind == Kind::Null && text.empty(); }
};

// RFC 8259, all of it but surrogate pairs; notes any white space outside
// strings.
class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : s_(text) {}
  std::optional<Json> Parse() {
    Json value;
    if (!Value(value)) return std::nullopt;
    Blanks();
    if (at_ != s_.size()) return std::nullopt;
    return value;
  }
  bool SawBlanks() const { return sawBlanks_; }

 private:
  void Blanks() {
    while (at_ < s_.size() && std::string(" \t\r\n").find(s_[at_]) != std::string::npos) {
      ++at_;
      sawBlanks_ = true;
    }
  }
  bool Literal(const char* word) {
    const std::string text(word);
    if (s_.compare(at_, text.size(), text) != 0) return false;
    at_ += text.size();
    return true;
  }
  bool Digits() {
    const size_t start = at_;
    while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
    return at_ > start;
  }
  bool Number(Json& value) {
    const size_t start = at_;
    if (s_[at_] == '-') ++at_;
    if (at_ < s_.size() && s_[at_] == '0') {
      ++at_;
    } else if (!Digits()) {
      return false;
    }
    if (at_ < s_.size() && s_[at_] == '.' && (++at_, !Digits())) return false;
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      ++at_;
      if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      if (!Digits()) return false;
    }
    value.kind = Json::Kind::Number;
    value.number = std::stod(s_.substr(start, at_ - start));
    return true;
  }
  bool String(std::string& text) {
    if (s_[at_++] != '"') return false;
    while (at_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        text += static_cast<char>(c);
        continue;
      }
      if (at_ >= s_.size()) return false;
      const char escape = s_[at_++];
      const std::string plain = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
      if (plain.find(escape) != std::string::npos) {
        text += meaning[plain.find(escape)];
      } else if (escape == 'u' && at_ + 4 <= s_.size()) {
        const std::wstring unit(1,
                                static_cast<wchar_t>(std::stoul(s_.substr(at_, 4), nullptr, 16)));
        text += WideToUtf8(unit);
        at_ += 4;
      } else {
        return false;
      }
    }
    return false;
  }
  template <typename Element>
  bool Sequence(char close, Element element) {
    ++at_;
    Blanks();
    if (at_ < s_.size() && s_[at_] == close) return ++at_, true;
    for (;;) {
      if (!element()) return false;
      Blanks();
      if (at_ >= s_.size()) return false;
      if (s_[at_] == close) return ++at_, true;
      if (s_[at_++] != ',') return false;
    }
  }
  bool Value(Json& value) {
    Blanks();
    if (at_ >= s_.size()) return false;
    switch (s_[at_]) {
      case 'n':
        return Literal("null");
      case 't':
      case 'f':
        value.kind = Json::Kind::Bool;
        value.boolean = s_[at_] == 't';
        return Literal(value.boolean ? "true" : "false");
      case '"':
        value.kind = Json::Kind::String;
        return String(value.text);
      case '[':
        value.kind = Json::Kind::Array;
        return Sequence(']', [&] {
          value.items.emplace_back();
          return Value(value.items.back());
        });
      case '{':
        value.kind = Json::Kind::Object;
        return Sequence('}', [&] {
          std::string key;
          Blanks();
          if (at_ >= s_.size() || !String(key)) return false;
          Blanks();
          if (at_ >= s_.size() || s_[at_++] != ':') return false;
          value.members.emplace_back(key, Json{});
          return Value(value.members.back().second);
        });
      default:
        return Number(value);
    }
  }

  // A copy: a parser made from a literal would otherwise hold a temporary.
  const std::string s_;
  size_t at_ = 0;
  bool sawBlanks_ = false;
};

// The reply to `line`, which must be one JSON object without blanks outside
// its strings.
Json Ask(const std::string& line) {
  const std::string reply = Send(line);
  JsonParser parser(reply);
  const std::optional<Json> parsed = parser.Parse();
  EXPECT_TRUE(parsed && parsed->kind == Json::Kind::Object) << line << " -> " << reply;
  EXPECT_FALSE(parser.SawBlanks()) << reply;
  return parsed.value_or(Json{});
}

std::string Text(const Json& value) {
  return value.kind == Json::Kind::String ? value.text : "<not a string>";
}
double Number(const Json& value) { return value.kind == Json::Kind::Number ? value.number : -1; }

TEST(JsonParser, TakesJsonAndNothingElse) {
  for (const char* good : {"{}", "[]", "{\"a\":[1,-2.5e3,true,false,null,\"x\\u00e9\\n\"]}"}) {
    EXPECT_TRUE(JsonParser(good).Parse()) << good;
  }
  for (const char* bad : {"", "{", "{\"a\"}", "{\"a\":1,}", "[1 2]", "01", "{\"a\":1}x", "'a'",
                          "\"\\x\"", "{\"a\":tru}", "[1,]"}) {
    EXPECT_FALSE(JsonParser(bad).Parse()) << bad;
  }
  JsonParser spaced("{ \"a\":1}");
  EXPECT_TRUE(spaced.Parse());
  EXPECT_TRUE(spaced.SawBlanks());
}

// --------------------------------------------------- configuration facts

const std::string kSinglePeerTakesAll =
    "warning: the tunnel's single peer takes all traffic (0.0.0.0/0), so the tunnel tool blocks "
    "traffic outside the tunnel: bypass networks and split applications cannot work; AllowedIPs "
    "= 0.0.0.0/1, 128.0.0.0/1 sends the same traffic through the tunnel without that block";
const std::string kNoIPv6InTheTunnel = "warning: IPv6 traffic does not enter the tunnel";

TEST(ConfigurationFacts, HooksAndPeersAsTheToolReadsThem) {
  const struct {
    std::wstring text;
    const wchar_t* hook;
    bool singlePeerTakesAll;
    bool tunnelCarriesIPv6;
  } cases[] = {
      {L"[Interface]\nPostUp = x\n", L"PostUp", false, false},
      {L"[Interface]\r\n  pOsTdOwN\t=  cmd /c x\r\n", L"pOsTdOwN", false, false},
      {L"[Peer]\nPreUp=x", L"PreUp", false, false},
      {L"\xFEFFPreDown = x", L"PreDown", false, false},
      {L"PostUp = a # b", L"PostUp", false, false},
      {L"PostUpX = 1\nDescription = PostUp = 1\nUp = PostUp\n", L"", false, false},
      // Every Unicode white space is trimmed by the tool; what is left inside
      // a key, or invisible, is dropped by some reader, and refused too.
      {L"[Interface]\nPostUp\f= cmd /c whoami\n", L"PostUp", false, false},
      {L"\vPreUp = x", L"PreUp", false, false},
      {L"PostUp\u00A0= x", L"PostUp", false, false},
      {L"PreDown\u0085 = x", L"PreDown", false, false},
      {L"\u2003PostDown = x", L"PostDown", false, false},
      {L"\u3000PreUp = x", L"PreUp", false, false},
      {L"PostUp\u2028 = x", L"PostUp", false, false},
      {L"Post Up = 1", L"Post Up", false, false},
      {L"Post\u200BUp\uFEFF = 1", L"Post?Up", false, false},
      {L"Po\u017FtUp = 1", L"Po\u017FtUp", false, false},  // long s folds to s
      {L"Description = a\rPostDown = b", L"PostDown", false, false},
      {L"Key = a\u2029preup = b", L"preup", false, false},
      {L"# PostUp = 1\n \t# PreUp = 1\nKey = x # PreDown = 1", L"", false, false},
      {std::wstring(L"a\0PostUp = 1", 12), L"", false, false},  // the file ends at the NUL
      {L"[Peer]\nAllowedIPs = 0.0.0.0/0\n", L"", true, false},
      {L"[Peer]\nAllowedIPs = 0.0.0.0/0\n[Peer]\nAllowedIPs = 0.0.0.0/0\n", L"", false, false},
      {L"[Peer]\nAllowedIPs = 0.0.0.0/1, 128.0.0.0/1\n", L"", false, false},
      {L"[pEeR]\n  aLLowedips =0.0.0.0/0 , ::/0 \n", L"", true, true},
      {L"[Peer]\nAllowedIPs = ::/0\n", L"", true, true},
      {L"[Peer]\nAllowedIPs = 10.0.0.0/8\nAllowedIPs = 0.0.0.0/0 # everything\n", L"", true, false},
      {L"[Interface]\nAllowedIPs = 0.0.0.0/0\n[Peer]\nAllowedIPs = 10.0.0.0/8", L"", false, false},
      {L"[Peer]\nAllowedIPs = ::/1, 8000::/1\n[Peer]\nAllowedIPs = 10.0.0.0/8", L"", false, true},
      {L"[Peer]\nAllowedIPs = ::/1, 8000::/2\n", L"", false, false},
      {L"[Peer]\nAllowedIPs = 0.0.0.0/0x0, 0.0.0.0\n", L"", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const ConfigurationFacts facts = ReadConfigurationFacts(c.text);
    EXPECT_EQ(facts.Hook, c.hook);
    EXPECT_EQ(facts.SinglePeerTakesAll, c.singlePeerTakesAll);
    EXPECT_EQ(facts.TunnelCarriesIPv6, c.tunnelCarriesIPv6);
  }
}

// The tool trims every Unicode white space around keys, values, entries and
// section names: a non-breaking space pasted from a web page must hide
// nothing from this reader that the tool still reads.
TEST(ConfigurationFacts, OwnNetworksPeersAndEndpointsWhateverTheWhiteSpace) {
  const auto prefixes = [](const std::vector<RoutePrefix>& list) {
    std::wstring text;
    for (const RoutePrefix& prefix : list) text += FormatPrefix(prefix) + L" ";
    return text;
  };
  const auto addresses = [](const std::vector<IpAddress>& list) {
    std::wstring text;
    for (const IpAddress& address : list) text += FormatAddress(address) + L" ";
    return text;
  };
  const struct {
    std::wstring text;
    const wchar_t* own;
    const wchar_t* allowed;
    bool singlePeerTakesAll;
    const wchar_t* ownAddresses = L"";
  } cases[] = {
      {L"[Interface]\nDNS = 1.1.1.1,\u00A01.0.0.1\n", L"1.1.1.1/32 1.0.0.1/32 ", L"", false},
      {L"[Interface]\nDNS\u00A0= 1.1.1.1\n", L"1.1.1.1/32 ", L"", false},
      {L"\u3000[Interface]\u2003\nAddress = 10.66.0.2/32\u205F,\u00A0fd00::2/128\n",
       L"10.66.0.2/32 fd00::2/128 ", L"", false, L"10.66.0.2 fd00::2 "},
      // The tunnel's own addresses keep their host bits; a mapped one is IPv4.
      {L"[Interface]\nAddress = 10.8.0.2/24, fd00:8::2/64, ::ffff:10.9.0.2/120, 10.7.0.1\n"
       L"[Peer]\nAddress = 10.6.0.1/32\n",
       L"10.8.0.0/24 fd00:8::/64 10.9.0.0/24 10.7.0.1/32 ", L"", false,
       L"10.8.0.2 fd00:8::2 10.9.0.2 10.7.0.1 "},
      {L"[Peer]\u00A0\nAllowedIPs = 0.0.0.0/0\n[Peer]\nAllowedIPs =\u00A010.0.0.0/8\n", L"",
       L"0.0.0.0/0 10.0.0.0/8 ", false},
      {L"[Peer]\nAllowedIPs\u00A0=\u00A00.0.0.0/0\u00A0\n", L"", L"0.0.0.0/0 ", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const ConfigurationFacts facts = ReadConfigurationFacts(c.text);
    EXPECT_EQ(prefixes(facts.OwnNetworks), c.own);
    EXPECT_EQ(addresses(facts.OwnAddresses), c.ownAddresses);
    EXPECT_EQ(prefixes(facts.AllowedIPs), c.allowed);
    EXPECT_EQ(facts.SinglePeerTakesAll, c.singlePeerTakesAll);
  }
  const ConfigurationFacts peers = ReadConfigurationFacts(
      L"[Peer]\nEndpoint = 192.0.2.1:53\n[Peer]\nendpoint=\u00A0[2001:db8::1]:51820\n"
      L"[Peer]\nEndpoint = vpn.example.com:443\n[Peer]\nEndpoint = 192.0.2.9\n"
      L"[Peer]\nEndpoint = 192.0.2.9:70000\n[Interface]\nEndpoint = 192.0.2.8:1\n");
  ASSERT_EQ(peers.Endpoints.size(), 3u);
  EXPECT_EQ(FormatAddress(peers.Endpoints[0].Address), L"192.0.2.1");
  EXPECT_EQ(peers.Endpoints[0].Port, 53);
  EXPECT_EQ(FormatAddress(peers.Endpoints[1].Address), L"2001:db8::1");
  EXPECT_EQ(peers.Endpoints[1].Port, 51820);
  EXPECT_EQ(peers.Endpoints[2].Address.Family, 0);
  EXPECT_EQ(peers.Endpoints[2].Host, L"vpn.example.com");
  EXPECT_EQ(peers.Endpoints[2].Port, 443);
}

// ------------------------------------------------- through the real helper

using AskingTheHelper = WithoutHelperServices;

std::string Connect(const std::string& configuration) {
  return Send("connect " + ToBase64(configuration));
}

const std::string kConfig = "[Interface]\nPrivateKey = abc\n[Peer]\nAllowedIPs = 0.0.0.0/1\n";
const std::string kTakesAll = "[Interface]\nPrivateKey = abc\n[Peer]\nAllowedIPs = 0.0.0.0/0\n";
const std::string kTunnel =
    "alias 30 Quorvel\n"
    "service-route AmneziaWGTunnel$Quorvel 0.0.0.0 128.0.0.0 10.66.0.1 30 1\n"
    "service-route AmneziaWGTunnel$Quorvel 128.0.0.0 128.0.0.0 10.66.0.1 30 1\n";

TEST_F(AskingTheHelper, StateDisconnectedConnectedAndAfterAFailedConnect) {
  HelperRig rig(L"state",
                RigLayout{L"WinDivert.dll", RigLayout::Tool::InAwgFolder,
                          L"AfterFailedInstallMs=300;BetweenInstallsMs=50;AfterRollbackMs=1500"});
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) +
                                     "route6 ::/0 fe80::1 7 10\n" + kTunnel));
  ASSERT_TRUE(rig.StartConsole());
  const std::vector<std::string> keys = {"connected",
                                         "physical",
                                         "physical6",
                                         "routes",
                                         "split_routes",
                                         "sniffer",
                                         "bypassnets",
                                         "splitapps",
                                         "bypassdomains",
                                         "domain_routes",
                                         "dns_answers_unrouted",
                                         "dns_send_failures",
                                         "missed_first_connections",
                                         "missed_by_app",
                                         "warnings"};
  Json state = Ask("state");
  EXPECT_EQ(state.Keys(), keys);
  EXPECT_FALSE(state["connected"].boolean);
  EXPECT_TRUE(state["physical"].IsNull() && state["physical6"].IsNull());
  EXPECT_EQ(Number(state["routes"]), 0);
  EXPECT_EQ(Text(state["sniffer"]), "stopped");
  EXPECT_EQ(state["warnings"].kind, Json::Kind::Array);
  EXPECT_TRUE(state["warnings"].items.empty());

  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  ASSERT_EQ(Send("bypassnets 10.0.0.0/8;2001:db8::/32;10.0.0.0/8"), "OK");
  ASSERT_EQ(Send("splitapps browser.exe;steam.exe+"), "OK");
  ASSERT_EQ(Connect(kTakesAll), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000));
  ASSERT_TRUE(rig.FeedSocketEvents("connect v4 " + std::to_string(browser.Id()) + " 1.1.1.1\n"));
  ASSERT_TRUE(rig.WaitForRoute("1.1.1.1/32", 5000));
  state = Ask("STATE with arguments");
  EXPECT_EQ(state.Keys(), keys);
  EXPECT_TRUE(state["connected"].boolean);
  EXPECT_EQ(state["physical"].Keys(), (std::vector<std::string>{"ifIndex", "gateway"}));
  EXPECT_EQ(Number(state["physical"]["ifIndex"]), 7);
  EXPECT_EQ(Text(state["physical"]["gateway"]), "192.168.1.1");
  EXPECT_EQ(Number(state["physical6"]["ifIndex"]), 7);
  EXPECT_EQ(Text(state["physical6"]["gateway"]), "fe80::1");
  EXPECT_EQ(Number(state["routes"]), 3);
  EXPECT_EQ(Number(state["split_routes"]), 1);
  EXPECT_EQ(Text(state["sniffer"]), "running");
  EXPECT_EQ(Number(state["bypassnets"]), 3);
  EXPECT_EQ(Number(state["splitapps"]), 2);
  ASSERT_EQ(state["warnings"].items.size(), 2u);
  EXPECT_EQ(Text(state["warnings"].items[0]), kSinglePeerTakesAll);
  EXPECT_EQ(Text(state["warnings"].items[1]), kNoIPv6InTheTunnel);
  EXPECT_EQ(Count(rig.Log(), kSinglePeerTakesAll), 1u);
  EXPECT_EQ(Count(rig.Log(), kNoIPv6InTheTunnel), 1u);

  // A peer that takes ::/0 as well: no IPv6 warning.
  ASSERT_EQ(Connect(kTakesAll + "AllowedIPs = ::/0\n"), "OK");
  state = Ask("state");
  ASSERT_EQ(state["warnings"].items.size(), 1u);
  EXPECT_EQ(Text(state["warnings"].items[0]), kSinglePeerTakesAll);

  DeleteFileW((rig.ToolDir() + L"\\amneziawg-state.txt").c_str());  // installs counted afresh
  ASSERT_TRUE(rig.WriteToolBehaviour("install-fail-first 3\n"));
  ASSERT_EQ(Connect(kConfig), "ERR connect failed");
  state = Ask("state");
  EXPECT_FALSE(state["connected"].boolean);
  EXPECT_TRUE(state["physical"].IsNull() && state["physical6"].IsNull());
  EXPECT_EQ(Number(state["routes"]), 0);
  EXPECT_EQ(Number(state["split_routes"]), 0);
  EXPECT_EQ(Text(state["sniffer"]), "stopped");
  EXPECT_EQ(Number(state["bypassnets"]), 3);
  EXPECT_TRUE(state["warnings"].items.empty());
}

TEST_F(AskingTheHelper, ExplainSaysWhichWayAnAddressGoesAndWhy) {
  HelperRig rig(L"explain");
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) + kTunnel +
                                     "route 172.16.0.0 255.240.0.0 10.9.0.1 9 5\n"));
  ASSERT_TRUE(rig.StartConsole());
  // Two halves and a network inside one of them: one route carries all three.
  ASSERT_EQ(Send("bypassnets 10.0.0.0/9;10.128.0.0/9;10.1.0.0/16;192.0.2.0/24"), "OK");
  ASSERT_EQ(Send("splitapps browser.exe;C:\\Games\\game.exe"), "OK");
  ASSERT_EQ(Connect(kConfig), "OK");
  EXPECT_EQ(rig.SystemRoutes().size(), 2u) << Joined(rig.SystemRoutes());
  EXPECT_EQ(Count(rig.Log(), "bypass routes: 4/4 installed (2 routes) via ifIndex=7 gw=192.168.1.1"),
            1u)
      << Joined(rig.Log());
  const std::vector<std::string> keys = {
      "address",    "path",   "ifIndex", "next_hop",         "helper_route",
      "list_entry", "domain", "split",   "first_connection", "blocked_by_tool_firewall"};
  const struct {
    std::string line;
    const char* address;
    const char* path;
    int ifIndex;  // -1: null
    const char* nextHop;
    const char* helperRoute;
    const char* listEntry;
    const char* split;
  } cases[] = {
      {"explain 10.1.2.3", "10.1.2.3", "physical", 7, "192.168.1.1", "10.0.0.0/8", "10.1.0.0/16",
       nullptr},
      {"explain 10.2.0.1", "10.2.0.1", "physical", 7, "192.168.1.1", "10.0.0.0/8", "10.0.0.0/9",
       nullptr},
      {"explain 10.200.0.1", "10.200.0.1", "physical", 7, "192.168.1.1", "10.0.0.0/8",
       "10.128.0.0/9", nullptr},
      {"explain 192.0.2.77", "192.0.2.77", "physical", 7, "192.168.1.1", "192.0.2.0/24",
       "192.0.2.0/24", nullptr},
      {"explain ::ffff:10.1.2.3", "10.1.2.3", "physical", 7, "192.168.1.1", "10.0.0.0/8",
       "10.1.0.0/16", nullptr},
      {"EXPLAIN 8.8.8.8 browser.exe", "8.8.8.8", "tunnel", 30, "10.66.0.1", nullptr, nullptr,
       "listed"},
      {"explain 8.8.8.8  C:\\Other\\BROWSER.EXE ", "8.8.8.8", "tunnel", 30, "10.66.0.1", nullptr,
       nullptr, "listed"},
      {"explain 8.8.8.8 other.exe", "8.8.8.8", "tunnel", 30, "10.66.0.1", nullptr, nullptr,
       "not listed"},
      {"explain 8.8.8.8 c:\\games\\GAME.exe", "8.8.8.8", "tunnel", 30, "10.66.0.1", nullptr,
       nullptr, "listed"},
      {"explain 8.8.8.8 game.exe", "8.8.8.8", "tunnel", 30, "10.66.0.1", nullptr, nullptr,
       "not listed"},
      {"explain 172.16.5.5", "172.16.5.5", "other", 9, "10.9.0.1", nullptr, nullptr, nullptr},
      {"explain 2001:DB8::1", "2001:db8::1", "none", -1, nullptr, nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const Json answer = Ask(c.line);
    EXPECT_EQ(answer.Keys(), keys);
    EXPECT_EQ(Text(answer["address"]), c.address);
    EXPECT_EQ(Text(answer["path"]), c.path);
    if (c.ifIndex < 0) {
      EXPECT_TRUE(answer["ifIndex"].IsNull() && answer["next_hop"].IsNull());
    } else {
      EXPECT_EQ(Number(answer["ifIndex"]), c.ifIndex);
      EXPECT_EQ(Text(answer["next_hop"]), c.nextHop);
    }
    if (c.helperRoute) {
      EXPECT_EQ(Text(answer["helper_route"]), c.helperRoute);
    } else {
      EXPECT_TRUE(answer["helper_route"].IsNull());
    }
    if (c.listEntry) {
      EXPECT_EQ(Text(answer["list_entry"]), c.listEntry);
    } else {
      EXPECT_TRUE(answer["list_entry"].IsNull());
    }
    if (c.split) {
      EXPECT_EQ(Text(answer["split"]), c.split);
    } else {
      EXPECT_TRUE(answer["split"].IsNull());
    }
    EXPECT_TRUE(answer["first_connection"].IsNull());
    EXPECT_EQ(answer["blocked_by_tool_firewall"].kind, Json::Kind::Bool);
    EXPECT_FALSE(answer["blocked_by_tool_firewall"].boolean);
  }
  for (const char* bad :
       {"explain", "explain ", "explain  10.1.2.3", "explain 10.1.2", "explain 10.1.2.3/8",
        "explain fe80::1%7", "explain [::1]", "explain 10.1.2.3\tbrowser.exe"}) {
    EXPECT_EQ(Send(bad), "ERR bad address") << bad;
  }

  // With the single peer that takes all, whatever leaves outside the
  // tunnel is dropped by the tool's firewall.
  ASSERT_EQ(Connect(kTakesAll), "OK");
  EXPECT_TRUE(Ask("explain 10.1.2.3")["blocked_by_tool_firewall"].boolean);
  EXPECT_TRUE(Ask("explain 172.16.5.5")["blocked_by_tool_firewall"].boolean);
  EXPECT_FALSE(Ask("explain 8.8.8.8")["blocked_by_tool_firewall"].boolean);
  ASSERT_EQ(Send("disconnect"), "OK");
  EXPECT_FALSE(Ask("explain 10.1.2.3")["blocked_by_tool_firewall"].boolean);
}

// Windows picks a connection's route, and its source, before the socket
// layer reports the connect: a listed application's connect whose event
// carries the tunnel's own address went through the tunnel. Counted per
// application and in all since connect, said once per application per
// connect, and shown by state and explain; a connect from the physical
// address, or to the tunnel's own network, or of an unlisted application,
// is none.
TEST_F(AskingTheHelper, FirstConnectionsThroughTheTunnelAreCountedAndSaidOnce) {
  HelperRig rig(L"missed");
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) +
                                     "route6 ::/0 fe80::1 7 10\n" + kTunnel));
  ASSERT_TRUE(rig.StartConsole());
  RunningProcess browser = StartNamedProcess(rig.Dir(), L"browser.exe");
  RunningProcess game = StartNamedProcess(rig.Dir(), L"Game.EXE");
  RunningProcess other = StartNamedProcess(rig.Dir(), L"other.exe");
  ASSERT_EQ(Send("splitapps browser.exe;game.exe"), "OK");
  const std::string config =
      "[Interface]\nPrivateKey = abc\nAddress = 10.8.0.2/24, fd00:8::2/64\n[Peer]\n"
      "AllowedIPs = 0.0.0.0/1\n";
  ASSERT_EQ(Connect(config), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000));
  const auto connect = [](const RunningProcess& process, const std::string& rest) {
    return "connect " + std::string(rest.find(':') != std::string::npos ? "v6 " : "v4 ") +
           std::to_string(process.Id()) + " " + rest + "\n";
  };
  const std::string browserFirst =
      "first connection of browser.exe to 93.184.216.34 went through the tunnel; later ones go "
      "around";
  // The first connect from the tunnel's address, the second from the
  // physical one: one miss, one line.
  ASSERT_TRUE(rig.FeedSocketEvents(
      connect(browser, "93.184.216.34 local=10.8.0.2") + connect(browser, "93.184.216.34") +
      connect(other, "198.51.100.1 local=10.8.0.2") + connect(browser, "203.0.113.50")));
  ASSERT_TRUE(rig.WaitForRoute("203.0.113.50/32", 5000));
  ASSERT_TRUE(rig.WaitForLog(browserFirst, 5000));
  Json state = Ask("state");
  EXPECT_EQ(Number(state["missed_first_connections"]), 1);
  ASSERT_EQ(state["missed_by_app"].items.size(), 1u);
  const Json& browserMissed = state["missed_by_app"].items[0];
  EXPECT_EQ(browserMissed.Keys(), (std::vector<std::string>{"image", "count", "last_address"}));
  EXPECT_EQ(Text(browserMissed["image"]), "browser.exe");
  EXPECT_EQ(Number(browserMissed["count"]), 1);
  EXPECT_EQ(Text(browserMissed["last_address"]), "93.184.216.34");
  EXPECT_EQ(Count(rig.SystemRoutes(), "198.51.100.1/32"), 0u) << "the unlisted one was routed";

  // More misses of the same application are counted, not said again; the
  // tunnel's own network is reached through it by design; another
  // application says its own.
  ASSERT_TRUE(rig.FeedSocketEvents(connect(browser, "2001:db8::5 local=fd00:8::2") +
                                   connect(browser, "10.8.0.77 local=10.8.0.2") +
                                   connect(browser, "198.51.100.2 local=10.8.0.2") +
                                   connect(game, "198.51.100.3 local=10.8.0.2")));
  ASSERT_TRUE(rig.WaitForRoute("198.51.100.3/32", 5000));
  ASSERT_TRUE(rig.WaitForLog(
      "first connection of game.exe to 198.51.100.3 went through the tunnel; later ones go around",
      5000));
  state = Ask("state");
  EXPECT_EQ(Number(state["missed_first_connections"]), 4);
  ASSERT_EQ(state["missed_by_app"].items.size(), 2u);
  EXPECT_EQ(Number(state["missed_by_app"].items[0]["count"]), 3);
  EXPECT_EQ(Text(state["missed_by_app"].items[0]["last_address"]), "198.51.100.2");
  EXPECT_EQ(Text(state["missed_by_app"].items[1]["image"]), "game.exe");
  EXPECT_EQ(Number(state["missed_by_app"].items[1]["count"]), 1);
  EXPECT_EQ(Count(rig.Log(), browserFirst), 1u);
  EXPECT_EQ(Count(rig.Log(), "first connection of "), 2u) << Joined(rig.Log());

  const struct {
    const char* line;
    bool throughTunnel;
  } explained[] = {
      {"explain 93.184.216.34 browser.exe", false},  // its latest connect went around
      {"explain 2001:db8::5 C:\\Apps\\BROWSER.EXE", true},
      {"explain 198.51.100.2 browser.exe", true},
      {"explain 198.51.100.3 game.exe", true},
      {"explain 198.51.100.3 browser.exe", false},
      {"explain 198.51.100.2", false},
      {"explain 198.51.100.1 other.exe", false},
      {"explain 10.8.0.77 browser.exe", false},
  };
  for (const auto& c : explained) {
    SCOPED_TRACE(c.line);
    const Json answer = Ask(c.line);
    if (c.throughTunnel) {
      EXPECT_EQ(Text(answer["first_connection"]), "through the tunnel");
    } else {
      EXPECT_TRUE(answer["first_connection"].IsNull());
    }
  }

  // Since connect: a new tunnel counts afresh and says it again. With a
  // launcher listed, a process's later events take the verdict made at its
  // first, and still name its image.
  ASSERT_EQ(Send("splitapps browser.exe;launcher.exe+"), "OK");
  ASSERT_EQ(Connect(config), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000, 2));
  state = Ask("state");
  EXPECT_EQ(Number(state["missed_first_connections"]), 0);
  EXPECT_TRUE(state["missed_by_app"].items.empty());
  ASSERT_TRUE(rig.FeedSocketEvents(connect(browser, "93.184.216.34 local=10.8.0.2") +
                                   connect(browser, "198.51.100.9 local=10.8.0.2")));
  ASSERT_TRUE(rig.WaitForRoute("198.51.100.9/32", 5000));
  EXPECT_TRUE(rig.WaitForLog(browserFirst, 5000, 2));
  state = Ask("state");
  EXPECT_EQ(Number(state["missed_first_connections"]), 2);
  ASSERT_EQ(state["missed_by_app"].items.size(), 1u);
  EXPECT_EQ(Text(state["missed_by_app"].items[0]["image"]), "browser.exe");
  EXPECT_EQ(Number(state["missed_by_app"].items[0]["count"]), 2);
  ASSERT_EQ(Send("disconnect"), "OK");
}

// The tool runs hooks as LocalSystem: refused before anything is touched.
TEST_F(AskingTheHelper, ConfigurationsWithScriptHooksAreRefusedUntouched) {
  HelperRig rig(L"hooks");
  ASSERT_TRUE(rig.WriteRouteScenario(std::string(kPhysicalDefaultRoute) + kTunnel));
  ASSERT_TRUE(rig.StartConsole());
  ASSERT_EQ(Send("bypassnets 10.0.0.0/8"), "OK");
  ASSERT_EQ(Send("splitapps browser.exe"), "OK");
  ASSERT_EQ(Connect(kConfig), "OK");
  ASSERT_TRUE(rig.WaitForLog("WinDivert socket sniffer started", 5000));
  const std::string configFile = ReadFileBytes(rig.ConfigPath());
  const size_t toolRuns = rig.ToolJournal().size();
  // Creates and deletes: the watcher may read the tables meanwhile (the
  // helper hears of its own routes, as Windows tells it).
  const auto routeChanges = [&] {
    return RouteCalls(rig.RouteJournal(), "create").size() +
           RouteCalls(rig.RouteJournal(), "delete").size();
  };
  const size_t routeCalls = routeChanges();
  const size_t snifferCalls = rig.SnifferJournal().size();
  const struct {
    std::string hook;  // the key as written
    std::string configuration;
  } cases[] = {
      {"PreUp", kConfig + "PreUp = calc.exe\n"},
      {"postup", "[Interface]\r\n  postup\t=\tcmd /c whoami\r\n"},
      {"PREDOWN", "[Peer]\nPREDOWN=x\n"},
      {"PostDown", "# PostDown = no\n[Interface]\n \t PostDown =  y # z\n"},
      {"PostUp", "[Interface]\nPostUp\f= cmd /c whoami\n"},
      {"pReUp", "[Interface]\n\xE3\x80\x80pReUp\xC2\xA0= cmd /c whoami\n"},  // U+3000, U+00A0
      // 200,000 zero-width spaces inside: a line of their own would take
      // 600 KB, and a few dozen would wipe both generations of the log.
      {"P" + std::string(199, '?') + "... (199806 more characters)",
       "[Interface]\nP" + [] {
         std::string spaces;
         for (int i = 0; i < 200000; ++i) spaces += "\xE2\x80\x8B";  // U+200B
         return spaces;
       }() + "ostUp = cmd /c whoami\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hook.substr(0, 20));
    const ULONGLONG logSize = FileSize(rig.LogPath());
    EXPECT_EQ(Connect(c.configuration), "ERR connect failed");
    EXPECT_EQ(Count(rig.Log(), "configuration refused: " + c.hook + " is not accepted"), 1u);
    EXPECT_LT(FileSize(rig.LogPath()) - logSize, 600u) << "the refusal took that much log";
  }
  EXPECT_EQ(ReadFileBytes(rig.ConfigPath()), configFile);
  EXPECT_EQ(rig.ToolJournal().size(), toolRuns) << "the tool ran";
  EXPECT_EQ(routeChanges(), routeCalls) << "a route changed";
  EXPECT_EQ(rig.SnifferJournal().size(), snifferCalls) << "the sniffer was stopped";
  EXPECT_EQ(Send("status"), "RUNNING");
  EXPECT_TRUE(Ask("state")["connected"].boolean);

  // A hook's name in another key or in a value is not a hook.
  EXPECT_EQ(Connect(kConfig + "PostUpX = 1\nDescription = PostUp = 1\n"), "OK");
}

// Who asked for each change, never what they sent.
TEST_F(AskingTheHelper, RequestsThatChangeSomethingNameWhoAsked) {
  HelperRig rig(L"audit");
  ASSERT_TRUE(rig.WriteRouteScenario(kPhysicalDefaultRoute));
  ASSERT_TRUE(rig.StartConsole());
  for (const std::string& line :
       {std::string("ping"), std::string("state"), std::string("status"),
        std::string("splitapps secret-app.exe"), std::string("bypassnets 10.77.0.0/16"),
        "connect " + ToBase64(kConfig), std::string("Disconnect now"),
        std::string("explain 1.2.3.4")}) {
    ASSERT_NE(Send(line), "<no reply>") << line;
  }
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring image(path, length);
  image = image.substr(image.find_last_of(L'\\') + 1);
  const std::string who =
      " pid " + std::to_string(GetCurrentProcessId()) + " (" + WideToUtf8(image) + ", ";
  // The account is named off the pipe's thread: by its SID until then.
  Sleep(300);
  ASSERT_EQ(Send("splitapps"), "OK");
  std::vector<std::string> words, users;
  for (const std::string& line : Starting(rig.Log(), "request from")) {
    ASSERT_EQ(line.rfind(who, 0), 0u) << line << "\nnot: " << who;
    users.push_back(line.substr(who.size(), line.find("): ") - who.size()));
    words.push_back(line.substr(line.find("): ") + 3));
  }
  EXPECT_EQ(words, (std::vector<std::string>{"splitapps", "bypassnets", "connect", "disconnect",
                                             "splitapps"}));
  ASSERT_FALSE(users.empty());
  EXPECT_EQ(users.front().rfind("S-1-5-", 0), 0u) << users.front();
  EXPECT_NE(users.back().find('\\'), std::string::npos) << users.back();

  // A client names its own executable: a long name takes 200 characters of
  // the line, and says how many more it had.
  const std::wstring longName = std::wstring(206, L'n') + L".exe";
  const std::wstring client = rig.Dir() + L"\\" + longName;
  ASSERT_TRUE(CopyFileW(ControlClientExePath().c_str(), client.c_str(), FALSE))
      << ErrorText(GetLastError());
  const ProcessResult sent = RunProgram(client, L"--console-helper splitapps");
  ASSERT_EQ(sent.exitCode, 0u) << sent.output;
  const std::vector<std::string> audit = Starting(rig.Log(), "request from");
  ASSERT_FALSE(audit.empty());
  EXPECT_EQ(audit.back().rfind(" pid " + std::to_string(sent.pid) + " (" + std::string(200, 'n') +
                                   "... (10 more characters), ",
                               0),
            0u)
      << audit.back();
}

// A process id names whatever process has it when it is looked up; the user
// comes from the client's own token, which the pipe holds. A client that
// wrote its request and is gone before the helper runs it (its process id
// free to be taken) is still named by its user.
TEST_F(AskingTheHelper, TheAuditNamesTheClientsOwnUserWhenItsProcessIsGone) {
  HelperRig rig(L"audit-gone");
  ASSERT_TRUE(rig.StartConsole());
  // The connect's three failing runs of the tool hold the helper long
  // enough for the client to be gone before its request runs, and leave no
  // tunnel to take down.
  ASSERT_TRUE(rig.WriteToolBehaviour("hang-ms 900\ninstall-fail-first 3 1\n"));
  std::atomic<bool> connected{false};
  std::thread busy([&] {
    Send("connect " + ToBase64(kConfig));
    connected = true;
  });
  const struct Joiner {
    std::thread& thread;
    ~Joiner() { thread.join(); }
  } joiner{busy};
  ASSERT_TRUE(WaitUntil([&] { return !rig.ToolJournal().empty(); }, 5000)) << "no connect ran";
  // The client: a process that opens the pipe, writes its line, hands the
  // open pipe on to a process it starts (as any process may) and ends.
  const std::wstring client = rig.Dir() + L"\\client.exe";
  ASSERT_TRUE(CopyFileW(TestbedFile(L"sleeper.exe").c_str(), client.c_str(), FALSE));
  const ProcessResult gone = RunProgram(
      client, L"--hand-on \\\\.\\pipe\\QuorvelHelper splitapps --spawn holder.exe 20000");
  // The holder is not left to hold the pipe (and whatever else it
  // inherited) once the request has run.
  const struct Ender {
    HelperRig& rig;
    ~Ender() { rig.KillStrayProcesses(); }
  } ender{rig};
  ASSERT_TRUE(gone.finished);
  ASSERT_EQ(gone.exitCode, 0u) << gone.output;
  // Wine lets an ended process be opened for a moment longer.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, gone.pid));
        return !process;
      },
      3000))
      << "the client's process can still be opened";
  ASSERT_FALSE(connected) << "the connect ended before the client was gone";
  ASSERT_TRUE(WaitUntil([&] { return Count(rig.Log(), "): splitapps") > 0; }, 20000))
      << Joined(rig.Log());
  const std::vector<std::string> audit = Starting(rig.Log(), "request from pid ");
  ASSERT_FALSE(audit.empty());
  const std::string who = audit.back();
  EXPECT_EQ(who.rfind(std::to_string(gone.pid) + " (?, ", 0), 0u) << who;
  const std::string user = who.substr(who.find(", ") + 2, who.find("): ") - who.find(", ") - 2);
  EXPECT_TRUE(user.rfind("S-1-5-", 0) == 0 || user.find('\\') != std::string::npos) << who;
}

}  // namespace

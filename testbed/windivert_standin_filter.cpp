#include "windivert_standin_filter.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>
#include <vector>

class SocketFilter {
 public:
  enum class Kind {
    True, False, Not, And, Or, Loopback, Outbound, Inbound, IP, IPv6, Tcp, Udp, Compare
  };
  enum class Field { Event, Protocol, ProcessId, RemoteAddr, SrcPort, DstPort };
  UINT8 portProtocol = 0;  // SrcPort and DstPort: of this protocol's header
  Kind kind = Kind::True;
  Field field = Field::Event;
  bool equal = true;
  UINT32 value = 0;
  std::shared_ptr<const SocketFilter> left, right;
};

namespace {

using Node = std::shared_ptr<SocketFilter>;

class Parser {
 public:
  Parser(const std::string& text, bool network) : text_(text), network_(network) {}

  Node Parse() {
    Node node = Or();
    Skip();
    return at_ == text_.size() ? node : nullptr;
  }

 private:
  void Skip() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Take(const std::string& token) {
    Skip();
    if (text_.compare(at_, token.size(), token) != 0) return false;
    const bool word = std::isalpha(static_cast<unsigned char>(token[0])) != 0;
    const size_t after = at_ + token.size();
    if (word && after < text_.size() &&
        (std::isalnum(static_cast<unsigned char>(text_[after])) || text_[after] == '.')) {
      return false;
    }
    at_ = after;
    return true;
  }
  std::string Word() {
    Skip();
    const size_t start = at_;
    while (at_ < text_.size() &&
           (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '.')) {
      ++at_;
    }
    return text_.substr(start, at_ - start);
  }
  static Node Make(SocketFilter::Kind kind, Node left = nullptr, Node right = nullptr) {
    auto node = std::make_shared<SocketFilter>();
    node->kind = kind;
    node->left = left;
    node->right = right;
    return node;
  }
  Node Or() {
    Node node = And();
    while (node && (Take("or") || Take("||"))) {
      Node right = And();
      node = right ? Make(SocketFilter::Kind::Or, node, right) : nullptr;
    }
    return node;
  }
  Node And() {
    Node node = Not();
    while (node && (Take("and") || Take("&&"))) {
      Node right = Not();
      node = right ? Make(SocketFilter::Kind::And, node, right) : nullptr;
    }
    return node;
  }
  Node Not() {
    if (Take("not") || Take("!")) {
      Node inner = Not();
      return inner ? Make(SocketFilter::Kind::Not, inner) : nullptr;
    }
    if (Take("(")) {
      Node inner = Or();
      return inner && Take(")") ? inner : nullptr;
    }
    return Atom();
  }
  Node Atom() {
    const std::string word = Word();
    using Kind = SocketFilter::Kind;
    if (word == "true") return Make(Kind::True);
    if (word == "false") return Make(Kind::False);
    if (word == "loopback") return Make(Kind::Loopback);
    if (word == "outbound") return Make(Kind::Outbound);
    if (word == "ipv6") return Make(Kind::IPv6);
    if (word == "tcp") return Make(Kind::Tcp);
    if (word == "udp") return Make(Kind::Udp);
    if (network_ && word == "inbound") return Make(Kind::Inbound);
    if (network_ && word == "ip") return Make(Kind::IP);
    Node node = Make(Kind::Compare);
    const size_t dot = word.find('.');
    if (network_ && dot != std::string::npos) {
      const std::string header = word.substr(0, dot), field = word.substr(dot + 1);
      if (header != "udp" && header != "tcp") return nullptr;
      if (field != "SrcPort" && field != "DstPort") return nullptr;
      node->portProtocol = header == "udp" ? kProtocolUdp : kProtocolTcp;
      node->field = field == "SrcPort" ? SocketFilter::Field::SrcPort : SocketFilter::Field::DstPort;
    } else if (network_) {
      return nullptr;  // the socket layer's fields are not the network layer's
    } else if (word == "event") {
      node->field = SocketFilter::Field::Event;
    } else if (word == "protocol") {
      node->field = SocketFilter::Field::Protocol;
    } else if (word == "processId") {
      node->field = SocketFilter::Field::ProcessId;
    } else if (word == "remoteAddr") {
      node->field = SocketFilter::Field::RemoteAddr;
    } else {
      return nullptr;
    }
    if (Take("==")) {
      node->equal = true;
    } else if (Take("!=")) {
      node->equal = false;
    } else {
      return nullptr;
    }
    const std::string value = Word();
    if (node->field == SocketFilter::Field::Event) {
      static const char* const kNames[] = {"BIND", "CONNECT", "LISTEN", "ACCEPT", "CLOSE"};
      for (UINT32 i = 0; i < 5; ++i) {
        if (value == kNames[i]) {
          node->value = 3 + i;
          return node;
        }
      }
      return nullptr;
    }
    if (node->field == SocketFilter::Field::RemoteAddr) {
      IN_ADDR address{};
      if (inet_pton(AF_INET, value.c_str(), &address) != 1) return nullptr;
      node->value = ntohl(address.s_addr);
      return node;
    }
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
        value.size() > 10) {
      return nullptr;
    }
    node->value = static_cast<UINT32>(std::stoull(value));
    return node;
  }

  const std::string& text_;
  const bool network_;
  size_t at_ = 0;
};

// What a fed packet's headers say: the IP version, the transport protocol
// and its ports (when the header is there whole).
struct PacketFacts {
  int version = 0;
  UINT8 protocol = 0;
  bool ports = false;
  UINT32 srcPort = 0, dstPort = 0;
};
PacketFacts FactsOf(const std::string& bytes) {
  PacketFacts facts;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.empty()) return facts;
  facts.version = p[0] >> 4;
  size_t transport = 0;
  if (facts.version == 4 && bytes.size() >= 20) {
    facts.protocol = p[9];
    transport = size_t{p[0] & 0x0Fu} * 4;
  } else if (facts.version == 6 && bytes.size() >= 40) {
    facts.protocol = p[6];
    transport = 40;
  } else {
    return facts;
  }
  if (transport >= 20 && bytes.size() >= transport + 4) {
    facts.ports = true;
    facts.srcPort = UINT32{p[transport]} << 8 | p[transport + 1];
    facts.dstPort = UINT32{p[transport + 2]} << 8 | p[transport + 3];
  }
  return facts;
}

}  // namespace

std::shared_ptr<const SocketFilter> CompileSocketFilter(const std::string& text) {
  return Parser(text, false).Parse();
}

std::shared_ptr<const SocketFilter> CompileNetworkFilter(const std::string& text) {
  return Parser(text, true).Parse();
}

bool FilterPasses(const SocketFilter& filter, const SocketEvent& event, bool loopback) {
  using Kind = SocketFilter::Kind;
  switch (filter.kind) {
    case Kind::True:
      return true;
    case Kind::False:
      return false;
    case Kind::Not:
      return !FilterPasses(*filter.left, event, loopback);
    case Kind::And:
      return FilterPasses(*filter.left, event, loopback) &&
             FilterPasses(*filter.right, event, loopback);
    case Kind::Or:
      return FilterPasses(*filter.left, event, loopback) ||
             FilterPasses(*filter.right, event, loopback);
    case Kind::Loopback:
      return loopback;
    case Kind::Outbound:
      return event.isPacket ? event.outbound : event.event == kEventConnect;
    case Kind::Inbound:
      return !event.outbound;
    case Kind::IP:
      return FactsOf(event.bytes).version == 4;
    case Kind::IPv6:
      return event.isPacket ? FactsOf(event.bytes).version == 6 : event.ipv6;
    case Kind::Tcp:
      return event.isPacket ? FactsOf(event.bytes).protocol == kProtocolTcp
                            : event.protocol == kProtocolTcp;
    case Kind::Udp:
      return event.isPacket ? FactsOf(event.bytes).protocol == kProtocolUdp
                            : event.protocol == kProtocolUdp;
    case Kind::Compare:
      break;
  }
  if (filter.field == SocketFilter::Field::SrcPort || filter.field == SocketFilter::Field::DstPort) {
    // A field of a header the packet does not have makes the test false.
    const PacketFacts facts = FactsOf(event.bytes);
    if (!facts.ports || facts.protocol != filter.portProtocol) return false;
    const UINT32 port = filter.field == SocketFilter::Field::SrcPort ? facts.srcPort : facts.dstPort;
    return (port == filter.value) == filter.equal;
  }
  UINT32 actual = 0;
  switch (filter.field) {
    case SocketFilter::Field::Event:
      actual = event.event;
      break;
    case SocketFilter::Field::Protocol:
      actual = event.protocol;
      break;
    case SocketFilter::Field::ProcessId:
      actual = event.processId;
      break;
    case SocketFilter::Field::SrcPort:
    case SocketFilter::Field::DstPort:
      break;
    case SocketFilter::Field::RemoteAddr:
      // An IPv6 socket's IPv4 peers are ::ffff:a.b.c.d, word 0 the address.
      actual = event.remoteAddr[0];
      if (event.ipv6 && !(event.remoteAddr[1] == 0xFFFF && event.remoteAddr[2] == 0 &&
                          event.remoteAddr[3] == 0)) {
        return !filter.equal;
      }
      break;
  }
  return (actual == filter.value) == filter.equal;
}

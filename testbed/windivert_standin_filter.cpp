#include "windivert_standin_filter.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "windivert_standin_packets.h"

class SocketFilter {
 public:
  enum class Kind {
    True, False, Not, And, Or, Loopback, Outbound, Inbound, IP, IPv6, Tcp, Udp, Compare
  };
  enum class Field {
    Event, Protocol, ProcessId, RemoteAddr,               // socket layer
    IfIdx, SubIfIdx, Length, SrcAddr, DstAddr,            // network layer
    SrcPort, DstPort, PayloadLength, Payload8, Payload16, Payload32
  };
  enum class Op { Eq, Ne, Lt, Gt, Le, Ge };
  Kind kind = Kind::True;
  Field field = Field::Event;
  Op op = Op::Ne;
  UINT8 protocol = 0;    // ports and payloads: of this transport's header
  int version = 0;       // SrcAddr and DstAddr: of this IP version's header
  size_t index = 0;      // payload words: the word's index
  UINT64 value = 0;      // numbers; an IPv4 address in host order
  unsigned char address[16] = {};  // an IPv6 address, network order
  std::shared_ptr<const SocketFilter> left, right;
};

namespace {

using Node = std::shared_ptr<SocketFilter>;
using Kind = SocketFilter::Kind;
using Field = SocketFilter::Field;
using Op = SocketFilter::Op;

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
  // A field's name with its index ("udp.Payload16[2]"), or a value: up to
  // the next blank or parenthesis.
  std::string Word(bool value) {
    Skip();
    const size_t start = at_;
    while (at_ < text_.size()) {
      const char c = text_[at_];
      const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' ||
                      (!value && (c == '[' || c == ']')) || (value && c == ':');
      if (!ok) break;
      ++at_;
    }
    return text_.substr(start, at_ - start);
  }
  static Node Make(Kind kind, Node left = nullptr, Node right = nullptr) {
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
      node = right ? Make(Kind::Or, node, right) : nullptr;
    }
    return node;
  }
  Node And() {
    Node node = Not();
    while (node && (Take("and") || Take("&&"))) {
      Node right = Not();
      node = right ? Make(Kind::And, node, right) : nullptr;
    }
    return node;
  }
  Node Not() {
    if (Take("not") || (Peek('!') && !PeekAt(1, '=') && Take("!"))) {
      Node inner = Not();
      return inner ? Make(Kind::Not, inner) : nullptr;
    }
    if (Take("(")) {
      Node inner = Or();
      return inner && Take(")") ? inner : nullptr;
    }
    return Atom();
  }
  bool Peek(char c) {
    Skip();
    return at_ < text_.size() && text_[at_] == c;
  }
  bool PeekAt(size_t ahead, char c) const {
    return at_ + ahead < text_.size() && text_[at_ + ahead] == c;
  }

  // "udp.Payload16[2]": the header, the field and the index.
  bool NetworkField(const std::string& word, SocketFilter& node) {
    const size_t dot = word.find('.');
    if (dot == std::string::npos) {
      if (word == "ifIdx") node.field = Field::IfIdx;
      else if (word == "subIfIdx") node.field = Field::SubIfIdx;
      else if (word == "length") node.field = Field::Length;
      else return false;
      return true;
    }
    const std::string header = word.substr(0, dot), rest = word.substr(dot + 1);
    if (header == "ip" || header == "ipv6") {
      node.version = header == "ip" ? 4 : 6;
      if (rest == "SrcAddr") node.field = Field::SrcAddr;
      else if (rest == "DstAddr") node.field = Field::DstAddr;
      else return false;
      return true;
    }
    if (header != "udp" && header != "tcp") return false;
    node.protocol = header == "udp" ? kProtocolUdp : kProtocolTcp;
    if (rest == "SrcPort") node.field = Field::SrcPort;
    else if (rest == "DstPort") node.field = Field::DstPort;
    else if (rest == "PayloadLength") node.field = Field::PayloadLength;
    else {
      const size_t open = rest.find('[');
      if (open == std::string::npos || rest.back() != ']' || open + 2 > rest.size() - 1) {
        return false;
      }
      const std::string name = rest.substr(0, open);
      const std::string index = rest.substr(open + 1, rest.size() - open - 2);
      if (name == "Payload") node.field = Field::Payload8;
      else if (name == "Payload16") node.field = Field::Payload16;
      else if (name == "Payload32") node.field = Field::Payload32;
      else return false;
      // Only plain indexes from the start: WinDivert's negative and byte
      // ("b") indexes are not modelled, and refused.
      if (index.find_first_not_of("0123456789") != std::string::npos || index.size() > 5) {
        return false;
      }
      node.index = std::stoul(index);
    }
    return true;
  }

  bool SocketField(const std::string& word, SocketFilter& node) {
    if (word == "event") node.field = Field::Event;
    else if (word == "protocol") node.field = Field::Protocol;
    else if (word == "processId") node.field = Field::ProcessId;
    else if (word == "remoteAddr") node.field = Field::RemoteAddr;
    else return false;
    return true;
  }

  bool Operator(SocketFilter& node) {
    static const struct { const char* token; Op op; } kOps[] = {
        {"==", Op::Eq}, {"!=", Op::Ne}, {"<=", Op::Le}, {">=", Op::Ge},
        {"=", Op::Eq},  {"<", Op::Lt},  {">", Op::Gt},
    };
    for (const auto& one : kOps) {
      if (Take(one.token)) {
        node.op = one.op;
        return true;
      }
    }
    return false;
  }

  bool Value(const std::string& value, SocketFilter& node) {
    if (node.field == Field::Event) {
      static const char* const kNames[] = {"BIND", "CONNECT", "LISTEN", "ACCEPT", "CLOSE"};
      for (UINT32 i = 0; i < 5; ++i) {
        if (value == kNames[i]) {
          node.value = 3 + i;
          return true;
        }
      }
    }
    const bool addressField = node.field == Field::RemoteAddr || node.field == Field::SrcAddr ||
                              node.field == Field::DstAddr;
    if (addressField) {
      if (node.field == Field::RemoteAddr || node.version == 4) {
        IN_ADDR address{};
        if (inet_pton(AF_INET, value.c_str(), &address) != 1) return false;
        node.value = ntohl(address.s_addr);
        return true;
      }
      IN6_ADDR address{};
      if (inet_pton(AF_INET6, value.c_str(), &address) != 1) return false;
      std::memcpy(node.address, address.s6_addr, 16);
      return true;
    }
    const bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const std::string digits = hex ? value.substr(2) : value;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
            std::string::npos) {
      return false;
    }
    node.value = std::stoull(digits, nullptr, hex ? 16 : 10);
    return true;
  }

  Node Atom() {
    const std::string word = Word(false);
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
    if (!(network_ ? NetworkField(word, *node) : SocketField(word, *node))) return nullptr;
    if (!Operator(*node)) {
      // A field alone is FIELD != 0 (an address field needs a value).
      if (node->field == Field::SrcAddr || node->field == Field::DstAddr) return nullptr;
      node->op = Op::Ne;
      node->value = 0;
      return node;
    }
    return Value(Word(true), *node) ? node : nullptr;
  }

  const std::string& text_;
  const bool network_;
  size_t at_ = 0;
};

bool Holds(Op op, int order) {  // order: <0, 0, >0 as actual against value
  switch (op) {
    case Op::Eq: return order == 0;
    case Op::Ne: return order != 0;
    case Op::Lt: return order < 0;
    case Op::Gt: return order > 0;
    case Op::Le: return order <= 0;
    case Op::Ge: return order >= 0;
  }
  return false;
}

int Order(UINT64 actual, UINT64 value) { return actual < value ? -1 : actual > value ? 1 : 0; }

UINT64 ReadWord(const unsigned char* at, size_t size) {
  UINT64 word = 0;
  for (size_t i = 0; i < size; ++i) word = word << 8 | at[i];
  return word;
}

// A network-layer test; false when the packet lacks what it looks at.
bool NetworkTest(const SocketFilter& filter, const SocketEvent& event) {
  const PacketFacts facts = FactsOf(event.bytes);
  const auto* p = reinterpret_cast<const unsigned char*>(event.bytes.data());
  UINT64 actual = 0;
  switch (filter.field) {
    case Field::IfIdx:
      actual = event.ifIdx;
      break;
    case Field::SubIfIdx:
      actual = event.subIfIdx;
      break;
    case Field::Length:
      actual = event.bytes.size();
      break;
    case Field::SrcAddr:
    case Field::DstAddr: {
      if (facts.version != filter.version) return false;
      const unsigned char* at =
          p + facts.address + (filter.field == Field::DstAddr ? facts.addressSize : 0);
      if (filter.version == 4) {
        actual = ReadWord(at, 4);
        break;
      }
      return Holds(filter.op, std::memcmp(at, filter.address, 16));
    }
    default: {
      if (!facts.transport || facts.protocol != filter.protocol) return false;
      if (filter.field == Field::SrcPort) {
        actual = facts.srcPort;
      } else if (filter.field == Field::DstPort) {
        actual = facts.dstPort;
      } else if (filter.field == Field::PayloadLength) {
        actual = facts.payloadLength;
      } else {
        const size_t size = filter.field == Field::Payload8 ? 1 : filter.field == Field::Payload16 ? 2 : 4;
        if ((filter.index + 1) * size > facts.payloadLength) return false;
        actual = ReadWord(p + facts.payload + filter.index * size, size);
      }
    }
  }
  return Holds(filter.op, Order(actual, filter.value));
}

bool SocketTest(const SocketFilter& filter, const SocketEvent& event) {
  UINT64 actual = 0;
  switch (filter.field) {
    case Field::Event:
      actual = event.event;
      break;
    case Field::Protocol:
      actual = event.protocol;
      break;
    case Field::ProcessId:
      actual = event.processId;
      break;
    case Field::RemoteAddr:
      // An IPv6 socket's IPv4 peers are ::ffff:a.b.c.d, word 0 the address.
      actual = event.remoteAddr[0];
      if (event.ipv6 && !(event.remoteAddr[1] == 0xFFFF && event.remoteAddr[2] == 0 &&
                          event.remoteAddr[3] == 0)) {
        return filter.op == Op::Ne;
      }
      break;
    default:
      return false;
  }
  return Holds(filter.op, Order(actual, filter.value));
}

}  // namespace

std::shared_ptr<const SocketFilter> CompileSocketFilter(const std::string& text) {
  return Parser(text, false).Parse();
}

std::shared_ptr<const SocketFilter> CompileNetworkFilter(const std::string& text) {
  return Parser(text, true).Parse();
}

bool FilterPasses(const SocketFilter& filter, const SocketEvent& event, bool loopback) {
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
  return event.isPacket ? NetworkTest(filter, event) : SocketTest(filter, event);
}

#include "windivert_standin_filter.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cctype>
#include <vector>

class SocketFilter {
 public:
  enum class Kind { True, False, Not, And, Or, Loopback, Outbound, IPv6, Tcp, Udp, Compare };
  enum class Field { Event, Protocol, ProcessId, RemoteAddr };
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
  explicit Parser(const std::string& text) : text_(text) {}

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
    Node node = Make(Kind::Compare);
    if (word == "event") {
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
  size_t at_ = 0;
};

}  // namespace

std::shared_ptr<const SocketFilter> CompileSocketFilter(const std::string& text) {
  return Parser(text).Parse();
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
      return event.event == kEventConnect;
    case Kind::IPv6:
      return event.ipv6;
    case Kind::Tcp:
      return event.protocol == kProtocolTcp;
    case Kind::Udp:
      return event.protocol == kProtocolUdp;
    case Kind::Compare:
      break;
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

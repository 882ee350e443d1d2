#pragma once
// The command language without the system behind it: the word and its
// argument, what each word asks for, and the reply. The dispatcher gives it
// the actions that act on the system; the fuzz target gives it recorders.
// Includes no platform header: it builds natively for fuzzing.
#include <string>
#include <string_view>

#include "support/address.h"

// What the commands do to the system, one call per request at most.
class CommandActions {
 public:
  virtual ~CommandActions() = default;
  virtual bool TunnelServiceRunning() = 0;
  virtual std::wstring DescribeState() = 0;
  virtual std::wstring ExplainAddress(const IpAddress& address, std::wstring_view image) = 0;
  // Names who asked for a change (`word`, folded) in the log; false when
  // the log has no room for that line, and the change must not be made.
  virtual bool AuditRequest(const std::wstring& word) = 0;
  virtual void SetSplitApps(const std::wstring& argument) = 0;
  virtual void SetBypassNets(const std::wstring& argument) = 0;
  virtual void SetBypassDomains(const std::wstring& argument) = 0;
  virtual void Disconnect() = 0;
  virtual bool Connect(const std::wstring& configuration) = 0;
};

// Runs one request line: the word before the first U+0020 (a tab belongs
// to it), A-Z folded, selects the command; the rest after that blank is
// its argument. Returns the reply text (without its line feed).
std::wstring RunCommand(std::wstring_view line, CommandActions& actions);

// The argument of "explain": an address as the bypass list reads one (an
// IPv4-mapped one as the IPv4 address), then optionally a blank and an
// image, blanks and tabs trimmed. False when the address is not one.
bool ParseExplainRequest(std::wstring_view argument, IpAddress& address, std::wstring& image);

// Strict standard Base64 as DecodeConnectPayload takes it, to its bytes.
bool DecodeStrictBase64(std::wstring_view text, std::string& bytes);

// The payload of "connect": strict standard Base64 (RFC 4648 alphabet, length
// a multiple of four, padding only at the end, nothing else, not empty) of
// UTF-8 text. Decodes into UTF-16 over the exact byte count, so zero bytes and
// a byte-order mark survive. Returns false when the payload is not Base64.
bool DecodeConnectPayload(std::wstring_view payload, std::wstring& configuration);

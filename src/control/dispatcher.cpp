#include "control/dispatcher.h"

#include <windows.h>

#include <wincrypt.h>

#include <string_view>

#include "control/client_identity.h"
#include "control/state_answers.h"
#include "routing/bypass_nets.h"
#include "split/dns_hold.h"
#include "split/split_apps.h"
#include "support/log.h"
#include "support/text.h"
#include "tunnel/connect.h"
#include "tunnel/service_probes.h"

namespace {

bool IsBase64Letter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
         c == L'+' || c == L'/';
}

// CryptStringToBinaryW differs between systems on empty text, missing
// padding and embedded white space. Checking the shape first makes the
// helper accept exactly the same payloads everywhere.
bool IsStrictBase64(std::wstring_view text) {
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t letters = text.size();
  if (text[letters - 1] == L'=') --letters;
  if (text[letters - 1] == L'=') --letters;
  for (size_t i = 0; i < letters; ++i) {
    if (!IsBase64Letter(text[i])) return false;
  }
  return true;
}

}  // namespace

bool DecodeConnectPayload(const std::wstring& payload, std::wstring& configuration) {
  if (!IsStrictBase64(payload)) return false;
  const DWORD length = static_cast<DWORD>(payload.size());
  DWORD size = 0;
  if (!CryptStringToBinaryW(payload.c_str(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                            nullptr)) {
    return false;
  }
  std::string bytes(size, '\0');
  if (!CryptStringToBinaryW(payload.c_str(), length, CRYPT_STRING_BASE64,
                            reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr)) {
    return false;
  }
  bytes.resize(size);
  configuration = Utf8ToWide(bytes);
  return true;
}

std::wstring DispatchCommand(const std::wstring& line, HANDLE client) {
  // Only U+0020 separates the word; a tab belongs to it.
  const size_t blank = line.find(L' ');
  const std::wstring word = FoldAsciiLower(std::wstring_view(line).substr(0, blank));
  const std::wstring argument = blank == std::wstring::npos ? L"" : line.substr(blank + 1);

  if (word == L"ping") return L"OK";
  if (word == L"status") return TunnelServiceRunning() ? L"RUNNING" : L"STOPPED";
  if (word == L"state") return DescribeState();
  if (word == L"explain") return ExplainAddress(argument);
  // Whoever changes what the helper does as LocalSystem is named, never
  // what they sent: a configuration holds a private key. A change whose
  // line the log cannot take (a reader froze its rotation, and it is full)
  // is not made.
  if (word == L"splitapps" || word == L"bypassnets" || word == L"bypassdomains" ||
      word == L"disconnect" || word == L"connect") {
    if (!AuditRequest(client, word)) return L"ERR log full";
  }
  if (word == L"splitapps") {
    SetSplitApps(argument);
    return L"OK";
  }
  if (word == L"bypassnets") {
    SetBypassNets(argument);
    return L"OK";
  }
  if (word == L"bypassdomains") {
    SetBypassDomainsAndHold(argument);
    return L"OK";
  }
  if (word == L"disconnect") {
    DisconnectTunnel();
    return L"OK";
  }
  if (word == L"connect") {
    std::wstring configuration;
    if (!DecodeConnectPayload(argument, configuration)) return L"ERR bad base64";
    return ConnectTunnel(configuration) ? L"OK" : L"ERR connect failed";
  }
  return L"ERR unknown";
}

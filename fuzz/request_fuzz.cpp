// What a local client sends on the control pipe, through the real framing
// (the bytes in pieces as reads deliver them, the line, its decoding) and
// the real command language, with every action on the system replaced by
// a recorder: the reply is one of the documented ones, on one line, and a
// request changes at most one thing, only once its audit line was written.
// Input: one byte for the size of the pieces and the recorders' answers,
// then the bytes sent; two 0xFF bytes first put a megabyte before them.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "control/client_handler.h"
#include "control/commands.h"
#include "fuzz_check.h"
#include "support/text.h"

namespace {

constexpr wchar_t kStateReply[] = L"{\"recorded\":\"state\"}";

class Recorder final : public CommandActions {
 public:
  explicit Recorder(uint8_t answers) : answers_(answers) {}

  bool TunnelServiceRunning() override { return Act("status", 1); }
  std::wstring DescribeState() override {
    Act("state", 0);
    return kStateReply;
  }
  std::wstring ExplainAddress(const IpAddress& address, std::wstring_view image) override {
    Act("explain", 0);
    FUZZ_CHECK(address.IsIPv4() || address.IsIPv6(), "explain given no address");
    FUZZ_CHECK(Unmapped(address) == address, "explain given an IPv4-mapped address");
    FUZZ_CHECK(TrimBlanks(image) == image, "explain given an image with blanks around it");
    explained_ = L"{\"recorded\":\"explain\",\"address\":\"" + FormatAddress(address) + L"\"}";
    return explained_;
  }
  bool AuditRequest(const std::wstring& word) override {
    FUZZ_CHECK(!audited_ && calls_ == 0, "audited twice, or after acting");
    audited_ = true;
    auditPassed_ = (answers_ & 2) != 0;
    audit_ = word;
    return auditPassed_;
  }
  void SetSplitApps(const std::wstring&) override { Change("splitapps"); }
  void SetBypassNets(const std::wstring&) override { Change("bypassnets"); }
  void SetBypassDomains(const std::wstring&) override { Change("bypassdomains"); }
  void Disconnect() override { Change("disconnect"); }
  bool Connect(const std::wstring&) override {
    Change("connect");
    return Act(nullptr, 4);
  }

  int Calls() const { return calls_; }
  bool Changed() const { return changed_; }
  bool AuditPassed() const { return auditPassed_; }
  const std::wstring& Explained() const { return explained_; }

 private:
  bool Act(const char* what, uint8_t answer) {
    if (what) {
      FUZZ_CHECK(calls_ == 0, std::string("a second action: ") + what);
      ++calls_;
    }
    return (answers_ & answer) != 0;
  }
  void Change(const char* what) {
    // A change only after its own word's audit line was written.
    FUZZ_CHECK(audited_ && auditPassed_ && WideToUtf8(audit_) == what,
               std::string(what) + " changed without its audit line");
    Act(what, 0);
    changed_ = true;
  }

  uint8_t answers_;
  int calls_ = 0;
  bool audited_ = false, auditPassed_ = false, changed_ = false;
  std::wstring audit_, explained_;
};

const std::set<std::wstring> kFixedReplies = {
    L"OK",
    L"RUNNING",
    L"STOPPED",
    L"ERR unknown",
    L"ERR log full",
    L"ERR bad address",
    L"ERR bad base64",
    L"ERR connect failed",
    kRequestTooLongReply,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  std::string_view sent(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string padded;
  if (sent.substr(0, 2) == "\xFF\xFF") {
    padded.assign(kRequestLimitBytes - 8 + (control & 0x0F), 'a');
    padded.append(sent.substr(2));
    sent = padded;
  }
  // In pieces, as the pipe's reads deliver them.
  const size_t piece = padded.empty() ? 1 + (control >> 4) * 7 : 65536;
  std::string request;
  RequestState state = RequestState::Incomplete;
  size_t at = 0;
  while (state == RequestState::Incomplete && at < sent.size()) {
    const std::string_view chunk = sent.substr(at, piece);
    at += chunk.size();
    state = AddToRequest(request, chunk);
  }
  // Where the request stands follows from the bytes before the first line
  // feed alone.
  const size_t lineFeed = sent.substr(0, at).find('\n');
  const size_t lineLength = lineFeed == std::string_view::npos ? at : lineFeed;
  const RequestState expected = lineLength > kRequestLimitBytes      ? RequestState::TooLong
                                : lineFeed != std::string_view::npos ? RequestState::Complete
                                                                     : RequestState::Incomplete;
  FUZZ_CHECK(state == expected, "the request's state is not what its bytes say");
  if (state == RequestState::Incomplete) return 0;  // the client's time runs out

  Recorder recorder(control);
  std::wstring reply;
  if (state == RequestState::TooLong) {
    reply = kRequestTooLongReply;
  } else {
    const std::wstring line = FrameRequestLine(request);
    // (A carriage return before a zero byte stays: only those before the
    // line feed are the line's end.)
    FUZZ_CHECK(line.find_first_of(std::wstring(L"\n\0", 2)) == std::wstring::npos,
               "the line holds a line feed or a zero byte");
    reply = RunCommand(line, recorder);
  }
  FUZZ_CHECK(kFixedReplies.count(reply) || reply == kStateReply ||
                 (!recorder.Explained().empty() && reply == recorder.Explained()),
             "an undocumented reply: " + Shown(reply));
  FUZZ_CHECK(recorder.Changed() == (reply == L"OK" && recorder.AuditPassed()) ||
                 reply == L"ERR connect failed",
             "a change whose reply says otherwise: " + Shown(reply));
  if (reply == L"ERR log full") FUZZ_CHECK(!recorder.Changed(), "changed though the log was full");
  const std::string bytes = ReplyBytes(reply);
  FUZZ_CHECK(!bytes.empty() && bytes.back() == '\n' && bytes.find('\n') == bytes.size() - 1 &&
                 bytes.find('\r') == std::string::npos,
             "a reply that is not one line");
  FUZZ_CHECK(Utf8ToWide(bytes) == reply + L"\n", "a reply that is not its own UTF-8");
  return 0;
}

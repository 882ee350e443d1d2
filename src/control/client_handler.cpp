#include "control/client_handler.h"

#include "support/text.h"

std::wstring FrameRequestLine(std::string_view received) {
  std::string_view line = received.substr(0, received.find('\n'));
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return Utf8ToWide(line.substr(0, line.find('\0')));
}

RequestState AddToRequest(std::string& request, std::string_view chunk) {
  const size_t searchFrom = request.size();
  request.append(chunk);
  const size_t lineFeed = request.find('\n', searchFrom);
  const size_t lineLength = lineFeed == std::string::npos ? request.size() : lineFeed;
  if (lineLength > kRequestLimitBytes) return RequestState::TooLong;
  return lineFeed == std::string::npos ? RequestState::Incomplete : RequestState::Complete;
}

std::string ReplyBytes(const std::wstring& reply) { return WideToUtf8(reply + L"\n"); }

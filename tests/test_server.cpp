#include "test_server.h"

#include <gtest/gtest.h>

#include "client_io.h"
#include "control/pipe_server.h"
#include "support/helper_state.h"

std::string ErrorText(DWORD error) {
  char* text = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = "error " + std::to_string(error) + (text ? std::string(": ") + text : "");
  if (text) LocalFree(text);
  return result;
}

TestPipeServer::TestPipeServer(PipeName name) {
  // Another server on the fixed pipe name (a helper left running) would
  // answer in our place and make every result meaningless.
  if (name == PipeName::MustBeFree &&
      (WaitNamedPipeW(kPipePath, 0) || GetLastError() != ERROR_FILE_NOT_FOUND)) {
    ADD_FAILURE() << "another server already holds the helper's pipe";
  }
  HelperState.StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = std::thread(RunPipeServer);
  if (name == PipeName::HeldByTest) return;
  // Wait until the pipe exists, so the first request does not race the
  // server's start.
  for (int i = 0; i < 200 && !WaitNamedPipeW(kPipePath, 10); ++i) Sleep(10);
}

ULONGLONG TestPipeServer::Stop() {
  if (stopped_) return 0;
  stopped_ = true;
  const ULONGLONG start = GetTickCount64();
  SetEvent(HelperState.StopEvent);
  thread_.join();
  const ULONGLONG took = GetTickCount64() - start;
  CloseHandle(HelperState.StopEvent);
  HelperState.StopEvent = nullptr;
  return took;
}

TestPipeServer::~TestPipeServer() { Stop(); }

RawClient::RawClient(DWORD busyWaitMs) { pipe = OpenHelperPipe(busyWaitMs, error); }

RawClient::~RawClient() {
  if (connected()) CloseHandle(pipe);
}

bool RawClient::Write(const std::string& bytes) {
  DWORD written = 0;
  const bool ok =
      WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE;
  if (!ok) error = GetLastError();
  return ok && written == bytes.size();
}

std::string RawClient::ReadAll() {
  std::string data;
  ReadUntilEnd(pipe, data, error);
  return data;
}

std::string Request(const std::string& bytes) { return SendRequestBytes(bytes, 5000).reply; }

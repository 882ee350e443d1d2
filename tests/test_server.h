#pragma once
// Test-side tools: a pipe server running in the test process and raw pipe
// clients.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "service_harness.h"

// For tests that need the pipe's name and the service manager to
// themselves: no helper service (it would own the pipe) and no tunnel
// service, before and after.
class WithoutHelperServices : public ::testing::Test {
 protected:
  // A test that starts while an earlier one's service still serves the
  // pipe would talk to it: say so instead of failing for the wrong reason.
  void SetUp() override {
    ASSERT_TRUE(RemoveHelperServices())
        << "a helper service is still there, state " << ServiceState(L"QuorvelHelper");
  }
  void TearDown() override { RemoveHelperServices(); }
};

// Text of a Windows error, for assertion messages.
std::string ErrorText(DWORD error);

// Whether the test itself holds the pipe's name when the server starts.
enum class PipeName { MustBeFree, HeldByTest };

// RunPipeServer on a thread of the test process with a fresh StopEvent.
class TestPipeServer {
 public:
  // HeldByTest: neither complain about another server on the name nor wait
  // for the server's pipe to appear (it cannot while the name is held).
  explicit TestPipeServer(PipeName name = PipeName::MustBeFree);
  ~TestPipeServer();
  // Signals the stop and joins; returns the milliseconds the server took
  // to return after the signal.
  ULONGLONG Stop();

 private:
  std::thread thread_;
  bool stopped_ = false;
};

// A raw client connection, for requests the command-line client would
// never send.
struct RawClient {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  explicit RawClient(DWORD busyWaitMs = 5000);
  ~RawClient();
  bool connected() const { return pipe != INVALID_HANDLE_VALUE; }
  bool Write(const std::string& bytes);
  // Reads until the server closes its end.
  std::string ReadAll();
};

// One request line through a fresh connection; returns every byte of the
// reply ("" when there was none).
std::string Request(const std::string& bytes);

// The command-line client's answer when it cannot get a reply: a helper that
// is not running is not the same as one that is busy with someone else.
#include <gtest/gtest.h>

#include "service_harness.h"
#include "support/handles.h"
#include "support/protocol.h"
#include "test_server.h"

namespace {

TEST(ControlClient, TellsAMissingHelperFromABusyOne) {
  RemoveHelperServices();
  // Nothing serves the pipe.
  ProcessResult result = RunProgram(ControlClientExePath(), L"--wait-ms 300 ping");
  EXPECT_EQ(result.exitCode, 2u);
  EXPECT_NE(result.output.find("the helper is not running"), std::string::npos) << result.output;

  // A server whose only instance is taken by another client.
  UniqueFileHandle instance(CreateNamedPipeW(kPipePath, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                             kPipeBufferBytes, kPipeBufferBytes, 0, nullptr));
  ASSERT_TRUE(instance) << ErrorText(GetLastError());
  RawClient holder;
  ASSERT_TRUE(holder.connected()) << ErrorText(holder.error);
  result = RunProgram(ControlClientExePath(), L"--wait-ms 300 ping");
  EXPECT_EQ(result.exitCode, 3u);
  EXPECT_NE(result.output.find("the helper is busy"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("not running"), std::string::npos) << result.output;
}

}  // namespace

// The command language: which lines are which command, and the exact replies.
#include "control/dispatcher.h"

#include <wincrypt.h>

#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>

#include "service_harness.h"
#include "test_server.h"

namespace {

// status must see no tunnel service left by another test.
using Dispatcher = WithoutHelperServices;

TEST_F(Dispatcher, PingFoldsOnlyTheWord) {
  EXPECT_EQ(DispatchCommand(L"ping"), L"OK");
  EXPECT_EQ(DispatchCommand(L"PING"), L"OK");
  EXPECT_EQ(DispatchCommand(L"Ping any TEXT at all"), L"OK");
  EXPECT_EQ(DispatchCommand(L"ping "), L"OK");
  EXPECT_EQ(DispatchCommand(L"ping  two blanks"), L"OK");
}

TEST_F(Dispatcher, OnlyExactWordsAreRecognised) {
  for (const wchar_t* line :
       {L"", L" ping", L"pin", L"pings", L"ping\tx", L"ping\t", L"\tping", L"p ing", L"ping\x00A0",
        L"\xFF30\xFF29\xFF2E\xFF27",  // full-width
        L"P\x0130NG", L"stat", L"statuses", L"STATUS\tx", L"--console", L"connectx", L"\xFFFD"}) {
    EXPECT_EQ(DispatchCommand(line), L"ERR unknown") << "line: " << testing::PrintToString(line);
  }
}

TEST_F(Dispatcher, StatusWithoutTunnelServiceIsStopped) {
  EXPECT_EQ(DispatchCommand(L"status"), L"STOPPED");
  EXPECT_EQ(DispatchCommand(L"STATUS with arguments"), L"STOPPED");
}

std::wstring Decoded(const wchar_t* payload) {
  std::wstring configuration = L"untouched";
  EXPECT_TRUE(DecodeConnectPayload(payload, configuration)) << testing::PrintToString(payload);
  return configuration;
}

bool Rejected(const std::wstring& payload) {
  std::wstring configuration = L"untouched";
  const bool ok = DecodeConnectPayload(payload, configuration);
  return !ok && configuration == L"untouched";
}

TEST(ConnectPayload, DecodesStandardBase64OfUtf8Exactly) {
  EXPECT_EQ(Decoded(L"cGluZw=="), L"ping");
  EXPECT_EQ(Decoded(L"cGlu"), L"pin");
  EXPECT_EQ(Decoded(L"cGlueQ=="), L"piny");
  // "[Interface]\r\nKey = é\r\n": line ends and non-ASCII survive as they are.
  EXPECT_EQ(Decoded(L"W0ludGVyZmFjZV0NCktleSA9IMOpDQo="), L"[Interface]\r\nKey = \x00E9\r\n");
  // Zero bytes, a byte-order mark and malformed UTF-8 are kept as text.
  EXPECT_EQ(Decoded(L"YQBi"), std::wstring(L"a\0b", 3));
  EXPECT_EQ(Decoded(L"77u/YQ=="),
            L"\xFEFF"
            L"a");
  EXPECT_EQ(Decoded(L"/w=="), L"\xFFFD");
  EXPECT_EQ(Decoded(L"+/+/"), L"\xFFFD\xFFFD\xFFFD");
}

TEST(ConnectPayload, RejectsAnythingButStrictBase64) {
  for (const wchar_t* payload : {L"", L"cGluZw", L"cGluZw=", L"cGlu Zw==", L" cGluZw==",
                                 L"cGluZw==\r\n", L"cGl\nuZw==", L"cGluZw==cGlu", L"====", L"A===",
                                 L"AB=C", L"c-lu", L"c_lu", L"not base64!", L"cGlu\x00E9"}) {
    EXPECT_TRUE(Rejected(payload)) << testing::PrintToString(payload);
  }
  EXPECT_TRUE(Rejected(std::wstring(L"cG\0uZw==", 8)));
}

// The decoder is the project's own (it builds natively for fuzzing): on
// every strict payload it must give the bytes CryptStringToBinaryW gives.
TEST(ConnectPayload, DecodesAsCryptStringToBinaryDoes) {
  const wchar_t letters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 random(33);
  for (int round = 0; round < 20000; ++round) {
    std::wstring payload;
    for (int n = 1 + random() % 6; n > 0; --n) {
      for (int i = 0; i < 4; ++i) payload += letters[random() % 64];
    }
    // Padding as it ends a payload, with whatever bits the letter before it
    // leaves over.
    const int padding = random() % 3;
    payload.replace(payload.size() - padding, padding, padding, L'=');
    DWORD size = 0;
    ASSERT_TRUE(CryptStringToBinaryW(payload.c_str(), static_cast<DWORD>(payload.size()),
                                     CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr));
    std::string windows(size, '\0');
    ASSERT_TRUE(CryptStringToBinaryW(payload.c_str(), static_cast<DWORD>(payload.size()),
                                     CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(windows.data()),
                                     &size, nullptr, nullptr));
    windows.resize(size);
    std::string ours;
    ASSERT_TRUE(DecodeStrictBase64(payload, ours)) << testing::PrintToString(payload);
    ASSERT_EQ(ours, windows) << testing::PrintToString(payload);
  }
}

}  // namespace

// The executables of this project enter at wmain (-municode); the tests do
// the same, so they link exactly like the helper.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

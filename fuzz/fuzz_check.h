#pragma once
// A broken property ends the run as a crash does: libFuzzer keeps the input
// (crash-<sha1> under the artifact prefix) and the run fails.
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition, detail)                                               \
  do {                                                                              \
    if (!(condition)) FuzzPropertyBroken(__FILE__, __LINE__, #condition, (detail)); \
  } while (0)

[[noreturn]] inline void FuzzPropertyBroken(const char* file, int line, const char* condition,
                                            const std::string& detail) {
  std::fprintf(stderr, "\n== property broken at %s:%d: %s\n== %s\n", file, line, condition,
               detail.c_str());
  std::abort();
}

// Text of any width as printable ASCII, for a property's message.
template <typename Text>
std::string Shown(const Text& text) {
  std::string shown;
  char escaped[16];
  for (const auto c : text) {
    const unsigned long value = static_cast<unsigned long>(c) & 0xFFFFFFFFul;
    if (value >= 0x20 && value < 0x7F && value != '\\') {
      shown += static_cast<char>(value);
    } else {
      std::snprintf(escaped, sizeof(escaped), "\\u{%lx}", value);
      shown += escaped;
    }
  }
  return shown;
}

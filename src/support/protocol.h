#pragma once
// What the helper and its clients must agree on, in one place: the control
// pipe's name and the sizes that shape its traffic. The helper, the
// command-line client and the benchmarks all include this.
#include <cstddef>

constexpr wchar_t kPipePath[] = L"\\\\.\\pipe\\QuorvelHelper";
constexpr wchar_t kServiceName[] = L"QuorvelHelper";

// In- and out-buffer of every pipe instance, and the size of one read.
constexpr unsigned long kPipeBufferBytes = 8192;

// The longest request line, counted in bytes before its line feed. A longer
// one is answered "ERR request too long" and not executed.
constexpr std::size_t kRequestLimitBytes = 1048576;

// A DNS message as it arrives from the network: its question, the
// addresses its answer gives, and whether it may route, held against a
// second reading and the documented rules.
#include <cstddef>
#include <cstdint>

#include "dns_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckDnsMessage(data, size);
  return 0;
}

// libFuzzer target: the library's ASN.1 value tree on hostile bytes. A value that parses is
// written out; what was written parses again and is written to the same bytes.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "asn1/asn1_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  std::string first;
  try {
    const CASN1Value v(data, size);
    std::ostringstream out;
    v.Write(out);
    first = out.str();
  } catch (const std::exception&) {
    return 0;  // refused input is fine; a crash is not
  }
  const CASN1Value again(reinterpret_cast<const uint8_t*>(first.data()), first.size());
  std::ostringstream out;
  again.Write(out);
  if (out.str() != first) __builtin_trap();
  return 0;
}

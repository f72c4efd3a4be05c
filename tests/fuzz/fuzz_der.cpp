// libFuzzer target: the shared DER codec. Every element the strict reader accepts is written
// again by the writer to the very same bytes, nested elements included, and every object
// identifier it can turn into text turns back into the same contents.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "der/der.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Walk(der::Reader r, int depth) {
  der::Tlv t;
  while (r.Next(t)) {
    std::vector<uint8_t> again;
    der::Put(again, t.tag, t.value, t.length);
    Check(again.size() == t.size && std::memcmp(again.data(), t.start, t.size) == 0);
    if (t.tag == der::kOid) {
      std::string text;
      std::vector<uint8_t> back;
      if (der::OidToText(t.value, t.length, text) && der::OidFromText(text.c_str(), back))
        Check(back.size() == t.length && std::memcmp(back.data(), t.value, t.length) == 0);
    }
    if ((t.tag & 0x20) != 0 && depth < 32) Walk(der::ContentsOf(t), depth + 1);
  }
  Check(r.error() != der::kOk || r.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  Walk(der::Reader(data, size), 0);
  der::Reader fields(data, size);
  uint32_t v;
  while (fields.U32LE(v)) {
  }
  return 0;
}

// GOST R 34.11-2012 known answers through each compression code: the provider's vector test
// reaches only the code picked for this CPU, so the baseline one (what CPUs without BMI1
// run) is held to the same records here, beside the picked one.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/provider/streebog.h"
#include "provider_test_util.h"

namespace provider_test {
namespace {

using vexorcsp::streebog::Hash;

std::string Digest(size_t size, Hash::Code code, const Bytes& msg) {
  Hash h(size, code);
  // Uneven pieces, so that blocks are both gathered from pieces and taken in place.
  for (size_t off = 0, step = 1; off < msg.size(); off += step, step = step * 5 + 3) {
    step = std::min(step, msg.size() - off);
    h.Update(msg.data() + off, step);
  }
  uint8_t out[64];
  h.Final(out);
  return Hex(out, size);
}

TEST(Streebog, EachCodeGivesTheKnownAnswers) {
  ForEachRecord("gost3411-2012.txt", [&](Record& r) {
    Bytes msg;
    if (r.Has("Msg")) {
      msg = r.GetHex("Msg");
    } else {
      const Bytes pattern = r.GetHex("MsgPattern");
      for (long i = std::stol(r.Get("MsgRepeat")); i > 0; --i)
        msg.insert(msg.end(), pattern.begin(), pattern.end());
    }
    const std::string want256 = r.Get("Digest256"), want512 = r.Get("Digest512");
    for (Hash::Code code : {Hash::Code::kBaseline, Hash::Code::kFastest}) {
      SCOPED_TRACE(code == Hash::Code::kBaseline ? "baseline" : "fastest");
      EXPECT_EQ(Digest(32, code, msg), want256);
      EXPECT_EQ(Digest(64, code, msg), want512);
    }
  });
}

}  // namespace
}  // namespace provider_test

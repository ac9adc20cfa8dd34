// Tests of how a check shows the bytes of a row in its lines.
#include "gen_verify.h"

#include <gtest/gtest.h>

#include <string>

namespace zervgen {
namespace {

TEST(GenVerify, EscapedShowsEveryByteAsPrintableText) {
  struct Case {
    std::string bytes;
    const char* shown;
  };
  const Case cases[] = {
      {"", ""},
      {"12,abc XYZ~!", "12,abc XYZ~!"},
      {"a\tb\r\n", "a\\tb\\r\\n"},
      {"say \"hi\" \\ there", "say \\\"hi\\\" \\\\ there"},
      {std::string("\x00\x01\x1f\x7f", 4), "\\x00\\x01\\x1F\\x7F"},
      {"\xc3\xa9\xff", "\\xC3\\xA9\\xFF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Gen_VerifyEscaped(c.bytes.data(), c.bytes.size()), c.shown);
  }
}

}  // namespace
}  // namespace zervgen

#include "base/strfmt.h"

#include <gtest/gtest.h>

namespace drover {
namespace {

TEST(StrFormat, FormatsAndCutsAtCharacterBoundary) {
  EXPECT_EQ(StrFormat("%04X-%d", 0xB0u, -3), "00B0--3");
  EXPECT_EQ(StrFormat("%s", std::string(300, 'a').c_str()).size(), 300u);
  // "é" is two bytes: a cut inside it steps back to the character start.
  EXPECT_EQ(CutUtf8("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(CutUtf8("ab\xC3\xA9", 4), "ab\xC3\xA9");
  EXPECT_TRUE(ContainsNoCase("USB\\ROOT_HUB30\\1", "root_hub"));
  EXPECT_FALSE(EqualsNoCase("abc", "abd"));
}

}  // namespace
}  // namespace drover

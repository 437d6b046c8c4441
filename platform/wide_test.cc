#include "platform/wide.h"

#include <gtest/gtest.h>

namespace {

TEST(WideTest, Utf8RoundTrips) {
  const std::string texts[] = {"", "QMX$$0001.TMP", "UNI:設定済みのDEVMODE\n", "emoji \xF0\x9F\x96\xA8 printer"};
  for (const std::string& t : texts) EXPECT_EQ(platform::toUtf8(platform::fromUtf8(t)), t);
  EXPECT_EQ(platform::fromUtf8("\xF0\x9F\x96\xA8").size(), 2u) << "a surrogate pair";
}

TEST(WideTest, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(platform::fromUtf8("a\xFF" "b"), (platform::WString{u'a', 0xFFFD, u'b'}));
  EXPECT_EQ(platform::fromUtf8("\xE3\x81"), (platform::WString{0xFFFD, 0xFFFD}));
  platform::WChar lone[] = {0xD800, u'x'};
  EXPECT_EQ(platform::toUtf8(lone, 2), "\xEF\xBF\xBDx");
}

}  // namespace

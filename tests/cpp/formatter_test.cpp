#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/formatter.h"

namespace vantrel {
namespace {

const std::string kHeader =
    "# XviD 2pass stat file (core version vantrel-rs 0.1.1)\n"
    "# Please do not modify this file\n\n";

std::string pass_log(const std::vector<bool>& decisions) {
  return formatter::write_pass_log(decisions);
}

TEST(PassLog, HeaderIsExact) {
  EXPECT_EQ(kHeader.size(), 89u);
  EXPECT_EQ(formatter::kHeaderLine1.size(), 55u);
  EXPECT_EQ(formatter::kHeaderLines2And3.size(), 34u);
  EXPECT_EQ(pass_log({}), kHeader);
}

TEST(PassLog, FirstFrameIsAlwaysIntra) {
  EXPECT_EQ(pass_log({true}), kHeader + "i\n");
  EXPECT_EQ(pass_log({false}), kHeader + "i\n");
  EXPECT_EQ(pass_log({false, false}), kHeader + "i\np\n");
}

TEST(PassLog, LaterLinesFollowTheirOwnDecision) {
  const std::string text = pass_log({true, false, false, true});
  EXPECT_EQ(text, kHeader + "i\np\np\ni\n");
  EXPECT_EQ(text.size(), 97u);
}

TEST(PassLog, LengthIsHeaderPlusTwoBytesPerFrame) {
  std::vector<bool> decisions(1000);
  for (std::size_t i = 0; i < decisions.size(); ++i) decisions[i] = i % 7 == 3;
  const std::string text = pass_log(decisions);
  ASSERT_EQ(text.size(), 89u + 2u * decisions.size());
  for (std::size_t i = 1; i < decisions.size(); ++i) {
    EXPECT_EQ(text[89 + 2 * i], decisions[i] ? 'i' : 'p');
  }
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace vantrel

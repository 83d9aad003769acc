#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib.h"

namespace vantrel {
namespace {

const std::string kHeader =
    "# XviD 2pass stat file (core version vantrel-rs 0.1.1)\n"
    "# Please do not modify this file\n\n";

std::string pass_log(const std::vector<bool>& decisions) {
  formatter::StringSink sink;
  EXPECT_TRUE(write_pass_log(sink, decisions).has_value());
  return sink.bytes;
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

// A sink that fails after a number of writes, as a full disk would.
struct FailingSink {
  int writes_left;
  std::string bytes;
  Status write_all(std::string_view piece) {
    if (writes_left-- <= 0) return fail("failed to flush output");
    bytes.append(piece);
    return {};
  }
};

TEST(PassLog, SinkFailureEndsTheLogAndKeepsWhatWasWritten) {
  FailingSink header_fails{0, {}};
  auto failed = write_pass_log(header_fails, {true, true});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().to_string(), "input/output error: failed to flush output");
  EXPECT_TRUE(header_fails.bytes.empty());

  FailingSink frame_fails{3, {}};
  failed = write_pass_log(frame_fails, {true, false, true});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(frame_fails.bytes, kHeader + "i\n");
}

}  // namespace
}  // namespace vantrel

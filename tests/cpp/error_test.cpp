#include <gtest/gtest.h>

#include "base/error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace vantrel::error {
namespace {

Kind kind_of(std::string message) {
  return VantrelError::classify(std::move(message)).kind;
}

TEST(Classify, EveryMessageOfTheSystemGetsItsCategory) {
  const std::pair<const char*, Kind> cases[] = {
      {"failed to open input: /no/such/file.mkv", Kind::Io},
      {"no video stream found", Kind::Unsupported},
      {"failed to enable hardware decoding (--hwdec cuda)", Kind::Unsupported},
      {"unknown --hwdec: ", Kind::Config},
      {"unknown --hwdec: nonsense", Kind::Config},
      {"invalid --hwdec value", Kind::Config},
      {"failed to create decoder context", Kind::Decode},
      {"failed to find video decoder", Kind::Decode},
      {"failed to open video decoder", Kind::Decode},
      {"failed to send packet to decoder", Kind::Decode},
      {"failed to signal EOF to decoder", Kind::Decode},
      {"failed to receive frame", Kind::Decode},
      {"--hwdec set but decoder produced software frames", Kind::Decode},
      {"failed to transfer hardware frame", Kind::Decode},
      {"failed to copy luma plane", Kind::Decode},
      {"failed to create scaler (YUV420P10LE 64x48)", Kind::Decode},
      {"failed to scale frame to GRAY8", Kind::Decode},
      {"failed to create output file", Kind::Io},
      {"failed to flush output", Kind::Io},
      {"ffmpeg said no", Kind::Decode},
  };
  for (const auto& [message, kind] : cases) {
    EXPECT_EQ(kind_of(message), kind) << message;
  }
}

TEST(Classify, FirstMatchWinsAcrossCategories) {
  EXPECT_EQ(kind_of("failed to open input: frame.mkv"), Kind::Io);
  EXPECT_EQ(kind_of("failed to open input: /tmp/UNKNOWN --HWDEC/x.mkv"),
            Kind::Config);
  EXPECT_EQ(kind_of("--hwdec broke hardware decoding"), Kind::Unsupported);
  EXPECT_EQ(kind_of("unsupported video"), Kind::Unsupported);
}

TEST(Classify, SubstringsAnyAsciiCaseButOnlyAscii) {
  EXPECT_EQ(kind_of("NO VIDEO STREAM FOUND"), Kind::Unsupported);
  EXPECT_EQ(kind_of("Unknown --HWDEC: x"), Kind::Config);
  EXPECT_EQ(kind_of("too many keyframes"), Kind::Decode);
  EXPECT_EQ(kind_of("three videos"), Kind::Decode);
  // U+0130 (capital I with dot) is not folded, so "vİdeo" holds no key.
  EXPECT_EQ(kind_of("v\xC4\xB0" "deo"), Kind::Internal);
  EXPECT_EQ(kind_of("FR\xC3\x85ME"), Kind::Internal);
}

TEST(Classify, NoMatchIsInternalAndKeepsTheMessage) {
  const VantrelError stride = VantrelError::classify("stride range overflow");
  EXPECT_EQ(stride.kind, Kind::Internal);
  EXPECT_EQ(stride.to_string(), "internal error: stride range overflow");
  EXPECT_EQ(VantrelError::classify("").to_string(), "internal error: ");
  const VantrelError upper = VantrelError::classify("NO VIDEO STREAM FOUND");
  EXPECT_EQ(upper.message, "NO VIDEO STREAM FOUND");
}

TEST(Display, PrefixFollowedByMessage) {
  EXPECT_EQ(VantrelError::classify("failed to open input: a b").to_string(),
            "input/output error: failed to open input: a b");
  EXPECT_EQ(VantrelError::classify("no video stream found").to_string(),
            "unsupported operation: no video stream found");
  EXPECT_EQ(VantrelError::classify("unknown --hwdec: ").to_string(),
            "configuration error: unknown --hwdec: ");
  EXPECT_EQ(VantrelError::classify("failed to receive frame").to_string(),
            "decode error: failed to receive frame");
}

TEST(ErrorValue, OnlyTheOutermostMessageIsClassified) {
  const Error wrapped =
      Error::ffmpeg(AVERROR_INVALIDDATA).wrap("failed to receive frame");
  EXPECT_EQ(VantrelError::from(wrapped).to_string(),
            "decode error: failed to receive frame");
  ASSERT_NE(wrapped.cause(), nullptr);
  EXPECT_FALSE(wrapped.cause()->message().empty());
  EXPECT_EQ(wrapped.chain(),
            "failed to receive frame: " + wrapped.cause()->message());
  // A cause that would classify differently changes nothing.
  const Error outer = Error("no video stream found").wrap("stride range overflow");
  EXPECT_EQ(VantrelError::from(outer).kind, Kind::Internal);
}

TEST(FatalInternal, AbortsWithDiagnostic) {
  EXPECT_DEATH(fatal_internal("index out of range"),
               "fatal internal error: index out of range");
}

}  // namespace
}  // namespace vantrel::error

// Routing FFmpeg's log lines to the capture of the analysis they belong to.
#include "base/ffmpeg_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "base/av_handles.h"

namespace vantrel::ffmpeg_log {
namespace {

std::vector<std::string> texts(LogCapture& capture) {
  std::vector<std::string> out;
  for (const LogLine& line : capture.take_lines()) out.push_back(line.text);
  return out;
}

class Routing : public ::testing::Test {
 protected:
  void SetUp() override { install(); }
};

TEST_F(Routing, LinesOfTheCapturingThreadAndOfTaggedDecodersOnly) {
  LogCapture capture(AV_LOG_WARNING);
  av::CodecContextPtr tagged(avcodec_alloc_context3(nullptr));
  av::CodecContextPtr other(avcodec_alloc_context3(nullptr));
  int tag = 0;
  tagged->opaque = &tag;
  capture.add_tag(&tag);
  {
    ThreadCapture ours(&capture);
    av_log(nullptr, AV_LOG_ERROR, "on the thread\n");
    av_log(nullptr, AV_LOG_INFO, "too detailed\n");  // below the capture's level
    // A worker thread: only the tagged context's line is the capture's.
    std::thread worker([&] {
      av_log(tagged.get(), AV_LOG_WARNING, "from a worker\n");
      av_log(other.get(), AV_LOG_ERROR, "(printed by FFmpeg: an untagged worker)\n");
    });
    worker.join();
  }
  av_log(nullptr, AV_LOG_ERROR, "(printed by FFmpeg: after the capture)\n");
  EXPECT_EQ(texts(capture),
            (std::vector<std::string>{"on the thread", "from a worker"}));

  capture.remove_tag(&tag);
  std::thread later(
      [&] { av_log(tagged.get(), AV_LOG_ERROR, "(printed by FFmpeg: untagged now)\n"); });
  later.join();
  EXPECT_TRUE(capture.take_lines().empty());
}

TEST_F(Routing, PiecesMakeOneLineNamedByTheirObject) {
  LogCapture capture(AV_LOG_WARNING);
  av::CodecContextPtr context(
      avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264)));
  {
    ThreadCapture ours(&capture);
    av_log(context.get(), AV_LOG_ERROR, "first %d, ", 1);
    av_log(context.get(), AV_LOG_ERROR, "then %s\n", "two");
    av_log(context.get(), AV_LOG_WARNING, "no newline at the end");
  }
  const std::vector<LogLine> lines = capture.take_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "[h264] first 1, then two");
  EXPECT_EQ(lines[0].level, AV_LOG_ERROR);
  EXPECT_EQ(lines[1].text, "[h264] no newline at the end");
}

TEST_F(Routing, ACaptureKeepsAThousandLinesAndCountsTheRest) {
  LogCapture capture(AV_LOG_WARNING);
  {
    ThreadCapture ours(&capture);
    for (int i = 0; i < 1200; ++i) av_log(nullptr, AV_LOG_ERROR, "line %d\n", i);
  }
  EXPECT_EQ(capture.dropped(), 200u);
  const std::vector<std::string> kept = texts(capture);
  ASSERT_EQ(kept.size(), 1000u);
  EXPECT_EQ(kept.back(), "line 999");
}

TEST_F(Routing, CapturesNestPerThread) {
  LogCapture outer(AV_LOG_WARNING), inner(AV_LOG_WARNING);
  {
    ThreadCapture a(&outer);
    {
      ThreadCapture b(&inner);
      av_log(nullptr, AV_LOG_ERROR, "inner\n");
      ThreadCapture none(nullptr);
      av_log(nullptr, AV_LOG_ERROR, "(printed by FFmpeg: no capture)\n");
    }
    av_log(nullptr, AV_LOG_ERROR, "outer\n");
  }
  EXPECT_EQ(texts(inner), std::vector<std::string>{"inner"});
  EXPECT_EQ(texts(outer), std::vector<std::string>{"outer"});
}

}  // namespace
}  // namespace vantrel::ffmpeg_log

// The analysis's fast paths against the plain forms they replace. The
// in-place luma path (the reduced-image analysis reads each frame's plane
// without packing it): same checks and messages, same frames, same reduced
// bytes, same analysis results. The global histogram folded from the grid:
// the same counts as counting the plane.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "analysis.h"
#include "decoder.h"
#include "lib.h"

namespace vantrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A GRAY8 frame with a plane 0 of `buffer_size` random bytes starting
// `offset` bytes into its buffer, with the given line size.
av::FramePtr random_frame(int width, int height, int linesize,
                          std::size_t buffer_size, std::size_t offset,
                          std::mt19937& rng) {
  av::FramePtr frame = av::make_frame();
  frame->format = AV_PIX_FMT_GRAY8;
  frame->width = width;
  frame->height = height;
  frame->buf[0] = av_buffer_alloc(buffer_size);
  for (std::size_t i = 0; i < buffer_size; ++i) {
    frame->buf[0]->data[i] = static_cast<std::uint8_t>(rng());
  }
  frame->data[0] = frame->buf[0]->data + offset;
  frame->linesize[0] = linesize;
  return frame;
}

Bytes pack(const decoder::LumaView& view) {
  Bytes out(view.width * view.height);
  if (out.empty()) return out;  // memcpy may not see the null of an empty plane
  for (std::size_t row = 0; row < view.height; ++row) {
    std::memcpy(out.data() + row * view.width, view.data + row * view.stride,
                view.width);
  }
  return out;
}

TEST(LumaPlaneView, SameChecksMessagesAndBytesAsThePackedCopy) {
  std::mt19937 rng(6);
  int failures = 0;
  for (int i = 0; i < 4000; ++i) {
    const int width = static_cast<int>(rng() % 40);
    const int height = static_cast<int>(rng() % 12);
    int linesize = width + static_cast<int>(rng() % 9) - 2;
    if (rng() % 10 == 0) linesize = -linesize;
    if (rng() % 20 == 0) linesize = 0;
    const std::size_t needed =
        static_cast<std::size_t>(std::abs(linesize)) * height;
    // Around the needed size: some planes are short by a few bytes.
    const std::size_t buffer = std::max<long>(
        1, static_cast<long>(needed + rng() % 8) - static_cast<long>(rng() % 5));
    const std::size_t offset = rng() % 3 == 0 ? rng() % 6 : 0;
    av::FramePtr frame =
        random_frame(width, height, linesize, buffer, offset, rng);
    if (rng() % 25 == 0) frame->data[0] = nullptr;

    Bytes copied(5, 1);
    const Status copy = decoder::copy_luma_plane(*frame, copied);
    const Result<decoder::LumaView> view = decoder::luma_plane_view(*frame);
    ASSERT_EQ(copy.has_value(), view.has_value())
        << width << "x" << height << " linesize " << linesize;
    if (!copy) {
      EXPECT_EQ(copy.error().message(), view.error().message());
      ++failures;
      continue;
    }
    EXPECT_EQ(view->width, static_cast<std::size_t>(width));
    EXPECT_EQ(view->height, static_cast<std::size_t>(height));
    EXPECT_EQ(pack(*view), copied);
  }
  EXPECT_GT(failures, 400);  // both outcomes are well covered
  EXPECT_LT(failures, 3600);
}

TEST(ReducedImageFromView, SameBytesAsReducingThePackedPlane) {
  std::mt19937 rng(7);
  for (int i = 0; i < 600; ++i) {
    std::size_t width = rng() % 700;
    std::size_t height = rng() % 400;
    if (i % 7 == 0) std::swap(width, height);
    const std::size_t stride = width + rng() % 70;
    Bytes storage(stride * height);
    for (auto& b : storage) b = static_cast<std::uint8_t>(rng());
    const decoder::LumaView view{storage.data(), width, height, stride};

    Bytes from_view(3, 9), from_packed(5, 4);
    const analysis::Dims dims =
        analysis::prepare_working_luma_view(view, from_view);
    EXPECT_EQ(analysis::prepare_working_luma(pack(view), width, height,
                                             from_packed),
              dims);
    ASSERT_EQ(from_view, from_packed) << width << "x" << height;
  }
}

TEST(FrameSnapshot, GlobalHistogramFromTheGridEqualsCountingThePlane) {
  std::mt19937 rng(9);
  for (int i = 0; i < 500; ++i) {
    const std::size_t width = i < 40 ? i % 7 : rng() % 300;
    const std::size_t height = i < 40 ? i / 7 : rng() % 200;
    Bytes plane(width * height);
    // Some planes lean on a few bins, others spread over all of them.
    const unsigned spread = i % 2 == 0 ? 256 : 48;
    for (auto& b : plane) b = static_cast<std::uint8_t>(rng() % spread);
    const analysis::CurrentFrameSnapshot snapshot =
        analysis::snapshot_of(plane, {width, height});
    EXPECT_EQ(snapshot.width, width);
    EXPECT_EQ(snapshot.height, height);
    ASSERT_EQ(snapshot.hist, simd_metrics::histogram_16(plane))
        << width << "x" << height;
    ASSERT_EQ(snapshot.grid_hist,
              simd_metrics::grid_histogram_16(plane, width, height));
  }
  // A plane longer than its dimensions (not made by the analysis) is counted
  // whole, as histogram_16 counts it.
  const Bytes longer(100, 0x80);
  EXPECT_EQ(analysis::snapshot_of(longer, {9, 9}).hist,
            simd_metrics::histogram_16(longer));
}

// Frames that drift, cut and change size, each in a padded plane.
struct PaddedFrame {
  Bytes storage;
  decoder::LumaView view;
};

std::vector<PaddedFrame> frame_sequence() {
  std::mt19937 rng(8);
  std::vector<PaddedFrame> frames;
  Bytes scene;
  const std::size_t sizes[][2] = {{320, 180}, {320, 180}, {200, 300}};
  for (int f = 0; f < 90; ++f) {
    const auto [w, h] = sizes[f / 35];
    if (f % 12 == 0 || scene.size() != w * h) {
      scene.resize(w * h);
      const unsigned base = static_cast<unsigned>(f / 12) * 70 % 200;
      for (auto& b : scene) b = static_cast<std::uint8_t>(base + rng() % 48);
    }
    const std::size_t stride = w + 32;
    PaddedFrame frame{Bytes(stride * h, 0xEE), {}};
    const std::size_t shift = static_cast<std::size_t>(f % 5);
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < w; ++x) {
        frame.storage[y * stride + x] =
            scene[y * w + (x + shift) % w] + static_cast<std::uint8_t>(rng() % 3);
      }
    }
    frame.view = {frame.storage.data(), w, h, stride};
    frames.push_back(std::move(frame));
  }
  return frames;
}

TEST(ReducedImageFromView, AnalysisMatchesThePackedPath) {
  const analysis::AnalyzeOptions options =
      analysis::AnalyzeOptions::defaults_for_input("unused");
  ASSERT_FALSE(options.native_res);
  analysis::RunState packed(options), in_place(options);
  for (const PaddedFrame& frame : frame_sequence()) {
    Bytes luma = pack(frame.view);
    ASSERT_TRUE(packed.on_frame(
        luma, decoder::FrameInfo{frame.view.width, frame.view.height}));
    ASSERT_TRUE(in_place.on_frame_view(frame.view));
  }
  EXPECT_EQ(packed.pass_decisions, in_place.pass_decisions);
  EXPECT_EQ(packed.state.prev_small, in_place.state.prev_small);
  ASSERT_EQ(packed.frame_stats.size(), in_place.frame_stats.size());
  int cuts = 0;
  for (std::size_t i = 0; i < packed.frame_stats.size(); ++i) {
    const auto& a = packed.frame_stats[i];
    const auto& b = in_place.frame_stats[i];
    EXPECT_EQ(a.frame_index, b.frame_index);
    EXPECT_EQ(a.is_cut, b.is_cut);
    EXPECT_EQ(std::memcmp(&a.score, &b.score, sizeof a.score), 0);
    EXPECT_EQ(std::memcmp(&a.hist_distance, &b.hist_distance, sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&a.grid_hist_distance, &b.grid_hist_distance,
                          sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(&a.grid_hist_median, &b.grid_hist_median,
                          sizeof(double)), 0);
    cuts += a.is_cut ? 1 : 0;
  }
  EXPECT_GE(cuts, 5);  // the sequence exercises cuts and the size change
}

namespace fs = std::filesystem;

fs::path work_dir() {
  return fs::temp_directory_path() /
         ("vantrel-luma-view-" + std::to_string(getpid()));
}

fs::path make_video(const std::string& name, const std::string& args) {
  fs::create_directories(work_dir());
  const fs::path out = work_dir() / name;
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " '" +
      out.string() + "'";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << command;
  return out;
}

TEST(DecodeLumaViews, DeliversTheFramesOfThePackedPump) {
  // 40 wide: the decoder pads rows; the 10-bit clip goes through GRAY8.
  const std::string source =
      "-f lavfi -i testsrc=size=40x24:rate=25:duration=0.8 -c:v libx264 ";
  for (const fs::path& path :
       {make_video("eight_bit.mp4", source + "-pix_fmt yuv420p -bf 3"),
        make_video("ten_bit.mkv", source + "-pix_fmt yuv420p10le")}) {
    SCOPED_TRACE(path.string());
    std::vector<Bytes> packed, in_place;
    auto first = decoder::Decoder::open(path.string(), std::nullopt);
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->decode_luma_frames(
        [&](Bytes& luma, const decoder::FrameInfo& info) -> Status {
          EXPECT_EQ(luma.size(), info.width * info.height);
          packed.push_back(luma);
          return {};
        }));
    auto second = decoder::Decoder::open(path.string(), std::nullopt);
    ASSERT_TRUE(second);
    bool padded = false;
    ASSERT_TRUE(second->decode_luma_views(
        [&](const decoder::LumaView& view) -> Status {
          padded = padded || view.stride > view.width;
          in_place.push_back(pack(view));
          return {};
        }));
    EXPECT_TRUE(padded);
    EXPECT_EQ(packed.size(), 20u);
    EXPECT_EQ(in_place, packed);

    auto stopped = decoder::Decoder::open(path.string(), std::nullopt);
    ASSERT_TRUE(stopped);
    const Status result = stopped->decode_luma_views(
        [](const decoder::LumaView&) -> Status { return fail("stop here"); });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "stop here");
  }
  fs::remove_all(work_dir());
}

}  // namespace
}  // namespace vantrel

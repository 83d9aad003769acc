// Inputs opened from a Reader: the same frames as by path whatever the
// reader's read sizes and seeking, and a reader's failure ends the open or
// the pump with its own error, without the reader being asked again.
#include "decode/decoder_internal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vantrel::decoder {
namespace {

namespace fs = std::filesystem;

// Two seconds of a test pattern, encoded with `args` into `name` once.
fs::path video(const std::string& name, const std::string& args,
               const std::string& size = "64x48") {
  const char* env = std::getenv("VANTREL_TEST_TMP");
  fs::path dir = env != nullptr ? fs::path(env) : fs::temp_directory_path();
  dir /= "reader_input_test";
  fs::create_directories(dir);
  const fs::path out = dir / name;
  if (fs::exists(out)) return out;
  const fs::path partial =
      dir / ("partial-" + std::to_string(getpid()) + "-" + name);
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
      "testsrc2=size=" + size + ":rate=25:duration=2 -c:v libx264 "
      "-pix_fmt yuv420p -g 10 " + args + " '" + partial.string() + "'";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "ffmpeg failed: " << command;
    return out;
  }
  fs::rename(partial, out);
  return out;
}

// Index at the front: reading it in order needs no seek.
fs::path front_mp4() { return video("front.mp4", "-movflags +faststart"); }
// Index at the end: the demuxer must seek to it and back.
fs::path end_mp4() { return video("end.mp4", ""); }
fs::path matroska() { return video("clip.mkv", ""); }
// Index at the end, behind more data than the reader's buffer holds.
fs::path large_end_mp4() {
  return video("large-end.mp4", "-preset ultrafast -qp 0", "960x540");
}

std::vector<std::uint8_t> bytes_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each frame's time and packed luma.
struct Frames {
  std::vector<double> times;
  std::vector<std::vector<std::uint8_t>> lumas;
  bool operator==(const Frames&) const = default;
};

Result<Frames> frames_of(Result<Decoder> decoder) {
  if (!decoder) return std::unexpected(decoder.error());
  Frames frames;
  Status pumped = decoder->decode_luma([&](const Frame& frame) -> Status {
    frames.times.push_back(frame.time);
    frames.lumas.emplace_back();
    return copy_luma_plane(frame.luma, frames.lumas.back());
  });
  if (!pumped) return std::unexpected(pumped.error());
  return frames;
}

Frames frames_by_path(const fs::path& path) {
  Result<Frames> frames = frames_of(Decoder::open(path.string(), {}));
  EXPECT_TRUE(frames) << frames.error().chain();
  return frames ? *frames : Frames{};
}

// A buffer read in pieces of at most `piece` bytes, optionally without
// seeking or without a known size; it fails at byte `fail_at`, and counts
// the calls made after its failure.
class TestReader final : public Reader {
 public:
  struct Options {
    std::size_t piece = SIZE_MAX;
    bool seekable = true;
    bool size_known = true;
    std::size_t fail_at = SIZE_MAX;
    std::size_t start = 0;  // where it stands before the first read
  };
  TestReader(std::vector<std::uint8_t> bytes, Options options)
      : bytes_(std::move(bytes)), options_(options), position_(options.start) {}

  Result<std::size_t> read(std::span<std::uint8_t> into) override {
    if (failed_) ++calls_after_failure;
    if (position_ >= options_.fail_at) {
      failed_ = true;
      return fail("the test reader broke");
    }
    const std::size_t count =
        std::min({into.size(), options_.piece, options_.fail_at - position_,
                  bytes_.size() - std::min(position_, bytes_.size())});
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(position_), count,
                into.begin());
    position_ += count;
    return count;
  }
  bool seekable() const override { return options_.seekable; }
  Status seek(std::int64_t position) override {
    EXPECT_TRUE(options_.seekable) << "seek on an unseekable reader";
    if (failed_) ++calls_after_failure;
    position_ = static_cast<std::size_t>(position);
    ++seeks;
    return {};
  }
  Result<std::optional<std::int64_t>> size() override {
    EXPECT_TRUE(options_.seekable) << "size of an unseekable reader";
    if (!options_.size_known) return std::optional<std::int64_t>();
    return static_cast<std::int64_t>(bytes_.size());
  }

  int seeks = 0;
  int calls_after_failure = 0;

 private:
  std::vector<std::uint8_t> bytes_;
  Options options_;
  std::size_t position_ = 0;
  bool failed_ = false;
};

TEST(ReaderInput, DeliversTheFramesOfThePath) {
  for (const fs::path& path : {front_mp4(), end_mp4(), matroska()}) {
    const Frames expected = frames_by_path(path);
    ASSERT_EQ(expected.times.size(), 50u) << path;
    const std::vector<std::uint8_t> bytes = bytes_of(path);

    BufferReader buffer(bytes);
    Result<Frames> from_buffer = frames_of(Decoder::open(buffer, "buffer", {}));
    ASSERT_TRUE(from_buffer) << from_buffer.error().chain();
    EXPECT_EQ(*from_buffer, expected) << path;

    // Short reads that end between boxes, no size to seek from the end by,
    // and a reader that stood elsewhere: it is read from its start.
    TestReader pieces(bytes,
                      {.piece = 4093, .size_known = false, .start = 1000});
    Result<Frames> from_pieces = frames_of(Decoder::open(pieces, "pieces", {}));
    ASSERT_TRUE(from_pieces) << from_pieces.error().chain();
    EXPECT_EQ(*from_pieces, expected) << path;
  }
}

TEST(ReaderInput, AnUnseekableReaderIsReadInOrder) {
  for (const fs::path& path : {front_mp4(), matroska()}) {
    TestReader stream(bytes_of(path), {.piece = 65536, .seekable = false});
    Result<Frames> frames = frames_of(Decoder::open(stream, "stream", {}));
    ASSERT_TRUE(frames) << frames.error().chain();
    EXPECT_EQ(*frames, frames_by_path(path)) << path;
    EXPECT_EQ(stream.seeks, 0);
  }
  // An index at the end that the buffer does not hold with the data before
  // it cannot be reached without seeking back.
  const std::vector<std::uint8_t> large = bytes_of(large_end_mp4());
  ASSERT_GT(large.size(), static_cast<std::size_t>(ReaderInput::kBufferBytes));
  TestReader stream(large, {.seekable = false});
  Result<Frames> frames = frames_of(Decoder::open(stream, "stream", {}));
  EXPECT_FALSE(frames && frames->times.size() == 50u);
  EXPECT_EQ(stream.seeks, 0);
}

TEST(ReaderInput, TheReadersFailureEndsTheOpenOrThePump) {
  const std::vector<std::uint8_t> bytes = bytes_of(front_mp4());
  struct Case {
    std::size_t fail_at;
    const char* outer;
  };
  for (const Case& c : {Case{0, "failed to open input: the input"},
                        Case{bytes.size() / 2, "failed to read input: the input"}}) {
    TestReader broken(bytes, {.piece = 8192, .fail_at = c.fail_at});
    Result<Frames> frames = frames_of(Decoder::open(broken, "the input", {}));
    ASSERT_FALSE(frames) << c.outer;
    EXPECT_EQ(frames.error().message(), c.outer);
    ASSERT_NE(frames.error().cause(), nullptr);
    EXPECT_EQ(frames.error().cause()->message(), "the test reader broke");
    EXPECT_EQ(broken.calls_after_failure, 0) << c.outer;
    EXPECT_EQ(error::VantrelError::from(frames.error()).kind, error::Kind::Io);
  }
}

TEST(BufferReader, ReadsToTheEndAndSeeksAnywhere) {
  const std::vector<std::uint8_t> bytes{1, 2, 3, 4, 5};
  BufferReader reader(bytes);
  std::vector<std::uint8_t> into(3);
  EXPECT_EQ(reader.read(into).value(), 3u);
  EXPECT_EQ(reader.read(into).value(), 2u);
  EXPECT_EQ(into[0], 4);
  EXPECT_EQ(reader.read(into).value(), 0u);
  ASSERT_TRUE(reader.seek(9));
  EXPECT_EQ(reader.read(into).value(), 0u);
  ASSERT_TRUE(reader.seek(1));
  EXPECT_EQ(reader.read(into).value(), 3u);
  EXPECT_EQ(into[0], 2);
  EXPECT_EQ(reader.size().value(), 5);
}

}  // namespace
}  // namespace vantrel::decoder

// Decoder opening, the frame pump and luma extraction, on frames built by
// hand and on small videos generated with the ffmpeg tool.
#include "decode/decoder_internal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/hwcontext.h>
}

namespace vantrel::decoder {
namespace {

namespace fs = std::filesystem;

// ---- hand-built frames ----

// A GRAY8 frame whose plane 0 is `buffer_size` bytes with the given line
// size; byte (row, col) of the picture holds row * 16 + col, padding 0xEE.
av::FramePtr gray_frame(int width, int height, int linesize,
                        std::size_t buffer_size) {
  av::FramePtr frame = av::make_frame();
  frame->format = AV_PIX_FMT_GRAY8;
  frame->width = width;
  frame->height = height;
  frame->buf[0] = av_buffer_alloc(buffer_size);
  std::fill_n(frame->buf[0]->data, buffer_size, 0xEE);
  frame->data[0] = frame->buf[0]->data;
  frame->linesize[0] = linesize;
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      const std::size_t at = static_cast<std::size_t>(row) * linesize + col;
      if (at < buffer_size) frame->data[0][at] = row * 16 + col;
    }
  }
  return frame;
}

std::vector<std::uint8_t> packed_pattern(int width, int height) {
  std::vector<std::uint8_t> plane;
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) plane.push_back(row * 16 + col);
  }
  return plane;
}

// Plane 0 of `frame` packed into `out`, as the native-resolution analysis
// packs the view the pump hands on.
Status copy_frame_luma(const AVFrame& frame, std::vector<std::uint8_t>& out) {
  Result<LumaView> view = luma_plane_view(frame);
  if (!view) return fail(view.error());
  return copy_luma_plane(*view, out);
}

// Message of `error` and of each of its causes, outermost first.
std::vector<std::string> chain_of(const Error& error) {
  std::vector<std::string> messages;
  for (const Error* e = &error; e != nullptr; e = e->cause()) {
    messages.push_back(e->message());
  }
  return messages;
}

TEST(CopyLumaPlane, DropsRowPaddingAndCopiesUnpaddedPlaneWhole) {
  std::vector<std::uint8_t> out(1000, 7);  // a larger buffer shrinks
  av::FramePtr padded = gray_frame(5, 3, 32, 96);
  ASSERT_TRUE(copy_frame_luma(*padded, out));
  EXPECT_EQ(out, packed_pattern(5, 3));

  av::FramePtr tight = gray_frame(6, 4, 6, 24);
  ASSERT_TRUE(copy_frame_luma(*tight, out));
  EXPECT_EQ(out, packed_pattern(6, 4));
}

TEST(CopyLumaPlane, PlaneInsideALargerBufferCountsFromItsStart) {
  // Plane 0 starting 10 bytes into its buffer has 10 bytes less to offer.
  av::FramePtr frame = gray_frame(4, 2, 8, 25);
  frame->data[0] += 10;
  std::vector<std::uint8_t> out;
  Status copied = copy_frame_luma(*frame, out);
  ASSERT_FALSE(copied);
  EXPECT_EQ(copied.error().message(),
            "insufficient luma data (have 15, need 16)");
  frame->data[0] -= 1;
  EXPECT_TRUE(copy_frame_luma(*frame, out));
  EXPECT_EQ(out.size(), 8u);
}

TEST(CopyLumaPlane, RejectsUnusablePlanes) {
  struct Case {
    const char* what;
    av::FramePtr frame;
    std::string message;
  };
  av::FramePtr flipped = gray_frame(4, 2, 8, 16);
  flipped->data[0] += 8;  // last row first, as a bottom-up picture
  flipped->linesize[0] = -8;
  av::FramePtr flipped_one_row = gray_frame(4, 1, 8, 8);
  flipped_one_row->linesize[0] = -8;
  av::FramePtr no_data = gray_frame(4, 2, 4, 8);
  no_data->data[0] = nullptr;
  av::FramePtr no_linesize = gray_frame(4, 2, 4, 8);
  no_linesize->linesize[0] = 0;
  av::FramePtr not_refcounted = gray_frame(4, 2, 4, 8);
  std::array<std::uint8_t, 8> foreign{};
  not_refcounted->data[0] = foreign.data();

  std::vector<Case> cases;
  cases.push_back({"negative line size", std::move(flipped),
                   "stride multiplication overflow"});
  cases.push_back({"negative line size, one row", std::move(flipped_one_row),
                   "insufficient luma data (have 8, need " +
                       std::to_string(static_cast<std::size_t>(-8)) + ")"});
  cases.push_back({"no data", std::move(no_data), "frame has no luma plane"});
  cases.push_back(
      {"line size 0", std::move(no_linesize), "frame has no luma plane"});
  cases.push_back({"stride below width", gray_frame(8, 2, 4, 64),
                   "unexpected luma stride (4) for width (8)"});
  cases.push_back({"buffer too short", gray_frame(4, 4, 4, 12),
                   "insufficient luma data (have 12, need 16)"});
  cases.push_back({"plane outside the frame's buffers",
                   std::move(not_refcounted),
                   "insufficient luma data (have 0, need 8)"});

  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> out(3, 9);
    Status copied = copy_frame_luma(*c.frame, out);
    ASSERT_FALSE(copied);
    EXPECT_EQ(copied.error().message(), c.message);

    // In the pump a plane that cannot be read is wrapped once.
    std::optional<Gray8Scaler> scaler;
    av::FramePtr gray = av::make_frame();
    Result<LumaView> luma = frame_luma(*c.frame, scaler, gray);
    ASSERT_FALSE(luma);
    EXPECT_EQ(chain_of(luma.error()),
              (std::vector<std::string>{"failed to copy luma plane",
                                        c.message}));
  }
}

TEST(IsDirectLumaFormat, ExactlyTheTwelve8BitFormatsWithLumaFirst) {
  for (AVPixelFormat format :
       {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P,
        AV_PIX_FMT_YUV410P, AV_PIX_FMT_YUV411P, AV_PIX_FMT_YUV440P,
        AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P,
        AV_PIX_FMT_GRAY8, AV_PIX_FMT_NV12, AV_PIX_FMT_NV21}) {
    EXPECT_TRUE(is_direct_luma_format(format)) << pixel_format_name(format);
  }
  for (AVPixelFormat format :
       {AV_PIX_FMT_YUVJ440P, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUVA420P,
        AV_PIX_FMT_P010LE, AV_PIX_FMT_GRAY16LE, AV_PIX_FMT_RGB24,
        AV_PIX_FMT_YUYV422, AV_PIX_FMT_NV16, AV_PIX_FMT_CUDA,
        AV_PIX_FMT_NONE}) {
    EXPECT_FALSE(is_direct_luma_format(format)) << pixel_format_name(format);
  }
}

TEST(PixelFormatName, UpperCaseFFmpegNames) {
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_YUV420P), "YUV420P");
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_YUV420P10LE), "YUV420P10LE");
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_YUVJ440P), "YUVJ440P");
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_NV12), "NV12");
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_GRAY8), "GRAY8");
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_MONOWHITE), "MONOWHITE");
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_CUDA), "CUDA");
  EXPECT_EQ(pixel_format_name(AV_PIX_FMT_NONE), "NONE");
}

TEST(ParseHwDeviceType, ExactFFmpegNamesOnly) {
  Result<AVHWDeviceType> cuda = parse_hw_device_type("cuda");
  ASSERT_TRUE(cuda);
  EXPECT_EQ(*cuda, AV_HWDEVICE_TYPE_CUDA);
  ASSERT_TRUE(parse_hw_device_type("vaapi"));
  EXPECT_EQ(*parse_hw_device_type("vaapi"), AV_HWDEVICE_TYPE_VAAPI);

  for (std::string name : {"", "nonsense", "CUDA", " cuda", "auto"}) {
    Result<AVHWDeviceType> type = parse_hw_device_type(name);
    ASSERT_FALSE(type) << name;
    EXPECT_EQ(type.error().message(), "unknown --hwdec: " + name);
    EXPECT_EQ(type.error().cause(), nullptr);
  }

  Result<AVHWDeviceType> with_nul =
      parse_hw_device_type(std::string_view("cu\0da", 5));
  ASSERT_FALSE(with_nul);
  EXPECT_EQ(with_nul.error().message(), "invalid --hwdec value");
  ASSERT_NE(with_nul.error().cause(), nullptr);
  EXPECT_NE(with_nul.error().cause()->message().find('2'), std::string::npos);
}

TEST(GetHwFormat, PicksTheChosenSurfaceFormatOrRefuses) {
  av::CodecContextPtr context(avcodec_alloc_context3(nullptr));
  const std::array<AVPixelFormat, 3> offered{AV_PIX_FMT_VAAPI,
                                             AV_PIX_FMT_YUV420P,
                                             AV_PIX_FMT_NONE};
  EXPECT_EQ(get_hw_format(context.get(), offered.data()), AV_PIX_FMT_NONE);

  HwCtx vaapi{AV_PIX_FMT_VAAPI};
  context->opaque = &vaapi;
  EXPECT_EQ(get_hw_format(context.get(), offered.data()), AV_PIX_FMT_VAAPI);
  HwCtx cuda{AV_PIX_FMT_CUDA};
  context->opaque = &cuda;
  EXPECT_EQ(get_hw_format(context.get(), offered.data()), AV_PIX_FMT_NONE);
  context->opaque = nullptr;
}

// ---- GRAY8 conversion ----

av::FramePtr yuv10_frame(int width, int height) {
  av::FramePtr frame = av::make_frame();
  frame->format = AV_PIX_FMT_YUV420P10LE;
  frame->width = width;
  frame->height = height;
  EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? height : (height + 1) / 2;
    for (int row = 0; row < rows; ++row) {
      auto* line = reinterpret_cast<std::uint16_t*>(
          frame->data[plane] + row * frame->linesize[plane]);
      const int cols = plane == 0 ? width : (width + 1) / 2;
      std::fill_n(line, cols, plane == 0 ? 600 : 512);
    }
  }
  return frame;
}

av::FramePtr cuda_frame(int width, int height) {
  av::FramePtr frame = av::make_frame();
  frame->format = AV_PIX_FMT_CUDA;
  frame->width = width;
  frame->height = height;
  return frame;
}

// The packed luma of `frame` through the pump's conversion.
Status extract_luma(const AVFrame& frame, std::optional<Gray8Scaler>& scaler,
                    av::FramePtr& gray, std::vector<std::uint8_t>& luma) {
  Result<LumaView> view = frame_luma(frame, scaler, gray);
  if (!view) return fail(view.error());
  return copy_luma_plane(*view, luma);
}

TEST(ScaleToGray8, ConvertsAtTheSameSizeAndReusesTheContextPerInput) {
  std::optional<Gray8Scaler> scaler;
  av::FramePtr gray = av::make_frame();
  std::vector<std::uint8_t> luma;

  av::FramePtr first = yuv10_frame(18, 10);
  ASSERT_TRUE(extract_luma(*first, scaler, gray, luma));
  ASSERT_EQ(luma.size(), 18u * 10u);
  EXPECT_EQ(gray->format, AV_PIX_FMT_GRAY8);
  EXPECT_EQ(gray->width, 18);
  EXPECT_EQ(gray->height, 10);
  // A flat input stays flat up to the conversion's dithering.
  const auto [low, high] = std::minmax_element(luma.begin(), luma.end());
  EXPECT_LE(*high - *low, 1);
  const SwsContext* context = scaler->context.get();
  EXPECT_EQ(scaler->input, (ScalerInput{AV_PIX_FMT_YUV420P10LE, 18, 10}));

  ASSERT_TRUE(extract_luma(*first, scaler, gray, luma));
  EXPECT_EQ(scaler->context.get(), context);

  av::FramePtr larger = yuv10_frame(34, 20);
  ASSERT_TRUE(extract_luma(*larger, scaler, gray, luma));
  EXPECT_EQ(luma.size(), 34u * 20u);
  EXPECT_EQ(gray->width, 34);
  EXPECT_EQ(scaler->input, (ScalerInput{AV_PIX_FMT_YUV420P10LE, 34, 20}));
}

TEST(ScaleToGray8, ReportsFormatsTheConversionCannotTake) {
  Result<Gray8Scaler> direct =
      create_gray8_scaler(ScalerInput{AV_PIX_FMT_CUDA, 16, 8});
  ASSERT_FALSE(direct);
  EXPECT_EQ(direct.error().message(), "failed to create GRAY8 scaler");
  ASSERT_NE(direct.error().cause(), nullptr);

  std::optional<Gray8Scaler> scaler;
  av::FramePtr gray = av::make_frame();
  std::vector<std::uint8_t> luma;
  av::FramePtr frame = cuda_frame(16, 8);
  Status extracted = extract_luma(*frame, scaler, gray, luma);
  ASSERT_FALSE(extracted);
  const std::vector<std::string> chain = chain_of(extracted.error());
  ASSERT_GE(chain.size(), 2u);
  EXPECT_EQ(chain[0], "failed to create scaler (CUDA 16x8)");
  EXPECT_EQ(chain[1], "failed to create GRAY8 scaler");
}

// ---- generated videos ----

fs::path work_dir() {
  const char* env = std::getenv("VANTREL_TEST_TMP");
  fs::path dir = env != nullptr ? fs::path(env) : fs::temp_directory_path();
  dir /= "decoder_test";
  fs::create_directories(dir);
  return dir;
}

std::string quoted(const fs::path& path) {
  std::string text(1, '\'');
  text += path.string();
  text += '\'';
  return text;
}

// Generates `name` once with `ffmpeg {args} {name}`; written under a temporary
// name first so that test processes running side by side never see half a
// file.
fs::path video(const std::string& name, const std::string& args) {
  const fs::path out = work_dir() / name;
  if (fs::exists(out)) return out;
  const fs::path partial =
      work_dir() / ("partial-" + std::to_string(getpid()) + "-" + name);
  const std::string command =
      "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " " +
      quoted(partial);
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "ffmpeg failed: " << command;
    return out;
  }
  fs::rename(partial, out);
  return out;
}

// libx264 with the same bytes on every machine: x264 otherwise picks its
// algorithms by processor, and a threaded encode varies with the threads.
constexpr const char* kX264 =
    " -c:v libx264 -threads 1 -x264-params cpu-independent=1";

std::string lavfi(const std::string& source, const std::string& size,
                  double seconds) {
  return "-f lavfi -i " + source + "=size=" + size +
         ":rate=25:duration=" + std::to_string(seconds);
}

fs::path h264_bframes() {
  return video("h264_bframes.mp4",
               lavfi("testsrc", "40x24", 1.2) +
                   kX264 + " -pix_fmt yuv420p -bf 3 -g 12 -b_strategy 0");
}

fs::path small_ts() {
  return video("small.ts", lavfi("testsrc", "32x16", 0.4) +
                               kX264 + " -pix_fmt yuv420p");
}

std::size_t probe_frame_count(const fs::path& path) {
  const std::string command =
      "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
      "stream=nb_read_frames -of csv=p=0 " +
      quoted(path);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return 0;
  std::array<char, 64> line{};
  const bool got = std::fgets(line.data(), line.size(), pipe) != nullptr;
  pclose(pipe);
  return got ? std::strtoul(line.data(), nullptr, 10) : 0;
}

struct Delivery {
  std::size_t frames = 0;
  std::vector<std::pair<std::size_t, std::size_t>> sizes;  // on each change
  std::vector<std::uint8_t> first_luma;  // packed
  bool padded = false;                   // some frame had row padding
};

Result<Delivery> decode_all(const fs::path& path,
                            const DecoderOptions& options = {}) {
  Result<Decoder> decoder = Decoder::open(path.string(), options);
  if (!decoder) return std::unexpected(decoder.error());
  Delivery delivery;
  Status pumped = decoder->decode_luma([&](const Frame& frame) -> Status {
        const LumaView& luma = frame.luma;
        EXPECT_GE(luma.stride, luma.width);
        delivery.padded = delivery.padded || luma.stride > luma.width;
        if (delivery.frames == 0) {
          EXPECT_TRUE(copy_luma_plane(luma, delivery.first_luma));
        }
        const std::pair size{luma.width, luma.height};
        if (delivery.sizes.empty() || delivery.sizes.back() != size) {
          delivery.sizes.push_back(size);
        }
        ++delivery.frames;
        return {};
      });
  if (!pumped) return std::unexpected(pumped.error());
  return delivery;
}

std::vector<std::uint8_t> read_file(const fs::path& path, std::size_t bytes) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> data(bytes);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<long>(bytes));
  data.resize(static_cast<std::size_t>(in.gcount()));
  return data;
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string open_error(const fs::path& path,
                       std::optional<std::string> hwdec = {}) {
  Result<Decoder> decoder =
      Decoder::open(path.string(), DecoderOptions{.hwdec = hwdec});
  return decoder ? std::string("(opened)") : decoder.error().message();
}

TEST(DecoderOpen, InputsThatCannotBeOpened) {
  const fs::path dir = work_dir();
  const fs::path missing = dir / "does-not-exist.mp4";
  const fs::path empty = dir / "empty.mp4";
  const fs::path text = dir / "notes.txt";
  write_file(empty, "");
  write_file(text, "just some words, not a video\n");
  for (const fs::path& path : {missing, dir, empty, text}) {
    EXPECT_EQ(open_error(path), "failed to open input: " + path.string());
  }
  Result<Decoder> with_nul = Decoder::open(std::string("a\0b.mp4", 7), {});
  ASSERT_FALSE(with_nul);
  EXPECT_EQ(with_nul.error().message(),
            "failed to open input: path contains a NUL character");
}

TEST(DecoderOpen, InputsWithoutAUsableVideoStream) {
  const fs::path audio =
      video("audio_only.wav", "-f lavfi -i sine=duration=0.2");
  EXPECT_EQ(open_error(audio), "no video stream found");

  // A video track whose codec FFmpeg does not know.
  const fs::path mkv = video("unknown_codec_src.mkv",
                             lavfi("testsrc", "32x16", 0.2) +
                                 kX264 + " -pix_fmt yuv420p");
  std::vector<std::uint8_t> data = read_file(mkv, 1 << 20);
  const std::string id = "V_MPEG4/ISO/AVC";
  auto at = std::search(data.begin(), data.end(), id.begin(), id.end());
  ASSERT_NE(at, data.end());
  std::copy_n("V_MPEG4/ISO/ZZZ", id.size(), at);
  const fs::path unknown = work_dir() / "unknown_codec.mkv";
  write_file(unknown, std::string(data.begin(), data.end()));
  EXPECT_EQ(open_error(unknown), "failed to find video decoder");

  // Uncompressed video whose header claims 7 bits per pixel.
  const fs::path avi = video("bgr24.avi", lavfi("testsrc", "16x16", 0.2) +
                                              " -c:v rawvideo -pix_fmt bgr24");
  data = read_file(avi, 1 << 20);
  const std::string strf = "strf";
  at = std::search(data.begin(), data.end(), strf.begin(), strf.end());
  ASSERT_NE(at, data.end());
  const auto bit_count = static_cast<std::size_t>(at - data.begin()) + 8 + 14;
  ASSERT_EQ(data[bit_count], 24);
  data[bit_count] = 7;
  const fs::path bad_bits = work_dir() / "bad_bit_count.avi";
  write_file(bad_bits, std::string(data.begin(), data.end()));
  EXPECT_EQ(open_error(bad_bits), "failed to open video decoder");
}

TEST(DecoderOpen, HardwareDecoderNames) {
  const fs::path clip = h264_bframes();
  EXPECT_EQ(open_error(clip, ""), "unknown --hwdec: ");
  EXPECT_EQ(open_error(clip, "nonsense"), "unknown --hwdec: nonsense");
  EXPECT_EQ(open_error(clip, std::string("cuda\0", 5)),
            "invalid --hwdec value");

  for (AVHWDeviceType type : {AV_HWDEVICE_TYPE_CUDA, AV_HWDEVICE_TYPE_VAAPI}) {
    const std::string name = av_hwdevice_get_type_name(type);
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0) >= 0) {
      av::BufferRefPtr owned(device);
      std::printf("%s works here; its failure is not checked\n",
                  name.c_str());
      continue;
    }
    Result<Decoder> decoder =
        Decoder::open(clip.string(), DecoderOptions{.hwdec = name});
    ASSERT_FALSE(decoder) << name;
    EXPECT_EQ(chain_of(decoder.error()),
              (std::vector<std::string>{
                  "failed to enable hardware decoding (--hwdec " + name + ")",
                  "failed to enable hardware decoding"}));
  }

  Result<Decoder> software = Decoder::open(clip.string(), {});
  ASSERT_TRUE(software);
  EXPECT_EQ(parts_of(*software).hw, nullptr);
}

TEST(DecodeLuma, DeliversEveryFrameTheDecoderOutputs) {
  struct Case {
    const char* what;
    fs::path path;
  };
  const std::vector<Case> cases{
      {"H.264 with B-frames", h264_bframes()},
      {"audio before video",
       video("audio_video.mkv",
             lavfi("testsrc", "32x16", 0.8) +
                 " -f lavfi -i sine=duration=0.8 -map 1:a -map 0:v" +
                 kX264 + " -pix_fmt yuv420p -c:a aac")},
      {"10-bit",
       video("ten_bit.mkv", lavfi("testsrc", "34x18", 0.8) +
                                kX264 + " -pix_fmt yuv420p10le")},
      {"full-range MJPEG",
       video("full_range.avi",
             lavfi("testsrc", "32x16", 0.8) + " -c:v mjpeg -pix_fmt yuvj420p")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Result<Delivery> delivery = decode_all(c.path);
    ASSERT_TRUE(delivery) << delivery.error().chain();
    const std::size_t expected = probe_frame_count(c.path);
    EXPECT_GT(expected, 10u);
    EXPECT_EQ(delivery->frames, expected);
    ASSERT_EQ(delivery->sizes.size(), 1u);
  }

  Result<Decoder> audio_first = Decoder::open(cases[1].path.string(), {});
  ASSERT_TRUE(audio_first);
  EXPECT_EQ(parts_of(*audio_first).video_stream_index, 1u);
  EXPECT_EQ(decode_all(cases[2].path)->sizes.front(),
            (std::pair<std::size_t, std::size_t>{34, 18}));
}

TEST(DecodeLuma, DirectLumaIsTakenAsStored) {
  // 40 wide: the decoder pads rows, so this also covers the row-by-row copy.
  const fs::path clip = h264_bframes();
  const fs::path mjpeg =
      video("full_range_40.avi",
            lavfi("testsrc", "40x24", 0.2) + " -c:v mjpeg -pix_fmt yuvj420p");
  for (const fs::path& path : {clip, mjpeg}) {
    SCOPED_TRACE(path.string());
    const fs::path raw = work_dir() / (path.filename().string() + ".yuv");
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -i " + quoted(path) +
        " -frames:v 1 -f rawvideo " + quoted(raw);
    ASSERT_EQ(std::system(command.c_str()), 0);
    Result<Delivery> delivery = decode_all(path);
    ASSERT_TRUE(delivery);
    EXPECT_TRUE(delivery->padded);
    EXPECT_EQ(delivery->first_luma, read_file(raw, 40 * 24));
  }
}

TEST(DecodeLuma, FrameSizeChangingMidStream) {
  const fs::path small = small_ts();
  const fs::path large = video("large.ts", lavfi("testsrc", "48x32", 0.4) +
                                               kX264 + " -pix_fmt yuv420p");
  const fs::path joined = work_dir() / "size_change.ts";
  ASSERT_EQ(std::system(("cat " + quoted(small) + " " + quoted(large) + " > " +
                         quoted(joined))
                            .c_str()),
            0);
  Result<Delivery> delivery = decode_all(joined);
  ASSERT_TRUE(delivery) << delivery.error().chain();
  EXPECT_EQ(delivery->frames, probe_frame_count(joined));
  EXPECT_EQ(delivery->sizes,
            (std::vector<std::pair<std::size_t, std::size_t>>{{32, 16},
                                                               {48, 32}}));
}

TEST(DecodeLuma, CallbackErrorEndsThePump) {
  const fs::path clip = h264_bframes();
  Result<Decoder> decoder = Decoder::open(clip.string(), {});
  ASSERT_TRUE(decoder);
  std::size_t calls = 0;
  const Error stop = Error::ffmpeg(AVERROR_EXIT).wrap("callback says stop");
  Status pumped = decoder->decode_luma([&](const Frame&) -> Status {
    if (++calls == 3) return fail(stop);
    return {};
  });
  ASSERT_FALSE(pumped);
  EXPECT_EQ(calls, 3u);
  EXPECT_EQ(chain_of(pumped.error()), chain_of(stop));
}

TEST(DecodeLuma, BrokenInputsEndCleanly) {
  // Uncompressed frames cut short: the decoder refuses the partial packet.
  const fs::path raw = video("raw.nut", lavfi("testsrc", "32x16", 0.4) +
                                            " -c:v rawvideo -pix_fmt yuv420p");
  std::vector<std::uint8_t> data = read_file(raw, 1 << 20);
  const fs::path truncated = work_dir() / "raw_truncated.nut";
  write_file(truncated,
             std::string(data.begin(), data.begin() + data.size() * 6 / 10));
  Result<Delivery> cut_short = decode_all(truncated);
  ASSERT_FALSE(cut_short);
  EXPECT_EQ(cut_short.error().message(), "failed to send packet to decoder");

  // A persistent read error after the video data: /proc/self/mem cannot be
  // read at offset 0, so every read fails for good.
  Result<Delivery> unreadable =
      decode_all("concat:" + small_ts().string() + "|/proc/self/mem");
  ASSERT_FALSE(unreadable);
  EXPECT_EQ(unreadable.error().message(),
            "failed to read video packets: too many consecutive read errors");
}

// Every delivered frame's packed bytes, time and duration.
struct Timed {
  std::vector<std::vector<std::uint8_t>> planes;
  std::vector<double> times;
  std::vector<double> durations;
};

Result<Timed> decode_timed(const fs::path& path, const DecoderOptions& options) {
  Result<Decoder> decoder = Decoder::open(path.string(), options);
  if (!decoder) return std::unexpected(decoder.error());
  Timed timed;
  Status pumped = decoder->decode_luma([&](const Frame& frame) -> Status {
    timed.planes.emplace_back();
    timed.times.push_back(frame.time);
    timed.durations.push_back(frame.duration);
    return copy_luma_plane(frame.luma, timed.planes.back());
  });
  if (!pumped) return std::unexpected(pumped.error());
  return timed;
}

TEST(DecodeLuma, FrameTimesFollowTheTimestampsInOutputOrder) {
  Result<Timed> timed = decode_timed(h264_bframes(), {});
  ASSERT_TRUE(timed) << timed.error().chain();
  ASSERT_EQ(timed->times.size(), 30u);
  for (std::size_t i = 0; i < timed->times.size(); ++i) {
    EXPECT_NEAR(timed->times[i], static_cast<double>(i) / 25, 1e-9) << i;
    EXPECT_NEAR(timed->durations[i], 0.04, 1e-9) << i;
  }
}

TEST(DecodeLuma, DecoderThreadsDeliverTheSameFrames) {
  const fs::path clip = video("threads.mkv", lavfi("testsrc2", "96x64", 2.0) +
                                                 kX264 + " -pix_fmt yuv420p -bf 3");
  Result<Timed> one = decode_timed(clip, DecoderOptions{.threads = 1});
  ASSERT_TRUE(one);
  for (int threads : {0, 2, 5}) {
    Result<Timed> many = decode_timed(clip, DecoderOptions{.threads = threads});
    ASSERT_TRUE(many) << threads;
    EXPECT_EQ(many->planes, one->planes) << threads;
    EXPECT_EQ(many->times, one->times) << threads;
  }
}

TEST(DecodeLuma, RejectedPacketsAreRecordedWhenSkipped) {
  // The last frame of uncompressed video cut short: the decoder refuses it.
  const fs::path raw = video("raw_skip.nut", lavfi("testsrc", "32x16", 0.4) +
                                                 " -c:v rawvideo -pix_fmt yuv420p");
  std::vector<std::uint8_t> data = read_file(raw, 1 << 20);
  const fs::path truncated = work_dir() / "raw_skip_truncated.nut";
  write_file(truncated, std::string(data.begin(), data.end() - 100));
  const std::size_t whole = probe_frame_count(raw);

  Result<Decoder> decoder =
      Decoder::open(truncated.string(),
                    DecoderOptions{.on_decode_error = OnDecodeError::skip});
  ASSERT_TRUE(decoder);
  std::size_t frames = 0;
  ASSERT_TRUE(decoder->decode_luma([&](const Frame&) -> Status {
    ++frames;
    return {};
  }));
  EXPECT_EQ(frames, whole - 1);
  ASSERT_EQ(decoder->rejected_packets().size(), 1u);
  const RejectedPacket& rejected = decoder->rejected_packets()[0];
  EXPECT_EQ(rejected.frame, whole - 1);
  EXPECT_NEAR(rejected.time, static_cast<double>(whole - 1) / 25, 1e-9);
  EXPECT_FALSE(rejected.message.empty());

  // Without skipping, the same packet ends the pump.
  Result<Timed> strict = decode_timed(truncated, {});
  ASSERT_FALSE(strict);
  EXPECT_EQ(strict.error().message(), "failed to send packet to decoder");
}

TEST(DecoderOpen, StreamInfo) {
  Result<Decoder> decoder = Decoder::open(h264_bframes().string(), {});
  ASSERT_TRUE(decoder);
  const StreamInfo info = decoder->stream_info();
  ASSERT_TRUE(info.frame_rate);
  EXPECT_EQ(info.frame_rate->num, 25);
  EXPECT_EQ(info.frame_rate->den, 1);
  ASSERT_TRUE(info.duration);
  EXPECT_NEAR(*info.duration, 1.2, 0.05);
}

}  // namespace
}  // namespace vantrel::decoder

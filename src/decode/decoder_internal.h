// The decoder's pieces below its public interface: shared by its files
// (input opening, hardware decoding, the luma of a frame, the pump) and
// reached by its tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "base/av_handles.h"
#include "decode/cfr_frames.h"
#include "decode/decoder.h"
#include "decode/reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixfmt.h>
}

namespace vantrel::decoder {

// The input a GRAY8 conversion context was made for.
struct ScalerInput {
  AVPixelFormat format;
  std::uint32_t width;
  std::uint32_t height;
  bool operator==(const ScalerInput&) const = default;
};

// A same-size conversion context to GRAY8 together with the input it was
// made for; a frame that does not match `input` is refused as an input change.
struct Gray8Scaler {
  av::SwsContextPtr context;
  ScalerInput input;
};

// A conversion context to the small rgb24 image, with the input it was
// made for.
struct SmallRgbScaler {
  av::SwsContextPtr context;
  ScalerInput input;
};

// The small rgb24 output: the conversion, the constant-rate grid, and the
// images of the current and the previous decoded frame.
struct SmallRgbOutput {
  SmallRgbOutput(const CfrGrid& grid, bool hold_initial_lead)
      : grid(grid), frames(hold_initial_lead) {}

  std::optional<SmallRgbScaler> scaler;
  av::FramePtr scaled = av::make_frame();
  CfrGrid grid;
  CfrFrames frames;
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> previous;
  std::size_t image_frame = 0;  // the delivered frame each image shows
  std::size_t previous_frame = 0;
};

// The hardware surface format chosen; the codec context's `opaque` points
// here, so it lives on the heap for as long as the codec context.
struct HwCtx {
  AVPixelFormat pix_fmt;
};

// The frames the pump reuses from one frame to the next.
struct DecodeFrameBuffers {
  av::FramePtr decoded = av::make_frame();
  av::FramePtr gray = av::make_frame();
  av::FramePtr transferred = av::make_frame();
};

// A file descriptor closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

struct AvioContextDeleter {
  void operator()(AVIOContext* context) const;
};

// FFmpeg's I/O context reading through a Reader. A failed read or seek is
// kept, and every later call fails at once without asking the reader again.
class ReaderInput {
 public:
  // Large enough that a reader which must take a lock to read takes it rarely.
  static constexpr int kBufferBytes = 1 << 20;

  explicit ReaderInput(Reader& reader);  // `reader` must outlive it
  ReaderInput(const ReaderInput&) = delete;
  ReaderInput& operator=(const ReaderInput&) = delete;

  AVIOContext* context() const { return context_.get(); }
  // The reader's first failure, if any.
  const std::optional<Error>& failure() const { return failure_; }

 private:
  static int read_packet(void* opaque, std::uint8_t* buffer, int size);
  static std::int64_t seek_packet(void* opaque, std::int64_t offset,
                                  int whence);

  Reader& reader_;
  std::int64_t position_ = 0;  // where the next read starts
  bool started_ = false;       // read from before
  std::optional<Error> failure_;
  std::unique_ptr<AVIOContext, AvioContextDeleter> context_;
};

struct Decoder::Parts {
  av::FormatContextPtr ictx;
  UniqueFd fifo;  // the read end FFmpeg reads a FIFO input through
  // The I/O of an input opened from a Reader; the format context uses it.
  std::unique_ptr<ReaderInput> reader_input;
  std::string input_name;  // the path, or what names a Reader's input
  std::size_t video_stream_index = 0;
  av::CodecContextPtr video;
  std::optional<Gray8Scaler> scaler;
  std::optional<SmallRgbOutput> small_rgb;
  std::unique_ptr<HwCtx> hw;
  OnDecodeError on_decode_error = OnDecodeError::stop;
  std::vector<RejectedPacket> rejected;
  ffmpeg_log::LogCapture* log = nullptr;  // tagged with the codec's opaque

  // Timing of the stream: its time base, the container's start time and one
  // frame's length at the average rate (for frames that report none).
  AVRational time_base{0, 1};
  double start_seconds = 0.0;
  double nominal_duration = 0.0;
  double last_time = 0.0;
  std::size_t delivered = 0;

  // Released in field order (members alone would go in reverse): the codec
  // context holds the hardware device and points at `hw`, so `hw` goes last.
  ~Parts() {
    ictx.reset();
    fifo = UniqueFd();
    reader_input.reset();
    const void* tag = video ? video->opaque : nullptr;
    video.reset();  // joins the decoder's threads, the last to log
    if (log != nullptr && tag != nullptr) log->remove_tag(tag);
    scaler.reset();
    small_rgb.reset();
    hw.reset();
  }
};

// `outer` wrapping the reader's failure when an input read through a Reader
// failed, else wrapping FFmpeg error `code`.
Error input_error(const Decoder::Parts& parts, std::string outer, int code);

// The decoder's parts, for the tests.
const Decoder::Parts& parts_of(const Decoder& decoder);

// Reads every packet to the end of the input, sends those of the video
// stream, delivers every frame; then drains the decoder.
Status pump(Decoder::Parts& parts, const FrameCallback& on_frame);

// The duration of the packet a frame came from, in the stream's time base.
inline std::int64_t packet_duration(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 2, 100)
  return frame.duration;
#else
  return frame.pkt_duration;
#endif
}

inline double seconds(std::int64_t ts, AVRational time_base) {
  return static_cast<double>(ts) * av_q2d(time_base);
}

// Consecutive failed packet reads after which the pump gives up.
inline constexpr int kMaxConsecutiveReadErrors = 1000;

Result<AVHWDeviceType> parse_hw_device_type(std::string_view name);
Result<std::unique_ptr<HwCtx>> enable_hwdec(AVCodecContext& ctx,
                                            const AVCodec& codec,
                                            AVHWDeviceType device_type);
AVPixelFormat get_hw_format(AVCodecContext* s, const AVPixelFormat* fmt);

// The luma of a decoded (or downloaded) frame: plane 0 of a direct-luma
// frame, else of its GRAY8 conversion into `gray`; a plane that cannot be
// read is an error wrapped in "failed to copy luma plane".
Result<LumaView> frame_luma(const AVFrame& frame,
                            std::optional<Gray8Scaler>& scaler,
                            av::FramePtr& gray);

bool is_direct_luma_format(AVPixelFormat format);
// Converts `decoded` to GRAY8 of the same size into `gray`.
Status scale_to_gray8(std::optional<Gray8Scaler>& scaler,
                      const AVFrame& decoded, av::FramePtr& gray);
Result<Gray8Scaler> create_gray8_scaler(const ScalerInput& input);

// The output frames of delivered frame `index`: `decoded` placed on the
// grid, and, unless it is skipped, the small rgb24 image of `pixels` (a
// software frame: `decoded` itself or its download) read in the colour space
// and range that `decoded` carries. The previous image is kept for the next.
Result<SmallRgbFrames> next_small_rgb(SmallRgbOutput& output,
                                      const AVFrame& pixels,
                                      const AVFrame& decoded, std::size_t index);

// Plane 0 of `frame` as a view, after checking that every row lies inside
// the frame's buffer.
Result<LumaView> luma_plane_view(const AVFrame& frame);
// "YUV420P" for AV_PIX_FMT_YUV420P.
std::string pixel_format_name(AVPixelFormat format);

}  // namespace vantrel::decoder

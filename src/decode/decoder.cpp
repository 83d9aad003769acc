#include "decode/decoder_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace vantrel::decoder {

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

struct Decoder::Parts {
  av::FormatContextPtr ictx;
  UniqueFd fifo;  // the read end FFmpeg reads a FIFO input through
  std::size_t video_stream_index = 0;
  av::CodecContextPtr video;
  std::optional<Gray8Scaler> scaler;
  std::unique_ptr<HwCtx> hw;
  bool skip_rejected_packets = false;
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
    const void* tag = video ? video->opaque : nullptr;
    video.reset();  // joins the decoder's threads, the last to log
    if (log != nullptr && tag != nullptr) log->remove_tag(tag);
    scaler.reset();
    hw.reset();
  }
};

namespace {

constexpr int kFifoWriterWaitMs = 10'000;

// Opening a FIFO blocks until a writer appears, and FFmpeg cannot interrupt
// that open. A FIFO input is therefore opened here without blocking, given a
// bounded time for its writer's first bytes (or its end), and handed to
// FFmpeg as an already open descriptor ("pipe:N"). Returns the URL to open:
// the path itself for anything that is not a FIFO.
Result<std::string> fifo_url(const std::string& path, UniqueFd& fifo) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
    return path;
  }
  fifo = UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fifo.get() < 0) return path;  // FFmpeg's own open reports the failure
  pollfd wait{fifo.get(), POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&wait, 1, kFifoWriterWaitMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    return fail(Error("no writer opened the FIFO within 10 seconds")
                    .wrap("failed to open input: " + path));
  }
  // From here on reads wait for the writer as they would on any pipe.
  const int flags = ::fcntl(fifo.get(), F_GETFL);
  ::fcntl(fifo.get(), F_SETFL, flags & ~O_NONBLOCK);
  return "pipe:" + std::to_string(fifo.get());
}

std::string describe(const ScalerInput& input) {
  return pixel_format_name(input.format) + " " + std::to_string(input.width) +
         "x" + std::to_string(input.height);
}

ScalerInput scaler_input_of(const AVFrame& frame) {
  return ScalerInput{static_cast<AVPixelFormat>(frame.format),
                     static_cast<std::uint32_t>(frame.width),
                     static_cast<std::uint32_t>(frame.height)};
}

// Bytes from data[0] to the end of the reference-counted buffer that holds
// it: the most plane 0 can be read without leaving memory the frame owns.
// Decoded, downloaded and converted frames are always reference-counted; a
// plane that lies in no buffer of the frame cannot be vouched for and counts
// as empty.
std::size_t plane0_available(const AVFrame& frame) {
  const auto start = reinterpret_cast<std::uintptr_t>(frame.data[0]);
  auto available_in = [start](const AVBufferRef* buffer) -> std::size_t {
    if (buffer == nullptr) return 0;
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer->data);
    const auto size = static_cast<std::size_t>(buffer->size);
    if (start < begin || start - begin >= size) return 0;
    return size - (start - begin);
  };
  for (const AVBufferRef* buffer : frame.buf) {
    if (std::size_t have = available_in(buffer); have > 0) return have;
  }
  for (int i = 0; i < frame.nb_extended_buf; ++i) {
    if (std::size_t have = available_in(frame.extended_buf[i]); have > 0) {
      return have;
    }
  }
  return 0;
}

// One conversion: refuses a frame that is not the context's input (input
// change) or a `gray` frame of another shape (output change); allocates
// `gray` on first use. Returns 0 or an FFmpeg error code.
int run_gray8(const Gray8Scaler& scaler, const AVFrame& src, AVFrame& gray) {
  if (scaler_input_of(src) != scaler.input) return AVERROR_INPUT_CHANGED;
  const ScalerInput output{AV_PIX_FMT_GRAY8, scaler.input.width,
                           scaler.input.height};
  if (gray.buf[0] == nullptr) {
    gray.format = output.format;
    gray.width = static_cast<int>(output.width);
    gray.height = static_cast<int>(output.height);
    if (int ret = av_frame_get_buffer(&gray, 32); ret < 0) return ret;
  }
  if (scaler_input_of(gray) != output) return AVERROR_OUTPUT_CHANGED;
  sws_scale(scaler.context.get(), src.data, src.linesize, 0, src.height,
            gray.data, gray.linesize);
  return 0;
}

double seconds(std::int64_t ts, AVRational time_base) {
  return static_cast<double>(ts) * av_q2d(time_base);
}

// The frame's presentation time and length in seconds.
std::pair<double, double> frame_timing(Decoder::Parts& parts,
                                       const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 2, 100)
  const std::int64_t length = frame.duration;
#else
  const std::int64_t length = frame.pkt_duration;
#endif
  const double duration = length > 0 ? seconds(length, parts.time_base)
                                      : parts.nominal_duration;
  double time = 0.0;
  if (frame.best_effort_timestamp != AV_NOPTS_VALUE) {
    time = seconds(frame.best_effort_timestamp, parts.time_base) -
           parts.start_seconds;
  } else if (parts.delivered > 0) {
    time = parts.last_time + duration;
  }
  return {time, duration};
}

// A decoding failure of one packet: recorded and dropped when the pump skips
// them (until too many come in a row), else the pump's error.
Status reject_packet(Decoder::Parts& parts, const AVPacket* packet, int code,
                     int& consecutive, const char* what) {
  if (!parts.skip_rejected_packets) return fail_ffmpeg(what, code);
  if (++consecutive == kMaxConsecutiveRejectedPackets) {
    return fail(Error::ffmpeg(code)
                    .wrap(std::to_string(consecutive) +
                          " consecutive packets rejected")
                    .wrap(what));
  }
  double time = parts.last_time;
  if (packet != nullptr) {
    const std::int64_t ts =
        packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (ts != AV_NOPTS_VALUE) {
      time = seconds(ts, parts.time_base) - parts.start_seconds;
    }
  }
  parts.rejected.push_back(
      RejectedPacket{parts.delivered, time, Error::ffmpeg(code).message()});
  return {};
}

// Drains every frame the decoder has ready and hands on the luma of each.
Status receive_frames(Decoder::Parts& parts, DecodeFrameBuffers& buffers,
                      const AVPacket* packet, int& consecutive_rejected,
                      const FrameCallback& on_frame) {
  const bool require_hw = parts.hw != nullptr;
  for (;;) {
    const int received =
        avcodec_receive_frame(parts.video.get(), buffers.decoded.get());
    if (received == AVERROR_EOF || received == AVERROR(EAGAIN)) return {};
    if (received == AVERROR_INVALIDDATA && parts.skip_rejected_packets) {
      // A threaded decoder reports a damaged packet when its frame is due.
      if (Status dropped = reject_packet(parts, packet, received,
                                         consecutive_rejected,
                                         "failed to receive frame");
          !dropped) {
        return dropped;
      }
      continue;
    }
    if (received < 0) return fail_ffmpeg("failed to receive frame", received);

    const AVFrame* frame = buffers.decoded.get();
    const bool is_hw_frame = frame->hw_frames_ctx != nullptr;
    if (require_hw && !is_hw_frame) {
      return fail("--hwdec set but decoder produced software frames");
    }
    const auto [time, duration] = frame_timing(parts, *frame);
    if (is_hw_frame) {
      av_frame_unref(buffers.transferred.get());
      if (av_hwframe_transfer_data(buffers.transferred.get(), frame, 0) < 0) {
        return fail("failed to transfer hardware frame");
      }
      frame = buffers.transferred.get();
    }
    Result<LumaView> luma = frame_luma(*frame, parts.scaler, buffers.gray);
    if (!luma) return fail(luma.error());
    parts.last_time = time;
    ++parts.delivered;
    if (Status delivered = on_frame(Frame{*luma, time, duration});
        !delivered) {
      return delivered;
    }
  }
}

// The conversion context for `input`, made anew when the cached one was made
// for another input (the output frame is then reallocated too).
Result<Gray8Scaler*> ensure_gray8_scaler(std::optional<Gray8Scaler>& scaler,
                                         av::FramePtr& gray,
                                         const ScalerInput& input) {
  if (!scaler || scaler->input != input) {
    gray = av::make_frame();
    Result<Gray8Scaler> created = create_gray8_scaler(input);
    if (!created) {
      return fail(created.error().wrap("failed to create scaler (" +
                                       describe(input) + ")"));
    }
    scaler = std::move(*created);  // frees the old context, if any
  }
  return &*scaler;
}

// Reads every packet to the end of the input, sends those of the video
// stream, delivers every frame; then drains the decoder.
Status pump(Decoder::Parts& parts, const FrameCallback& on_frame) {
  DecodeFrameBuffers buffers;
  av::PacketPtr packet = av::make_packet();

  // Read errors are skipped, but a failure that repeats without end (a
  // persistent I/O error) must not keep the pump spinning.
  int consecutive_read_errors = 0;
  int consecutive_rejected = 0;
  for (;;) {
    const int read = av_read_frame(parts.ictx.get(), packet.get());
    if (read == AVERROR_EOF) break;
    if (read < 0) {
      if (++consecutive_read_errors == kMaxConsecutiveReadErrors) {
        return fail_ffmpeg(
            "failed to read video packets: too many consecutive read errors",
            read);
      }
      continue;
    }
    consecutive_read_errors = 0;
    Status processed{};
    if (static_cast<std::size_t>(packet->stream_index) ==
        parts.video_stream_index) {
      if (int ret = avcodec_send_packet(parts.video.get(), packet.get());
          ret < 0) {
        processed = reject_packet(parts, packet.get(), ret,
                                  consecutive_rejected,
                                  "failed to send packet to decoder");
      } else {
        consecutive_rejected = 0;
        processed = receive_frames(parts, buffers, packet.get(),
                                   consecutive_rejected, on_frame);
      }
    }
    av_packet_unref(packet.get());
    if (!processed) return processed;
  }

  if (int ret = avcodec_send_packet(parts.video.get(), nullptr); ret < 0) {
    return fail_ffmpeg("failed to signal EOF to decoder", ret);
  }
  return receive_frames(parts, buffers, nullptr, consecutive_rejected,
                        on_frame);
}

}  // namespace

Decoder::Decoder(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
Decoder::Decoder(Decoder&&) noexcept = default;
Decoder& Decoder::operator=(Decoder&&) noexcept = default;
Decoder::~Decoder() = default;

std::size_t Decoder::video_stream_index() const {
  return parts_->video_stream_index;
}

bool Decoder::hw_enabled() const { return parts_->hw != nullptr; }

StreamInfo Decoder::stream_info() const {
  const AVFormatContext& input = *parts_->ictx;
  const AVStream& stream = *input.streams[parts_->video_stream_index];
  StreamInfo info;
  for (const AVRational rate : {stream.avg_frame_rate, stream.r_frame_rate}) {
    if (rate.num > 0 && rate.den > 0) {
      info.frame_rate = Rational{rate.num, rate.den};
      break;
    }
  }
  if (input.duration != AV_NOPTS_VALUE && input.duration >= 0) {
    info.duration = seconds(input.duration, AV_TIME_BASE_Q);
  }
  return info;
}

const std::vector<RejectedPacket>& Decoder::rejected_packets() const {
  return parts_->rejected;
}

Result<Decoder> Decoder::open(const std::string& path,
                              const DecoderOptions& options) {
  // FFmpeg takes the path as a C string, which would silently end at a NUL.
  if (std::size_t nul = path.find('\0'); nul != std::string::npos) {
    return fail(
        Error("NUL at byte " + std::to_string(nul))
            .wrap("failed to open input: path contains a NUL character"));
  }
  auto parts = std::make_unique<Parts>();
  parts->skip_rejected_packets = options.skip_rejected_packets;
  Result<std::string> url = fifo_url(path, parts->fifo);
  if (!url) return fail(url.error());

  AVFormatContext* input = nullptr;
  const int opened =
      avformat_open_input(&input, url->c_str(), nullptr, nullptr);
  parts->ictx.reset(input);
  if (opened < 0) return fail_ffmpeg("failed to open input: " + path, opened);
  if (int ret = avformat_find_stream_info(input, nullptr); ret < 0) {
    return fail_ffmpeg("failed to open input: " + path, ret);
  }

  const int best =
      av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (best < 0) return fail("no video stream found");
  const AVStream& stream = *input->streams[best];
  parts->video_stream_index = static_cast<std::size_t>(stream.index);
  parts->time_base = stream.time_base;
  if (input->start_time != AV_NOPTS_VALUE) {
    parts->start_seconds = seconds(input->start_time, AV_TIME_BASE_Q);
  }
  if (stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0) {
    parts->nominal_duration = av_q2d(av_inv_q(stream.avg_frame_rate));
  }

  parts->video.reset(avcodec_alloc_context3(nullptr));
  if (!parts->video) fatal_internal("avcodec_alloc_context3 failed");
  AVCodecContext& context = *parts->video;
  if (int ret = avcodec_parameters_to_context(&context, stream.codecpar);
      ret < 0) {
    return fail_ffmpeg("failed to create decoder context", ret);
  }

  const AVCodec* codec = avcodec_find_decoder(context.codec_id);
  if (codec == nullptr) return fail("failed to find video decoder");

  const std::optional<std::string>& hwdec = options.hwdec;
  if (hwdec) {
    Result<AVHWDeviceType> type = parse_hw_device_type(*hwdec);
    if (!type) return fail(type.error());
    Result<std::unique_ptr<HwCtx>> hw = enable_hwdec(context, *codec, *type);
    if (!hw) {
      return fail(hw.error().wrap(
          "failed to enable hardware decoding (--hwdec " +
          *hwdec + ")"));
    }
    parts->hw = std::move(*hw);
  }
  if (options.threads) context.thread_count = *options.threads;
  if (options.log != nullptr) {
    // The decoder's worker threads log through copies of this context, which
    // keep its opaque: that pointer tags every line of the decoder.
    if (context.opaque == nullptr) context.opaque = parts.get();
    parts->log = options.log;
    parts->log->add_tag(context.opaque);
  }

  if (av_codec_is_decoder(codec) == 0) {
    return fail_ffmpeg("failed to open video decoder",
                       AVERROR_DECODER_NOT_FOUND);
  }
  if (int ret = avcodec_open2(&context, codec, nullptr); ret != 0) {
    return fail_ffmpeg("failed to open video decoder", ret);
  }
  if (context.codec_type != AVMEDIA_TYPE_VIDEO) {
    return fail_ffmpeg("failed to open video decoder", AVERROR_INVALIDDATA);
  }
  return Decoder(std::move(parts));
}

Status Decoder::decode_luma(const FrameCallback& on_frame) {
  if (!parts_) fatal_internal("decode_luma on a moved-from Decoder");
  return pump(*parts_, on_frame);
}

Result<AVHWDeviceType> parse_hw_device_type(std::string_view name) {
  if (std::size_t nul = name.find('\0'); nul != std::string_view::npos) {
    return fail(Error("NUL at position " + std::to_string(nul))
                    .wrap("invalid --hwdec value"));
  }
  const std::string text(name);
  const AVHWDeviceType type = av_hwdevice_find_type_by_name(text.c_str());
  if (type == AV_HWDEVICE_TYPE_NONE) return fail("unknown --hwdec: " + text);
  return type;
}

Result<std::unique_ptr<HwCtx>> enable_hwdec(AVCodecContext& ctx,
                                            const AVCodec& codec,
                                            AVHWDeviceType device_type) {
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* cfg = avcodec_get_hw_config(&codec, i);
    if (cfg == nullptr) return fail("failed to enable hardware decoding");
    if ((cfg->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) == 0 ||
        cfg->device_type != device_type) {
      continue;
    }
    AVBufferRef* created = nullptr;
    if (av_hwdevice_ctx_create(&created, device_type, nullptr, nullptr, 0) <
        0) {
      continue;  // try the next configuration
    }
    av::BufferRefPtr device(created);
    ctx.hw_device_ctx = device.release();  // the codec context owns it now
    ctx.get_format = get_hw_format;
    auto hw = std::make_unique<HwCtx>(HwCtx{cfg->pix_fmt});
    ctx.opaque = hw.get();
    return hw;
  }
}

AVPixelFormat get_hw_format(AVCodecContext* s, const AVPixelFormat* fmt) {
  const auto* hw = static_cast<const HwCtx*>(s->opaque);
  if (hw == nullptr) return AV_PIX_FMT_NONE;
  for (; *fmt != AV_PIX_FMT_NONE; ++fmt) {
    if (*fmt == hw->pix_fmt) return *fmt;
  }
  return AV_PIX_FMT_NONE;
}

Result<LumaView> frame_luma(const AVFrame& frame,
                            std::optional<Gray8Scaler>& scaler,
                            av::FramePtr& gray) {
  const AVFrame* source = &frame;
  if (!is_direct_luma_format(static_cast<AVPixelFormat>(frame.format))) {
    if (Status scaled = scale_to_gray8(scaler, frame, gray); !scaled) {
      return fail(scaled.error());
    }
    source = gray.get();
  }
  Result<LumaView> view = luma_plane_view(*source);
  if (!view) return fail(view.error().wrap("failed to copy luma plane"));
  return view;
}

bool is_direct_luma_format(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUV410P:
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_YUV440P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_GRAY8:
    case AV_PIX_FMT_NV12:
    case AV_PIX_FMT_NV21:
      return true;
    default:
      return false;
  }
}

Status scale_to_gray8(std::optional<Gray8Scaler>& scaler,
                      const AVFrame& decoded, av::FramePtr& gray) {
  const ScalerInput current_input = scaler_input_of(decoded);
  Result<Gray8Scaler*> ensured =
      ensure_gray8_scaler(scaler, gray, current_input);
  if (!ensured) {
    return fail(ensured.error().wrap("scaler unexpectedly missing"));
  }

  const int first = run_gray8(**ensured, decoded, *gray);
  if (first == AVERROR_INPUT_CHANGED || first == AVERROR_OUTPUT_CHANGED) {
    gray = av::make_frame();
    Result<Gray8Scaler> remade = create_gray8_scaler(current_input);
    if (!remade) {
      return fail(remade.error().wrap(
          "failed to recreate scaler after input change (" +
          describe(current_input) + ")"));
    }
    scaler = std::move(*remade);  // frees the old context
    if (int second = run_gray8(*scaler, decoded, *gray); second < 0) {
      return fail_ffmpeg("failed to scale frame to GRAY8 after recreation",
                         second);
    }
    return {};
  }
  if (first < 0) return fail_ffmpeg("failed to scale frame to GRAY8", first);
  return {};
}

Result<Gray8Scaler> create_gray8_scaler(const ScalerInput& input) {
  const int width = static_cast<int>(input.width);
  const int height = static_cast<int>(input.height);
  av::SwsContextPtr context(sws_getContext(width, height, input.format, width,
                                           height, AV_PIX_FMT_GRAY8,
                                           SWS_FAST_BILINEAR, nullptr, nullptr,
                                           nullptr));
  if (!context) {
    return fail_ffmpeg("failed to create GRAY8 scaler", AVERROR_INVALIDDATA);
  }
  return Gray8Scaler{std::move(context), input};
}

Result<LumaView> luma_plane_view(const AVFrame& frame) {
  const auto width = static_cast<std::size_t>(frame.width);
  const auto height = static_cast<std::size_t>(frame.height);
  // A negative line size becomes a huge stride and fails the checks below.
  const auto stride = static_cast<std::size_t>(frame.linesize[0]);
  if (frame.data[0] == nullptr || frame.linesize[0] == 0) {
    return fail("frame has no luma plane");
  }
  if (stride < width) {
    return fail("unexpected luma stride (" + std::to_string(stride) +
                ") for width (" + std::to_string(width) + ")");
  }
  std::size_t span = 0;
  if (__builtin_mul_overflow(stride, height, &span)) {
    return fail("stride multiplication overflow");
  }
  const std::size_t have = plane0_available(frame);
  if (have < span) {
    return fail("insufficient luma data (have " + std::to_string(have) +
                ", need " + std::to_string(span) + ")");
  }
  return LumaView{frame.data[0], width, height, stride};
}

Status copy_luma_plane(const LumaView& view, std::vector<std::uint8_t>& out) {
  const auto [source, width, height, stride] = view;
  out.resize(width * height);  // a view's sides are frame sides, below 2^32
  const std::size_t needed = out.size();
  if (needed == 0) return {};  // nothing to copy, and no destination to copy to
  if (source == nullptr) {
    return fail("insufficient luma data for contiguous copy");
  }
  if (stride == width) {
    std::memcpy(out.data(), source, needed);
    return {};
  }
  // A view vouches for stride x height bytes; these checks guard the
  // arithmetic of the copy itself.
  for (std::size_t row = 0; row < height; ++row) {
    std::size_t start = 0;
    std::size_t end = 0;
    if (__builtin_mul_overflow(row, stride, &start)) {
      return fail("stride multiplication overflow");
    }
    if (__builtin_add_overflow(start, width, &end)) {
      return fail("stride range overflow");
    }
    std::memcpy(out.data() + row * width, source + start, end - start);
  }
  return {};
}

std::string pixel_format_name(AVPixelFormat format) {
  // FFmpeg's short names mostly equal the enum names; these do not.
  switch (format) {
    case AV_PIX_FMT_NONE: return "NONE";
    case AV_PIX_FMT_GRAY8: return "GRAY8";
    case AV_PIX_FMT_MONOWHITE: return "MONOWHITE";
    case AV_PIX_FMT_MONOBLACK: return "MONOBLACK";
    case AV_PIX_FMT_VIDEOTOOLBOX: return "VIDEOTOOLBOX";
    default: break;
  }
  const char* name = av_get_pix_fmt_name(format);
  if (name == nullptr) return "PIX_FMT_" + std::to_string(format);
  std::string text(name);
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace vantrel::decoder

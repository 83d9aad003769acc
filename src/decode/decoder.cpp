// Opening an input: the file (a FIFO without blocking), its best video
// stream and that stream's decoder, on a hardware device when asked.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decode/decoder_internal.h"

namespace vantrel::decoder {
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

// The small rgb24 output of stream `index`: its grid runs at the stream's
// guessed rate from the input's start time, which for inputs with timestamp
// discontinuities (transport streams) is the stream's own start when that
// is later; an input of one stream starts the grid at its first frame.
SmallRgbOutput small_rgb_output(AVFormatContext& input, int index) {
  AVStream& stream = *input.streams[index];
  const AVRational rate = av_guess_frame_rate(&input, &stream, nullptr);
  std::int64_t start = 0;
  if (input.start_time != AV_NOPTS_VALUE) {
    start = input.start_time;
    if ((input.iformat->flags & AVFMT_TS_DISCONT) != 0 &&
        stream.pts_wrap_bits < 64 && stream.start_time != AV_NOPTS_VALUE) {
      start = std::max(start, av_rescale_q(stream.start_time, stream.time_base,
                                           AV_TIME_BASE_Q));
    }
  }
  const CfrGrid grid{
      .time_base = {stream.time_base.num, stream.time_base.den},
      .guessed_rate = Rational{rate.num, rate.den},
      .start = av_rescale_q(start, AV_TIME_BASE_Q, stream.time_base)};
  return SmallRgbOutput(grid, input.nb_streams == 1);
}

}  // namespace

Decoder::Decoder(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
Decoder::Decoder(Decoder&&) noexcept = default;
Decoder& Decoder::operator=(Decoder&&) noexcept = default;
Decoder::~Decoder() = default;

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

SmallRgbFrames Decoder::small_rgb_end() const {
  if (!parts_->small_rgb) fatal_internal("small_rgb_end without small_rgb");
  const SmallRgbOutput& output = *parts_->small_rgb;
  return SmallRgbFrames{.previous = {},
                        .previous_frame = 0,
                        .previous_copies = 0,
                        .image = output.image,
                        .frame = output.image_frame,
                        .copies = static_cast<std::size_t>(
                            output.frames.end_copies())};
}

const std::vector<RejectedPacket>& Decoder::rejected_packets() const {
  return parts_->rejected;
}

const Decoder::Parts& parts_of(const Decoder& decoder) {
  return *decoder.parts_;
}

Error input_error(const Decoder::Parts& parts, std::string outer, int code) {
  if (parts.reader_input && parts.reader_input->failure()) {
    return parts.reader_input->failure()->wrap(std::move(outer));
  }
  return Error::ffmpeg(code).wrap(std::move(outer));
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
  parts->input_name = path;
  Result<std::string> url = fifo_url(path, parts->fifo);
  if (!url) return fail(url.error());
  return open_input(std::move(parts), *url, options);
}

Result<Decoder> Decoder::open(Reader& reader, const std::string& name,
                              const DecoderOptions& options) {
  auto parts = std::make_unique<Parts>();
  parts->input_name = name;
  parts->reader_input = std::make_unique<ReaderInput>(reader);
  return open_input(std::move(parts), "", options);
}

Result<Decoder> Decoder::open_input(std::unique_ptr<Parts> parts,
                                    const std::string& url,
                                    const DecoderOptions& options) {
  parts->on_decode_error = options.on_decode_error;
  AVFormatContext* input = avformat_alloc_context();
  if (input == nullptr) fatal_internal("avformat_alloc_context failed");
  // With its own I/O context set, the format context leaves it open.
  if (parts->reader_input) input->pb = parts->reader_input->context();
  const int opened =
      avformat_open_input(&input, url.c_str(), nullptr, nullptr);
  parts->ictx.reset(input);  // null after a failed open, which frees it
  const std::string failed_open = "failed to open input: " + parts->input_name;
  if (opened < 0) return fail(input_error(*parts, failed_open, opened));
  if (int ret = avformat_find_stream_info(input, nullptr); ret < 0) {
    return fail(input_error(*parts, failed_open, ret));
  }
  // A reader that failed while the streams were probed fails the open even
  // where FFmpeg went on with what it had read.
  if (parts->reader_input && parts->reader_input->failure()) {
    return fail(parts->reader_input->failure()->wrap(failed_open));
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
  if (options.small_rgb) {
    parts->small_rgb.emplace(small_rgb_output(*input, best));
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

  if (int ret = avcodec_open2(&context, codec, nullptr); ret != 0) {
    return fail_ffmpeg("failed to open video decoder", ret);
  }
  if (context.codec_type != AVMEDIA_TYPE_VIDEO) {
    return fail_ffmpeg("failed to open video decoder", AVERROR_INVALIDDATA);
  }
  return Decoder(std::move(parts));
}

}  // namespace vantrel::decoder

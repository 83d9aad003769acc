// The luma plane of a decoded frame: plane 0 in place for the formats whose
// plane 0 is luma, else plane 0 of a GRAY8 conversion, whose context is kept
// from frame to frame while the input stays the same.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "decode/decoder_internal.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace vantrel::decoder {
namespace {

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

}  // namespace

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
  Result<Gray8Scaler*> ensured =
      ensure_gray8_scaler(scaler, gray, scaler_input_of(decoded));
  if (!ensured) return fail(ensured.error());
  if (int ret = run_gray8(**ensured, decoded, *gray); ret < 0) {
    return fail_ffmpeg("failed to scale frame to GRAY8", ret);
  }
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

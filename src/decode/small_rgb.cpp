// The small rgb24 image of a decoded frame: the whole picture scaled to
// 48x27 by one bicubic conversion context with the frame's own colour space
// and range, byte for byte what the ffmpeg command's scale filter makes of
// it (`-s 48x27 -pix_fmt rgb24`).
#include <cstring>
#include <string>
#include <utility>

#include "decode/decoder_internal.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace vantrel::decoder {
namespace {

ScalerInput scaler_input_of(const AVFrame& frame) {
  return ScalerInput{static_cast<AVPixelFormat>(frame.format),
                     static_cast<std::uint32_t>(frame.width),
                     static_cast<std::uint32_t>(frame.height)};
}

// The context the scale filter configures: default bicubic, the frame's
// range when tagged, MPEG-2 chroma siting for yuv420p.
Result<SmallRgbScaler> create_small_rgb_scaler(const ScalerInput& input,
                                               AVColorRange range) {
  av::SwsContextPtr context(sws_alloc_context());
  if (!context) fatal_internal("sws_alloc_context failed");
  SwsContext* s = context.get();
  av_opt_set_int(s, "srcw", input.width, 0);
  av_opt_set_int(s, "srch", input.height, 0);
  av_opt_set_int(s, "src_format", input.format, 0);
  av_opt_set_int(s, "dstw", kSmallRgbWidth, 0);
  av_opt_set_int(s, "dsth", kSmallRgbHeight, 0);
  av_opt_set_int(s, "dst_format", AV_PIX_FMT_RGB24, 0);
  av_opt_set_int(s, "sws_flags", SWS_BICUBIC, 0);
  if (range != AVCOL_RANGE_UNSPECIFIED) {
    av_opt_set_int(s, "src_range", range == AVCOL_RANGE_JPEG, 0);
  }
  if (input.format == AV_PIX_FMT_YUV420P) {
    av_opt_set_int(s, "src_v_chr_pos", 128, 0);
  }
  if (int ret = sws_init_context(s, nullptr, nullptr); ret < 0) {
    return fail_ffmpeg("failed to create rgb24 scaler (" +
                           pixel_format_name(input.format) + " " +
                           std::to_string(input.width) + "x" +
                           std::to_string(input.height) + ")",
                       ret);
  }
  return SmallRgbScaler{std::move(context), input};
}

// The colour space the conversion reads `tags` in: its matrix (BT.601 when
// unknown or not a YCbCr matrix) and its range when tagged.
void set_colour_details(SwsContext& context, const AVFrame& tags) {
  int* inv_table = nullptr;
  int* table = nullptr;
  int src_full = 0;
  int dst_full = 0;
  int brightness = 0;
  int contrast = 0;
  int saturation = 0;
  sws_getColorspaceDetails(&context, &inv_table, &src_full, &table, &dst_full,
                           &brightness, &contrast, &saturation);
  int space = tags.colorspace;
  if (space < 1 || space > 10 || space == 8) space = AVCOL_SPC_BT470BG;
  const int* coefficients = sws_getCoefficients(space);
  if (tags.color_range != AVCOL_RANGE_UNSPECIFIED) {
    src_full = tags.color_range == AVCOL_RANGE_JPEG;
  }
  sws_setColorspaceDetails(&context, coefficients, src_full, coefficients,
                           dst_full, brightness, contrast, saturation);
}

Status scale_small_rgb(SmallRgbOutput& output, const AVFrame& pixels,
                       const AVFrame& tags) {
  const ScalerInput input = scaler_input_of(pixels);
  if (!output.scaler || output.scaler->input != input) {
    Result<SmallRgbScaler> created = create_small_rgb_scaler(
        input, static_cast<AVColorRange>(tags.color_range));
    if (!created) return fail(created.error());
    output.scaler = std::move(*created);
  }
  AVFrame& scaled = *output.scaled;
  if (scaled.buf[0] == nullptr) {
    scaled.format = AV_PIX_FMT_RGB24;
    scaled.width = kSmallRgbWidth;
    scaled.height = kSmallRgbHeight;
    if (int ret = av_frame_get_buffer(&scaled, 0); ret < 0) {
      return fail_ffmpeg("failed to allocate rgb24 frame", ret);
    }
  }
  SwsContext& context = *output.scaler->context;
  set_colour_details(context, tags);
  if (int ret = sws_scale_frame(&context, &scaled, &pixels); ret < 0) {
    return fail_ffmpeg("failed to scale frame to rgb24", ret);
  }
  constexpr std::size_t row = kSmallRgbWidth * 3;
  output.image.resize(kSmallRgbBytes);
  for (std::size_t y = 0; y < kSmallRgbHeight; ++y) {
    std::memcpy(output.image.data() + y * row,
                scaled.data[0] + y * static_cast<std::size_t>(scaled.linesize[0]),
                row);
  }
  return {};
}

// The frame's grid position: its best-effort timestamp, else its packet's
// decoding timestamp, else unknown.
std::optional<double> grid_position(const CfrGrid& grid, const AVFrame& frame) {
  std::int64_t ts = frame.best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE) ts = frame.pkt_dts;
  if (ts == AV_NOPTS_VALUE) return std::nullopt;
  return grid.position(ts);
}

}  // namespace

Result<SmallRgbFrames> next_small_rgb(SmallRgbOutput& output,
                                      const AVFrame& pixels,
                                      const AVFrame& decoded, std::size_t index) {
  const CfrStep step = output.frames.next(
      grid_position(output.grid, decoded),
      output.grid.length(packet_duration(decoded)));
  if (step.skipped) return SmallRgbFrames{{}, 0, 0, {}, index, 0};
  output.previous.swap(output.image);
  output.previous_frame = output.image_frame;
  output.image_frame = index;
  if (Status scaled = scale_small_rgb(output, pixels, decoded); !scaled) {
    return fail(scaled.error());
  }
  return SmallRgbFrames{
      .previous = output.previous,
      .previous_frame = output.previous_frame,
      .previous_copies = static_cast<std::size_t>(step.previous_copies),
      .image = output.image,
      .frame = index,
      .copies = static_cast<std::size_t>(step.copies - step.previous_copies)};
}

}  // namespace vantrel::decoder

// The decoder's pieces below its public interface, for its tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/av_handles.h"
#include "decode/decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
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

// Plane 0 of `frame` as a view, after checking that every row lies inside
// the frame's buffer.
Result<LumaView> luma_plane_view(const AVFrame& frame);
// "YUV420P" for AV_PIX_FMT_YUV420P.
std::string pixel_format_name(AVPixelFormat format);

}  // namespace vantrel::decoder

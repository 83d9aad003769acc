// Opening a video input (optionally with a hardware decoder) and the frame
// pump that hands every decoded frame on as a tightly packed 8-bit luma plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "av_handles.h"
#include "error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace vantrel::decoder {

struct FrameInfo {
  std::size_t width;
  std::size_t height;
};

// Key of the cached GRAY8 conversion context.
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

// Called once per delivered frame with the pump's luma buffer (which the
// callback may swap with a buffer of its own) and the plane's size.
using FrameCallback =
    std::function<Status(std::vector<std::uint8_t>& luma, const FrameInfo&)>;

// Plane 0 of a frame in place: `height` rows of `width` bytes, row r at
// data + r * stride. Borrowed from the frame: valid only during the callback.
struct LumaView {
  const std::uint8_t* data;
  std::size_t width;
  std::size_t height;
  std::size_t stride;
};
using LumaViewCallback = std::function<Status(const LumaView&)>;

class Decoder {
 public:
  // `path` is UTF-8 text used as a file path.
  static Result<Decoder> open(const std::string& path,
                              std::optional<std::string_view> hwdec);

  Decoder(Decoder&&) noexcept;
  Decoder& operator=(Decoder&&) noexcept;
  ~Decoder();

  // Runs to the end of the input; returns the first error.
  Status decode_luma_frames(const FrameCallback& on_frame);
  // The same pump for a callback that only samples the plane (the reduced
  // image): each frame's plane is checked exactly as copy_luma_plane checks
  // it, with the same errors, but handed on in place instead of packed, which
  // saves a full-resolution copy per frame.
  Status decode_luma_views(const LumaViewCallback& on_frame);

  std::size_t video_stream_index() const;
  bool hw_enabled() const;

  struct Parts;  // the owned FFmpeg objects, released in a fixed order

 private:
  explicit Decoder(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

// The frames the pump reuses for one decode_luma_frames call.
struct DecodeFrameBuffers {
  av::FramePtr decoded = av::make_frame();
  av::FramePtr gray = av::make_frame();
  av::FramePtr transferred = av::make_frame();
  std::vector<std::uint8_t> luma;
};

// Consecutive failed packet reads after which the pump gives up.
inline constexpr int kMaxConsecutiveReadErrors = 1000;

Result<AVHWDeviceType> parse_hw_device_type(std::string_view name);
Result<std::unique_ptr<HwCtx>> enable_hwdec(AVCodecContext& ctx,
                                            const AVCodec& codec,
                                            AVHWDeviceType device_type);
AVPixelFormat get_hw_format(AVCodecContext* s, const AVPixelFormat* fmt);

// Drains every frame the decoder has ready and hands each to `on_frame`.
Status receive_and_process_frames(AVCodecContext& context,
                                  std::optional<Gray8Scaler>& scaler,
                                  std::optional<ScalerInput>& scaler_input,
                                  DecodeFrameBuffers& buffers, bool require_hw,
                                  const FrameCallback& on_frame);

// Step 5 of the pump: plane 0 of a direct-luma frame, else of its GRAY8
// conversion, packed into `luma`; a copy failure is wrapped in
// "failed to copy luma plane".
Status extract_luma(const AVFrame& frame, std::optional<Gray8Scaler>& scaler,
                    std::optional<ScalerInput>& scaler_input,
                    av::FramePtr& gray, std::vector<std::uint8_t>& luma);

bool is_direct_luma_format(AVPixelFormat format);
// Converts `decoded` to GRAY8 of the same size into `gray`.
Status scale_to_gray8(std::optional<Gray8Scaler>& scaler,
                      std::optional<ScalerInput>& scaler_input,
                      const AVFrame& decoded, av::FramePtr& gray);
Result<Gray8Scaler*> ensure_gray8_scaler(
    std::optional<Gray8Scaler>& scaler,
    std::optional<ScalerInput>& scaler_input, av::FramePtr& gray,
    const ScalerInput& current_input);
Result<Gray8Scaler> create_gray8_scaler(const ScalerInput& input);

// Copies plane 0 of `frame` into `out` without row padding.
Status copy_luma_plane(const AVFrame& frame, std::vector<std::uint8_t>& out);
// The checks of copy_luma_plane, with its messages; on success every row of
// the view lies inside the frame's buffer.
Result<LumaView> luma_plane_view(const AVFrame& frame);
// "YUV420P" for AV_PIX_FMT_YUV420P.
std::string pixel_format_name(AVPixelFormat format);

}  // namespace vantrel::decoder

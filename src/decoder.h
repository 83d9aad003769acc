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

// The hardware surface format chosen; the codec context's `opaque` points
// here, so it lives on the heap for as long as the codec context.
struct HwCtx {
  AVPixelFormat pix_fmt;
};

// Called once per delivered frame with the pump's luma buffer (which the
// callback may swap with a buffer of its own) and the plane's size.
using FrameCallback =
    std::function<Status(std::vector<std::uint8_t>& luma, const FrameInfo&)>;

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

  std::size_t video_stream_index() const;
  bool hw_enabled() const;

  struct Parts;  // the owned FFmpeg objects, released in a fixed order

 private:
  explicit Decoder(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

Result<AVHWDeviceType> parse_hw_device_type(std::string_view name);
AVPixelFormat get_hw_format(AVCodecContext* s, const AVPixelFormat* fmt);
bool is_direct_luma_format(AVPixelFormat format);
// Copies plane 0 of `frame` into `out` without row padding.
Status copy_luma_plane(const AVFrame& frame, std::vector<std::uint8_t>& out);
// "YUV420P" for AV_PIX_FMT_YUV420P.
std::string pixel_format_name(AVPixelFormat format);

}  // namespace vantrel::decoder

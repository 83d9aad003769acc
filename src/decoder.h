// Opening a video input (optionally with a hardware decoder) and the frame
// pump that hands every decoded frame on as a read-only view of its luma.
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

namespace vantrel::decoder {

// The luma plane of a frame in place: `height` rows of `width` bytes, row r
// at data + r * stride, with stride >= width and stride * height bytes
// readable behind `data`. Borrowed from the decoder: valid only during the
// callback it is handed to.
struct LumaView {
  const std::uint8_t* data;
  std::size_t width;
  std::size_t height;
  std::size_t stride;
};

// Called once per delivered frame, in decoder output order; an error ends
// the pump and is returned by it.
using LumaCallback = std::function<Status(const LumaView&)>;

class Decoder {
 public:
  // `path` is UTF-8 text used as a file path.
  static Result<Decoder> open(const std::string& path,
                              std::optional<std::string_view> hwdec);

  Decoder(Decoder&&) noexcept;
  Decoder& operator=(Decoder&&) noexcept;
  ~Decoder();

  // Runs to the end of the input; returns the first error. A frame whose
  // luma plane cannot be read fails with "failed to copy luma plane".
  Status decode_luma(const LumaCallback& on_frame);

  std::size_t video_stream_index() const;
  bool hw_enabled() const;

  struct Parts;  // the owned FFmpeg objects, released in a fixed order

 private:
  explicit Decoder(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

// Packs the viewed plane into `out` (width x height bytes, no row padding).
Status copy_luma_plane(const LumaView& view, std::vector<std::uint8_t>& out);

}  // namespace vantrel::decoder

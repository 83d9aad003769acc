// Opening a video input (optionally with a hardware decoder) and the frame
// pump that hands every decoded frame on as a read-only view of its luma.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/ffmpeg_log.h"
#include "decode/reader.h"

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

// The small rgb24 images the decode makes when asked, and how many frames
// of a constant-rate output each decoded frame becomes.
inline constexpr std::size_t kSmallRgbWidth = 48;
inline constexpr std::size_t kSmallRgbHeight = 27;
inline constexpr std::size_t kSmallRgbBytes =
    kSmallRgbWidth * kSmallRgbHeight * 3;

// One decoded frame's output frames: `previous_copies` of `previous` (the
// image of the decoded frame before it), then `copies` of `image`. Both
// views hold kSmallRgbBytes (rows of rgb24 pixels, no padding) and are valid
// only during the callback; each comes with the frame it shows, counted in
// delivered frames.
struct SmallRgbFrames {
  std::span<const std::uint8_t> previous;
  std::size_t previous_frame;
  std::size_t previous_copies;
  std::span<const std::uint8_t> image;
  std::size_t frame;
  std::size_t copies;
};

// One delivered frame.
struct Frame {
  LumaView luma;
  // Seconds from the start of the input: the presentation timestamp in the
  // stream's time base less the container's start time; a frame without a
  // timestamp follows the previous one by one frame duration.
  double time;
  double duration;  // seconds, 0 when unknown
  // With DecoderOptions::small_rgb.
  std::optional<SmallRgbFrames> small_rgb;
};

// Called once per delivered frame, in decoder output order; an error ends
// the pump and is returned by it.
using FrameCallback = std::function<Status(const Frame&)>;

// What a packet the decoder rejects (a damaged packet) does: end the pump
// with its error, or be recorded and dropped (the pump still fails after
// kMaxConsecutiveRejectedPackets in a row).
enum class OnDecodeError { stop, skip };

struct DecoderOptions {
  std::optional<std::string> hwdec = std::nullopt;  // a device type name
  std::optional<int> threads = std::nullopt;  // 0: automatic; unset: FFmpeg's default
  OnDecodeError on_decode_error = OnDecodeError::stop;
  // Receives the FFmpeg log lines of the decoder's contexts, when set.
  ffmpeg_log::LogCapture* log = nullptr;
  // Also scale every frame, whole, to a 48x27 rgb24 image and place it on
  // the constant-rate output grid of the stream's guessed frame rate (as the
  // ffmpeg command writing raw rgb24 frames does).
  bool small_rgb = false;
};

inline constexpr int kMaxConsecutiveRejectedPackets = 100;

struct RejectedPacket {
  std::size_t frame;  // frames delivered before it
  double time;        // its timestamp, else the last frame's time
  std::string message;
};

struct Rational {
  std::int64_t num;
  std::int64_t den;
};

struct StreamInfo {
  std::optional<Rational> frame_rate;  // the stream's average, if known
  std::optional<double> duration;      // the container's, in seconds
};

class Decoder {
 public:
  // `path` is used as a file path (UTF-8 text or the file system's bytes).
  static Result<Decoder> open(const std::string& path,
                              const DecoderOptions& options);
  // Opens the input whose bytes `reader` gives, probing its format as for a
  // file; `reader` must outlive the Decoder, `name` names the input in
  // messages. A failure of the reader ends the open or the pump with an error
  // that wraps it: "failed to open input: NAME" or "failed to read input: NAME".
  static Result<Decoder> open(Reader& reader, const std::string& name,
                              const DecoderOptions& options);

  Decoder(Decoder&&) noexcept;
  Decoder& operator=(Decoder&&) noexcept;
  ~Decoder();

  // Runs to the end of the input; returns the first error. A frame whose
  // luma plane cannot be read fails with "failed to copy luma plane".
  Status decode_luma(const FrameCallback& on_frame);

  StreamInfo stream_info() const;
  // With DecoderOptions::small_rgb, after decode_luma: the output frames
  // that end the stream (copies of the last frame's image).
  SmallRgbFrames small_rgb_end() const;
  // Packets dropped under OnDecodeError::skip, in input order.
  const std::vector<RejectedPacket>& rejected_packets() const;

  struct Parts;  // the owned FFmpeg objects, released in a fixed order

 private:
  friend const Parts& parts_of(const Decoder& decoder);  // decoder_internal.h
  // Opens `url` (with the parts' reader input, if any) and its decoder.
  static Result<Decoder> open_input(std::unique_ptr<Parts> parts,
                                    const std::string& url,
                                    const DecoderOptions& options);
  explicit Decoder(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

// Packs the viewed plane into `out` (width x height bytes, no row padding).
Status copy_luma_plane(const LumaView& view, std::vector<std::uint8_t>& out);

}  // namespace vantrel::decoder

// Constant-frame-rate output: which output frames each decoded frame yields
// when the frames are placed on a grid of one output frame per 1 / rate
// seconds, gaps filled with the previous frame and early frames dropped.
// This is the rule the ffmpeg command (5.1, vsync cfr / vscfr) applies when
// it writes a raw video stream, kept exactly, floating point included.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "decode/decoder.h"

namespace vantrel::decoder {

// The grid's clock: stream timestamps into output-frame units.
struct CfrGrid {
  Rational time_base;  // the stream's
  // The stream's guessed rate; without one the output runs at 25 frames a
  // second and a frame without a packet duration has no length.
  std::optional<Rational> guessed_rate;
  std::int64_t start;  // the input's start time, in the stream's time base

  Rational output_rate() const;

  // The grid position of timestamp `pts`: rescaled with a few extra bits
  // of precision, nudged off exact midpoints by 2^-17 away from zero.
  double position(std::int64_t pts) const;
  // The length of a frame whose packet lasts `packet_duration` (stream
  // units), in whole output frames; else one output frame (as a quotient
  // of rates, not always exactly 1).
  double length(std::int64_t packet_duration) const;
};

// What one decoded frame yields: `previous_copies` of the frame before it,
// then `copies - previous_copies` of itself. A frame `skipped` for an
// excessive gap yields nothing and does not become the previous frame.
struct CfrStep {
  std::int64_t previous_copies = 0;
  std::int64_t copies = 0;
  bool skipped = false;
};

class CfrFrames {
 public:
  // `hold_initial_lead`: a first frame that starts half a frame or more
  // into the grid moves the grid to it instead of being repeated (the rule
  // for inputs that hold a single stream).
  explicit CfrFrames(bool hold_initial_lead)
      : hold_initial_lead_(hold_initial_lead) {}

  // The next decoded frame at grid `position` (unset: unknown, taken as one
  // frame after the previous one) lasting `length` output frames.
  CfrStep next(std::optional<double> position, double length);
  // Copies of the last frame that end the output: the median of the last
  // three frames' previous-frame copies (none when excessive).
  std::int64_t end_copies() const;

 private:
  bool hold_initial_lead_;
  std::int64_t next_out_ = 0;   // the next output frame's grid position
  std::int64_t emitted_ = 0;    // output frames so far
  bool has_previous_ = false;   // a frame has become the previous one
  double last_position_ = 0.0;  // for a frame without a timestamp
  std::array<std::int64_t, 3> recent_previous_copies_{};
};

// More output frames than this from one decoded frame skip it.
inline constexpr std::int64_t kCfrMaxCopies = 3600 * 30 * 30;

}  // namespace vantrel::decoder

#include "decode/cfr_frames.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/mathematics.h>
}

namespace vantrel::decoder {
namespace {

AVRational av_rational(Rational value) {
  return AVRational{static_cast<int>(value.num), static_cast<int>(value.den)};
}

bool is_valid(const std::optional<Rational>& rate) {
  return rate && rate->num > 0 && rate->den > 0;
}

}  // namespace

Rational CfrGrid::output_rate() const {
  return is_valid(guessed_rate) ? *guessed_rate : Rational{25, 1};
}

double CfrGrid::position(std::int64_t pts) const {
  const Rational rate = output_rate();
  AVRational grid{static_cast<int>(rate.den), static_cast<int>(rate.num)};
  const int extra_bits = av_clip(29 - av_log2(static_cast<unsigned>(grid.den)), 0, 16);
  grid.den <<= extra_bits;
  // A timestamp further from the start than int64 reaches (a damaged or
  // hostile stream's) stays as far as it reaches.
  std::int64_t since_start = 0;
  if (__builtin_sub_overflow(pts, start, &since_start)) {
    since_start = pts < start ? INT64_MIN + 1 : INT64_MAX;
  }
  double position = static_cast<double>(
      av_rescale_q(since_start, av_rational(time_base), grid));
  position /= 1 << extra_bits;
  // Zero counts as negative here, as in the rule kept.
  position += (position > 0 ? 1 : -1) * 1.0 / (1 << 17);
  return position;
}

double CfrGrid::length(std::int64_t packet_duration) const {
  const AVRational rate = av_rational(output_rate());
  const AVRational grid = av_inv_q(rate);
  // Rounded as a float, as the rule kept does.
  const long frames = std::lrintf(static_cast<float>(
      static_cast<double>(packet_duration) * av_q2d(av_rational(time_base)) /
      av_q2d(grid)));
  if (frames > 0) return static_cast<double>(frames);
  if (!is_valid(guessed_rate)) return 0.0;
  return 1 / (av_q2d(rate) * av_q2d(grid));
}

CfrStep CfrFrames::next(std::optional<double> position, double length) {
  const double sync = position ? *position
                      : has_previous_ ? last_position_ + 1
                                      : 0.0;
  last_position_ = sync;
  double delta0 = sync - static_cast<double>(next_out_);
  double delta = delta0 + length;
  // A frame that starts before the next output slot but reaches into it is
  // taken as starting at the slot.
  if (delta0 < 0 && delta > 0) delta0 = 0;
  if (hold_initial_lead_ && emitted_ == 0 && delta0 >= 0.5) {
    delta = length;
    delta0 = 0;
    next_out_ = std::llrint(sync);
  }
  std::int64_t copies = 1;
  std::int64_t previous_copies = 0;
  // Counts past twice the most a frame yields are excessive all the same:
  // bounded so, they convert to integers without overflowing.
  constexpr double kExcessive = 2.0 * kCfrMaxCopies;
  if (delta < -1.1) {
    copies = 0;
  } else if (delta > 1.1) {
    copies = std::llrintf(static_cast<float>(std::min(delta, kExcessive)));
    if (delta0 > 1.1) {
      previous_copies = std::llrintf(
          static_cast<float>(std::min(delta0, kExcessive) - 0.6));
    }
  }
  previous_copies = std::min(previous_copies, copies);
  recent_previous_copies_ = {previous_copies, recent_previous_copies_[0],
                             recent_previous_copies_[1]};
  if (copies > kCfrMaxCopies) return CfrStep{.skipped = true};
  // Before any frame there is no previous one: the frame fills the gap.
  if (!has_previous_) previous_copies = 0;
  has_previous_ = true;
  next_out_ += copies;
  emitted_ += copies;
  return CfrStep{.previous_copies = previous_copies, .copies = copies};
}

std::int64_t CfrFrames::end_copies() const {
  if (!has_previous_) return 0;
  std::array<std::int64_t, 3> recent = recent_previous_copies_;
  std::sort(recent.begin(), recent.end());
  return recent[1] > kCfrMaxCopies ? 0 : recent[1];
}

}  // namespace vantrel::decoder

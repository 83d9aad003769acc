// The constant-frame-rate reader on arbitrary streams: any time base,
// guessed rate and start, frames with or without timestamps and any packet
// durations. Whatever the timestamps, every step yields a bounded number
// of output frames, each showing the frame before or the frame itself, so
// that the output shows existing input frames in their order.
#include <cstdint>
#include <optional>

#include "decode/cfr_frames.h"
#include "fuzz_common.h"

namespace {

using vantrel::fuzz::require;
using namespace vantrel::decoder;

Rational consume_rational(FuzzedDataProvider& data) {
  return Rational{data.ConsumeIntegral<int>(), data.ConsumeIntegral<int>()};
}

Rational consume_time_base(FuzzedDataProvider& data) {
  // What a demuxer gives: positive, else the decoder does not open.
  return Rational{data.ConsumeIntegralInRange<int>(1, INT32_MAX),
                  data.ConsumeIntegralInRange<int>(1, INT32_MAX)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  CfrGrid grid{.time_base = consume_time_base(data),
               .guessed_rate = std::nullopt,
               .start = data.ConsumeIntegral<std::int64_t>()};
  if (data.ConsumeBool()) grid.guessed_rate = consume_rational(data);
  CfrFrames frames(data.ConsumeBool());
  bool has_previous = false;
  while (data.remaining_bytes() > 0) {
    std::optional<double> position;
    if (data.ConsumeBool()) {  // a timestamp (INT64_MIN stands for none)
      position = grid.position(
          data.ConsumeIntegralInRange(INT64_MIN + 1, INT64_MAX));
    }
    const double length = grid.length(data.ConsumeIntegral<std::int64_t>());
    const CfrStep step = frames.next(position, length);
    if (step.skipped) {
      require(step.copies == 0 && step.previous_copies == 0,
              "a skipped frame yields nothing");
      continue;
    }
    require(0 <= step.previous_copies && step.previous_copies <= step.copies,
            "copies of the frame before, then of the frame");
    require(step.copies <= kCfrMaxCopies, "copies bounded");
    require(has_previous || step.previous_copies == 0,
            "copies of a frame before only when there is one");
    has_previous = true;
  }
  const std::int64_t end = frames.end_copies();
  require(0 <= end && end <= kCfrMaxCopies, "end copies bounded");
  require(has_previous || end == 0, "no end copies without a frame");
  return 0;
}

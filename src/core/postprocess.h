// Keyframe post-processing: turns the per-frame statistics of a whole run
// into the final keyframe list.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/frame_record.h"

namespace vantrel::postprocess {

using Stats = std::span<const FrameRecord>;
using FrameIndices = std::vector<std::size_t>;

FrameIndices refine_frame_keyframes(Stats stats);

}  // namespace vantrel::postprocess

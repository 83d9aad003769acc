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

// Whether refine_frame_keyframes can keep the frame of `stat`: true for every
// keyframe it returns but frame 0, so that a pass over the frames as they come
// can keep what it needs about the keyframes before the list is final.
bool may_be_keyframe(const FrameRecord& stat);

}  // namespace vantrel::postprocess

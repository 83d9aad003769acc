// Test seams of the detectors: the state they carry from frame to frame.
#pragma once

#include <cstddef>

#include "core/detector.h"

namespace vantrel::detector {

// Frames since the Xvid rule's last cut, plus one (1 right after a cut).
std::size_t intra_count(const XvidDetector& detector);
// Scores in the adaptive detector's window.
std::size_t window_len(const Detector& detector);

}  // namespace vantrel::detector

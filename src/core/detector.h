// The two cut detectors: the Xvid rule with thresholds that relax with the
// distance from the last cut, and the adaptive detector whose threshold
// follows the recent history of a blended score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "metrics/types.h"

namespace vantrel::detector {

struct XvidDetectorConfig {
  std::int32_t search_radius;
  std::int32_t intra_thresh;
  double intra_thresh2;
};

struct XvidDecision {
  bool is_cut;
  double threshold;  // the score threshold this frame was held to
  simd_metrics::MeAnalysis motion;
};

class XvidDetector {
 public:
  explicit XvidDetector(const XvidDetectorConfig& config);
  void reset();
  XvidDecision decide(std::span<const std::uint8_t> prev,
                      std::span<const std::uint8_t> curr, std::size_t width,
                      std::size_t height);

 private:
  friend std::size_t intra_count(const XvidDetector& detector);
  XvidDetectorConfig config_;
  std::size_t intra_count_ = 1;
};

struct DetectorConfig {
  std::size_t window_size;
  double sigma;
  double base_threshold;
  double min_hist_distance;
  double min_score;
  double sad_weight;
  double hist_weight;
};

class Detector {
 public:
  explicit Detector(const DetectorConfig& config);
  void reset();
  double blended_score(double sad_score, double hist_distance) const;
  double threshold() const;
  // (cut flag, threshold used)
  std::pair<bool, double> decide_with_threshold(double score,
                                                double hist_distance) const;
  void observe(double score);

 private:
  friend std::size_t window_len(const Detector& detector);
  DetectorConfig config_;
  // Ring buffer of at most window_size scores, storage reserved once: it
  // fills by push_back, then overwrites the oldest entry in place.
  std::vector<double> ring_;
  std::size_t head_ = 0;  // position of the oldest score once full
};

}  // namespace vantrel::detector

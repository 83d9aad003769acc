#include "core/detector_internal.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/arith.h"
#include "metrics/metrics.h"

namespace vantrel::detector {

namespace {

// Below this distance from the last cut the block margin is raised.
constexpr std::size_t kMarginRelaxFrames = 10;
// Below this distance from the last cut the score threshold is raised.
constexpr std::size_t kScoreRelaxFrames = 30;
// Fewer scores than this in the window: the threshold is the floor.
constexpr std::size_t kWarmUpScores = 5;

// Limits to [0, 1]; a NaN stays NaN.
double unit_clamp(double value) {
  if (value < 0.0) return 0.0;
  if (value > 1.0) return 1.0;
  return value;
}

// Raised to at least 0; a NaN counts as 0.
double non_negative(double value) { return value > 0.0 ? value : 0.0; }

}  // namespace

XvidDetector::XvidDetector(const XvidDetectorConfig& config)
    : config_(config) {}

void XvidDetector::reset() { intra_count_ = 1; }

XvidDecision XvidDetector::decide(std::span<const std::uint8_t> prev,
                                  std::span<const std::uint8_t> curr,
                                  std::size_t width, std::size_t height) {
  // Right after a cut both thresholds are raised; they relax back to the
  // configured values as the distance from the cut grows.
  std::int32_t intra_thresh = config_.intra_thresh;
  double intra_thresh2 = config_.intra_thresh2;
  if (intra_count_ < kMarginRelaxFrames) {
    const auto d = static_cast<std::int32_t>(kMarginRelaxFrames - intra_count_);
    intra_thresh = add_i32_sat(intra_thresh, 15 * d * d);
  }
  if (intra_count_ < kScoreRelaxFrames) {
    const auto remaining =
        static_cast<std::int32_t>(kScoreRelaxFrames - intra_count_);
    intra_thresh2 = intra_thresh2 + static_cast<double>(4 * remaining);
  }

  const simd_metrics::MeAnalysis analysis = simd_metrics::meanalysis_xvid_like(
      prev, curr, width, height, config_.search_radius, intra_thresh);

  const bool is_cut =
      mul_sat(analysis.intra_blocks, 2) > analysis.total_blocks ||
      analysis.score > intra_thresh2;
  if (is_cut) {
    intra_count_ = 1;
  } else if (intra_count_ < std::numeric_limits<std::size_t>::max()) {
    ++intra_count_;
  }
  return XvidDecision{is_cut, intra_thresh2, analysis};
}

Detector::Detector(const DetectorConfig& config) : config_(config) {
  ring_.reserve(config_.window_size);
}

void Detector::reset() {
  ring_.clear();
  head_ = 0;
}

double Detector::blended_score(double sad_score, double hist_distance) const {
  const double sad_component = unit_clamp(sad_score);
  const double hist_component = unit_clamp(hist_distance);
  const double sad_weight = non_negative(config_.sad_weight);
  const double hist_weight = non_negative(config_.hist_weight);
  const double total_weight = sad_weight + hist_weight;
  if (total_weight <= 2.220446049250313e-16) {
    return hist_component > sad_component || std::isnan(sad_component)
               ? hist_component
               : sad_component;
  }
  const double weighted_sad = sad_component * sad_weight;
  const double weighted_hist = hist_component * hist_weight;
  return (weighted_sad + weighted_hist) / total_weight;
}

double Detector::threshold() const {
  const std::size_t len = ring_.size();
  if (len < kWarmUpScores) return config_.base_threshold;

  std::vector<double> values(ring_.begin(), ring_.end());
  std::sort(values.begin(), values.end(), [](double a, double b) {
    return total_order_key(a) < total_order_key(b);
  });

  // Drop the trim smallest and the trim largest scores.
  const std::size_t trim = std::min(std::max<std::size_t>(len / 10, 1), len / 4);
  const std::span<const double> slice(values.data() + trim, len - 2 * trim);
  const double n = u64_to_f64_exact(slice.size());

  double sum = 0.0;
  for (double v : slice) sum += v;
  const double mean = sum / n;

  double squares = 0.0;
  for (double v : slice) {
    const double diff = v - mean;
    const double square = diff * diff;
    squares += square;
  }
  const double var = squares / n;
  const double stddev = std::signbit(var) ? 0.0 : std::sqrt(var);

  const double spread = config_.sigma * stddev;
  const double threshold = mean + spread;
  if (std::isnan(threshold)) return config_.base_threshold;
  return threshold < config_.base_threshold ? config_.base_threshold
                                            : threshold;
}

std::pair<bool, double> Detector::decide_with_threshold(
    double score, double hist_distance) const {
  const double threshold = this->threshold();
  // Ordered comparisons: a NaN score passes the min_score gate but never
  // reaches the threshold.
  const bool cut = !(score < config_.min_score) &&
                   !(hist_distance < config_.min_hist_distance) &&
                   score >= threshold;
  return {cut, threshold};
}

void Detector::observe(double score) {
  const std::size_t capacity = config_.window_size;
  if (capacity == 0) return;
  if (ring_.size() < capacity) {
    ring_.push_back(score);
    return;
  }
  ring_[head_] = score;
  head_ = head_ + 1 == capacity ? 0 : head_ + 1;
}

std::size_t intra_count(const XvidDetector& detector) {
  return detector.intra_count_;
}

std::size_t window_len(const Detector& detector) {
  return detector.ring_.size();
}

}  // namespace vantrel::detector

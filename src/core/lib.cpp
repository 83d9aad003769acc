#include "core/lib.h"

#include "core/formatter.h"

namespace vantrel::analysis {

AnalyzeOptions AnalyzeOptions::defaults_for_input(std::string input) {
  return AnalyzeOptions{
      .input = std::move(input),
      .native_res = false,
      .hwdec = std::nullopt,
      .dump_scores = false,
      .xvid_config = {.search_radius = 4,
                      .intra_thresh = 2000,
                      .intra_thresh2 = 90.0},
      .adaptive_config = {.window_size = 30,
                          .sigma = 3.0,
                          .base_threshold = 0.2,
                          .min_hist_distance = 0.03,
                          .min_score = 0.0,
                          .sad_weight = 0.7,
                          .hist_weight = 0.3},
      .threads = std::nullopt,
      .on_decode_error = decoder::OnDecodeError::stop,
      .keep_records = false,
      .transitions = std::nullopt,
      .log = nullptr,
      .on_progress = {},
      .on_small_rgb = {},
  };
}

}  // namespace vantrel::analysis

namespace vantrel {

std::string write_pass_log(const std::vector<bool>& pass_decisions) {
  formatter::PassFormatter pass_formatter(pass_decisions.size());
  for (std::size_t index = 0; index < pass_decisions.size(); ++index) {
    if (index == 0) {
      pass_formatter.write_first_frame();
    } else {
      pass_formatter.write_frame(pass_decisions[index]);
    }
  }
  return std::move(pass_formatter).take();
}

}  // namespace vantrel

// The library root: what the Python module needs from the core.
#pragma once

#include <vector>

#include "analysis.h"
#include "error.h"
#include "formatter.h"

namespace vantrel {

using analysis::AnalysisResult;
using analysis::analyze_video;
using analysis::AnalyzeOptions;

// Writes the first-pass statistics text for `pass_decisions` into `writer`.
template <formatter::ByteSink W>
VResult<void> write_pass_log(W& writer, const std::vector<bool>& pass_decisions) {
  auto convert = [](const Error& e) {
    return std::unexpected(error::VantrelError::from(e));
  };
  auto pass_formatter = formatter::PassFormatter<W>::create(writer);
  if (!pass_formatter) return convert(pass_formatter.error());
  for (std::size_t index = 0; index < pass_decisions.size(); ++index) {
    Status written = index == 0
                         ? pass_formatter->write_first_frame()
                         : pass_formatter->write_frame(pass_decisions[index]);
    if (!written) return convert(written.error());
  }
  return {};
}

}  // namespace vantrel

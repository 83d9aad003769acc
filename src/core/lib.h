// The library root: what the Python module needs from the core.
#pragma once

#include <string>
#include <vector>

#include "core/analysis.h"
#include "base/error.h"

namespace vantrel {

using analysis::AnalysisResult;
using analysis::analyze_video;
using analysis::AnalyzeOptions;

// The first-pass statistics text for `pass_decisions`.
std::string write_pass_log(const std::vector<bool>& pass_decisions);

}  // namespace vantrel

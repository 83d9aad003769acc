#include "core/formatter.h"

#include <utility>

namespace vantrel::formatter {

PassFormatter::PassFormatter(std::size_t frames) {
  text_.reserve(kHeaderLine1.size() + kHeaderLines2And3.size() + 2 * frames);
  text_.append(kHeaderLine1);
  text_.append(kHeaderLines2And3);
}

std::string write_pass_log(const std::vector<bool>& pass_decisions) {
  PassFormatter pass_formatter(pass_decisions.size());
  for (std::size_t index = 0; index < pass_decisions.size(); ++index) {
    if (index == 0) {
      pass_formatter.write_first_frame();
    } else {
      pass_formatter.write_frame(pass_decisions[index]);
    }
  }
  return std::move(pass_formatter).take();
}

}  // namespace vantrel::formatter

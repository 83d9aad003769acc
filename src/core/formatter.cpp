#include "core/formatter.h"

namespace vantrel::formatter {

PassFormatter::PassFormatter(std::size_t frames) {
  text_.reserve(kHeaderLine1.size() + kHeaderLines2And3.size() + 2 * frames);
  text_.append(kHeaderLine1);
  text_.append(kHeaderLines2And3);
}

}  // namespace vantrel::formatter

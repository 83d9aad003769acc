// Writer of the first-pass statistics text: a fixed header, then one line
// per frame, "i" for a frame that starts a scene and "p" for any other.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::formatter {

inline constexpr std::string_view kHeaderLine1 =
    "# XviD 2pass stat file (core version vantrel-rs 0.1.1)\n";
inline constexpr std::string_view kHeaderLines2And3 =
    "# Please do not modify this file\n\n";

class PassFormatter {
 public:
  // Starts the text with the header; room is made for `frames` lines.
  explicit PassFormatter(std::size_t frames);

  // The first frame always starts a scene.
  void write_first_frame() { write_frame(true); }
  void write_frame(bool is_cut) { text_.append(is_cut ? "i\n" : "p\n"); }

  std::string take() && { return std::move(text_); }

 private:
  std::string text_;
};

// The whole statistics text for one decision per frame.
std::string write_pass_log(const std::vector<bool>& pass_decisions);

}  // namespace vantrel::formatter

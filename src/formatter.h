// Writer of the first-pass statistics text: a fixed header, then one line
// per frame, "i" for a frame that starts a scene and "p" for any other.
#pragma once

#include <string>
#include <string_view>

#include "error.h"

namespace vantrel::formatter {

inline constexpr std::string_view kHeaderLine1 =
    "# XviD 2pass stat file (core version vantrel-rs 0.1.1)\n";
inline constexpr std::string_view kHeaderLines2And3 =
    "# Please do not modify this file\n\n";

// A byte sink: appends the whole piece or fails.
template <class W>
concept ByteSink = requires(W& w, std::string_view piece) {
  { w.write_all(piece) } -> std::same_as<Status>;
};

// The in-memory sink the system uses.
struct StringSink {
  std::string bytes;
  Status write_all(std::string_view piece) {
    bytes.append(piece);
    return {};
  }
};

template <ByteSink W>
class PassFormatter {
 public:
  // Writes the header at once.
  static Result<PassFormatter> create(W& writer) {
    PassFormatter formatter(writer);
    if (auto written = formatter.write_header(); !written) {
      return std::unexpected(written.error());
    }
    return formatter;
  }

  Status write_header() {
    if (auto w = writer_->write_all(kHeaderLine1); !w) return w;
    if (auto w = writer_->write_all(kHeaderLines2And3); !w) return w;
    wrote_header_ = true;
    return {};
  }
  Status write_first_frame() { return write_frame(true); }
  Status write_frame(bool is_cut) {
    return writer_->write_all(is_cut ? std::string_view("i\n")
                                     : std::string_view("p\n"));
  }
  bool wrote_header() const { return wrote_header_; }

 private:
  explicit PassFormatter(W& writer) : writer_(&writer) {}
  W* writer_;
  bool wrote_header_ = false;
};

}  // namespace vantrel::formatter

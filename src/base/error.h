// Error values below the Python boundary and the system's error categories.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace vantrel {

// An error value: an outermost message and an optional cause. Wrapping adds
// a new outermost message; only the outermost message is ever shown or
// classified, the causes are kept for debugging.
class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}

  // An FFmpeg error code as a cause, worded with av_strerror.
  static Error ffmpeg(int code);

  // Returns a new error whose outermost message is `outer` and whose cause is
  // this one.
  Error wrap(std::string outer) const;

  const std::string& message() const { return message_; }
  const Error* cause() const { return cause_.get(); }

  // "outer: cause: cause ..." for diagnostics.
  std::string chain() const;

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}
// `outer` wrapping FFmpeg error `code`.
inline std::unexpected<Error> fail_ffmpeg(std::string outer, int code) {
  return std::unexpected<Error>(Error::ffmpeg(code).wrap(std::move(outer)));
}

// Broken internal invariants (an index out of range, a failed allocation) end
// the process with a diagnostic on standard error.
[[noreturn]] void fatal_internal(std::string_view what);

namespace error {

enum class Kind { Config, Io, Decode, Unsupported, Internal };

// One of five categories, derived from the text of the outermost message.
struct VantrelError {
  Kind kind;
  std::string message;

  // Case-insensitive (ASCII only), first matching substring rule wins.
  static VantrelError classify(std::string message);
  // The outermost message of `error`, classified.
  static VantrelError from(const Error& error);

  // The category prefix followed by the message.
  std::string to_string() const;
};

std::string_view prefix(Kind kind);

}  // namespace error

template <class T>
using VResult = std::expected<T, error::VantrelError>;

}  // namespace vantrel

#include "base/error.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

namespace vantrel {

Error Error::ffmpeg(int code) {
  std::array<char, 64> text{};
  if (av_strerror(code, text.data(), text.size()) < 0) {
    std::snprintf(text.data(), text.size(), "ffmpeg error %d", code);
  }
  return Error(text.data());
}

Error Error::wrap(std::string outer) const {
  Error wrapped(std::move(outer));
  wrapped.cause_ = std::make_shared<const Error>(*this);
  return wrapped;
}

std::string Error::chain() const {
  std::string text = message_;
  for (const Error* c = cause(); c != nullptr; c = c->cause()) {
    text += ": ";
    text += c->message();
  }
  return text;
}

void fatal_internal(std::string_view what) {
  std::fprintf(stderr, "vantrel-rs: fatal internal error: %.*s\n",
               static_cast<int>(what.size()), what.data());
  std::fflush(stderr);
  std::abort();
}

namespace error {
namespace {

struct Rule {
  std::string_view key;
  Kind kind;
};

constexpr std::array<Rule, 15> kRules{{
    {"unknown --hwdec", Kind::Config},
    {"invalid --hwdec", Kind::Config},
    {"failed to open input", Kind::Io},
    {"failed to read input", Kind::Io},
    {"failed to create output file", Kind::Io},
    {"failed to flush output", Kind::Io},
    {"hardware decoding", Kind::Unsupported},
    {"no video stream found", Kind::Unsupported},
    {"unsupported", Kind::Unsupported},
    {"ffmpeg", Kind::Decode},
    {"decoder", Kind::Decode},
    {"frame", Kind::Decode},
    {"luma", Kind::Decode},
    {"scaler", Kind::Decode},
    {"video", Kind::Decode},
}};

}  // namespace

VantrelError VantrelError::classify(std::string message) {
  std::string folded = message;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  Kind kind = Kind::Internal;
  for (const Rule& rule : kRules) {
    if (folded.find(rule.key) != std::string::npos) {
      kind = rule.kind;
      break;
    }
  }
  return VantrelError{kind, std::move(message)};
}

VantrelError VantrelError::from(const Error& error) {
  return classify(error.message());
}

std::string_view prefix(Kind kind) {
  switch (kind) {
    case Kind::Config: return "configuration error: ";
    case Kind::Io: return "input/output error: ";
    case Kind::Decode: return "decode error: ";
    case Kind::Unsupported: return "unsupported operation: ";
    case Kind::Internal: return "internal error: ";
  }
  return "internal error: ";
}

std::string VantrelError::to_string() const {
  std::string text(prefix(kind));
  text += message;
  return text;
}

}  // namespace error
}  // namespace vantrel

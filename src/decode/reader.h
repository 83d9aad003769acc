// Inputs opened from their bytes rather than by path: a Reader hands the
// demuxer the bytes in order and, where it can, moves to another byte. A
// seekable reader is read from its start (moved there before the first
// read); any other from where it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/error.h"

namespace vantrel::decoder {

class Reader {
 public:
  virtual ~Reader() = default;
  // Reads up to into.size() bytes to the front of `into` and returns how
  // many; 0 only at the end of the input. An error ends the analysis.
  virtual Result<std::size_t> read(std::span<std::uint8_t> into) = 0;
  // Whether seek() and size() may be called.
  virtual bool seekable() const = 0;
  // Moves to byte `position` from the start (0 <= position).
  virtual Status seek(std::int64_t position) = 0;
  // The input's size in bytes, when it is known.
  virtual Result<std::optional<std::int64_t>> size() = 0;
};

// The bytes of a buffer in memory, which must outlive the reader.
class BufferReader final : public Reader {
 public:
  explicit BufferReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  Result<std::size_t> read(std::span<std::uint8_t> into) override;
  bool seekable() const override { return true; }
  Status seek(std::int64_t position) override;
  Result<std::optional<std::int64_t>> size() override {
    return static_cast<std::int64_t>(bytes_.size());
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

}  // namespace vantrel::decoder

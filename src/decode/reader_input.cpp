// A Reader as FFmpeg's custom I/O: the demuxer reads and seeks through it
// as through a file, and the first failure of the reader is kept.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "decode/decoder_internal.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace vantrel::decoder {

Result<std::size_t> BufferReader::read(std::span<std::uint8_t> into) {
  const std::size_t count = std::min(into.size(), bytes_.size() - position_);
  std::memcpy(into.data(), bytes_.data() + position_, count);
  position_ += count;
  return count;
}

Status BufferReader::seek(std::int64_t position) {
  // Past the end reads nothing, as a file does.
  position_ = std::min(static_cast<std::size_t>(position), bytes_.size());
  return {};
}

void AvioContextDeleter::operator()(AVIOContext* context) const {
  // FFmpeg may have replaced the buffer it was given: free the one it holds.
  av_freep(&context->buffer);
  avio_context_free(&context);
}

ReaderInput::ReaderInput(Reader& reader) : reader_(reader) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
  if (buffer == nullptr) fatal_internal("av_malloc failed");
  AVIOContext* context = avio_alloc_context(buffer, kBufferBytes, 0, this,
                                            &ReaderInput::read_packet, nullptr,
                                            &ReaderInput::seek_packet);
  if (context == nullptr) {
    av_free(buffer);
    fatal_internal("avio_alloc_context failed");
  }
  context->seekable = reader.seekable() ? AVIO_SEEKABLE_NORMAL : 0;
  context_.reset(context);
}

int ReaderInput::read_packet(void* opaque, std::uint8_t* buffer, int size) {
  auto& self = *static_cast<ReaderInput*>(opaque);
  if (self.failure_) return AVERROR(EIO);
  if (!self.started_ && self.reader_.seekable()) {
    // The input starts at the reader's start, wherever it stood before.
    if (Status moved = self.reader_.seek(0); !moved) {
      self.failure_ = moved.error();
      return AVERROR(EIO);
    }
  }
  self.started_ = true;
  Result<std::size_t> read = self.reader_.read(
      std::span<std::uint8_t>(buffer, static_cast<std::size_t>(size)));
  if (!read) {
    self.failure_ = read.error();
    return AVERROR(EIO);
  }
  if (*read > static_cast<std::size_t>(size)) {
    fatal_internal("Reader::read returned more bytes than asked for");
  }
  if (*read == 0) return AVERROR_EOF;
  self.position_ += static_cast<std::int64_t>(*read);
  return static_cast<int>(*read);
}

std::int64_t ReaderInput::seek_packet(void* opaque, std::int64_t offset,
                                      int whence) {
  auto& self = *static_cast<ReaderInput*>(opaque);
  if (self.failure_) return AVERROR(EIO);
  if (!self.reader_.seekable()) return AVERROR(ESPIPE);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE || whence == SEEK_END) {
    Result<std::optional<std::int64_t>> size = self.reader_.size();
    if (!size) {
      self.failure_ = size.error();
      return AVERROR(EIO);
    }
    if (!*size) return AVERROR(ENOSYS);
    if (whence == AVSEEK_SIZE) return **size;
    offset += **size;
  } else if (whence == SEEK_CUR) {
    offset += self.position_;
  } else if (whence != SEEK_SET) {
    return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  if (Status moved = self.reader_.seek(offset); !moved) {
    self.failure_ = moved.error();
    return AVERROR(EIO);
  }
  self.position_ = offset;
  return offset;
}

}  // namespace vantrel::decoder

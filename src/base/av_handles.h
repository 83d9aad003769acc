// Owning handles for FFmpeg objects: each releases its object with the
// matching FFmpeg call when it goes out of scope.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "base/error.h"

namespace vantrel::av {

struct FormatContextDeleter {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};

struct CodecContextDeleter {
  void operator()(AVCodecContext* ctx) const {
#if LIBAVCODEC_VERSION_INT < AV_VERSION_INT(61, 0, 0)
    // Deprecated (and implied by the free) from FFmpeg 7 on.
    avcodec_close(ctx);
#endif
    avcodec_free_context(&ctx);
  }
};

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

struct SwsContextDeleter {
  void operator()(SwsContext* ctx) const { sws_freeContext(ctx); }
};

struct BufferRefDeleter {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

// An empty frame; allocation failure is not part of the error model.
inline FramePtr make_frame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) fatal_internal("av_frame_alloc failed");
  return frame;
}

inline PacketPtr make_packet() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) fatal_internal("av_packet_alloc failed");
  return packet;
}

}  // namespace vantrel::av

// The frame pump: packets in, every decoded frame's luma out, the damaged
// packets recorded or fatal.
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include "decode/decoder_internal.h"

namespace vantrel::decoder {
namespace {

// The frame's presentation time and length in seconds.
std::pair<double, double> frame_timing(Decoder::Parts& parts,
                                       const AVFrame& frame) {
  const std::int64_t length = packet_duration(frame);
  const double duration = length > 0 ? seconds(length, parts.time_base)
                                      : parts.nominal_duration;
  double time = 0.0;
  if (frame.best_effort_timestamp != AV_NOPTS_VALUE) {
    time = seconds(frame.best_effort_timestamp, parts.time_base) -
           parts.start_seconds;
  } else if (parts.delivered > 0) {
    time = parts.last_time + duration;
  }
  return {time, duration};
}

// A decoding failure of one packet: recorded and dropped when the pump skips
// them (until too many come in a row), else the pump's error.
Status reject_packet(Decoder::Parts& parts, const AVPacket* packet, int code,
                     int& consecutive, const char* what) {
  if (parts.on_decode_error == OnDecodeError::stop) {
    return fail_ffmpeg(what, code);
  }
  if (++consecutive == kMaxConsecutiveRejectedPackets) {
    return fail(Error::ffmpeg(code)
                    .wrap(std::to_string(consecutive) +
                          " consecutive packets rejected")
                    .wrap(what));
  }
  double time = parts.last_time;
  if (packet != nullptr) {
    const std::int64_t ts =
        packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (ts != AV_NOPTS_VALUE) {
      time = seconds(ts, parts.time_base) - parts.start_seconds;
    }
  }
  parts.rejected.push_back(
      RejectedPacket{parts.delivered, time, Error::ffmpeg(code).message()});
  return {};
}

// Drains every frame the decoder has ready and hands on the luma of each.
Status receive_frames(Decoder::Parts& parts, DecodeFrameBuffers& buffers,
                      const AVPacket* packet, int& consecutive_rejected,
                      const FrameCallback& on_frame) {
  const bool require_hw = parts.hw != nullptr;
  for (;;) {
    const int received =
        avcodec_receive_frame(parts.video.get(), buffers.decoded.get());
    if (received == AVERROR_EOF || received == AVERROR(EAGAIN)) return {};
    if (received == AVERROR_INVALIDDATA &&
        parts.on_decode_error == OnDecodeError::skip) {
      // A threaded decoder reports a damaged packet when its frame is due.
      if (Status dropped = reject_packet(parts, packet, received,
                                         consecutive_rejected,
                                         "failed to receive frame");
          !dropped) {
        return dropped;
      }
      continue;
    }
    if (received < 0) return fail_ffmpeg("failed to receive frame", received);

    const AVFrame& decoded = *buffers.decoded;
    const AVFrame* frame = &decoded;
    const bool is_hw_frame = frame->hw_frames_ctx != nullptr;
    if (require_hw && !is_hw_frame) {
      return fail("--hwdec set but decoder produced software frames");
    }
    const auto [time, duration] = frame_timing(parts, *frame);
    if (is_hw_frame) {
      av_frame_unref(buffers.transferred.get());
      if (av_hwframe_transfer_data(buffers.transferred.get(), frame, 0) < 0) {
        return fail("failed to transfer hardware frame");
      }
      frame = buffers.transferred.get();
    }
    Result<LumaView> luma = frame_luma(*frame, parts.scaler, buffers.gray);
    if (!luma) return fail(luma.error());
    std::optional<SmallRgbFrames> small_rgb;
    if (parts.small_rgb) {
      Result<SmallRgbFrames> made =
          next_small_rgb(*parts.small_rgb, *frame, decoded, parts.delivered);
      if (!made) return fail(made.error());
      small_rgb = *made;
    }
    parts.last_time = time;
    ++parts.delivered;
    if (Status delivered = on_frame(Frame{*luma, time, duration, small_rgb});
        !delivered) {
      return delivered;
    }
  }
}

// The reader's failure, once it failed, as the pump's error.
Status reader_failure(const Decoder::Parts& parts) {
  if (!parts.reader_input || !parts.reader_input->failure()) return {};
  return fail(parts.reader_input->failure()->wrap("failed to read input: " +
                                                  parts.input_name));
}

}  // namespace

Status pump(Decoder::Parts& parts, const FrameCallback& on_frame) {
  DecodeFrameBuffers buffers;
  av::PacketPtr packet = av::make_packet();

  // Read errors are skipped, but a failure that repeats without end (a
  // persistent I/O error) must not keep the pump spinning.
  int consecutive_read_errors = 0;
  int consecutive_rejected = 0;
  for (;;) {
    const int read = av_read_frame(parts.ictx.get(), packet.get());
    // A reader's failure can look like the end of the input to a demuxer.
    if (read < 0) {
      if (Status failed = reader_failure(parts); !failed) return failed;
    }
    if (read == AVERROR_EOF) break;
    if (read < 0) {
      if (++consecutive_read_errors == kMaxConsecutiveReadErrors) {
        return fail_ffmpeg(
            "failed to read video packets: too many consecutive read errors",
            read);
      }
      continue;
    }
    consecutive_read_errors = 0;
    Status processed{};
    if (static_cast<std::size_t>(packet->stream_index) ==
        parts.video_stream_index) {
      if (int ret = avcodec_send_packet(parts.video.get(), packet.get());
          ret < 0) {
        processed = reject_packet(parts, packet.get(), ret,
                                  consecutive_rejected,
                                  "failed to send packet to decoder");
      } else {
        consecutive_rejected = 0;
        processed = receive_frames(parts, buffers, packet.get(),
                                   consecutive_rejected, on_frame);
      }
    }
    av_packet_unref(packet.get());
    if (!processed) return processed;
  }

  if (int ret = avcodec_send_packet(parts.video.get(), nullptr); ret < 0) {
    return fail_ffmpeg("failed to signal EOF to decoder", ret);
  }
  return receive_frames(parts, buffers, nullptr, consecutive_rejected,
                        on_frame);
}

Status Decoder::decode_luma(const FrameCallback& on_frame) {
  if (!parts_) fatal_internal("decode_luma on a moved-from Decoder");
  Status pumped = pump(*parts_, on_frame);
  // The packet a failed read cut short can fail to decode first.
  if (Status failed = reader_failure(*parts_); !failed) return failed;
  return pumped;
}

}  // namespace vantrel::decoder

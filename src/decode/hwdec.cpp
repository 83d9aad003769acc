// Hardware decoding: the device type named by --hwdec and the codec
// configuration that decodes onto it.
#include <memory>
#include <string>
#include <string_view>

#include "decode/decoder_internal.h"

namespace vantrel::decoder {

Result<AVHWDeviceType> parse_hw_device_type(std::string_view name) {
  if (std::size_t nul = name.find('\0'); nul != std::string_view::npos) {
    return fail(Error("NUL at position " + std::to_string(nul))
                    .wrap("invalid --hwdec value"));
  }
  const std::string text(name);
  const AVHWDeviceType type = av_hwdevice_find_type_by_name(text.c_str());
  if (type == AV_HWDEVICE_TYPE_NONE) return fail("unknown --hwdec: " + text);
  return type;
}

Result<std::unique_ptr<HwCtx>> enable_hwdec(AVCodecContext& ctx,
                                            const AVCodec& codec,
                                            AVHWDeviceType device_type) {
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* cfg = avcodec_get_hw_config(&codec, i);
    if (cfg == nullptr) return fail("failed to enable hardware decoding");
    if ((cfg->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) == 0 ||
        cfg->device_type != device_type) {
      continue;
    }
    AVBufferRef* created = nullptr;
    if (av_hwdevice_ctx_create(&created, device_type, nullptr, nullptr, 0) <
        0) {
      continue;  // try the next configuration
    }
    av::BufferRefPtr device(created);
    ctx.hw_device_ctx = device.release();  // the codec context owns it now
    ctx.get_format = get_hw_format;
    auto hw = std::make_unique<HwCtx>(HwCtx{cfg->pix_fmt});
    ctx.opaque = hw.get();
    return hw;
  }
}

AVPixelFormat get_hw_format(AVCodecContext* s, const AVPixelFormat* fmt) {
  const auto* hw = static_cast<const HwCtx*>(s->opaque);
  if (hw == nullptr) return AV_PIX_FMT_NONE;
  for (; *fmt != AV_PIX_FMT_NONE; ++fmt) {
    if (*fmt == hw->pix_fmt) return *fmt;
  }
  return AV_PIX_FMT_NONE;
}

}  // namespace vantrel::decoder

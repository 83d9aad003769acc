// vantrel_pump_bench [--view] FILE
// Decodes FILE with the module's own decoder and luma extraction (FFmpeg's
// default decoder settings, as an analysis uses them) and a per-frame
// callback that does nothing, then prints "frames=N seconds=S". This is the
// cost an analysis cannot avoid; the end-to-end benchmark compares against it.
// By default each plane is packed (the native_res path); --view hands it on
// in place, as the reduced-image analysis reads it.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "decoder.h"

namespace decoder = vantrel::decoder;

int main(int argc, char** argv) {
  const bool view = argc == 3 && std::strcmp(argv[1], "--view") == 0;
  if (argc != 2 && !view) {
    std::fprintf(stderr, "usage: %s [--view] FILE\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  auto opened = decoder::Decoder::open(argv[argc - 1], std::nullopt);
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().chain().c_str());
    return 1;
  }
  std::size_t frames = 0;
  vantrel::Status pumped =
      view ? opened->decode_luma_views([&frames](const decoder::LumaView&) {
        ++frames;
        return vantrel::Status{};
      })
           : opened->decode_luma_frames(
                 [&frames](std::vector<std::uint8_t>&,
                           const decoder::FrameInfo&) {
                   ++frames;
                   return vantrel::Status{};
                 });
  if (!pumped) {
    std::fprintf(stderr, "%s\n", pumped.error().chain().c_str());
    return 1;
  }
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  std::printf("frames=%zu seconds=%.6f\n", frames, elapsed.count());
  return 0;
}

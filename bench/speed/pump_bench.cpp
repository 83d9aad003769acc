// vantrel_pump_bench [--view] FILE
// Decodes FILE with the module's own decoder and luma extraction (FFmpeg's
// default decoder settings, as an analysis uses them) and a per-frame
// callback that does no analysis, then prints "frames=N seconds=S". This is
// the cost an analysis cannot avoid; the end-to-end benchmark compares
// against it. By default the callback packs each plane (as the native_res
// analysis does); --view only takes the view, as the reduced-image analysis
// reads the plane in place.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode/decoder.h"

namespace decoder = vantrel::decoder;

int main(int argc, char** argv) {
  const bool view = argc == 3 && std::strcmp(argv[1], "--view") == 0;
  if (argc != 2 && !view) {
    std::fprintf(stderr, "usage: %s [--view] FILE\n", argv[0]);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  auto opened = decoder::Decoder::open(argv[argc - 1], {});
  if (!opened) {
    std::fprintf(stderr, "%s\n", opened.error().chain().c_str());
    return 1;
  }
  std::size_t frames = 0;
  std::vector<std::uint8_t> packed;
  vantrel::Status pumped =
      opened->decode_luma([&](const decoder::Frame& frame) -> vantrel::Status {
        ++frames;
        if (view) return {};
        return decoder::copy_luma_plane(frame.luma, packed);
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

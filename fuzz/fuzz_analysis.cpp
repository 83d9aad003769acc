// The whole analysis on arbitrary file bytes: demuxing, decoding, luma
// extraction, metrics, detectors and post-processing. Any outcome is fine
// except a crash, a sanitizer report, a hang, or a result that breaks the
// documented shape.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "core/analysis.h"
#include "fuzz_common.h"

namespace {

using vantrel::fuzz::require;

// The public entry takes a path; a file in memory-backed /dev/shm keeps the
// disk out of the loop.
std::string write_input(const std::uint8_t* bytes, std::size_t size) {
  const std::string path =
      "/dev/shm/vantrel-fuzz-" + std::to_string(getpid()) + ".bin";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  require(fd >= 0, "temporary input can be created");
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, bytes + written, size - written);
    require(n > 0, "temporary input can be written");
    written += static_cast<std::size_t>(n);
  }
  close(fd);
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes,
                                      std::size_t size) {
  const std::string path = write_input(bytes, size);
  auto options = vantrel::analysis::AnalyzeOptions::defaults_for_input(path);
  // Both working resolutions, chosen by the input itself so runs repeat.
  options.native_res = (size & 1) != 0;
  const auto result = vantrel::analysis::analyze_video(options);
  unlink(path.c_str());
  if (!result) {
    require(!result.error().message.empty(), "an error carries a message");
    return 0;
  }
  const auto& keyframes = result->keyframes;
  const std::size_t frames = result->pass_decisions.size();
  require(!keyframes.empty() && keyframes.front() == 0, "keyframes begin with 0");
  require(frames == 0 || result->pass_decisions.front(), "frame 0 starts a scene");
  for (std::size_t i = 1; i < keyframes.size(); ++i) {
    require(keyframes[i - 1] < keyframes[i], "keyframes strictly ascending");
    require(keyframes[i] < frames, "keyframes name delivered frames");
  }
  return 0;
}

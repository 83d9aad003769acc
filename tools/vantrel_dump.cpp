// vantrel_dump FILE [--native-res]
// Runs the analysis of one file with the per-frame score lines on: the score
// lines go to standard error, the keyframe list to standard output.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/analysis.h"

int main(int argc, char** argv) {
  const char* input = nullptr;
  bool native_res = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--native-res") == 0) {
      native_res = true;
    } else if (input == nullptr) {
      input = argv[i];
    } else {
      input = nullptr;
      break;
    }
  }
  if (input == nullptr) {
    std::fprintf(stderr, "usage: %s FILE [--native-res]\n", argv[0]);
    return 2;
  }
  auto options = vantrel::analysis::AnalyzeOptions::defaults_for_input(input);
  options.native_res = native_res;
  options.dump_scores = true;
  auto result = vantrel::analysis::analyze_video(options);
  if (!result) {
    std::fprintf(stderr, "%s\n", result.error().to_string().c_str());
    return 1;
  }
  for (std::size_t frame : result->keyframes) std::printf("%zu\n", frame);
  return 0;
}

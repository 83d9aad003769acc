// FFmpeg's log lines of one analysis, collected instead of printed.
//
// FFmpeg has one log callback per process. Once installed, ours hands a line
// to the capture that owns the object which logged it: an object logging on
// the thread that runs the capture's analysis, or a decoder context tagged
// for the capture (which covers the decoder's worker threads, whose contexts
// are copies of the tagged one). Every other line is printed exactly as
// FFmpeg's default callback prints it.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::ffmpeg_log {

struct LogLine {
  int level;  // AV_LOG_*
  std::string text;  // "[component] message", without the newline
};

class LogCapture {
 public:
  // Lines above `max_level` (less severe) are dropped.
  explicit LogCapture(int max_level);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines of decoder contexts whose `opaque` is `tag` belong to this capture
  // until the tag is removed.
  void add_tag(const void* tag);
  void remove_tag(const void* tag);

  // The lines so far, and how many were dropped past the limit.
  std::vector<LogLine> take_lines();
  std::size_t dropped() const;

  void add(int level, const char* component, const char* message);

 private:
  const int max_level_;
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
  std::string partial_;  // a line logged in pieces, not yet ended
  int partial_level_ = 0;
  std::size_t dropped_ = 0;
};

// While alive, lines logged on this thread belong to `capture`.
class ThreadCapture {
 public:
  explicit ThreadCapture(LogCapture* capture);
  ~ThreadCapture();
  ThreadCapture(const ThreadCapture&) = delete;
  ThreadCapture& operator=(const ThreadCapture&) = delete;

 private:
  LogCapture* previous_;
};

// Installs the routing callback; safe to call more than once.
void install();

}  // namespace vantrel::ffmpeg_log

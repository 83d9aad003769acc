#include "base/ffmpeg_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unordered_map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace vantrel::ffmpeg_log {

namespace {

// A damaged file can log a line per packet; past this many lines a capture
// only counts them.
constexpr std::size_t kMaxLines = 1000;

thread_local LogCapture* t_capture = nullptr;

std::mutex g_tags_mutex;
std::unordered_map<const void*, LogCapture*>& tags() {
  static auto* map = new std::unordered_map<const void*, LogCapture*>();
  return *map;
}

LogCapture* capture_of(void* object) {
  if (object != nullptr) {
    const AVClass* cls = *static_cast<const AVClass* const*>(object);
    if (cls == avcodec_get_class()) {
      const void* tag = static_cast<const AVCodecContext*>(object)->opaque;
      std::lock_guard lock(g_tags_mutex);
      if (auto it = tags().find(tag); it != tags().end()) return it->second;
    }
  }
  return t_capture;
}

void route(void* object, int level, const char* format, va_list args) {
  LogCapture* capture = capture_of(object);
  if (capture == nullptr) {
    av_log_default_callback(object, level, format, args);
    return;
  }
  char message[1024];
  std::vsnprintf(message, sizeof message, format, args);
  const char* component = nullptr;
  if (object != nullptr) {
    const AVClass* cls = *static_cast<const AVClass* const*>(object);
    if (cls != nullptr && cls->item_name != nullptr) {
      component = cls->item_name(object);
      // A context not (yet) bound to a codec or format names itself "NULL".
      if (component != nullptr && std::strcmp(component, "NULL") == 0) {
        component = nullptr;
      }
    }
  }
  capture->add(level, component, message);
}

}  // namespace

LogCapture::LogCapture(int max_level) : max_level_(max_level) {}

LogCapture::~LogCapture() {
  std::lock_guard lock(g_tags_mutex);
  for (auto it = tags().begin(); it != tags().end();) {
    it = it->second == this ? tags().erase(it) : std::next(it);
  }
}

void LogCapture::add_tag(const void* tag) {
  std::lock_guard lock(g_tags_mutex);
  tags()[tag] = this;
}

void LogCapture::remove_tag(const void* tag) {
  std::lock_guard lock(g_tags_mutex);
  tags().erase(tag);
}

void LogCapture::add(int level, const char* component, const char* message) {
  if (level > max_level_) return;
  std::lock_guard lock(mutex_);
  if (partial_.empty()) {
    partial_level_ = level;
    if (component != nullptr) {
      partial_ += '[';
      partial_ += component;
      partial_ += "] ";
    }
  }
  partial_ += message;
  if (partial_.empty() || partial_.back() != '\n') return;
  partial_.pop_back();
  if (lines_.size() < kMaxLines) {
    lines_.push_back(LogLine{partial_level_, std::move(partial_)});
  } else {
    ++dropped_;
  }
  partial_.clear();
}

std::vector<LogLine> LogCapture::take_lines() {
  std::lock_guard lock(mutex_);
  if (!partial_.empty()) {  // a last line logged without its newline
    lines_.push_back(LogLine{partial_level_, std::move(partial_)});
    partial_.clear();
  }
  return std::move(lines_);
}

std::size_t LogCapture::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

ThreadCapture::ThreadCapture(LogCapture* capture) : previous_(t_capture) {
  t_capture = capture;
}

ThreadCapture::~ThreadCapture() { t_capture = previous_; }

void install() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(route); });
}

}  // namespace vantrel::ffmpeg_log

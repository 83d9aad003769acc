// The vantrel._engine extension module: one analysis with every result,
// decoded without the interpreter lock. Its caller, the vantrel package,
// checks and converts the arguments; this module trusts them.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "core/analysis.h"
#include "base/ffmpeg_log.h"
#include "core/lib.h"
#include "metrics/metrics.h"
#include "python/py_support.h"
#include "python/reader.h"

namespace vantrel::python {
namespace {

using Clock = std::chrono::steady_clock;
// How often, at most, the analysis takes the interpreter lock back to look
// for a signal (Ctrl-C) and to report progress.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

PyObject* text(const std::string& bytes) {
  return PyUnicode_DecodeFSDefaultAndSize(bytes.data(),
                                          static_cast<Py_ssize_t>(bytes.size()));
}

template <class T>
PyObject* column(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(values.data()),
      static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

// Sets `key` to `value` (a new reference, may be null); false on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* keyframe_list(const std::vector<std::size_t>& keyframes) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(keyframes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < keyframes.size(); ++i) {
    PyObject* index = PyLong_FromSize_t(keyframes[i]);
    if (index == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), index);  // steals
  }
  return list.release();
}

// The per-frame records as columns of native machine values.
PyObject* record_columns(const std::vector<FrameRecord>& records) {
  const std::size_t n = records.size();
  std::vector<double> score(n), threshold(n), hist(n), grid(n), median(n);
  std::vector<std::uint64_t> intra(n), total(n), sad(n);
  std::vector<std::uint8_t> cut(n);
  for (std::size_t i = 0; i < n; ++i) {
    const FrameRecord& r = records[i];
    score[i] = r.motion.score;
    threshold[i] = r.threshold;
    hist[i] = r.hist_distance;
    grid[i] = r.grid_hist_distance;
    median[i] = r.grid_hist_median;
    intra[i] = r.motion.intra_blocks;
    total[i] = r.motion.total_blocks;
    sad[i] = r.motion.mc_sad;
    cut[i] = r.is_cut ? 1 : 0;
  }
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), "score", column(score)) ||
      !put(dict.get(), "threshold", column(threshold)) ||
      !put(dict.get(), "hist_distance", column(hist)) ||
      !put(dict.get(), "grid_hist_distance", column(grid)) ||
      !put(dict.get(), "grid_hist_median", column(median)) ||
      !put(dict.get(), "intra_blocks", column(intra)) ||
      !put(dict.get(), "total_blocks", column(total)) ||
      !put(dict.get(), "mc_sad", column(sad)) ||
      !put(dict.get(), "is_cut", column(cut))) {
    return nullptr;
  }
  return dict.release();
}

// The transitions as (kind, first, last, start, strength) tuples.
PyObject* transition_list(const std::vector<transitions::Transition>& found) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const transitions::Transition& t : found) {
    const char* kind = t.kind == transitions::Kind::cut    ? "cut"
                       : t.kind == transitions::Kind::fade ? "fade"
                                                           : "dissolve";
    PyRef item(Py_BuildValue("(snnnd)", kind, static_cast<Py_ssize_t>(t.first),
                             static_cast<Py_ssize_t>(t.last),
                             static_cast<Py_ssize_t>(t.start), t.strength));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* rejected_list(const std::vector<decoder::RejectedPacket>& packets) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const decoder::RejectedPacket& packet : packets) {
    PyRef message(text(packet.message));
    if (!message) return nullptr;
    PyRef item(Py_BuildValue("(ndO)", static_cast<Py_ssize_t>(packet.frame),
                             packet.time, message.get()));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* message_list(std::vector<ffmpeg_log::LogLine> lines) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const ffmpeg_log::LogLine& line : lines) {
    PyRef message(text(line.text));
    if (!message) return nullptr;
    PyRef item(Py_BuildValue("(iO)", line.level, message.get()));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// FFmpeg's lines of the analysis, and how many did not fit.
bool put_messages(PyObject* dict, ffmpeg_log::LogCapture& log) {
  return put(dict, "messages_dropped", PyLong_FromSize_t(log.dropped())) &&
         put(dict, "messages", message_list(log.take_lines()));
}

PyObject* result_dict(AnalysisResult& result, const AnalyzeOptions& options,
                      ffmpeg_log::LogCapture& log) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::string pass_text = write_pass_log(result.pass_decisions);
  PyObject* fps = Py_None;
  if (result.stream.frame_rate) {
    fps = Py_BuildValue("(LL)", static_cast<long long>(result.stream.frame_rate->num),
                        static_cast<long long>(result.stream.frame_rate->den));
  } else {
    Py_INCREF(fps);
  }
  PyObject* duration = Py_None;
  if (result.stream.duration) {
    duration = PyFloat_FromDouble(*result.stream.duration);
  } else {
    Py_INCREF(duration);
  }
  PyObject* records = Py_None;
  if (options.keep_records) {
    records = record_columns(result.records);
  } else {
    Py_INCREF(records);
  }
  if (!put(dict.get(), "keyframes", keyframe_list(result.keyframes)) ||
      !put(dict.get(), "pass_text",
           PyUnicode_FromStringAndSize(pass_text.data(),
                                       static_cast<Py_ssize_t>(pass_text.size()))) ||
      !put(dict.get(), "times", column(result.times)) ||
      !put(dict.get(), "end_time", PyFloat_FromDouble(result.end_time)) ||
      !put(dict.get(), "fps", fps) || !put(dict.get(), "duration", duration) ||
      !put(dict.get(), "records", records) ||
      !put(dict.get(), "transitions",
           options.transitions ? transition_list(result.transitions)
                               : (Py_INCREF(Py_None), Py_None)) ||
      !put(dict.get(), "decode_errors", rejected_list(result.rejected_packets)) ||
      !put_messages(dict.get(), log)) {
    return nullptr;
  }
  return dict.release();
}

// The small rgb24 output frames for `learned_frames` (unless None): kept as
// one chunk of whole frames until the next progress check hands it over,
// and the analysed frame each output frame shows, for the result.
class LearnedFrames {
 public:
  explicit LearnedFrames(PyObject* sink) : sink_(sink) {}

  bool wanted() const { return sink_ != Py_None; }
  void add(std::span<const std::uint8_t> image, std::size_t frame) {
    chunk_.insert(chunk_.end(), image.begin(), image.end());
    sources_.push_back(static_cast<std::uint32_t>(frame));
  }
  // A chunk this large is handed over at once: one decoded frame can stand
  // for very many output frames.
  bool full() const { return chunk_.size() >= kFullChunkBytes; }

  // Calls the sink with the chunk (if any), with the lock held; false with
  // the Python error set when it raised.
  bool hand_over() {
    if (!wanted() || chunk_.empty()) return true;
    PyRef chunk(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(chunk_.data()),
        static_cast<Py_ssize_t>(chunk_.size())));
    chunk_.clear();
    if (!chunk) return false;
    PyRef returned(
        PyObject_CallFunctionObjArgs(sink_, chunk.get(), nullptr));
    return static_cast<bool>(returned);
  }

  // learned_source: one uint32 per output frame, or None.
  PyObject* source_column() const {
    if (!wanted()) return (Py_INCREF(Py_None), Py_None);
    return column(sources_);
  }

 private:
  static constexpr std::size_t kFullChunkBytes =
      1024 * decoder::kSmallRgbBytes;
  PyObject* sink_;
  std::vector<std::uint8_t> chunk_;
  std::vector<std::uint32_t> sources_;
};

// The lock released for the whole analysis but for its progress checks, each
// of which looks for a signal, calls `progress` (unless None) with the
// frames analysed and the time reached and hands the learned frames over. A
// Python error there ends the analysis and stays set for the caller.
class ProgressCheck {
 public:
  ProgressCheck(PyObject* progress, LearnedFrames& learned)
      : progress_(progress),
        learned_(learned),
        next_(Clock::now() + kProgressInterval) {}

  void release_lock() { state_ = PyEval_SaveThread(); }
  void take_lock() { PyEval_RestoreThread(state_); }

  Status on_frame(const analysis::Progress& reached) {
    const Clock::time_point now = Clock::now();
    if (now < next_) return {};
    next_ = now + kProgressInterval;
    take_lock();
    const bool ok = report(reached);
    release_lock();
    if (!ok) return fail("analysis interrupted by the caller");
    return {};
  }

  Status on_small_rgb(std::span<const std::uint8_t> image, std::size_t frame) {
    learned_.add(image, frame);
    if (!learned_.full()) return {};
    take_lock();
    bool ok = false;
    {
      ffmpeg_log::ThreadCapture not_ours(nullptr);
      ok = learned_.hand_over();
    }
    release_lock();
    if (!ok) return fail("analysis interrupted by the caller");
    return {};
  }

  // The last report, with the lock held.
  bool report(const analysis::Progress& reached) {
    // Lines that Python code logs through FFmpeg here are not the analysis's.
    ffmpeg_log::ThreadCapture not_ours(nullptr);
    if (PyErr_CheckSignals() < 0) return false;
    if (!learned_.hand_over()) return false;
    if (progress_ == Py_None) return true;
    PyRef duration(reached.duration ? PyFloat_FromDouble(*reached.duration)
                                    : (Py_INCREF(Py_None), Py_None));
    if (!duration) return false;
    PyRef returned(PyObject_CallFunction(
        progress_, "ndO", static_cast<Py_ssize_t>(reached.frames),
        reached.time, duration.get()));
    return static_cast<bool>(returned);
  }

 private:
  PyObject* progress_;
  LearnedFrames& learned_;
  Clock::time_point next_;
  PyThreadState* state_ = nullptr;
};

// Calls `visit(name, field)` for each detector setting of `options`: the
// names under which Python hands the settings over and reads their defaults.
template <class Visit>
bool visit_detector_fields(AnalyzeOptions& options, Visit visit) {
  detector::XvidDetectorConfig& xvid = options.xvid_config;
  detector::DetectorConfig& adaptive = options.adaptive_config;
  return visit("search_radius", xvid.search_radius) &&
         visit("intra_thresh", xvid.intra_thresh) &&
         visit("intra_thresh2", xvid.intra_thresh2) &&
         visit("window_size", adaptive.window_size) &&
         visit("sigma", adaptive.sigma) &&
         visit("base_threshold", adaptive.base_threshold) &&
         visit("min_hist_distance", adaptive.min_hist_distance) &&
         visit("min_score", adaptive.min_score) &&
         visit("sad_weight", adaptive.sad_weight) &&
         visit("hist_weight", adaptive.hist_weight);
}

template <class T>
PyObject* to_python(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    return PyFloat_FromDouble(value);
  } else {
    return PyLong_FromLongLong(static_cast<long long>(value));
  }
}

// Python's number into `field`; false with a Python error set when it does
// not fit (the caller has checked the ranges).
template <class T>
bool from_python(PyObject* value, T& field) {
  if constexpr (std::is_floating_point_v<T>) {
    field = PyFloat_AsDouble(value);
  } else {
    const long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred() != nullptr) return false;
    field = static_cast<T>(number);
  }
  return PyErr_Occurred() == nullptr;
}

// DETECTOR_DEFAULTS: the detector settings of a default analysis, by name.
PyObject* detector_defaults() {
  AnalyzeOptions options = AnalyzeOptions::defaults_for_input({});
  PyRef dict(PyDict_New());
  if (!dict || !visit_detector_fields(options, [&](const char* name, auto& field) {
        return put(dict.get(), name, to_python(field));
      })) {
    return nullptr;
  }
  return dict.release();
}

// analyze(path: bytes, *, source, native_res, hwdec: str | None, threads, progress,
//         keep_records, transitions: "cuts" | "gradual" | None,
//         on_decode_error: "stop" | "skip", detector: dict by name,
//         learned_frames) -> dict
PyObject* analyze_impl(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "", "native_res", "hwdec", "threads", "progress", "keep_records",
      "transitions", "on_decode_error", "detector", nullptr};
  const char* path = nullptr;
  Py_ssize_t path_size = 0;
  int native_res = 0;
  const char* hwdec = nullptr;
  Py_ssize_t hwdec_size = 0;
  int threads = 0;
  PyObject* progress = nullptr;
  int keep_records = 0;
  const char* rule = nullptr;
  const char* on_decode_error = nullptr;
  PyObject* detector = nullptr;
  // learned_frames is optional among required keywords, which the format
  // cannot say: it is taken out of the keywords first.
  PyRef rest(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
  if (!rest) return nullptr;
  PyObject* given = PyDict_GetItemString(rest.get(), "learned_frames");
  PyRef learned_frames(given != nullptr ? (Py_INCREF(given), given)
                                        : (Py_INCREF(Py_None), Py_None));
  if (given != nullptr &&
      PyDict_DelItemString(rest.get(), "learned_frames") < 0) {
    return nullptr;
  }
  // source: (bytes or bytearray, True) or (a binary file object, seekable),
  // the input's content; the path argument then only names it.
  std::unique_ptr<SourceInput> source;
  if (PyObject* given_source = PyDict_GetItemString(rest.get(), "source")) {
    source = SourceInput::from(given_source);
    if (!source || PyDict_DelItemString(rest.get(), "source") < 0) {
      return nullptr;
    }
  }
  if (!PyArg_ParseTupleAndKeywords(
          args, rest.get(), "y#$pz#iOpzsO!:analyze", const_cast<char**>(keywords),
          &path, &path_size, &native_res, &hwdec, &hwdec_size, &threads,
          &progress, &keep_records, &rule, &on_decode_error,
          &PyDict_Type,
          &detector)) {
    return nullptr;
  }
  AnalyzeOptions options = AnalyzeOptions::defaults_for_input(
      std::string(path, static_cast<std::size_t>(path_size)));
  const bool read_detector =
      visit_detector_fields(options, [&](const char* name, auto& field) {
        PyObject* value = PyDict_GetItemString(detector, name);  // borrowed
        if (value == nullptr) {
          PyErr_Format(PyExc_KeyError, "detector setting %s is missing", name);
          return false;
        }
        return from_python(value, field);
      });
  if (!read_detector) return nullptr;
  if (source) options.reader = &source->reader();
  options.native_res = native_res != 0;
  if (hwdec != nullptr) {
    options.hwdec = std::string(hwdec, static_cast<std::size_t>(hwdec_size));
  }
  options.threads = threads;
  options.keep_records = keep_records != 0;
  if (rule != nullptr) {
    options.transitions = std::strcmp(rule, "gradual") == 0
                              ? transitions::Rule::gradual
                              : transitions::Rule::cuts;
  }
  options.on_decode_error = std::strcmp(on_decode_error, "skip") == 0
                                ? decoder::OnDecodeError::skip
                                : decoder::OnDecodeError::stop;

  ffmpeg_log::LogCapture log(AV_LOG_WARNING);
  options.log = &log;
  LearnedFrames learned(learned_frames.get());
  ProgressCheck check(progress, learned);
  options.on_progress = [&check](const analysis::Progress& reached) {
    return check.on_frame(reached);
  };
  if (learned.wanted()) {
    options.on_small_rgb = [&check](std::span<const std::uint8_t> image,
                                    std::size_t frame) {
      return check.on_small_rgb(image, frame);
    };
  }

  check.release_lock();
  Result<AnalysisResult> result = [&] {
    ffmpeg_log::ThreadCapture ours(&log);
    return analysis::analyze(options);
  }();
  check.take_lock();

  // What the file object raised: Ctrl-C or another exit goes on as it is;
  // any other exception becomes the cause of the analysis's error.
  PyRef raised(source ? source->take_exception() : nullptr);
  if (raised && PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception) == 0) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(raised.get());
    PyErr_Restore(type, raised.release(), traceback);  // steals all three
    return nullptr;
  }
  if (PyErr_Occurred() != nullptr) return nullptr;  // interrupted
  if (!result) {
    const error::VantrelError classified =
        error::VantrelError::from(result.error());
    const std::string message =
        std::string(error::prefix(classified.kind)) + result.error().chain();
    PyRef dict(PyDict_New());
    if (!dict ||
        !put(dict.get(), "error",
             Py_BuildValue("(iN)", static_cast<int>(classified.kind),
                           text(message))) ||
        !put_messages(dict.get(), log) ||
        (raised && PyDict_SetItemString(dict.get(), "error_cause",
                                        raised.get()) < 0)) {
      return nullptr;
    }
    return dict.release();
  }
  const double last = result->times.empty() ? 0.0 : result->times.back();
  if (!check.report(analysis::Progress{result->times.size(), last,
                                       result->stream.duration})) {
    return nullptr;
  }
  PyRef dict(result_dict(*result, options, log));
  if (!dict || !put(dict.get(), "learned_source", learned.source_column())) {
    return nullptr;
  }
  return dict.release();
}

// Which kernel form the metrics run on, for the tests of a build that it
// picks the processor's fastest.
PyObject* metrics_form(PyObject*, PyObject*) {
  return PyUnicode_FromString(simd_metrics::kernel_form());
}

PyMethodDef kMethods[] = {
    {"analyze", reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(guarded<analyze_impl>)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"metrics_form", metrics_form, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "vantrel._engine", nullptr, 0, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vantrel::python

PyMODINIT_FUNC PyInit__engine(void) {
  using vantrel::python::PyRef;
  vantrel::ffmpeg_log::install();
  PyRef module(PyModule_Create(&vantrel::python::kModuleDef));
  if (!module) return nullptr;
  PyObject* defaults = vantrel::python::detector_defaults();
  // PyModule_AddObject steals the reference only when it succeeds.
  if (defaults == nullptr ||
      PyModule_AddObject(module.get(), "DETECTOR_DEFAULTS", defaults) < 0) {
    Py_XDECREF(defaults);
    return nullptr;
  }
  return module.release();
}

// The vantrel._engine extension module: one analysis with every result,
// decoded without the interpreter lock. Its caller, the vantrel package,
// checks the ranges of the settings; this module trusts them.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "core/analysis.h"
#include "base/ffmpeg_log.h"
#include "core/transitions_rule.h"
#include "metrics/metrics.h"
#include "python/py_support.h"
#include "python/reader.h"

namespace vantrel::python {
namespace {

using analysis::AnalysisResult;
using analysis::AnalyzeOptions;

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

// `make()` when `present`, else None.
template <class Make>
PyObject* or_none(bool present, Make make) {
  return present ? make() : none();
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
  return list_of(found, [](const transitions::Transition& t) {
    const char* kind = t.kind == transitions::Kind::cut    ? "cut"
                       : t.kind == transitions::Kind::fade ? "fade"
                                                           : "dissolve";
    return Py_BuildValue("(snnnd)", kind, static_cast<Py_ssize_t>(t.first),
                         static_cast<Py_ssize_t>(t.last),
                         static_cast<Py_ssize_t>(t.start), t.strength);
  });
}

// The rejected packets as (frame, time, message) tuples.
PyObject* rejected_list(const std::vector<decoder::RejectedPacket>& packets) {
  return list_of(packets, [](const decoder::RejectedPacket& packet) {
    return Py_BuildValue("(ndN)", static_cast<Py_ssize_t>(packet.frame),
                         packet.time, text(packet.message));
  });
}

// FFmpeg's lines of the analysis, and how many did not fit.
bool put_messages(PyObject* dict, ffmpeg_log::LogCapture& log) {
  return put(dict, "messages_dropped", PyLong_FromSize_t(log.dropped())) &&
         put(dict, "messages",
             list_of(log.take_lines(), [](const ffmpeg_log::LogLine& line) {
               return Py_BuildValue("(iN)", line.level, text(line.text));
             }));
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
    return or_none(wanted(), [this] { return column(sources_); });
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
    PyRef duration(or_none(reached.duration.has_value(), [&] {
      return PyFloat_FromDouble(*reached.duration);
    }));
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

// The dict of a finished analysis.
PyObject* result_dict(const AnalysisResult& result,
                      const AnalyzeOptions& options,
                      ffmpeg_log::LogCapture& log,
                      const LearnedFrames& learned) {
  const decoder::StreamInfo& stream = result.stream;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool complete =
      put(d, "keyframes", index_list(result.keyframes)) &&
      put(d, "pass_text", pass_text(result.pass_decisions)) &&
      put(d, "times", column(result.times)) &&
      put(d, "end_time", PyFloat_FromDouble(result.end_time)) &&
      put(d, "fps", or_none(stream.frame_rate.has_value(), [&] {
            const decoder::Rational rate = *stream.frame_rate;
            return Py_BuildValue("(LL)", static_cast<long long>(rate.num),
                                 static_cast<long long>(rate.den));
          })) &&
      put(d, "duration", or_none(stream.duration.has_value(), [&] {
            return PyFloat_FromDouble(*stream.duration);
          })) &&
      put(d, "records", or_none(options.keep_records, [&] {
            return record_columns(result.records);
          })) &&
      put(d, "transitions", or_none(options.transitions.has_value(), [&] {
            return transition_list(result.transitions);
          })) &&
      put(d, "decode_errors", rejected_list(result.rejected_packets)) &&
      put_messages(d, log) &&
      put(d, "learned_source", learned.source_column());
  return complete ? dict.release() : nullptr;
}

// The dict of a failed analysis: its error's kind and text, and its messages.
PyObject* error_dict(const Error& error, ffmpeg_log::LogCapture& log,
                     PyObject* cause) {
  const error::VantrelError classified = error::VantrelError::from(error);
  const std::string message =
      std::string(error::prefix(classified.kind)) + error.chain();
  PyRef dict(PyDict_New());
  if (!dict ||
      !put(dict.get(), "error",
           Py_BuildValue("(iN)", static_cast<int>(classified.kind),
                         text(message))) ||
      !put_messages(dict.get(), log) ||
      (cause != nullptr &&
       PyDict_SetItemString(dict.get(), "error_cause", cause) < 0)) {
    return nullptr;
  }
  return dict.release();
}

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

// DETECTOR_DEFAULTS: the detector settings of a default analysis, by name, in
// the order of visit_detector_fields (the order of the command's options).
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

// TRANSITION_RULE: the gradual rule's constants by name, the dissolve widths
// as a tuple.
PyObject* transition_rule() {
  PyRef dict(PyDict_New());
  if (!dict || !transitions::visit_rule_constants([&](const char* name,
                                                      const auto& value) {
        if constexpr (std::is_arithmetic_v<std::decay_t<decltype(value)>>) {
          return put(dict.get(), name, to_python(value));
        } else {
          PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(value.size())));
          if (!tuple) return false;
          for (std::size_t i = 0; i < value.size(); ++i) {
            PyObject* item = to_python(value[i]);
            if (item == nullptr) return false;
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
          }
          return put(dict.get(), name, tuple.release());
        }
      })) {
    return nullptr;
  }
  return dict.release();
}

// A keyword's value among its named choices.
template <class T>
struct Choice {
  const char* name;
  T value;
};

constexpr Choice<transitions::Rule> kTransitionRules[] = {
    {"cuts", transitions::Rule::cuts},
    {"gradual", transitions::Rule::gradual},
};
constexpr Choice<decoder::OnDecodeError> kOnDecodeError[] = {
    {"stop", decoder::OnDecodeError::stop},
    {"skip", decoder::OnDecodeError::skip},
};

// The value named `name` into `out`; false with a ValueError naming the
// keyword and its choices when there is none.
template <class T, std::size_t N>
bool choose(const char* keyword, const char* name,
            const Choice<T> (&choices)[N], T& out) {
  std::string names;
  for (const Choice<T>& choice : choices) {
    if (std::strcmp(choice.name, name) == 0) {
      out = choice.value;
      return true;
    }
    names += names.empty() ? "'" : " or '";
    names += choice.name;
    names += "'";
  }
  PyErr_Format(PyExc_ValueError, "%s must be %s, not '%s'", keyword,
               names.c_str(), name);
  return false;
}

// The detector settings from `detector`, which holds every one by name.
bool read_detector(PyObject* detector, AnalyzeOptions& options) {
  return visit_detector_fields(options, [&](const char* name, auto& field) {
    PyObject* value = PyDict_GetItemString(detector, name);  // borrowed
    if (value == nullptr) {
      PyErr_Format(PyExc_KeyError, "detector setting %s is missing", name);
      return false;
    }
    return from_python(value, field);
  });
}

// The input to analyse: a path as bytes.
bool read_input(PyObject* input, AnalyzeOptions& options) {
  const char* path = nullptr;
  Py_ssize_t size = 0;
  if (!PyArg_Parse(input, "y#", &path, &size)) return false;
  options.input.assign(path, static_cast<std::size_t>(size));
  return true;
}

// analyze()'s arguments: the analysis's options and the Python callables it
// reports to (borrowed; None for none).
struct Request {
  AnalyzeOptions options = AnalyzeOptions::defaults_for_input({});
  PyObject* progress = Py_None;
  PyObject* learned_frames = Py_None;
  // The input's content, when given as an object: options.reader reads it.
  std::unique_ptr<SourceInput> source;
};

// analyze(input, *, source, native_res, hwdec: str | None, threads, progress,
//         keep_records, transitions: "cuts" | "gradual" | None,
//         on_decode_error: "stop" | "skip", detector: dict by name,
//         learned_frames); a keyword left out keeps vantrel.analyze()'s
// default. nullopt with the Python error set when an argument is unusable.
std::optional<Request> parse_request(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "",         "source",       "native_res",  "hwdec",
      "threads",  "progress",     "keep_records", "transitions",
      "on_decode_error", "detector", "learned_frames", nullptr};
  Request request;
  PyObject* input = nullptr;
  PyObject* source = Py_None;  // (bytes or bytearray, True) or (file object, seekable)
  int native_res = 0;
  const char* hwdec = nullptr;
  Py_ssize_t hwdec_size = 0;
  int threads = 0;  // FFmpeg chooses
  int keep_records = 0;
  const char* rule = nullptr;
  const char* on_decode_error = nullptr;
  PyObject* detector = nullptr;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O|$Opz#iOpzsO!O:analyze", const_cast<char**>(keywords),
          &input, &source, &native_res, &hwdec, &hwdec_size, &threads,
          &request.progress, &keep_records, &rule, &on_decode_error,
          &PyDict_Type, &detector, &request.learned_frames)) {
    return std::nullopt;
  }
  AnalyzeOptions& options = request.options;
  if (!read_input(input, options) ||
      (detector != nullptr && !read_detector(detector, options)) ||
      (rule != nullptr &&
       !choose("transitions", rule, kTransitionRules,
               options.transitions.emplace())) ||
      (on_decode_error != nullptr &&
       !choose("on_decode_error", on_decode_error, kOnDecodeError,
               options.on_decode_error))) {
    return std::nullopt;
  }
  if (source != Py_None) {
    request.source = SourceInput::from(source);
    if (!request.source) return std::nullopt;
    options.reader = &request.source->reader();
  }
  options.native_res = native_res != 0;
  if (hwdec != nullptr) {
    options.hwdec = std::string(hwdec, static_cast<std::size_t>(hwdec_size));
  }
  options.threads = threads;
  options.keep_records = keep_records != 0;
  return request;
}

// Runs the analysis of `request` with the lock released but for its progress
// checks, then builds its result (or error) dict.
PyObject* run(Request& request) {
  ffmpeg_log::LogCapture log(AV_LOG_WARNING);
  LearnedFrames learned(request.learned_frames);
  ProgressCheck check(request.progress, learned);
  AnalyzeOptions& options = request.options;
  options.log = &log;
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
  PyRef raised(request.source ? request.source->take_exception() : nullptr);
  if (raised && PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception) == 0) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(raised.get());
    PyErr_Restore(type, raised.release(), traceback);  // steals all three
    return nullptr;
  }
  if (PyErr_Occurred() != nullptr) return nullptr;  // interrupted
  if (!result) return error_dict(result.error(), log, raised.get());
  const double last = result->times.empty() ? 0.0 : result->times.back();
  if (!check.report(analysis::Progress{result->times.size(), last,
                                       result->stream.duration})) {
    return nullptr;
  }
  return result_dict(*result, options, log, learned);
}

PyObject* analyze_impl(PyObject* args, PyObject* kwargs) {
  std::optional<Request> request = parse_request(args, kwargs);
  if (!request) return nullptr;
  return run(*request);
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

// The module's constants: each name and the function that makes its value.
struct Attribute {
  const char* name;
  PyObject* (*make)();
};

constexpr Attribute kAttributes[] = {
    {"DETECTOR_DEFAULTS", detector_defaults},
    {"TRANSITION_RULE", transition_rule},
};

PyObject* create_module() {
  PyRef module(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  for (const Attribute& attribute : kAttributes) {
    PyRef value(attribute.make());
    if (!value ||
        PyModule_AddObject(module.get(), attribute.name, value.get()) < 0) {
      return nullptr;
    }
    value.release();  // the module holds it now
  }
  return module.release();
}

}  // namespace
}  // namespace vantrel::python

PyMODINIT_FUNC PyInit__engine(void) {
  vantrel::ffmpeg_log::install();
  return vantrel::python::create_module();
}

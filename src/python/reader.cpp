#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/reader.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/ffmpeg_log.h"

namespace vantrel::python {
namespace {

// The interpreter lock, taken by a thread of the analysis for one call into
// Python; FFmpeg lines that Python code logs meanwhile are not the analysis's.
class Locked {
 public:
  Locked() : state_(PyGILState_Ensure()) {}
  ~Locked() { PyGILState_Release(state_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PyGILState_STATE state_;
  ffmpeg_log::ThreadCapture not_ours_{nullptr};
};

// A writable view of memory (PyMemoryView_FromMemory's flag, which the
// stable ABI headers of Python 3.9 do not name).
#ifndef PyBUF_WRITE
#define PyBUF_WRITE 0x200
#endif

std::string str_of(PyObject* object) {
  PyRef text(PyObject_Str(object));
  PyRef utf8(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
  if (!utf8) {
    PyErr_Clear();
    return "?";
  }
  return PyBytes_AsString(utf8.get());
}

Error none_returned(const char* what) {
  return Error(std::string(what) +
               " returned None: the object is non-blocking and had no data "
               "ready; give a blocking one");
}

}  // namespace

Error ObjectReader::keep_exception(const char* what) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type);
  PyRef owned_traceback(traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  PyRef name(PyObject_GetAttrString(type, "__name__"));
  std::string message = std::string(what) + " " +
                        (name ? str_of(name.get()) : std::string("an exception"));
  PyErr_Clear();
  if (const std::string detail = str_of(value); !detail.empty()) {
    message += ": " + detail;
  }
  if (!exception_) {
    exception_ = PyRef(value);
  } else {
    Py_XDECREF(value);
  }
  return Error(std::move(message));
}

Result<std::size_t> ObjectReader::read(std::span<std::uint8_t> into) {
  Locked lock;
  const auto wanted = static_cast<Py_ssize_t>(into.size());
  if (readinto_ < 0) readinto_ = PyObject_HasAttrString(object_, "readinto");
  if (readinto_ != 0) {
    PyRef view(PyMemoryView_FromMemory(reinterpret_cast<char*>(into.data()),
                                       wanted, PyBUF_WRITE));
    if (!view) return fail(keep_exception("readinto() raised"));
    PyRef got(PyObject_CallMethod(object_, "readinto", "O", view.get()));
    std::optional<Error> failed;
    if (!got) failed = keep_exception("readinto() raised");
    // The buffer is the decoder's: no view of it may outlive the call.
    PyRef released(PyObject_CallMethod(view.get(), "release", nullptr));
    if (!released) {
      const Error kept =
          keep_exception("releasing the buffer of readinto() raised");
      if (!failed) failed = kept;
    }
    if (failed) return fail(*failed);
    if (got.get() == Py_None) return fail(none_returned("readinto()"));
    const Py_ssize_t count = PyLong_AsSsize_t(got.get());
    if (count == -1 && PyErr_Occurred() != nullptr) {
      return fail(keep_exception("readinto() returned no count:"));
    }
    if (count < 0 || count > wanted) {
      return fail(Error("readinto() returned " + std::to_string(count) +
                        " for a buffer of " + std::to_string(wanted) +
                        " bytes"));
    }
    position_ += count;
    return static_cast<std::size_t>(count);
  }
  PyRef got(PyObject_CallMethod(object_, "read", "n", wanted));
  if (!got) return fail(keep_exception("read() raised"));
  if (got.get() == Py_None) return fail(none_returned("read()"));
  if (PyUnicode_Check(got.get())) {
    return fail(Error(
        "read() returned str, not bytes: open the file in binary mode ('rb')"));
  }
  if (!PyBytes_Check(got.get())) {
    got = PyRef(PyBytes_FromObject(got.release()));
    if (!got) return fail(keep_exception("read() returned no bytes:"));
  }
  char* data = nullptr;
  Py_ssize_t count = 0;
  if (PyBytes_AsStringAndSize(got.get(), &data, &count) < 0) {
    return fail(keep_exception("read() raised"));
  }
  if (count > wanted) {
    return fail(Error("read(" + std::to_string(wanted) + ") returned " +
                      std::to_string(count) + " bytes"));
  }
  std::memcpy(into.data(), data, static_cast<std::size_t>(count));
  position_ += count;
  return static_cast<std::size_t>(count);
}

Result<std::int64_t> ObjectReader::call_seek(std::int64_t offset, int whence) {
  PyRef got(PyObject_CallMethod(object_, "seek", "Li",
                                static_cast<long long>(offset), whence));
  if (!got) return fail(keep_exception("seek() raised"));
  // Some objects' seek returns None: tell() says where it went.
  if (got.get() == Py_None) {
    got = PyRef(PyObject_CallMethod(object_, "tell", nullptr));
    if (!got) return fail(keep_exception("tell() raised"));
  }
  const long long position = PyLong_AsLongLong(got.get());
  if (position == -1 && PyErr_Occurred() != nullptr) {
    return fail(keep_exception("seek() returned no position:"));
  }
  return static_cast<std::int64_t>(position);
}

Status ObjectReader::seek(std::int64_t position) {
  Locked lock;
  Result<std::int64_t> moved = call_seek(position, SEEK_SET);
  if (!moved) return fail(moved.error());
  position_ = position;
  return {};
}

Result<std::optional<std::int64_t>> ObjectReader::size() {
  if (size_) return *size_;
  Locked lock;
  Result<std::int64_t> end = call_seek(0, SEEK_END);
  if (!end) return fail(end.error());
  Result<std::int64_t> back = call_seek(position_, SEEK_SET);
  if (!back) return fail(back.error());
  size_ = *end >= 0 ? std::optional<std::int64_t>(*end) : std::nullopt;
  return *size_;
}

std::unique_ptr<SourceInput> SourceInput::from(PyObject* source) {
  PyObject* object = nullptr;
  int seekable = 0;
  if (!PyArg_ParseTuple(source, "Op:source", &object, &seekable)) {
    return nullptr;
  }
  auto input = std::make_unique<SourceInput>();
  if (PyBytes_Check(object)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return nullptr;
    input->pin_ = PyRef((Py_INCREF(object), object));
    input->reader_ = std::make_unique<decoder::BufferReader>(
        std::span(reinterpret_cast<const std::uint8_t*>(data),
                  static_cast<std::size_t>(size)));
  } else if (PyByteArray_Check(object)) {
    // A view of it keeps its size (and so its memory) until the end.
    input->pin_ = PyRef(PyMemoryView_FromObject(object));
    if (!input->pin_) return nullptr;
    input->reader_ = std::make_unique<decoder::BufferReader>(std::span(
        reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(object)),
        static_cast<std::size_t>(PyByteArray_Size(object))));
  } else {
    input->pin_ = PyRef((Py_INCREF(object), object));
    auto reader = std::make_unique<ObjectReader>(object, seekable != 0);
    input->object_reader_ = reader.get();
    input->reader_ = std::move(reader);
  }
  return input;
}

PyObject* SourceInput::take_exception() {
  return object_reader_ != nullptr ? object_reader_->take_exception() : nullptr;
}

}  // namespace vantrel::python

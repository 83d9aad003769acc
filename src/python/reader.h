// The input of an analysis given as a Python object rather than a path: the
// video's bytes, read in C++ without the interpreter lock, or a binary file
// object, whose methods are called with the lock taken for each call only.
// Include after <Python.h>.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "decode/reader.h"
#include "python/py_support.h"

namespace vantrel::python {

// A binary file object read through `readinto` (else `read`) and, when
// seekable, moved with `seek`. Calls take the lock; the first exception
// they raise is kept for the caller and fails the read.
class ObjectReader final : public decoder::Reader {
 public:
  // With the lock held; `object` must outlive the reader.
  ObjectReader(PyObject* object, bool seekable)
      : object_(object), seekable_(seekable) {}

  Result<std::size_t> read(std::span<std::uint8_t> into) override;
  bool seekable() const override { return seekable_; }
  Status seek(std::int64_t position) override;
  Result<std::optional<std::int64_t>> size() override;

  // The exception a call raised, or null (a new reference); with the lock.
  PyObject* take_exception() { return exception_.release(); }

 private:
  // "WHAT TYPE: MESSAGE" of the exception that is set, which is kept (the
  // first one) and cleared; with the lock held.
  Error keep_exception(const char* what);
  Result<std::int64_t> call_seek(std::int64_t offset, int whence);

  PyObject* object_;
  bool seekable_;
  int readinto_ = -1;  // whether it has readinto; -1: not looked up yet
  std::int64_t position_ = 0;
  std::optional<std::optional<std::int64_t>> size_;  // once asked
  PyRef exception_;
};

// What the engine's `source` argument holds: (bytes or bytearray, True) or
// (a binary file object, seekable).
class SourceInput {
 public:
  // With the lock held; null with a Python error set when `source` is not
  // of that form.
  static std::unique_ptr<SourceInput> from(PyObject* source);

  decoder::Reader& reader() { return *reader_; }
  // The exception a call on the file object raised, or null (a new
  // reference); with the lock.
  PyObject* take_exception();

 private:
  PyRef pin_;  // the bytes object, or a memoryview that keeps a bytearray's size
  std::unique_ptr<decoder::Reader> reader_;
  ObjectReader* object_reader_ = nullptr;  // reader_, when it is one
};

}  // namespace vantrel::python

// What both extension modules need at the interpreter boundary. Include
// after <Python.h>.
#pragma once

#include <exception>
#include <new>

#include "base/error.h"

namespace vantrel::python {

// Released when it goes out of scope.
class PyRef {
 public:
  explicit PyRef(PyObject* object = nullptr) : object_(object) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = object_;
    object_ = other.release();
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_;
};

// A failed allocation is not an error of the analysis: like any other broken
// internal invariant it ends the process with a diagnostic, and no C++
// exception ever crosses into the interpreter.
template <PyObject* (*Impl)(PyObject*, PyObject*)>
PyObject* guarded(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    return Impl(args, kwargs);
  } catch (const std::bad_alloc&) {
    fatal_internal("memory allocation failed");
  } catch (const std::exception& e) {
    fatal_internal(e.what());
  }
}

}  // namespace vantrel::python

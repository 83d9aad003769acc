// What both extension modules need at the interpreter boundary: owned
// references, the Python values both make of a result, and the guard that
// keeps C++ exceptions out of the interpreter. Include after <Python.h>.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "core/formatter.h"

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

// A new reference to None.
inline PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

inline PyObject* utf8_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(),
                                     static_cast<Py_ssize_t>(text.size()));
}

// The list of `make(value)` (each a new reference, null on failure) for
// each of `values`, in order.
template <class T, class Make>
PyObject* list_of(const std::vector<T>& values, Make make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list.release();
}

// Frame indices (keyframes) as a list of ints.
inline PyObject* index_list(const std::vector<std::size_t>& indices) {
  return list_of(indices,
                 [](std::size_t index) { return PyLong_FromSize_t(index); });
}

// The first-pass statistics text of the per-frame decisions, as a str.
inline PyObject* pass_text(const std::vector<bool>& pass_decisions) {
  return utf8_str(formatter::write_pass_log(pass_decisions));
}

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

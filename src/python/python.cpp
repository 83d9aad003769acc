// The vantrel_rs extension module: detect_frames and detect_pass.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "core/analysis.h"
#include "python/py_support.h"

namespace vantrel::python {
namespace {

using analysis::AnalysisResult;
using analysis::AnalyzeOptions;

constexpr std::array<const char*, 3> kParamNames{"input", "native_res", "hwdec"};

struct Arguments {
  std::string input;
  bool native_res = false;
  std::optional<std::string> hwdec;
};

bool to_utf8_text(PyObject* unicode, std::string& out) {
  if (!PyUnicode_Check(unicode)) return false;
  PyRef bytes(PyUnicode_AsUTF8String(unicode));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// The qualified name of the object's type, e.g. "int" or "PosixPath".
std::string type_qualname(PyObject* object) {
  PyRef name(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  std::string text;
  if (name && to_utf8_text(name.get(), text)) return text;
  PyErr_Clear();
  return "object";
}

bool type_attribute_equals(PyObject* type, const char* attribute,
                           const char* value) {
  PyRef text(PyObject_GetAttrString(type, attribute));
  if (!text) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(text.get()) &&
         PyUnicode_CompareWithASCIIString(text.get(), value) == 0;
}

bool cannot_convert(PyObject* object, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
               type_qualname(object).c_str(), target);
  return false;
}

bool to_utf8(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) return cannot_convert(object, "PyString");
  // A UnicodeEncodeError (a lone surrogate) passes through unchanged.
  return to_utf8_text(object, out);
}

bool to_bool(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  const bool numpy_bool = (type_attribute_equals(type, "__name__", "bool_") ||
                           type_attribute_equals(type, "__name__", "bool")) &&
                          type_attribute_equals(type, "__module__", "numpy");
  if (!numpy_bool) return cannot_convert(object, "PyBool");
  if (!PyObject_HasAttrString(type, "__bool__")) {
    PyErr_Format(PyExc_TypeError,
                 "object of type '%s' does not define a '__bool__' conversion",
                 type_qualname(object).c_str());
    return false;
  }
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth == 1;
  return true;
}

bool to_optional_utf8(PyObject* object, std::optional<std::string>& out) {
  if (object == Py_None) {
    out.reset();
    return true;
  }
  std::string text;
  if (!to_utf8(object, text)) return false;
  out = std::move(text);
  return true;
}

// A TypeError (exactly that type) from converting argument `name` becomes
// "argument '{name}': {error}", keeping the original error's cause.
void prefix_type_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (type != PyExc_TypeError || value == nullptr) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyRef old_type(type), old_value(value), old_traceback(traceback);
  PyRef text(PyObject_Str(value));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  if (PyObject* cause = PyException_GetCause(value)) {
    PyException_SetCause(error.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
}

bool bind_arguments(const char* function, PyObject* args, PyObject* kwargs,
                    Arguments& out) {
  std::array<PyObject*, 3> bound{nullptr, nullptr, nullptr};  // borrowed
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from 1 to 3 positional arguments but %zd %s given",
                 function, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t index = kParamNames.size();
      for (std::size_t i = 0; i < kParamNames.size(); ++i) {
        if (PyUnicode_Check(key) &&
            PyUnicode_CompareWithASCIIString(key, kParamNames[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index == kParamNames.size()) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%S'", function,
                     key);
        return false;
      }
      if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got multiple values for argument '%s'", function,
                     kParamNames[index]);
        return false;
      }
      bound[index] = value;
    }
  }
  if (bound[0] == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "%s() missing 1 required positional argument: 'input'",
                 function);
    return false;
  }
  if (!to_utf8(bound[0], out.input)) {
    prefix_type_error("input");
    return false;
  }
  if (bound[1] != nullptr && !to_bool(bound[1], out.native_res)) {
    prefix_type_error("native_res");
    return false;
  }
  if (bound[2] != nullptr && !to_optional_utf8(bound[2], out.hwdec)) {
    prefix_type_error("hwdec");
    return false;
  }
  return true;
}

void raise_runtime_error(const error::VantrelError& error) {
  PyRef message(utf8_str(error.to_string()));
  if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
}

// Binds the arguments and runs one analysis; nullopt with a Python error set
// on failure.
std::optional<AnalysisResult> run_analysis(const char* function, PyObject* args,
                                           PyObject* kwargs) {
  Arguments arguments;
  if (!bind_arguments(function, args, kwargs, arguments)) return std::nullopt;
  AnalyzeOptions options =
      AnalyzeOptions::defaults_for_input(std::move(arguments.input));
  options.native_res = arguments.native_res;
  options.hwdec = std::move(arguments.hwdec);
  auto result = analysis::analyze_video(options);
  if (!result) {
    raise_runtime_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

PyObject* detect_frames_impl(PyObject* args, PyObject* kwargs) {
  auto result = run_analysis("detect_frames", args, kwargs);
  if (!result) return nullptr;
  return index_list(result->keyframes);
}

PyObject* detect_pass_impl(PyObject* args, PyObject* kwargs) {
  auto result = run_analysis("detect_pass", args, kwargs);
  if (!result) return nullptr;
  return pass_text(result->pass_decisions);
}

PyMethodDef kMethods[] = {
    {"detect_frames", reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(guarded<detect_frames_impl>)),
     METH_VARARGS | METH_KEYWORDS,
     "detect_frames(input, native_res=False, hwdec=None)\n--\n\n"},
    {"detect_pass", reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(guarded<detect_pass_impl>)),
     METH_VARARGS | METH_KEYWORDS,
     "detect_pass(input, native_res=False, hwdec=None)\n--\n\n"},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "vantrel_rs", "", 0, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

// Per process: the interpreter that first imported the module, and the module.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyObject* create_module() {
  PyRef module(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  PyRef name(PyUnicode_FromString(kModuleDef.m_name));
  if (!name) return nullptr;
  for (PyMethodDef& method : kMethods) {
    PyRef function(PyCMethod_New(&method, module.get(), name.get(), nullptr));
    if (!function) return nullptr;
    if (PyModule_AddObject(module.get(), method.ml_name, function.get()) < 0) {
      return nullptr;
    }
    function.release();  // the module holds it now
  }
  return module.release();
}

}  // namespace
}  // namespace vantrel::python

PyMODINIT_FUNC PyInit_vantrel_rs(void) {
  using namespace vantrel::python;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) &&
      expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vantrel_rs does not support sub-interpreters: it can only "
                    "be imported by one interpreter per process, the first "
                    "that imports it");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = create_module();
    if (g_module == nullptr) return nullptr;
  }
  Py_INCREF(g_module);
  return g_module;
}

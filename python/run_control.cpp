// The threads and progress keywords shared by the long-running functions.
#include "bindings.hpp"

namespace ovelt {

bool arg_run_control(const char* qualname, PyObject* threads, PyObject* progress, pelda::RunControl* out) {
  *out = pelda::RunControl{};
  out->threads = 0;
  if (threads && threads != Py_None) {
    if (!PyIndex_Check(threads) || PyBool_Check(threads)) {
      raise_arg_type(qualname, "threads", "int or None", threads);
      return false;
    }
    Ref index(PyNumber_Index(threads));
    if (!index) return false;
    const long long n = PyLong_AsLongLong(index.get());
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 1) {
      PyErr_Format(PyExc_ValueError, "%s() argument 'threads' must be at least 1, not %lld", qualname, n);
      return false;
    }
    out->threads = std::size_t(n);
  }
  if (progress == Py_None) progress = nullptr;
  if (progress && !PyCallable_Check(progress)) {
    raise_arg_type(qualname, "progress", "callable or None", progress);
    return false;
  }
  out->poll = [progress](std::size_t done, std::size_t total) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    bool go_on = PyErr_CheckSignals() == 0;
    if (go_on && progress) {
      Ref r(PyObject_CallFunction(progress, "nn", Py_ssize_t(done), Py_ssize_t(total)));
      go_on = bool(r);
    }
    PyGILState_Release(gil);
    return go_on;
  };
  return true;
}

}  // namespace ovelt

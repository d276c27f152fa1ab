#include "common.hpp"

#include <cmath>
#include <cstddef>
#include <cstdio>

#include <structmember.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL ovelt_ARRAY_API
#include <numpy/arrayobject.h>

namespace ovelt {

// ---------------------------------------------------------------------------
// Failures

PyObject* internal_error_class() {
  static PyObject* cls = nullptr;
  if (!cls) {
    cls = PyErr_NewExceptionWithDoc("ovelt.InternalError",
                                    "Raised when the library detects a broken internal invariant.",
                                    PyExc_BaseException, nullptr);
  }
  return cls;
}

void raise_internal(const std::string& message) {
  PyObject* cls = internal_error_class();
  if (cls) PyErr_SetString(cls, message.c_str());
}

PyObject* raise_core(PyObject* type, const std::string& prefix, const pelda::Error& error) {
  if (error.kind == pelda::ErrorKind::Stopped && PyErr_Occurred()) return nullptr;
  if (error.kind == pelda::ErrorKind::Internal) {
    raise_internal(error.text());
    return nullptr;
  }
  // Messages may quote file content, NUL bytes included: keep their full length.
  const std::string text = prefix + error.text();
  Ref message(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* raise_value(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

PyObject* write_error_type(const pelda::Error& error) {
  return error.kind == pelda::ErrorKind::Value ? PyExc_ValueError : PyExc_OSError;
}

bool validated(const pelda::Status& check) {
  if (check) return true;
  raise_core(PyExc_ValueError, "", check.error());
  return false;
}

// ---------------------------------------------------------------------------
// Arguments

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list wording.
std::string quoted_names(const std::vector<const char*>& names) {
  std::string s;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    s += "'";
    s += names[i];
    s += "'";
  }
  return s;
}

}  // namespace

bool parse_args(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const std::vector<const char*>& names, std::size_t n_required, PyObject** out,
                int self_count, std::size_t n_positional) {
  const std::size_t total = names.size();
  const std::size_t positional = n_positional < total ? n_positional : total;
  for (std::size_t i = 0; i < total; ++i) out[i] = nullptr;
  if (std::size_t(nargs) > positional) {
    const std::size_t lo = n_required + self_count, hi = positional + self_count;
    std::string takes = lo == hi ? std::to_string(hi) : "from " + std::to_string(lo) + " to " + std::to_string(hi);
    const std::size_t given = std::size_t(nargs) + self_count;
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given", qualname,
                 takes.c_str(), hi == 1 && lo == hi ? "" : "s", given, given == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* kname = PyUnicode_AsUTF8(key);
    if (!kname) return false;
    std::size_t slot = total;
    for (std::size_t i = 0; i < total; ++i)
      if (std::string_view(kname) == names[i]) slot = i;
    if (slot == total) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", qualname, kname);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qualname, kname);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < n_required; ++i)
    if (!out[i]) missing.push_back(names[i]);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", qualname,
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_names(missing).c_str());
    return false;
  }
  return true;
}

void raise_arg_type(const char* qualname, const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", qualname, name, expected,
               Py_TYPE(got)->tp_name);
}

bool check_instance(const char* qualname, const char* name, PyObject* obj, PyTypeObject* type,
                    const char* type_name) {
  if (!type) return false;
  if (PyObject_TypeCheck(obj, type)) return true;
  raise_arg_type(qualname, name, type_name, obj);
  return false;
}

bool arg_string(const char* qualname, const char* name, PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    raise_arg_type(qualname, name, "str", obj);
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) return false;  // lone surrogates
  out->assign(s, std::size_t(len));
  return true;
}

bool arg_chain(const char* qualname, const char* name, PyObject* obj, char32_t* out, bool* has_value) {
  *has_value = false;
  if (!obj || obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    raise_arg_type(qualname, name, "str or None", obj);
    return false;
  }
  if (PyUnicode_GetLength(obj) != 1) {
    PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
    return false;
  }
  Py_UCS4 c = PyUnicode_ReadChar(obj, 0);
  if (c >= 0xD800 && c <= 0xDFFF) {
    PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
    return false;
  }
  *out = char32_t(c);
  *has_value = true;
  return true;
}

bool arg_optional_chain(const char* qualname, const char* name, PyObject* obj, std::optional<char32_t>* out) {
  char32_t c = 0;
  bool given = false;
  if (!arg_chain(qualname, name, obj, &c, &given)) return false;
  *out = given ? std::optional<char32_t>(c) : std::nullopt;
  return true;
}

bool arg_bool(const char* qualname, const char* name, PyObject* obj, bool* out, const char* expected) {
  if (!obj) return true;
  if (!PyBool_Check(obj) && !is_numpy_bool(obj)) {
    raise_arg_type(qualname, name, expected, obj);
    return false;
  }
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  *out = truth != 0;
  return true;
}

bool arg_sequence(const char* qualname, const char* name, PyObject* obj, std::vector<Ref>* items) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    raise_arg_type(qualname, name, "a sequence (not str)", obj);
    return false;
  }
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return false;
  items->clear();
  items->reserve(std::size_t(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(obj, i);
    if (!item) return false;
    items->emplace_back(item);
  }
  return true;
}

// Any integer the interpreter can index with; negative or too large values
// raise its OverflowError unchanged.
bool arg_unsigned(const char* qualname, const char* name, PyObject* obj, std::size_t* out) {
  if (!PyIndex_Check(obj)) {
    raise_arg_type(qualname, name, "int", obj);
    return false;
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return false;
  const std::size_t v = PyLong_AsSize_t(index.get());
  if (v == std::size_t(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// ---------------------------------------------------------------------------
// NumPy

bool ensure_numpy() {
  static bool ready = false;
  if (ready) return true;
  // NumPy's own loader finds the _ARRAY_API capsule in numpy._core (NumPy 2)
  // or numpy.core (NumPy 1) and checks the ABI.
  if (_import_array() < 0) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_ImportError, "the NumPy array interface is not accessible");
    return false;
  }
  ready = true;
  return true;
}

bool arg_array(const char* qualname, const char* name, PyObject* obj, int ndim, pelda::MatrixView* out) {
  if (!ensure_numpy()) return false;
  const char* expected = ndim == 1 ? "a 1-dimensional float64 numpy array" : "a 2-dimensional float64 numpy array";
  if (!PyArray_Check(obj)) {
    raise_arg_type(qualname, name, expected, obj);
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(a) != ndim || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not a %d-dimensional array of dtype %s",
                 qualname, name, expected, PyArray_NDIM(a), PyArray_DESCR(a)->typeobj->tp_name);
    return false;
  }
  out->data = PyArray_BYTES(a);
  out->rows = std::size_t(PyArray_DIM(a, 0));
  out->row_stride = PyArray_STRIDE(a, 0);
  if (ndim == 2) {
    out->cols = std::size_t(PyArray_DIM(a, 1));
    out->col_stride = PyArray_STRIDE(a, 1);
  } else {
    out->cols = 1;
    out->col_stride = 0;
  }
  return true;
}

bool is_numpy_bool(PyObject* obj) {
  if (!ensure_numpy()) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(obj, &PyBoolArrType_Type);
}

PyObject* new_array_2d(std::size_t rows, std::size_t cols, double** data) {
  if (!ensure_numpy()) return nullptr;
  npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
  PyObject* a = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
  if (a) *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
  return a;
}

PyObject* new_array_1d(std::size_t n, double** data) {
  if (!ensure_numpy()) return nullptr;
  npy_intp dims[1] = {npy_intp(n)};
  PyObject* a = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (a) *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
  return a;
}

PyObject* points_to_array(const pelda::PointList& points) {
  double* d = nullptr;
  PyObject* a = new_array_2d(points.size(), 3, &d);
  if (!a) return nullptr;
  for (const pelda::Vec3& p : points) {
    *d++ = p.x;
    *d++ = p.y;
    *d++ = p.z;
  }
  return a;
}

pelda::PointList view_to_points(const pelda::MatrixView& view) {
  pelda::PointList points(view.rows);
  for (std::size_t i = 0; i < view.rows; ++i) points[i] = {view.at(i, 0), view.at(i, 1), view.at(i, 2)};
  return points;
}

// ---------------------------------------------------------------------------
// Types

PyTypeObject* lazy_type(PyType_Spec* type_spec, PyTypeObject** cache) {
  if (*cache) return *cache;
  // A bare type name makes the interpreter warn that the type has no
  // __module__ unless the class dict already holds one. A placeholder member
  // named __module__ is put there and replaced by "ovelt" right after creation.
  static PyMemberDef placeholder = {"__module__", T_OBJECT, offsetof(PyObject, ob_type), READONLY, nullptr};
  std::vector<PyType_Slot> slots;
  std::vector<PyMemberDef>* members = new std::vector<PyMemberDef>();  // lives as long as the type
  for (PyType_Slot* s = type_spec->slots; s->slot != 0; ++s) {
    if (s->slot == Py_tp_members) {
      for (auto* m = static_cast<PyMemberDef*>(s->pfunc); m->name; ++m) members->push_back(*m);
    } else {
      slots.push_back(*s);
    }
  }
  members->push_back(placeholder);
  members->push_back(PyMemberDef{nullptr, 0, 0, 0, nullptr});
  slots.push_back({Py_tp_members, members->data()});
  slots.push_back({0, nullptr});
  PyType_Spec full = *type_spec;
  full.slots = slots.data();
  PyObject* t = PyType_FromSpec(&full);
  if (!t) {
    delete members;
    return nullptr;
  }
  Ref module_name(PyUnicode_FromString("ovelt"));
  if (!module_name || PyObject_SetAttrString(t, "__module__", module_name.get()) < 0) {
    Py_DECREF(t);
    return nullptr;
  }
  *cache = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
  return *cache;
}

bool refuse_delete(PyObject* value) {
  if (value) return false;
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return true;
}

std::string format_fixed(double v, int decimals) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace ovelt

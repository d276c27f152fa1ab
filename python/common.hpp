// Shared plumbing of the extension: references, argument parsing, NumPy
// arrays, boxed core values and the mapping of failures to exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/math/matrix_view.hpp"
#include "pelda/math/vec.hpp"

namespace ovelt {

// Owning reference: decrefs on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}  // steals
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Failures at the boundary

// The class raised for broken internal invariants; derives from BaseException.
PyObject* internal_error_class();
void raise_internal(const std::string& message);

// Runs `body` (returning PyObject*, or int for setters) so that no C++
// exception reaches the interpreter: bad_alloc becomes MemoryError and
// anything else the internal-failure class.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unknown internal failure");
  }
  if constexpr (std::is_same_v<decltype(body()), int>) return -1;
  else return nullptr;
}

// Runs `body` with the GIL released and returns its result, so that other
// Python threads run meanwhile. `body` must not touch Python objects: take
// copies of what it needs first. The GIL is back when it returns or throws.
template <class F>
auto without_gil(F&& body) -> decltype(body()) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return body();
}

// Raises `type` with prefix + error.text(); internal errors use the internal
// class, and a run stopped by a pending Python exception keeps that exception.
PyObject* raise_core(PyObject* type, const std::string& prefix, const pelda::Error& error);
PyObject* raise_value(const std::string& message);
// What a failed write raises: ValueError for refused values, else OSError.
PyObject* write_error_type(const pelda::Error& error);
// True when the core check passed; otherwise raises ValueError with its text.
bool validated(const pelda::Status& check);

// ---------------------------------------------------------------------------
// Arguments

// Fills out[0..names.size()) from a vectorcall, with the interpreter's own
// wording for missing, surplus, duplicated and unknown arguments. Optional
// arguments that were not passed are left as nullptr. `qualname` is the name
// shown in messages ("pairwise_align", "Domain.to_pdb"); `self_count` is 1
// for methods so that counts read as Python's do. Names from position
// `n_positional` on are keyword-only.
bool parse_args(const char* qualname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const std::vector<const char*>& names, std::size_t n_required, PyObject** out,
                int self_count = 0, std::size_t n_positional = std::size_t(-1));

// TypeError "<qualname>() argument '<name>' must be <expected>, not <type>".
void raise_arg_type(const char* qualname, const char* name, const char* expected, PyObject* got);

// True when obj is an instance of type; otherwise raises the TypeError above.
bool check_instance(const char* qualname, const char* name, PyObject* obj, PyTypeObject* type,
                    const char* type_name);

// A str argument as UTF-8.
bool arg_string(const char* qualname, const char* name, PyObject* obj, std::string* out);

// None (or absent) -> has_value false; a one-character str -> that character;
// another length -> ValueError "expected a string of length 1"; else TypeError.
bool arg_chain(const char* qualname, const char* name, PyObject* obj, char32_t* out, bool* has_value);

// The same, as an optional: None or absent gives no chain.
bool arg_optional_chain(const char* qualname, const char* name, PyObject* obj, std::optional<char32_t>* out);

// A Python or NumPy bool; absent keeps `*out`. `expected` names the accepted
// types in the TypeError.
bool arg_bool(const char* qualname, const char* name, PyObject* obj, bool* out, const char* expected = "bool");

// A sequence other than str, as a list of new references.
bool arg_sequence(const char* qualname, const char* name, PyObject* obj, std::vector<Ref>* items);

// A non-negative integer (anything with __index__); OverflowError outside size_t.
bool arg_unsigned(const char* qualname, const char* name, PyObject* obj, std::size_t* out);

// ---------------------------------------------------------------------------
// NumPy

// Imports NumPy's C interface on first use; false with an exception set on failure.
bool ensure_numpy();

// obj must be a native-endian float64 ndarray of `ndim` dimensions; the view
// reads it through its strides. A 1-D array is seen as rows x 1.
bool arg_array(const char* qualname, const char* name, PyObject* obj, int ndim, pelda::MatrixView* out);

// True for numpy.bool_ scalars (False when NumPy is not importable).
bool is_numpy_bool(PyObject* obj);

// New C-contiguous float64 arrays.
PyObject* new_array_2d(std::size_t rows, std::size_t cols, double** data);
PyObject* new_array_1d(std::size_t n, double** data);
PyObject* points_to_array(const pelda::PointList& points);
pelda::PointList view_to_points(const pelda::MatrixView& view);

// ---------------------------------------------------------------------------
// Boxed core values and lazily created heap types

template <class T>
struct Box {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Box<T>*>(o)->value;
}

template <class T>
void box_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<Box<T>*>(self)->value.~T();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Allocates an instance of `type` holding `value` (nullptr with MemoryError).
template <class T>
PyObject* box_new(PyTypeObject* type, T value) {
  if (!type) return nullptr;
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  new (&reinterpret_cast<Box<T>*>(o)->value) T(std::move(value));
  return o;
}

// Creates the type from `type_spec` once and caches it; sets __module__ to "ovelt".
PyTypeObject* lazy_type(PyType_Spec* type_spec, PyTypeObject** cache);

// Casts a fastcall-with-keywords function for a PyMethodDef.
template <class F>
PyCFunction as_cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Setter slot shared by every settable property: refuses deletion.
bool refuse_delete(PyObject* value);

// "%.Nf" with the library's spelling of specials: "NaN", "inf", "-inf".
std::string format_fixed(double v, int decimals);

// ---------------------------------------------------------------------------
// Lists

// A new list of n items made by item(i), a new reference or nullptr on failure.
template <class F>
PyObject* list_of(std::size_t n, F&& item) {
  Ref list(PyList_New(Py_ssize_t(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* v = item(i);
    if (!v) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), v);
  }
  return list.release();
}

// A sequence argument (not str) converted item by item with
// convert(item, T*), which raises and returns false on a bad item.
template <class T, class F>
bool arg_list(const char* qualname, const char* name, PyObject* obj, std::vector<T>* out, F&& convert) {
  std::vector<Ref> items;
  if (!arg_sequence(qualname, name, obj, &items)) return false;
  out->clear();
  out->resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i)
    if (!convert(items[i].get(), &(*out)[i])) return false;
  return true;
}

}  // namespace ovelt

// Python class Parameters: one alignment parameter record held by value.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "bindings.hpp"
#include "state.hpp"

namespace ovelt {
namespace {

using pelda::Parameters;

PyTypeObject* parameters_cache = nullptr;

Parameters& self_params(PyObject* self) { return unbox<Parameters>(self); }

PyObject* parameters_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Parameters() takes no arguments");
    return nullptr;
  }
  return guarded([&] { return box_new(type, Parameters{}); });
}

// Re-raises the pending conversion error with the same type, naming the
// setter's argument.
void name_value_argument() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), trace(tb);
  Ref text(v ? PyObject_Str(v.get()) : nullptr);
  if (!text) return;  // the new error from str() stays set
  PyErr_Format(t.get(), "argument 'value': %U", text.get());
}

template <double Parameters::*Field>
PyObject* get_real(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(self_params(self).*Field); });
}

template <double Parameters::*Field>
int set_real(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (refuse_delete(value)) return -1;
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
      name_value_argument();
      return -1;
    }
    self_params(self).*Field = v;
    return 0;
  });
}

template <std::uint32_t Parameters::*Field>
PyObject* get_count(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromUnsignedLong(self_params(self).*Field); });
}

template <std::uint32_t Parameters::*Field>
int set_count(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (refuse_delete(value)) return -1;
    Ref index(PyNumber_Index(value));
    if (!index) {
      name_value_argument();
      return -1;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      name_value_argument();
      return -1;
    }
    if (v > 0xFFFFFFFFull) {
      PyErr_SetString(PyExc_OverflowError, "argument 'value': int too big to convert");
      return -1;
    }
    self_params(self).*Field = std::uint32_t(v);
    return 0;
  });
}

PyObject* get_use_secondary(PyObject* self, void*) {
  return guarded([&] { return PyBool_FromLong(self_params(self).use_secondary); });
}

int set_use_secondary(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (refuse_delete(value)) return -1;
    if (!PyBool_Check(value) && !is_numpy_bool(value)) {
      PyErr_Format(PyExc_TypeError, "argument 'value': must be bool, not %s", Py_TYPE(value)->tp_name);
      return -1;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    self_params(self).use_secondary = truth != 0;
    return 0;
  });
}

// Shortest digits that read back as the same double, written out in full
// with zeros: 1e300 is "1" and 300 zeros, 1e-7 "0.0000001"; never an exponent.
std::string plain_number(double v) {
  if (v != v) return "NaN";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view sci(buf, std::size_t(res.ptr - buf));  // "-d.ddde+XX", or "inf"
  const std::size_t e = sci.find('e');
  if (e == std::string_view::npos) return std::string(sci);
  std::string out, digits;
  std::size_t start = 0;
  if (sci[0] == '-') out = "-", start = 1;
  for (std::size_t i = start; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  // The value is 0.digits * 10^point.
  const long point = long(exponent) + 1;
  if (point <= 0) {
    out += "0." + std::string(std::size_t(-point), '0') + digits;
  } else if (std::size_t(point) >= digits.size()) {
    out += digits + std::string(std::size_t(point) - digits.size(), '0');
  } else {
    out += digits.substr(0, std::size_t(point)) + "." + digits.substr(std::size_t(point));
  }
  return out;
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Parameters& p = self_params(self);
    const std::string s = "Parameters(n_passes=" + std::to_string(p.n_passes) + ", e1=" + plain_number(p.e1) +
                          ", e2=" + plain_number(p.e2) + ", gap_open=" + plain_number(p.gap_open) +
                          ", use_secondary=" + (p.use_secondary ? "true" : "false") + ")";
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
  });
}

// Pickling: every field, the ones no operation reads included.
PyObject* reduce(PyObject* self, PyObject*) {
  return reduce_with(self, [&](StateWriter& w) {
    const Parameters& p = self_params(self);
    for (std::uint32_t v : {p.n_passes, p.max_iter, p.verbosity, p.reserved_limit}) w.word(v);
    for (double v : {p.e1, p.e2, p.gap_open, p.gap_extend, p.cutoff_dist, p.score_cutoff, p.convergence}) w.real(v);
    w.word(p.use_secondary);
    w.word(p.reserved_count);
  });
}

PyObject* from_state(PyObject* cls, PyObject* arg) {
  return restore<Parameters>(cls, arg, [](StateReader& in) {
    Parameters p;
    for (std::uint32_t* v : {&p.n_passes, &p.max_iter, &p.verbosity, &p.reserved_limit})
      *v = std::uint32_t(in.bounded(0xFFFFFFFF));
    for (double* v : {&p.e1, &p.e2, &p.gap_open, &p.gap_extend, &p.cutoff_dist, &p.score_cutoff, &p.convergence})
      *v = in.real();
    p.use_secondary = in.bounded(1) != 0;
    p.reserved_count = std::size_t(in.word());
    return p;
  });
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"_from_state", from_state, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"n_passes", get_count<&Parameters::n_passes>, set_count<&Parameters::n_passes>,
     "Number of refinement passes.", nullptr},
    {"e1", get_real<&Parameters::e1>, set_real<&Parameters::e1>, "E1 parameter for Pij calculation.", nullptr},
    {"e2", get_real<&Parameters::e2>, set_real<&Parameters::e2>, "E2 parameter for Pij calculation.", nullptr},
    {"gap_open", get_real<&Parameters::gap_open>, set_real<&Parameters::gap_open>, "Gap opening penalty.", nullptr},
    {"gap_extend", get_real<&Parameters::gap_extend>, set_real<&Parameters::gap_extend>, "Gap extension penalty.",
     nullptr},
    {"use_secondary", get_use_secondary, set_use_secondary, "Whether to use secondary structure in scoring.",
     nullptr},
    {"max_iter", get_count<&Parameters::max_iter>, set_count<&Parameters::max_iter>,
     "Maximum iterations for refinement.", nullptr},
    {"cutoff_dist", get_real<&Parameters::cutoff_dist>, set_real<&Parameters::cutoff_dist>,
     "Distance cutoff for scoring.", nullptr},
    {"score_cutoff", get_real<&Parameters::score_cutoff>, set_real<&Parameters::score_cutoff>,
     "Score cutoff for alignment.", nullptr},
    {"convergence", get_real<&Parameters::convergence>, set_real<&Parameters::convergence>,
     "Convergence threshold.", nullptr},
    {"verbosity", get_count<&Parameters::verbosity>, set_count<&Parameters::verbosity>, "Verbosity level.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parameters_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Parameters>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Parameters()\n--\n\n"
                                  "Python wrapper for alignment parameters.\n\n"
                                  "All parameters have sensible defaults matching the original PELDA behavior.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"Parameters", sizeof(Box<Parameters>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* parameters_type() { return lazy_type(&type_spec, &parameters_cache); }

bool arg_parameters(const char* qualname, PyObject* obj, pelda::Parameters* out) {
  if (!obj || obj == Py_None) {
    *out = pelda::Parameters{};
    return true;
  }
  if (!check_instance(qualname, "params", obj, parameters_type(), "Parameters or None")) return false;
  *out = unbox<pelda::Parameters>(obj);
  return true;
}

}  // namespace ovelt

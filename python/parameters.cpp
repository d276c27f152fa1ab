// Placeholder: replaced when this class lands.
#include "bindings.hpp"

namespace ovelt {

namespace {
PyType_Slot parameters_slots[] = {{0, nullptr}};
PyType_Spec parameters_spec = {"Parameters", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, parameters_slots};
PyTypeObject* parameters_cache = nullptr;
}  // namespace

PyTypeObject* parameters_type() { return lazy_type(&parameters_spec, &parameters_cache); }
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

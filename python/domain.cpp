// Placeholder: replaced when this class lands.
#include "bindings.hpp"

namespace ovelt {

namespace {
PyType_Slot domain_slots[] = {{0, nullptr}};
PyType_Spec domain_spec = {"Domain", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, domain_slots};
PyTypeObject* domain_cache = nullptr;
}  // namespace

PyTypeObject* domain_type() { return lazy_type(&domain_spec, &domain_cache); }
PyObject* wrap_domain(pelda::Domain) {
  PyErr_SetString(PyExc_NotImplementedError, "Domain is not available yet");
  return nullptr;
}
bool arg_domain(const char* qualname, const char* name, PyObject* obj, const pelda::Domain** out) {
  if (!check_instance(qualname, name, obj, domain_type(), "Domain")) return false;
  *out = &unbox<pelda::Domain>(obj);
  return true;
}

}  // namespace ovelt

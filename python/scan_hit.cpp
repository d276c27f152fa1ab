// Placeholder: replaced when this class lands.
#include "bindings.hpp"

namespace ovelt {

namespace {
PyType_Slot scan_hit_slots[] = {{0, nullptr}};
PyType_Spec scan_hit_spec = {"ScanHit", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scan_hit_slots};
PyTypeObject* scan_hit_cache = nullptr;
}  // namespace

PyTypeObject* scan_hit_type() { return lazy_type(&scan_hit_spec, &scan_hit_cache); }

static PyObject* scan_database_stub(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "scan_database is not available yet");
  return nullptr;
}
PyMethodDef scan_database_def = {"scan_database", scan_database_stub, METH_VARARGS, "scan_database(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True)\n--\n\n"};

}  // namespace ovelt

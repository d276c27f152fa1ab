// Placeholder: replaced when this class lands.
#include "bindings.hpp"

namespace ovelt {

namespace {
PyType_Slot alignment_result_slots[] = {{0, nullptr}};
PyType_Spec alignment_result_spec = {"AlignmentResult", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, alignment_result_slots};
PyTypeObject* alignment_result_cache = nullptr;
}  // namespace

PyTypeObject* alignment_result_type() { return lazy_type(&alignment_result_spec, &alignment_result_cache); }

static PyObject* pairwise_align_stub(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "pairwise_align is not available yet");
  return nullptr;
}
PyMethodDef pairwise_align_def = {"pairwise_align", pairwise_align_stub, METH_VARARGS, "pairwise_align(domain1, domain2, params=None, scan_mode=None, slide=None)\n--\n\n"};

}  // namespace ovelt

// Placeholder: replaced when this class lands.
#include "bindings.hpp"

namespace ovelt {

namespace {
PyType_Slot multiple_alignment_result_slots[] = {{0, nullptr}};
PyType_Spec multiple_alignment_result_spec = {"MultipleAlignmentResult", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, multiple_alignment_result_slots};
PyTypeObject* multiple_alignment_result_cache = nullptr;
}  // namespace

PyTypeObject* multiple_alignment_result_type() { return lazy_type(&multiple_alignment_result_spec, &multiple_alignment_result_cache); }

static PyObject* multiple_align_stub(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "multiple_align is not available yet");
  return nullptr;
}
PyMethodDef multiple_align_def = {"multiple_align", multiple_align_stub, METH_VARARGS, "multiple_align(domains, params=None, pre_transforms=None)\n--\n\n"};

}  // namespace ovelt

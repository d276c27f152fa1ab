// Placeholder: replaced when the pipeline lands.
#include "bindings.hpp"

namespace ovelt {

static PyObject* align_pdbs_stub(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "align_pdbs is not available yet");
  return nullptr;
}
PyMethodDef align_pdbs_def = {"align_pdbs", align_pdbs_stub, METH_VARARGS, "align_pdbs(pdb_files, output_dir, params=None, chain=None, reference_index=0)\n--\n\n"};

}  // namespace ovelt

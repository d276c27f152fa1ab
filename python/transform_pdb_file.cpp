// Placeholder: replaced when the PDB writers land.
#include "bindings.hpp"

namespace ovelt {

static PyObject* transform_pdb_file_stub(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "transform_pdb_file is not available yet");
  return nullptr;
}
PyMethodDef transform_pdb_file_def = {"transform_pdb_file", transform_pdb_file_stub, METH_VARARGS, "transform_pdb_file(input_path, output_path, transform, chain=None)\n--\n\n"};

}  // namespace ovelt

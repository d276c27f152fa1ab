// The compiled module ovelt._core: created once per process, in the first
// interpreter only. The package ovelt re-exports its contents; functions and
// classes name "ovelt" as their module, where users find them.
#include <atomic>

#include "bindings.hpp"

namespace ovelt {
namespace {

const char* const module_doc =
    "Ovelt - Structural Alignment of Multiple Proteins (PELDA implementation)\n"
    "\n"
    "This module provides Python bindings to the PELDA structural alignment\n"
    "library, enabling pairwise and multiple structure alignment.\n"
    "\n"
    "Example:\n"
    "    >>> import ovelt\n"
    "    >>> d1 = ovelt.Domain.from_pdb(\"1abc.pdb\", chain='A')\n"
    "    >>> d2 = ovelt.Domain.from_pdb(\"2def.pdb\", chain='A')\n"
    "    >>> result = ovelt.pairwise_align(d1, d2)\n"
    "    >>> print(f\"RMSD: {result.rmsd:.2f}\")";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ovelt._core", module_doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;

// Adds `value` (a new reference, may be null) under `name` and lists it in __all__.
bool add(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  Ref v(value);
  if (!v) return false;
  if (PyModule_AddObjectRef(module, name, v.get()) < 0) return false;
  Ref n(PyUnicode_FromString(name));
  return n && PyList_Append(all, n.get()) == 0;
}

PyObject* new_ref(PyTypeObject* t) {
  Py_XINCREF(t);
  return reinterpret_cast<PyObject*>(t);
}

PyObject* function(PyMethodDef* def, PyObject* module_name) {
  return PyCFunction_NewEx(def, nullptr, module_name);
}

PyObject* create_module() {
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref all(PyList_New(0));
  Ref name(PyUnicode_FromString("ovelt"));
  if (!all || !name) return nullptr;
  PyObject* m = module.get();
  PyObject* a = all.get();
  PyObject* n = name.get();
  const bool ok = add(m, a, "Domain", new_ref(domain_type())) &&
                  add(m, a, "Parameters", new_ref(parameters_type())) &&
                  add(m, a, "Transform", new_ref(transform_type())) &&
                  add(m, a, "AlignmentResult", new_ref(alignment_result_type())) &&
                  add(m, a, "MultipleAlignmentResult", new_ref(multiple_alignment_result_type())) &&
                  add(m, a, "ScanHit", new_ref(scan_hit_type())) &&
                  add(m, a, "pairwise_align", function(&pairwise_align_def, n)) &&
                  add(m, a, "multiple_align", function(&multiple_align_def, n)) &&
                  add(m, a, "align_pdbs", function(&align_pdbs_def, n)) &&
                  add(m, a, "scan_database", function(&scan_database_def, n)) &&
                  add(m, a, "compute_rmsd", function(&compute_rmsd_def, n)) &&
                  add(m, a, "superpose", function(&superpose_def, n)) &&
                  add(m, a, "distance_matrix", function(&distance_matrix_def, n)) &&
                  add(m, a, "centroid", function(&centroid_def, n)) &&
                  add(m, a, "transform_pdb_file", function(&transform_pdb_file_def, n)) &&
                  add(m, a, "__version__", PyUnicode_FromString(OVELT_VERSION));
  if (!ok) return nullptr;
  if (PyModule_AddObjectRef(m, "__all__", a) < 0) return nullptr;
  // Private helpers of ovelt.archive, outside __all__.
  for (PyMethodDef* def : {&scan_batch_def, &rank_hits_def}) {
    Ref f(function(def, n));
    if (!f || PyModule_AddObjectRef(m, def->ml_name, f.get()) < 0) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace ovelt

PyMODINIT_FUNC PyInit__core(void) {
  return ovelt::guarded([]() -> PyObject* {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    int64_t expected = -1;
    if (!ovelt::owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      PyErr_SetString(PyExc_ImportError,
                      "ovelt does not support sub-interpreters: it can only be imported in the "
                      "interpreter that first loaded it");
      return nullptr;
    }
    if (!ovelt::cached_module) ovelt::cached_module = ovelt::create_module();
    Py_XINCREF(ovelt::cached_module);
    return ovelt::cached_module;
  });
}

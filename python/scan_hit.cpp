// Python class ScanHit and the function scan_database.
#include "bindings.hpp"
#include "state.hpp"
#include "pelda/scan/database_scan.hpp"

namespace ovelt {
namespace {

using pelda::ScanHit;

PyTypeObject* scan_hit_cache = nullptr;

const ScanHit& hit(PyObject* self) { return unbox<ScanHit>(self); }

PyObject* optional_float(const std::optional<double>& v) {
  if (v) return PyFloat_FromDouble(*v);
  Py_RETURN_NONE;
}

PyObject* get_target_id(PyObject* self, void*) {
  return guarded([&] {
    const std::string& id = hit(self).target_id;
    return PyUnicode_FromStringAndSize(id.data(), Py_ssize_t(id.size()));
  });
}
PyObject* get_rank(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(hit(self).rank); });
}
PyObject* get_score(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(hit(self).score); });
}
PyObject* get_rmsd(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(hit(self).rmsd); });
}
PyObject* get_n_aligned(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(hit(self).n_aligned); });
}
PyObject* get_seq_identity(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(hit(self).seq_identity); });
}
PyObject* get_tm_score(PyObject* self, void*) {
  return guarded([&] { return optional_float(hit(self).tm_score); });
}
PyObject* get_e_value(PyObject* self, void*) {
  return guarded([&] { return optional_float(hit(self).e_value); });
}
PyObject* get_z_score(PyObject* self, void*) {
  return guarded([&] { return optional_float(hit(self).z_score); });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const ScanHit& h = hit(self);
    const std::string s = "ScanHit(target='" + h.target_id + "', rank=" + std::to_string(h.rank) +
                          ", score=" + format_fixed(h.score, 4) + ", rmsd=" + format_fixed(h.rmsd, 3) + ")";
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
  });
}

// An optional double: a presence word, then the value (0 when absent).
void write_optional(StateWriter& w, const std::optional<double>& v) {
  w.word(v.has_value());
  w.real(v.value_or(0.0));
}

std::optional<double> read_optional(StateReader& in) {
  const bool present = in.bounded(1) != 0;
  const double v = in.real();
  return present ? std::optional<double>(v) : std::nullopt;
}

PyObject* reduce(PyObject* self, PyObject*) {
  return reduce_with(self, [&](StateWriter& w) {
    const ScanHit& h = hit(self);
    w.text(h.target_id);
    w.word(h.rank);
    w.word(h.n_aligned);
    for (double x : {h.score, h.rmsd, h.seq_identity}) w.real(x);
    write_optional(w, h.e_value);
    write_optional(w, h.z_score);
    write_optional(w, h.tm_score);
  });
}

PyObject* from_state(PyObject* cls, PyObject* arg) {
  return restore<ScanHit>(cls, arg, [](StateReader& in) {
    ScanHit h;
    h.target_id = in.text();
    h.rank = std::size_t(in.word());
    h.n_aligned = std::size_t(in.word());
    for (double* x : {&h.score, &h.rmsd, &h.seq_identity}) *x = in.real();
    h.e_value = read_optional(in);
    h.z_score = read_optional(in);
    h.tm_score = read_optional(in);
    return h;
  });
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"_from_state", from_state, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"target_id", get_target_id, nullptr, "Target domain identifier.", nullptr},
    {"rank", get_rank, nullptr, "Rank in hit list.", nullptr},
    {"score", get_score, nullptr, "PELDA score.", nullptr},
    {"rmsd", get_rmsd, nullptr, "RMSD after superposition.", nullptr},
    {"n_aligned", get_n_aligned, nullptr, "Number of aligned positions.", nullptr},
    {"seq_identity", get_seq_identity, nullptr, "Sequence identity.", nullptr},
    {"tm_score", get_tm_score, nullptr, "TM-score normalised by the query length (sensitive search only).", nullptr},
    {"e_value", get_e_value, nullptr, "E-value (if computed).", nullptr},
    {"z_score", get_z_score, nullptr, "Z-score (if computed).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ScanHit>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Result of a database scan hit.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"ScanHit", sizeof(Box<ScanHit>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    slots};

// ---------------------------------------------------------------------------
// scan_database arguments. Absent arguments keep the defaults already in
// *out; an explicit None is a wrong type like any other.

constexpr const char* kQualname = "scan_database";

bool arg_targets(PyObject* obj, std::vector<pelda::Domain>* out) {
  std::vector<Ref> items;
  if (!arg_sequence(kQualname, "targets", obj, &items)) return false;
  PyTypeObject* type = domain_type();
  if (!type) return false;
  out->reserve(items.size());
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (!PyObject_TypeCheck(items[k].get(), type)) {
      PyErr_Format(PyExc_TypeError, "%s() argument 'targets' item %zu must be Domain, not %s", kQualname, k,
                   Py_TYPE(items[k].get())->tp_name);
      return false;
    }
    out->push_back(unbox<pelda::Domain>(items[k].get()));
  }
  return true;
}

bool arg_float(const char* name, PyObject* obj, double* out) {
  if (!obj) return true;
  if (PyFloat_Check(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_arg_type(kQualname, name, "float", obj);
    }
    return false;
  }
  *out = v;
  return true;
}

// Absent keeps the default.
bool arg_count(const char* name, PyObject* obj, std::size_t* out) {
  return !obj || arg_unsigned(kQualname, name, obj, out);
}


bool arg_options(PyObject* const* a, pelda::ScanOptions* out) {
  *out = pelda::ScanOptions{};
  return arg_float("score_cutoff", a[0], &out->score_cutoff) && arg_count("max_hits", a[1], &out->max_hits) &&
         arg_bool(kQualname, "quick", a[2], &out->quick) && arg_bool(kQualname, "scan_mode", a[3], &out->scan_mode);
}

PyObject* hits_to_list(const std::vector<ScanHit>& hits) {
  PyTypeObject* type = scan_hit_type();
  if (!type) return nullptr;
  Ref list(PyList_New(Py_ssize_t(hits.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < hits.size(); ++k) {
    PyObject* item = box_new(type, hits[k]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(k), item);
  }
  return list.release();
}

PyObject* scan_database(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[10];
    if (!parse_args(kQualname, args, nargs, kwnames,
                    {"query", "targets", "params", "score_cutoff", "max_hits", "quick", "scan_mode", "search",
                     "threads", "progress"},
                    2, a, 0, 7))
      return nullptr;
    const pelda::Domain* query = nullptr;
    std::vector<pelda::Domain> targets;
    pelda::Parameters params;
    pelda::ScanOptions options;
    pelda::RunControl control;
    if (!arg_domain(kQualname, "query", a[0], &query) || !arg_targets(a[1], &targets) ||
        !arg_parameters(kQualname, a[2], &params) || !arg_options(a + 3, &options) ||
        !arg_search(kQualname, a[7], &options.search) || !arg_run_control(kQualname, a[8], a[9], &control))
      return nullptr;
    if (a[6] && !options.scan_mode && options.search != pelda::SearchMode::None)
      return raise_value(
          "scan_database(): scan_mode=False cannot be combined with a search; search must be None, "
          "'windows' or 'sensitive' with scan_mode left at True");
    if (!validated(pelda::check_parameters(params)) || !validated(pelda::check_finite(*query)) ||
        !validated(pelda::check_finite(targets)))
      return nullptr;
    const pelda::Result<std::vector<ScanHit>> hits =
        without_gil([&, query = *query] { return pelda::run_scan(query, targets, params, options, control); });
    if (!hits) return raise_core(PyExc_ValueError, "Scan failed: ", hits.error());
    return hits_to_list(*hits);
  });
}

}  // namespace

PyTypeObject* scan_hit_type() { return lazy_type(&type_spec, &scan_hit_cache); }

PyMethodDef scan_database_def = {
    "scan_database", as_cfunc(scan_database), METH_FASTCALL | METH_KEYWORDS,
    "scan_database(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True, *, "
    "search=None, threads=None, progress=None)\n"
    "--\n\n"
    "Scans a query structure against a database.\n\n"
    "Args:\n"
    "    query: Query domain.\n"
    "    targets: List of target domains.\n"
    "    params: Optional alignment parameters.\n"
    "    score_cutoff: Minimum score for reporting hits (default 0.0).\n"
    "    max_hits: Maximum number of hits to return (default 100).\n"
    "    quick: Use quick alignment mode (default False).\n"
    "    scan_mode: Use sliding window scan for structures in different coordinate frames (default True).\n\n"
    "Returns:\n"
    "    List of ScanHit objects sorted by score."};

}  // namespace ovelt

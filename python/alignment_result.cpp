// Python class AlignmentResult and the function pairwise_align.
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "state.hpp"
#include "pelda/pairwise/align_pair.hpp"
#include "pelda/scan/scan_align.hpp"
#include "pelda/search/sensitive_align.hpp"

namespace ovelt {
namespace {

using pelda::Transform;

// What a Python AlignmentResult holds.
struct PairwiseValue {
  std::vector<pelda::ResiduePair> pairs;
  double rmsd = 0.0;
  std::size_t n_aligned = 0;
  double score = 0.0;
  double seq_identity = 0.0;  // fraction
  Transform transform;
  // The TM-scores under `transform`, read on first use from the two traces
  // (kept until then) so that modes that do not need them pay nothing.
  pelda::PointList coords1, coords2;
  std::optional<std::pair<double, double>> tm_scores;

  const std::pair<double, double>& tm() {
    if (!tm_scores) {
      const pelda::StructuralAlignment s = pelda::structural_alignment(coords1, transform.apply(coords2));
      tm_scores.emplace(s.tm_score, s.tm_score_mobile);
      coords1 = {};
      coords2 = {};
    }
    return *tm_scores;
  }
};

PyTypeObject* alignment_result_cache = nullptr;

PairwiseValue& self_value(PyObject* self) { return unbox<PairwiseValue>(self); }

PyObject* get_rmsd(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(self_value(self).rmsd); });
}

PyObject* get_n_aligned(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(self_value(self).n_aligned); });
}

PyObject* get_score(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(self_value(self).score); });
}

PyObject* get_seq_identity(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(self_value(self).seq_identity); });
}

PyObject* get_tm_score(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(self_value(self).tm().first); });
}

PyObject* get_tm_score_mobile(PyObject* self, void*) {
  return guarded([&] { return PyFloat_FromDouble(self_value(self).tm().second); });
}

PyObject* get_transform(PyObject* self, void*) {
  return guarded([&] { return wrap_transform(self_value(self).transform); });
}

PyObject* get_aligned_pairs(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& pairs = self_value(self).pairs;
    Ref list(PyList_New(Py_ssize_t(pairs.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      PyObject* t = Py_BuildValue("(nn)", Py_ssize_t(pairs[k].first), Py_ssize_t(pairs[k].second));
      if (!t) return nullptr;
      PyList_SET_ITEM(list.get(), Py_ssize_t(k), t);
    }
    return list.release();
  });
}

// The arrays come from the Transform class's own accessors.
PyObject* from_transform(PyObject* self, const char* name, bool call) {
  Ref t(wrap_transform(self_value(self).transform));
  if (!t) return nullptr;
  return call ? PyObject_CallMethod(t.get(), name, nullptr) : PyObject_GetAttrString(t.get(), name);
}

PyObject* get_rotation(PyObject* self, PyObject*) {
  return guarded([&] { return from_transform(self, "rotation", false); });
}

PyObject* get_translation(PyObject* self, PyObject*) {
  return guarded([&] { return from_transform(self, "translation", false); });
}

PyObject* transformation_matrix(PyObject* self, PyObject*) {
  return guarded([&] { return from_transform(self, "transformation_matrix", true); });
}

PyObject* transform_coordinates(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    const char* q = "AlignmentResult.transform_coordinates";
    pelda::MatrixView c;
    if (!parse_args(q, args, nargs, kwnames, {"coords"}, 1, a, 1) || !arg_array(q, "coords", a[0], 2, &c))
      return nullptr;
    if (c.cols != 3) return raise_value("Coordinates must have shape (N, 3)");
    const pelda::PointList points = view_to_points(c);
    return points_to_array(without_gil([&] { return self_value(self).transform.apply(points); }));
  });
}

PyObject* get_transformed_coordinates(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    const char* q = "AlignmentResult.get_transformed_coordinates";
    const pelda::Domain* domain = nullptr;
    if (!parse_args(q, args, nargs, kwnames, {"domain"}, 1, a, 1) || !arg_domain(q, "domain", a[0], &domain))
      return nullptr;
    return points_to_array(self_value(self).transform.apply(pelda::coordinates(*domain)));
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const PairwiseValue& v = self_value(self);
    const std::string s = "AlignmentResult(rmsd=" + format_fixed(v.rmsd, 3) +
                          ", n_aligned=" + std::to_string(v.n_aligned) + ", score=" + format_fixed(v.score, 4) +
                          ", seq_identity=" + format_fixed(v.seq_identity, 3) + ")";
    return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
  });
}

PyObject* reduce(PyObject* self, PyObject*) {
  return reduce_with(self, [&](StateWriter& w) {
    PairwiseValue& v = self_value(self);
    const auto [tm, tm_mobile] = v.tm();  // the image carries the scores, not the traces
    w.word(v.pairs.size());
    for (const auto& [i, j] : v.pairs) w.word(i), w.word(j);
    for (double x : {v.rmsd, v.score, v.seq_identity, tm, tm_mobile}) w.real(x);
    w.word(v.n_aligned);
    w.transform(v.transform);
  });
}

PyObject* from_state(PyObject* cls, PyObject* arg) {
  return restore<PairwiseValue>(cls, arg, [](StateReader& in) {
    PairwiseValue v;
    v.pairs.resize(in.count(16));
    for (auto& [i, j] : v.pairs) i = std::size_t(in.word()), j = std::size_t(in.word());
    double tm = 0.0, tm_mobile = 0.0;
    for (double* x : {&v.rmsd, &v.score, &v.seq_identity, &tm, &tm_mobile}) *x = in.real();
    v.tm_scores.emplace(tm, tm_mobile);
    v.n_aligned = std::size_t(in.word());
    v.transform = in.transform();
    return v;
  });
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"_from_state", from_state, METH_O | METH_CLASS, nullptr},
    {"get_rotation", get_rotation, METH_NOARGS,
     "get_rotation($self)\n--\n\nReturns the rotation matrix as numpy array (3x3)."},
    {"get_translation", get_translation, METH_NOARGS,
     "get_translation($self)\n--\n\nReturns the translation vector as numpy array (3,)."},
    {"transformation_matrix", transformation_matrix, METH_NOARGS,
     "transformation_matrix($self)\n--\n\nReturns the 4x4 transformation matrix."},
    {"transform_coordinates", as_cfunc(transform_coordinates), METH_FASTCALL | METH_KEYWORDS,
     "transform_coordinates($self, coords)\n--\n\n"
     "Applies transformation to coordinates.\n\n"
     "Args:\n"
     "    coords: Nx3 array of coordinates.\n\n"
     "Returns:\n"
     "    Transformed Nx3 array."},
    {"get_transformed_coordinates", as_cfunc(get_transformed_coordinates), METH_FASTCALL | METH_KEYWORDS,
     "get_transformed_coordinates($self, domain)\n--\n\n"
     "Returns the transformed coordinates of the mobile domain."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"rmsd", get_rmsd, nullptr, "Root mean square deviation.", nullptr},
    {"n_aligned", get_n_aligned, nullptr, "Number of aligned positions.", nullptr},
    {"score", get_score, nullptr, "PELDA score (Sc).", nullptr},
    {"seq_identity", get_seq_identity, nullptr, "Sequence identity of aligned region.", nullptr},
    {"transform", get_transform, nullptr, "Returns the transformation as a Transform object.", nullptr},
    {"aligned_pairs", get_aligned_pairs, nullptr, "Returns the alignment path as list of (i, j) tuples.", nullptr},
    {"tm_score", get_tm_score, nullptr,
     "TM-score of the superposed structures, normalised by the length of domain1.", nullptr},
    {"tm_score_mobile", get_tm_score_mobile, nullptr,
     "TM-score of the superposed structures, normalised by the length of domain2.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PairwiseValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Python wrapper for pairwise alignment result.\n\n"
                                  "Contains the transformation, statistics, and alignment path.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"AlignmentResult", sizeof(Box<PairwiseValue>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

// ---------------------------------------------------------------------------
// pairwise_align

// None (or absent) is false; otherwise a bool, Python's or NumPy's.
bool arg_optional_bool(const char* q, const char* name, PyObject* obj, bool* out) {
  *out = false;
  return !obj || obj == Py_None || arg_bool(q, name, obj, out, "bool or None");
}

// None (or absent) keeps `*out`; otherwise a non-negative integer.
bool arg_optional_count(const char* q, const char* name, PyObject* obj, std::size_t* out) {
  if (!obj || obj == Py_None) return true;
  if (!PyIndex_Check(obj)) {
    raise_arg_type(q, name, "int or None", obj);
    return false;
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return false;
  const std::size_t v = PyLong_AsSize_t(index.get());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must be a non-negative int that fits a machine word", q,
                 name);
    return false;
  }
  *out = v;
  return true;
}

PyObject* wrap_result(PairwiseValue v) { return box_new(alignment_result_type(), std::move(v)); }

// A result whose TM-scores are read later from the inputs.
PyObject* wrap_lazy(PairwiseValue v, const pelda::Domain& d1, const pelda::Domain& d2) {
  v.coords1 = pelda::coordinates(d1);
  v.coords2 = pelda::coordinates(d2);
  return wrap_result(std::move(v));
}

PyObject* plain_alignment(const pelda::Domain& d1, const pelda::Domain& d2, const pelda::Parameters& p) {
  pelda::Result<pelda::PairwiseAlignment> r = without_gil(
      [&] { return pelda::align_pair(d1.residues, d2.residues, pelda::AlignmentConfig::from_parameters(p)); });
  if (!r) return raise_core(PyExc_ValueError, "Alignment failed: ", r.error());
  pelda::PairwiseAlignment& a = r.value();
  return wrap_lazy(
      {std::move(a.aligned_pairs), a.rmsd, a.n_aligned, a.score, a.seq_identity / 100.0, a.transform, {}, {}, {}}, d1,
      d2);
}

PyObject* scan_alignment(const pelda::Domain& d1, const pelda::Domain& d2, const pelda::Parameters& p,
                         std::size_t slide, const pelda::RunControl& control) {
  pelda::Result<pelda::ScanOutcome> r =
      without_gil([&] { return pelda::scan_align(d1, d2, pelda::ScanConfig::from_parameters(p, slide), control); });
  if (!r) return raise_core(PyExc_ValueError, "Scan alignment failed: ", r.error());
  const pelda::ScanOutcome& o = r.value();
  return wrap_lazy({{}, o.rmsd, o.path_length, o.score, o.seq_identity, o.transform, {}, {}, {}}, d1, d2);
}

PyObject* sensitive_alignment(const pelda::Domain& d1, const pelda::Domain& d2, const pelda::Parameters& p) {
  pelda::SensitiveAlignment a = without_gil([&] { return pelda::sensitive_align(d1, d2, p); });
  pelda::StructuralAlignment& s = a.structure;
  PairwiseValue v{std::move(s.pairs), s.rmsd, 0, a.aligner.score, s.seq_identity, a.transform, {}, {}, {}};
  v.n_aligned = v.pairs.size();
  v.tm_scores.emplace(s.tm_score, s.tm_score_mobile);
  return wrap_result(std::move(v));
}

PyObject* pairwise_align(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[7];
    const char* q = "pairwise_align";
    const pelda::Domain *d1 = nullptr, *d2 = nullptr;
    pelda::Parameters params;
    bool scan_mode = false;
    std::size_t slide = 5;
    pelda::SearchMode search = pelda::SearchMode::None;
    pelda::RunControl control;
    if (!parse_args(q, args, nargs, kwnames, {"domain1", "domain2", "params", "scan_mode", "slide", "search", "threads"},
                    2, a, 0, 5) ||
        !arg_domain(q, "domain1", a[0], &d1) || !arg_domain(q, "domain2", a[1], &d2) ||
        !arg_parameters(q, a[2], &params) || !arg_optional_bool(q, "scan_mode", a[3], &scan_mode) ||
        !arg_optional_count(q, "slide", a[4], &slide) || !arg_search(q, a[5], &search) ||
        !arg_run_control(q, a[6], nullptr, &control))
      return nullptr;
    const bool scan_off = a[3] && a[3] != Py_None && !scan_mode;
    if (scan_off && search != pelda::SearchMode::None)
      return raise_value(
          "pairwise_align(): scan_mode=False cannot be combined with a search; search must be None, "
          "'windows' or 'sensitive' with scan_mode left at None or True");
    if (!validated(pelda::check_parameters(params)) || !validated(pelda::check_finite(*d1)) ||
        !validated(pelda::check_finite(*d2)))
      return nullptr;
    const pelda::Domain first = *d1, second = *d2;  // the objects may change while the GIL is released
    if (search == pelda::SearchMode::Sensitive) return sensitive_alignment(first, second, params);
    if (scan_mode || search == pelda::SearchMode::Windows) return scan_alignment(first, second, params, slide, control);
    return plain_alignment(first, second, params);
  });
}

}  // namespace

PyTypeObject* alignment_result_type() { return lazy_type(&type_spec, &alignment_result_cache); }

bool arg_search(const char* q, PyObject* obj, pelda::SearchMode* out) {
  *out = pelda::SearchMode::None;
  if (!obj || obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    raise_arg_type(q, "search", "str or None", obj);
    return false;
  }
  const char* name = PyUnicode_AsUTF8(obj);
  if (!name) return false;
  const std::string_view s(name);
  if (s == "windows") *out = pelda::SearchMode::Windows;
  else if (s == "sensitive") *out = pelda::SearchMode::Sensitive;
  else {
    PyErr_Format(PyExc_ValueError, "%s(): search must be None, 'windows' or 'sensitive', not %R", q, obj);
    return false;
  }
  return true;
}

PyMethodDef pairwise_align_def = {
    "pairwise_align", as_cfunc(pairwise_align), METH_FASTCALL | METH_KEYWORDS,
    "pairwise_align(domain1, domain2, params=None, scan_mode=None, slide=None, *, search=None, threads=None)\n"
    "--\n\n"
    "Performs pairwise structural alignment.\n\n"
    "Args:\n"
    "    domain1: First (reference) domain.\n"
    "    domain2: Second (mobile) domain.\n"
    "    params: Optional alignment parameters.\n\n"
    "Returns:\n"
    "    AlignmentResult containing transformation and statistics.\n\n"
    "Raises:\n"
    "    ValueError: If alignment fails."};

}  // namespace ovelt

// Python class MultipleAlignmentResult and the function multiple_align.
#include <algorithm>
#include <optional>

#include "bindings.hpp"
#include "pelda/search/sensitive_multiple.hpp"
#include "state.hpp"
#include "pelda/io/pdb_writer.hpp"
#include "pelda/treewise/multiple_alignment.hpp"

namespace ovelt {
namespace {

using pelda::Transform;

// What one result object holds, fixed when it is made.
struct MultipleRecord {
  std::vector<Transform> transforms;
  std::vector<Transform> pre_transforms;
  std::vector<std::string> source_paths;  // read only by write_all
  std::vector<std::size_t> core_positions;
  std::vector<pelda::Column> columns;
  double avg_rmsd = 0.0;
  double score = 0.0;
};

PyTypeObject* result_cache = nullptr;

const MultipleRecord& record(PyObject* self) { return unbox<MultipleRecord>(self); }

// transforms[i] after pre_transforms[i], over the shorter of the two lists.
std::vector<Transform> full_transforms(const MultipleRecord& r) {
  const std::size_t m = std::min(r.transforms.size(), r.pre_transforms.size());
  std::vector<Transform> out;
  out.reserve(m);
  for (std::size_t i = 0; i < m; ++i) out.push_back(r.transforms[i].compose(r.pre_transforms[i]));
  return out;
}

PyObject* transform_list(const std::vector<Transform>& ts) {
  return list_of(ts.size(), [&](std::size_t i) { return wrap_transform(ts[i]); });
}

PyObject* column_list(const pelda::Column& column) {
  return list_of(column.size(), [&](std::size_t d) {
    return column[d] ? PyLong_FromSize_t(*column[d]) : Py_NewRef(Py_None);
  });
}

PyObject* get_n_columns(PyObject* self, void*) { return PyLong_FromSize_t(record(self).columns.size()); }
PyObject* get_n_core(PyObject* self, void*) { return PyLong_FromSize_t(record(self).core_positions.size()); }
PyObject* get_avg_rmsd(PyObject* self, void*) { return PyFloat_FromDouble(record(self).avg_rmsd); }
PyObject* get_score(PyObject* self, void*) { return PyFloat_FromDouble(record(self).score); }

PyObject* get_transforms(PyObject* self, void*) {
  return guarded([&] { return transform_list(record(self).transforms); });
}

PyObject* get_full_transforms(PyObject* self, void*) {
  return guarded([&] { return transform_list(full_transforms(record(self))); });
}

PyObject* get_core_positions(PyObject* self, void*) {
  return guarded([&] {
    const std::vector<std::size_t>& core = record(self).core_positions;
    return list_of(core.size(), [&](std::size_t i) { return PyLong_FromSize_t(core[i]); });
  });
}

PyObject* get_columns(PyObject* self, void*) {
  return guarded([&] {
    const std::vector<pelda::Column>& columns = record(self).columns;
    return list_of(columns.size(), [&](std::size_t c) { return column_list(columns[c]); });
  });
}

PyObject* get_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    const char* q = "MultipleAlignmentResult.get_transform";
    if (!parse_args(q, args, nargs, kwnames, {"index"}, 1, a, 1)) return nullptr;
    std::size_t index = 0;
    if (!arg_unsigned(q, "index", a[0], &index)) return nullptr;
    const std::vector<Transform>& ts = record(self).transforms;
    if (index >= ts.size()) return raise_value("Invalid domain index: " + std::to_string(index));
    return wrap_transform(ts[index]);
  });
}

PyObject* write_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "MultipleAlignmentResult.write_all";
    if (!parse_args(q, args, nargs, kwnames, {"output_dir", "prefix"}, 1, a, 1)) return nullptr;
    std::string dir;
    std::optional<std::string> prefix;
    if (!arg_path(q, "output_dir", a[0], &dir)) return nullptr;
    if (a[1] && a[1] != Py_None) {
      if (!PyUnicode_Check(a[1])) {
        raise_arg_type(q, "prefix", "str or None", a[1]);
        return nullptr;
      }
      if (!arg_string(q, "prefix", a[1], &prefix.emplace())) return nullptr;
    }
    return write_multiple_result(self, dir, prefix);
  });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const MultipleRecord& r = record(self);
    const std::string s = "MultipleAlignmentResult(n_structures=" + std::to_string(r.transforms.size()) +
                          ", n_columns=" + std::to_string(r.columns.size()) +
                          ", n_core=" + std::to_string(r.core_positions.size()) +
                          ", avg_rmsd=" + format_fixed(r.avg_rmsd, 3) + ")";
    return PyUnicode_FromString(s.c_str());
  });
}

// Pickling: a gap is written as the largest word.
constexpr std::uint64_t kGapWord = ~std::uint64_t(0);

void write_transforms(StateWriter& w, const std::vector<Transform>& ts) {
  w.word(ts.size());
  for (const Transform& t : ts) w.transform(t);
}

std::vector<Transform> read_transforms(StateReader& in) {
  std::vector<Transform> ts(in.count(12 * 8));
  for (Transform& t : ts) t = in.transform();
  return ts;
}

PyObject* reduce(PyObject* self, PyObject*) {
  return reduce_with(self, [&](StateWriter& w) {
    const MultipleRecord& r = record(self);
    write_transforms(w, r.transforms);
    write_transforms(w, r.pre_transforms);
    w.word(r.source_paths.size());
    for (const std::string& p : r.source_paths) w.text(p);
    w.word(r.core_positions.size());
    for (std::size_t c : r.core_positions) w.word(c);
    w.word(r.columns.size());
    w.word(r.columns.empty() ? 0 : r.columns.front().size());
    for (const pelda::Column& c : r.columns)
      for (std::size_t d = 0; d < c.size(); ++d) w.word(c[d] ? *c[d] : kGapWord);
    w.real(r.avg_rmsd);
    w.real(r.score);
  });
}

PyObject* from_state(PyObject* cls, PyObject* arg) {
  return restore<MultipleRecord>(cls, arg, [](StateReader& in) {
    MultipleRecord r;
    r.transforms = read_transforms(in);
    r.pre_transforms = read_transforms(in);
    r.source_paths.resize(in.count(8));
    for (std::string& p : r.source_paths) p = in.text();
    r.core_positions.resize(in.count(8));
    for (std::size_t& c : r.core_positions) c = std::size_t(in.word());
    const std::size_t n_columns = in.count(1);
    const std::size_t width = n_columns == 0 ? std::size_t(in.bounded(0)) : in.count(8 * n_columns);
    r.columns.assign(n_columns, pelda::Column(width));
    for (pelda::Column& c : r.columns) {
      for (std::size_t d = 0; d < width; ++d) {
        // Residue indices are 32-bit; the largest 32-bit value is the gap itself.
        const std::uint64_t e = in.word();
        if (e == kGapWord) continue;
        if (e >= 0xFFFFFFFF) {
          in.fail();
          return r;
        }
        c.set(d, std::size_t(e));
      }
    }
    r.avg_rmsd = in.real();
    r.score = in.real();
    return r;
  });
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"_from_state", from_state, METH_O | METH_CLASS, nullptr},
    {"get_transform", as_cfunc(get_transform), METH_FASTCALL | METH_KEYWORDS,
     "get_transform($self, index)\n--\n\nReturns the transformation for a specific domain."},
    {"write_all", as_cfunc(write_all), METH_FASTCALL | METH_KEYWORDS,
     "write_all($self, output_dir, prefix=None)\n--\n\n"
     "Writes all aligned structures as full PDB files to the specified directory.\n\n"
     "Args:\n"
     "    output_dir: Directory to write aligned PDB files.\n"
     "    prefix: Optional prefix for output filenames (default \"aligned_\").\n\n"
     "Returns:\n"
     "    List of output file paths."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"n_columns", get_n_columns, nullptr, "Number of alignment columns.", nullptr},
    {"n_core", get_n_core, nullptr, "Number of core positions (all structures present).", nullptr},
    {"avg_rmsd", get_avg_rmsd, nullptr, "Average pairwise RMSD.", nullptr},
    {"score", get_score, nullptr, "Overall alignment score.", nullptr},
    {"transforms", get_transforms, nullptr, "Returns all transformations as a list.", nullptr},
    {"core_positions", get_core_positions, nullptr, "Returns core position indices.", nullptr},
    {"columns", get_columns, nullptr,
     "Returns alignment columns as list of lists.\n\n"
     "Each column is a list where element i is the residue index for\n"
     "domain i, or None if that domain has a gap at this position.",
     nullptr},
    {"full_transforms", get_full_transforms, nullptr,
     "Returns the full composed transforms (pre-alignment + MSA refinement).\n\n"
     "These transforms can be applied directly to the original PDB files\n"
     "to get the final aligned structures.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<MultipleRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Python wrapper for multiple alignment result.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"MultipleAlignmentResult", sizeof(Box<MultipleRecord>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

bool arg_transform_list(const char* qualname, PyObject* obj, std::vector<Transform>* out) {
  return arg_list(qualname, "pre_transforms", obj, out,
                  [&](PyObject* item, Transform* t) { return arg_transform(qualname, "pre_transforms", item, t); });
}

PyObject* multiple_align(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[6];
    const char* q = "multiple_align";
    if (!parse_args(q, args, nargs, kwnames, {"domains", "params", "pre_transforms", "search", "threads", "progress"},
                    1, a, 0, 3))
      return nullptr;
    std::vector<pelda::Domain> domains;
    pelda::Parameters params;
    std::optional<std::vector<Transform>> pre;
    pelda::SearchMode search = pelda::SearchMode::None;
    pelda::RunControl control;
    if (!arg_domain_list(q, "domains", a[0], &domains) || !arg_parameters(q, a[1], &params)) return nullptr;
    if (a[2] && a[2] != Py_None && !arg_transform_list(q, a[2], &pre.emplace())) return nullptr;
    if (!arg_search(q, a[3], &search) || !arg_run_control(q, a[4], a[5], &control)) return nullptr;
    if (search == pelda::SearchMode::Windows)
      return raise_value("multiple_align(): search must be None or 'sensitive', not 'windows'");
    if (domains.size() < 2) return raise_value("Need at least 2 domains for multiple alignment");
    if (pre && pre->size() != domains.size())
      return raise_value("Expected " + std::to_string(domains.size()) + " pre_transforms, one per domain, got " +
                         std::to_string(pre->size()));
    if (!validated(pelda::check_parameters(params)) || !validated(pelda::check_finite(domains))) return nullptr;
    std::vector<std::string> sources;
    for (const pelda::Domain& d : domains) sources.push_back(d.pdb_file);
    if (!pre) pre.emplace(domains.size());
    pelda::Result<pelda::MultipleAlignment> r = without_gil([&] {
      return search == pelda::SearchMode::Sensitive ? pelda::align_multiple_sensitive(domains, params, 0, control)
                                                    : pelda::align_multiple(domains, params, control);
    });
    if (!r) return raise_core(PyExc_ValueError, "Multiple alignment failed: ", r.error());
    return wrap_multiple_result(std::move(r).value(), std::move(*pre), std::move(sources));
  });
}

}  // namespace

PyTypeObject* multiple_alignment_result_type() { return lazy_type(&type_spec, &result_cache); }

PyObject* wrap_multiple_result(pelda::MultipleAlignment alignment, std::vector<Transform> pre_transforms,
                               std::vector<std::string> source_paths) {
  MultipleRecord r;
  r.transforms = std::move(alignment.transforms);
  r.pre_transforms = std::move(pre_transforms);
  r.source_paths = std::move(source_paths);
  r.core_positions = std::move(alignment.core_positions);
  r.columns = std::move(alignment.columns);
  r.avg_rmsd = alignment.avg_rmsd;
  r.score = alignment.score;
  return box_new(multiple_alignment_result_type(), std::move(r));
}

PyObject* write_multiple_result(PyObject* result, const std::string& dir, const std::optional<std::string>& prefix) {
  const MultipleRecord& r = record(result);  // fixed once made: safe to read without the GIL
  pelda::Result<std::vector<std::string>> paths = without_gil([&] {
    return pelda::write_aligned_structures(dir, prefix, r.source_paths, r.transforms, r.pre_transforms, mmcif_mover());
  });
  if (!paths) return raise_core(write_error_type(paths.error()), "", paths.error());
  return list_of(paths->size(), [&](std::size_t i) {
    const std::string& path = (*paths)[i];
    return PyUnicode_DecodeUTF8(path.data(), Py_ssize_t(path.size()), "replace");
  });
}

bool arg_domain_list(const char* qualname, const char* name, PyObject* obj, std::vector<pelda::Domain>* out) {
  return arg_list(qualname, name, obj, out, [&](PyObject* item, pelda::Domain* copy) {
    const pelda::Domain* d = nullptr;
    if (!arg_domain(qualname, name, item, &d)) return false;
    *copy = *d;
    return true;
  });
}

PyMethodDef multiple_align_def = {
    "multiple_align", as_cfunc(multiple_align), METH_FASTCALL | METH_KEYWORDS,
    "multiple_align(domains, params=None, pre_transforms=None, *, search=None, threads=None, progress=None)\n--\n\n"
    "Performs multiple structure alignment.\n\n"
    "Args:\n"
    "    domains: List of Domain objects to align.\n"
    "    params: Optional alignment parameters.\n"
    "    pre_transforms: Optional list of pre-alignment transforms. If provided,\n"
    "                    these will be composed with MSA transforms for full output.\n\n"
    "Returns:\n"
    "    MultipleAlignmentResult with transformations and alignment.\n\n"
    "Raises:\n"
    "    ValueError: If alignment fails or fewer than 2 domains provided."};

}  // namespace ovelt

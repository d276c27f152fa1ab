// The private functions behind ovelt.archive: one batch of target files
// scanned, and the final ranking of the hits kept by every batch.
#include "bindings.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/io/utf8.hpp"
#include "pelda/scan/file_scan.hpp"

namespace ovelt {
namespace {

constexpr const char* kBatch = "scan_files";  // the only caller, as users see it
constexpr const char* kRank = "_rank_hits";

// The text of the pending exception, cleared.
std::string take_error_text() {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref t(type), v(value), tb(trace);
  Ref s(v ? PyObject_Str(v.get()) : nullptr);
  Py_ssize_t n = 0;
  const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
  std::string text = utf8 ? std::string(utf8, std::size_t(n)) : "unknown failure";
  PyErr_Clear();
  return text;
}

// PDB files are read on the calling worker thread as they are; mmCIF files
// take the interpreter lock for the gemmi reader.
// With path_ids, a target is named by its path rather than by its identifier.
pelda::DomainReader target_reader(const std::optional<std::string>& chain, bool path_ids) {
  pelda::DomainReader read = [chain](const std::string& path) -> pelda::Result<pelda::Domain> {
    if (pelda::sniff_structure_file(path).format == pelda::StructureFormat::Pdb) {
      std::optional<char32_t> c;
      if (chain) {
        const std::u32string text = pelda::decode_utf8(*chain);
        if (text.size() != 1) return pelda::make_error(pelda::ErrorKind::Value, "PDB chain ids are one character");
        c = text[0];
      }
      return pelda::read_pdb_domain(path, c);
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    pelda::Domain d;
    pelda::Result<pelda::Domain> out = pelda::make_error(pelda::ErrorKind::Value, "");
    if (read_structure_domain(path, chain, "", &d))
      out = std::move(d);
    else
      out = pelda::make_error(pelda::ErrorKind::Value, take_error_text());
    PyGILState_Release(gil);
    return out;
  };
  if (!path_ids) return read;
  return [read](const std::string& path) {
    pelda::Result<pelda::Domain> d = read(path);
    if (d) d->id = path;
    return d;
  };
}

bool arg_cutoff(const char* qualname, PyObject* obj, double* out) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_arg_type(qualname, "score_cutoff", "float", obj);
    }
    return false;
  }
  *out = v;
  return true;
}

PyObject* decode_fs(void* path) { return PyUnicode_DecodeFSDefault(static_cast<const char*>(path)); }

PyObject* wrap_hit(std::size_t target, const pelda::ScanHit& hit) {
  PyTypeObject* type = scan_hit_type();
  if (!type) return nullptr;
  Ref h(box_new(type, hit));
  return h ? Py_BuildValue("(nO)", Py_ssize_t(target), h.get()) : nullptr;
}

// _scan_batch(query, paths, first_target, params, score_cutoff, max_hits,
// quick, scan_mode, search, chain, path_ids, threads, progress) -> (hits, skipped):
// [(target, ScanHit)] and [(target, path, message)], both in target order.
PyObject* scan_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[13];
    if (!parse_args(kBatch, args, nargs, kwnames,
                    {"query", "paths", "first_target", "params", "score_cutoff", "max_hits", "quick", "scan_mode",
                     "search", "chain", "path_ids", "threads", "progress"},
                    11, a))
      return nullptr;
    const pelda::Domain* query = nullptr;
    std::vector<std::string> paths;
    std::size_t first = 0;
    pelda::Parameters params;
    pelda::ScanOptions options;
    pelda::RunControl control;
    std::optional<std::string> chain;
    bool path_ids = false;
    if (a[9] != Py_None) {
      chain.emplace();
      if (!arg_string(kBatch, "chain", a[9], &*chain)) return nullptr;
    }
    if (!arg_domain(kBatch, "query", a[0], &query) ||
        !arg_list(kBatch, "paths", a[1], &paths,
                  [](PyObject* p, std::string* out) { return arg_path(kBatch, "paths", p, out); }) ||
        !arg_unsigned(kBatch, "first_target", a[2], &first) || !arg_parameters(kBatch, a[3], &params) ||
        !arg_cutoff(kBatch, a[4], &options.score_cutoff) || !arg_unsigned(kBatch, "max_hits", a[5], &options.max_hits) ||
        !arg_bool(kBatch, "quick", a[6], &options.quick) || !arg_bool(kBatch, "scan_mode", a[7], &options.scan_mode) ||
        !arg_search(kBatch, a[8], &options.search) || !arg_bool(kBatch, "path_ids", a[10], &path_ids) ||
        !arg_run_control(kBatch, a[11], a[12], &control))
      return nullptr;
    if (!validated(pelda::check_parameters(params)) || !validated(pelda::check_finite(*query))) return nullptr;
    const pelda::DomainReader read = target_reader(chain, path_ids);
    const pelda::Result<pelda::BatchScan> batch = without_gil(
        [&, query = *query] { return pelda::scan_batch(query, paths, first, params, options, read, control); });
    if (!batch) return raise_core(PyExc_ValueError, "Scan failed: ", batch.error());
    Ref hits(list_of(batch->hits.size(), [&](std::size_t k) {
      return wrap_hit(batch->hits[k].target, batch->hits[k].hit);
    }));
    Ref skipped(list_of(batch->skipped.size(), [&](std::size_t k) -> PyObject* {
      const pelda::SkippedTarget& s = batch->skipped[k];
      const std::string text = s.error.text();
      return Py_BuildValue("(nO&s#)", Py_ssize_t(s.target), decode_fs, const_cast<char*>(s.path.c_str()), text.data(),
                           Py_ssize_t(text.size()));
    }));
    if (!hits || !skipped) return nullptr;
    return PyTuple_Pack(2, hits.get(), skipped.get());
  });
}

// _rank_hits(hits, score_cutoff, max_hits): ScanHit objects in target order,
// ranked as scan_database ranks its targets.
PyObject* rank_hits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!parse_args(kRank, args, nargs, kwnames, {"hits", "score_cutoff", "max_hits"}, 3, a)) return nullptr;
    PyTypeObject* type = scan_hit_type();
    if (!type) return nullptr;
    std::vector<pelda::ScanHit> hits;
    pelda::ScanOptions options;
    if (!arg_list(kRank, "hits", a[0], &hits,
                  [type](PyObject* h, pelda::ScanHit* out) {
                    if (!check_instance(kRank, "hits", h, type, "ScanHit")) return false;
                    *out = unbox<pelda::ScanHit>(h);
                    return true;
                  }) ||
        !arg_cutoff(kRank, a[1], &options.score_cutoff) || !arg_unsigned(kRank, "max_hits", a[2], &options.max_hits))
      return nullptr;
    const std::vector<pelda::ScanHit> ranked = pelda::rank_hits(std::move(hits), options);
    return list_of(ranked.size(), [&](std::size_t k) { return box_new(type, ranked[k]); });
  });
}

}  // namespace

PyMethodDef scan_batch_def = {"_scan_batch", as_cfunc(scan_batch), METH_FASTCALL | METH_KEYWORDS,
                              "Reads and scans one batch of target files (see ovelt.archive)."};
PyMethodDef rank_hits_def = {kRank, as_cfunc(rank_hits), METH_FASTCALL | METH_KEYWORDS,
                             "Ranks the hits kept by every batch (see ovelt.archive)."};

}  // namespace ovelt

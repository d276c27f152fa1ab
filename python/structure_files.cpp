// Structure files at the Python boundary: paths given as str or os.PathLike,
// and the mmCIF side of the readers and writers, which goes through the
// package's gemmi-based module ovelt._mmcif.
#include "bindings.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/io/utf8.hpp"

namespace ovelt {

namespace {

// ovelt._mmcif.<name>, imported on first use (the package is importable
// wherever the compiled module is).
PyObject* mmcif_function(const char* name) {
  Ref module(PyImport_ImportModule("ovelt._mmcif"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), name);
}

// The pending Python exception as a core error (Value for ValueError and
// OSError alike: both mean the file could not be used), cleared.
pelda::Error take_python_error() {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref t(type), v(value), tb(trace);
  std::string text = "unknown failure";
  if (v) {
    Ref s(PyObject_Str(v.get()));
    Py_ssize_t n = 0;
    const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
    if (utf8) text.assign(utf8, std::size_t(n));
    PyErr_Clear();
  }
  return pelda::make_error(pelda::ErrorKind::Value, text);
}

PyObject* decode_path(void* path) { return PyUnicode_DecodeFSDefault(static_cast<const char*>(path)); }

bool site_from(PyObject* item, pelda::CaSite* site) {
  const char *chain, *number, *name;
  int altloc, insertion;
  if (!PyArg_ParseTuple(item, "sCsCsdddl", &chain, &altloc, &number, &insertion, &name, &site->x, &site->y, &site->z,
                        &site->model))
    return false;
  site->chain = chain;
  site->altloc = char32_t(altloc);
  site->number = number;
  site->insertion = char32_t(insertion);
  site->residue_name = name;
  return true;
}

}  // namespace

bool arg_path(const char* qualname, const char* name, PyObject* obj, std::string* out) {
  if (PyUnicode_Check(obj)) return arg_string(qualname, name, obj, out);
  if (!PyObject_HasAttrString(obj, "__fspath__")) {
    raise_arg_type(qualname, name, "str or os.PathLike", obj);
    return false;
  }
  Ref path(PyOS_FSPath(obj));
  if (!path) return false;
  if (PyBytes_Check(path.get())) {
    out->assign(PyBytes_AS_STRING(path.get()), std::size_t(PyBytes_GET_SIZE(path.get())));
    return true;
  }
  return arg_string(qualname, name, path.get(), out);
}

namespace {

// Reads the CA sites of an mmCIF file through the gemmi reader; a failure
// of the file itself becomes a core error, anything else stays raised.
bool read_mmcif(const std::string& path, const std::optional<std::string>& chain,
                std::optional<pelda::Result<pelda::Domain>>* out) {
  Ref read(mmcif_function("ca_sites"));
  if (!read) return false;
  Ref py_path(PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size())));  // as os.fsdecode
  if (!py_path) return false;
  Ref result(PyObject_CallOneArg(read.get(), py_path.get()));
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OSError)) return false;
    out->emplace(take_python_error());
    return true;
  }
  PyObject* sites_list = nullptr;
  int gzipped = 0;
  if (!PyArg_ParseTuple(result.get(), "pO!", &gzipped, &PyList_Type, &sites_list)) return false;
  std::vector<pelda::CaSite> sites(std::size_t(PyList_GET_SIZE(sites_list)));
  for (std::size_t i = 0; i < sites.size(); ++i)
    if (!site_from(PyList_GET_ITEM(sites_list, Py_ssize_t(i)), &sites[i])) return false;
  out->emplace(pelda::domain_from_ca_sites(path, gzipped != 0, chain, sites));
  return true;
}

}  // namespace

// PDB files are read without the GIL; mmCIF files need it, for gemmi.
bool read_structure_domain(const std::string& path, const std::optional<std::string>& chain,
                           const std::string& prefix, pelda::Domain* out) {
  const bool mmcif =
      without_gil([&] { return pelda::sniff_structure_file(path); }).format == pelda::StructureFormat::Mmcif;
  std::optional<pelda::Result<pelda::Domain>> d;
  if (mmcif) {
    if (!read_mmcif(path, chain, &d)) return false;
  } else {
    std::optional<char32_t> c;
    if (chain) {
      const std::u32string text = pelda::decode_utf8(*chain);
      if (text.size() != 1) {
        raise_value((prefix.empty() ? "Failed to parse PDB: " : prefix) + "chain '" + *chain + "' cannot occur in " +
                    pelda::sanitize_utf8(path) + ": PDB chain ids are one character");
        return false;
      }
      c = text[0];
    }
    d.emplace(without_gil([&] { return pelda::read_pdb_domain(path, c); }));
  }
  if (!*d) {
    const pelda::Error& e = d->error();
    if (!mmcif) return raise_core(PyExc_ValueError, prefix.empty() ? "Failed to parse PDB: " : prefix, e), false;
    // The rules are the PDB reader's, the file is not: no "PDB parsing error" here.
    const std::string text = e.kind == pelda::ErrorKind::Value || e.kind == pelda::ErrorKind::PdbParse ? e.message : e.text();
    return raise_value((prefix.empty() ? "Failed to parse mmCIF: " : prefix) + text), false;
  }
  *out = std::move(*d).value();
  return true;
}

pelda::MmcifMover mmcif_mover() {
  return [](const std::string& source, const pelda::Transform& t,
            const std::optional<std::string>& chain) -> pelda::Result<std::string> {
    // Callers may have released the interpreter for the file work.
    struct Gil {
      PyGILState_STATE state = PyGILState_Ensure();
      ~Gil() { PyGILState_Release(state); }
    } gil;
    Ref move(mmcif_function("moved_text"));
    if (!move) return take_python_error();
    const auto& r = t.rotation;
    Ref result(PyObject_CallFunction(move.get(), "O&((ddd)(ddd)(ddd))(ddd)z", decode_path, source.c_str(),
                                     r[0][0], r[0][1], r[0][2], r[1][0], r[1][1], r[1][2], r[2][0], r[2][1], r[2][2],
                                     t.translation[0], t.translation[1], t.translation[2],
                                     chain ? chain->c_str() : nullptr));
    if (!result) return take_python_error();
    Py_ssize_t n = 0;
    const char* text = PyUnicode_Check(result.get()) ? PyUnicode_AsUTF8AndSize(result.get(), &n) : nullptr;
    if (!text) return take_python_error();
    return std::string(text, std::size_t(n));
  };
}

}  // namespace ovelt

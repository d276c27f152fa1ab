// Python class Domain: one core Domain held by value.
#include "bindings.hpp"
#include "state.hpp"
#include "pelda/io/dssp_reader.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/io/pdb_writer.hpp"
#include "pelda/io/utf8.hpp"

namespace ovelt {
namespace {

using pelda::Domain;

PyTypeObject* domain_cache = nullptr;

Domain& self_domain(PyObject* self) { return unbox<Domain>(self); }

PyObject* str_from(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())); }

// Optional chain argument of the file readers; '?' means none, like absence.
// Calls with positional and keyword arguments as a tuple and a dict, read
// with the same rules and wording as the vectorcall functions.
bool parse_tuple_args(const char* q, PyObject* args, PyObject* kwargs, const std::vector<const char*>& names,
                      std::size_t n_required, PyObject** out) {
  std::vector<PyObject*> flat;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  Ref kwnames;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = Ref(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), k++, key);
      flat.push_back(value);
    }
  }
  return parse_args(q, flat.data(), nargs, kwnames.get(), names, n_required, out);
}

// ---------------------------------------------------------------------------
// Constructors

PyObject* domain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "Domain";
    if (!parse_tuple_args(q, args, kwargs, {"id", "chain"}, 1, a)) return nullptr;
    std::string id;
    char32_t chain = U'A';
    bool given;
    if (!arg_string(q, "id", a[0], &id) || !arg_chain(q, "chain", a[1], &chain, &given)) return nullptr;
    return box_new(type, pelda::make_domain(std::move(id), given ? chain : U'A'));
  });
}

PyObject* from_pdb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "Domain.from_pdb";
    std::string path;
    std::optional<char32_t> chain;
    if (!parse_args(q, args, nargs, kwnames, {"path", "chain"}, 1, a) || !arg_path(q, "path", a[0], &path) ||
        !arg_optional_chain(q, "chain", a[1], &chain))
      return nullptr;
    Domain d;
    if (!read_structure_domain(path, chain ? std::optional(pelda::to_utf8(*chain)) : std::nullopt, "", &d))
      return nullptr;
    return wrap_domain(std::move(d));
  });
}

// Like from_pdb, for every format; mmCIF chain ids may be longer.
PyObject* from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    const char* q = "Domain.from_file";
    std::string path;
    std::optional<std::string> chain;
    if (!parse_args(q, args, nargs, kwnames, {"path", "chain"}, 1, a) || !arg_path(q, "path", a[0], &path))
      return nullptr;
    if (a[1] && a[1] != Py_None) {
      if (!PyUnicode_Check(a[1])) return raise_arg_type(q, "chain", "str or None", a[1]), nullptr;
      if (!arg_string(q, "chain", a[1], &chain.emplace())) return nullptr;
      if (chain->empty()) return raise_value("chain must not be empty");
    }
    Domain d;
    if (!read_structure_domain(path, chain, "", &d)) return nullptr;
    return wrap_domain(std::move(d));
  });
}

PyObject* from_dssp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    const char* q = "Domain.from_dssp";
    std::string pdb_path, dssp_path;
    std::optional<char32_t> chain;
    if (!parse_args(q, args, nargs, kwnames, {"pdb_path", "dssp_path", "chain"}, 2, a) ||
        !arg_path(q, "pdb_path", a[0], &pdb_path) || !arg_path(q, "dssp_path", a[1], &dssp_path) ||
        !arg_optional_chain(q, "chain", a[2], &chain))
      return nullptr;
    Domain d;
    if (!read_structure_domain(pdb_path, chain ? std::optional(pelda::to_utf8(*chain)) : std::nullopt, "", &d))
      return nullptr;
    if (pelda::Status s = without_gil([&] { return pelda::apply_dssp(d, dssp_path); }); !s)
      return raise_core(PyExc_ValueError, "Failed to parse DSSP: ", s.error());
    return wrap_domain(std::move(d));
  });
}

PyObject* from_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    const char* q = "Domain.from_arrays";
    std::string id, seq;
    pelda::MatrixView coords;
    char32_t chain = U'A';
    bool given;
    if (!parse_args(q, args, nargs, kwnames, {"id", "coords", "sequence", "chain"}, 3, a) ||
        !arg_string(q, "id", a[0], &id) || !arg_array(q, "coords", a[1], 2, &coords) ||
        !arg_string(q, "sequence", a[2], &seq) || !arg_chain(q, "chain", a[3], &chain, &given))
      return nullptr;
    pelda::Result<Domain> d = pelda::domain_from_arrays(std::move(id), coords, seq, given ? chain : U'A');
    if (!d) return raise_core(PyExc_ValueError, "", d.error());
    return wrap_domain(std::move(d).value());
  });
}

// ---------------------------------------------------------------------------
// Methods

PyObject* load_dssp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    const char* q = "Domain.load_dssp";
    std::string path;
    if (!parse_args(q, args, nargs, kwnames, {"path"}, 1, a, 1) || !arg_path(q, "path", a[0], &path))
      return nullptr;
    // Read into a copy: the object stays usable by other threads meanwhile
    // and is left unchanged when the file cannot be read.
    Domain updated = self_domain(self);
    if (pelda::Status s = without_gil([&] { return pelda::apply_dssp(updated, path); }); !s)
      return raise_core(PyExc_ValueError, "Failed to parse DSSP: ", s.error());
    self_domain(self) = std::move(updated);
    Py_RETURN_NONE;
  });
}

PyObject* to_pdb(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    const char* q = "Domain.to_pdb";
    std::string path;
    bool full = true;
    if (!parse_args(q, args, nargs, kwnames, {"path", "transform", "full"}, 1, a, 1) ||
        !arg_path(q, "path", a[0], &path) || !arg_bool(q, "full", a[2], &full))
      return nullptr;
    std::optional<pelda::Transform> transform;
    if (a[1] && a[1] != Py_None) {
      transform.emplace();
      if (!arg_transform(q, "transform", a[1], &*transform)) return nullptr;
    }
    const Domain d = self_domain(self);  // the object may change while the GIL is released
    // The full structure is written in its source's format, mmCIF included.
    const pelda::Status s = without_gil([&] {
      return full && !d.pdb_file.empty()
                 ? pelda::rewrite_structure_file(d.pdb_file, path, transform.value_or(pelda::Transform::identity()),
                                                 d.chain, mmcif_mover())
                 : pelda::write_ca_pdb(d, path, transform ? &*transform : nullptr);
    });
    if (!s) return raise_core(write_error_type(s.error()), "Failed to write PDB: ", s.error());
    Py_RETURN_NONE;
  });
}

PyObject* copy(PyObject* self, PyObject*) {
  return guarded([&] { return wrap_domain(self_domain(self)); });
}

PyObject* ss_content(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::array<double, 3> c = pelda::ss_content(self_domain(self));
    return Py_BuildValue("(ddd)", c[0], c[1], c[2]);
  });
}

// ---------------------------------------------------------------------------
// Properties

// A setter's value must be a str.
bool value_string(const char* attr, PyObject* value, std::string* out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "attribute '%s' must be str, not %s", attr, Py_TYPE(value)->tp_name);
    return false;
  }
  return arg_string("Domain", attr, value, out);
}

PyObject* get_id(PyObject* self, void*) {
  return guarded([&] { return str_from(self_domain(self).id); });
}

int set_id(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    std::string id;
    if (refuse_delete(value) || !value_string("id", value, &id)) return -1;
    self_domain(self).id = std::move(id);
    return 0;
  });
}

PyObject* get_chain(PyObject* self, void*) {
  return guarded([&] { return str_from(self_domain(self).chain); });
}

int set_chain(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (refuse_delete(value)) return -1;
    if (!PyUnicode_Check(value)) {
      PyErr_Format(PyExc_TypeError, "attribute 'chain' must be str, not %s", Py_TYPE(value)->tp_name);
      return -1;
    }
    char32_t c;
    bool given;
    if (!arg_chain("Domain", "chain", value, &c, &given)) return -1;
    self_domain(self).chain = pelda::to_utf8(c);
    return 0;
  });
}

PyObject* get_pdb_file(PyObject* self, void*) {
  return guarded([&] { return str_from(self_domain(self).pdb_file); });
}

PyObject* get_sequence(PyObject* self, void*) {
  return guarded([&] { return str_from(pelda::sequence(self_domain(self))); });
}

PyObject* get_secondary_structure(PyObject* self, void*) {
  return guarded([&] { return str_from(pelda::secondary_structure(self_domain(self))); });
}

PyObject* get_has_dssp(PyObject* self, void*) { return PyBool_FromLong(self_domain(self).has_dssp); }

PyObject* get_coordinates(PyObject* self, void*) {
  return guarded([&] { return points_to_array(pelda::coordinates(self_domain(self))); });
}

int set_coordinates(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    pelda::MatrixView coords;
    if (refuse_delete(value) || !arg_array("Domain.coordinates", "value", value, 2, &coords)) return -1;
    if (pelda::Status s = pelda::set_coordinates(self_domain(self), coords); !s) {
      raise_core(PyExc_ValueError, "", s.error());
      return -1;
    }
    return 0;
  });
}

// ---------------------------------------------------------------------------
// Special methods

PyObject* repr(PyObject* self) {
  return guarded([&] {
    const Domain& d = self_domain(self);
    return str_from("Domain(id='" + d.id + "', chain='" + d.chain +
                    "', n_residues=" + std::to_string(d.size()) + ")");
  });
}

PyObject* str(PyObject* self) {
  return guarded([&] {
    const Domain& d = self_domain(self);
    return str_from("<Domain " + d.id + " chain " + d.chain + " with " + std::to_string(d.size()) +
                    " residues>");
  });
}

Py_ssize_t length(PyObject* self) { return Py_ssize_t(self_domain(self).size()); }

int is_nonempty(PyObject* self) { return self_domain(self).size() > 0; }

// Pickling: every field of the record, residues included.
PyObject* reduce(PyObject* self, PyObject*) {
  return reduce_with(self, [&](StateWriter& w) {
    const Domain& d = self_domain(self);
    w.text(d.id);
    w.text(d.pdb_file);
    w.text(d.chain);
    w.word(d.has_dssp);
    w.word(d.residues.size());
    for (const pelda::Residue& r : d.residues) {
      w.text(r.label);
      for (double v : {r.x, r.y, r.z, r.accessibility}) w.real(v);
      w.word(r.residue_type);
      w.word(static_cast<unsigned char>(r.ss_code));
      w.word(r.index);
    }
  });
}

PyObject* from_state(PyObject* cls, PyObject* arg) {
  return restore<Domain>(cls, arg, [](StateReader& in) {
    Domain d;
    d.id = in.text();
    d.pdb_file = in.text();
    d.chain = in.text();
    d.has_dssp = in.bounded(1) != 0;
    d.residues.resize(in.count(8 * 8));  // label length, four reals, three words
    for (pelda::Residue& r : d.residues) {
      r.label = in.text();
      for (double* v : {&r.x, &r.y, &r.z, &r.accessibility}) *v = in.real();
      r.residue_type = in.character();
      r.ss_code = char(in.bounded(0x7F));
      r.index = std::uint32_t(in.bounded(0xFFFFFFFF));
    }
    return d;
  });
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"_from_state", from_state, METH_O | METH_CLASS, nullptr},
    {"from_pdb", as_cfunc(from_pdb), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_pdb(path, chain=None)\n--\n\n"
     "Creates a domain from a PDB file.\n\n"
     "Args:\n"
     "    path: Path to PDB file.\n"
     "    chain: Optional chain identifier. If None, uses first chain found.\n\n"
     "Returns:\n"
     "    Domain object with C-alpha coordinates.\n\n"
     "Raises:\n"
     "    ValueError: If the file cannot be parsed.\n"
     "    IOError: If the file cannot be read."},
    {"from_file", as_cfunc(from_file), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_file(path, chain=None)\n--\n\n"
     "Creates a domain from a structure file: PDB or mmCIF, either gzipped.\n\n"
     "The format is told from the content, not the name. Reads the C-alpha\n"
     "atoms of one chain of the first model, as from_pdb does; in mmCIF the\n"
     "chain is auth_asym_id (which may be longer than one character) and the\n"
     "residue labels are auth_seq_id plus the insertion code.\n\n"
     "Args:\n"
     "    path: Path to the file (str or os.PathLike).\n"
     "    chain: Optional chain identifier. If None, uses first chain found.\n\n"
     "Returns:\n"
     "    Domain object with C-alpha coordinates.\n\n"
     "Raises:\n"
     "    ValueError: If the file cannot be read or parsed."},
    {"from_dssp", as_cfunc(from_dssp), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_dssp(pdb_path, dssp_path, chain=None)\n--\n\n"
     "Creates a domain from a DSSP file.\n\n"
     "Loads both coordinates and secondary structure from DSSP.\n\n"
     "Args:\n"
     "    path: Path to DSSP file.\n"
     "    chain: Optional chain identifier.\n\n"
     "Returns:\n"
     "    Domain object with coordinates and secondary structure."},
    {"from_arrays", as_cfunc(from_arrays), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_arrays(id, coords, sequence, chain=None)\n--\n\n"
     "Creates a domain from coordinates and sequence.\n\n"
     "Args:\n"
     "    id: Domain identifier.\n"
     "    coords: Nx3 numpy array of C-alpha coordinates.\n"
     "    sequence: Amino acid sequence string.\n"
     "    chain: Optional chain identifier (default 'A').\n\n"
     "Returns:\n"
     "    New Domain object."},
    {"load_dssp", as_cfunc(load_dssp), METH_FASTCALL | METH_KEYWORDS,
     "load_dssp($self, path)\n--\n\n"
     "Loads secondary structure from a DSSP file.\n\n"
     "Args:\n"
     "    path: Path to DSSP file."},
    {"to_pdb", as_cfunc(to_pdb), METH_FASTCALL | METH_KEYWORDS,
     "to_pdb($self, path, transform=None, full=True)\n--\n\n"
     "Writes the domain to a PDB file.\n\n"
     "By default, writes the FULL structure (all atoms) by transforming the\n"
     "original PDB file. Set `full=False` to write only C-alpha atoms.\n\n"
     "Args:\n"
     "    path: Output file path.\n"
     "    transform: Optional transformation to apply before writing.\n"
     "    full: If True (default), writes all atoms from original PDB.\n"
     "          If False, writes only C-alpha atoms."},
    {"copy", copy, METH_NOARGS, "copy($self)\n--\n\nReturns a copy of this domain."},
    {"ss_content", ss_content, METH_NOARGS,
     "ss_content($self)\n--\n\nReturns secondary structure content as (helix, strand, coil) tuple."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"id", get_id, set_id, "Returns the domain identifier.", nullptr},
    {"chain", get_chain, set_chain, "Returns the chain identifier.", nullptr},
    {"pdb_file", get_pdb_file, nullptr, "Returns the source PDB file path.", nullptr},
    {"sequence", get_sequence, nullptr, "Returns the amino acid sequence as a string.", nullptr},
    {"secondary_structure", get_secondary_structure, nullptr, "Returns the secondary structure string.", nullptr},
    {"has_dssp", get_has_dssp, nullptr, "Returns True if DSSP data has been loaded.", nullptr},
    {"coordinates", get_coordinates, set_coordinates, "Returns C-alpha coordinates as numpy array (N x 3).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(domain_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Domain>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_str, reinterpret_cast<void*>(str)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_nb_bool, reinterpret_cast<void*>(is_nonempty)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Domain(id, chain=None)\n--\n\n"
                                  "Python wrapper for Domain.\n\n"
                                  "Represents a protein domain with C-alpha coordinates and optional\n"
                                  "secondary structure information.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"Domain", sizeof(Box<Domain>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* domain_type() { return lazy_type(&type_spec, &domain_cache); }

PyObject* wrap_domain(pelda::Domain d) { return box_new(domain_type(), std::move(d)); }

bool arg_domain(const char* qualname, const char* name, PyObject* obj, const pelda::Domain** out) {
  if (!check_instance(qualname, name, obj, domain_type(), "Domain")) return false;
  *out = &unbox<pelda::Domain>(obj);
  return true;
}

}  // namespace ovelt

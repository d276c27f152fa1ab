// transform_pdb_file: moves every atom of a PDB file by a Transform.
#include "bindings.hpp"
#include "pelda/io/pdb_writer.hpp"
#include "pelda/io/utf8.hpp"

namespace ovelt {
namespace {

PyObject* transform_pdb_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[4];
    const char* q = "transform_pdb_file";
    std::string input, output;
    pelda::Transform transform;
    std::optional<char32_t> chain;
    if (!parse_args(q, args, nargs, kwnames, {"input_path", "output_path", "transform", "chain"}, 3, a) ||
        !arg_path(q, "input_path", a[0], &input) || !arg_path(q, "output_path", a[1], &output) ||
        !arg_transform(q, "transform", a[2], &transform) || !arg_optional_chain(q, "chain", a[3], &chain))
      return nullptr;
    // Written in the input's format: PDB or mmCIF.
    const pelda::Status s = without_gil([&] {
      return pelda::rewrite_structure_file(input, output, transform,
                                           chain ? std::optional(pelda::to_utf8(*chain)) : std::nullopt, mmcif_mover());
    });
    if (!s) return raise_core(write_error_type(s.error()), "Failed to transform PDB: ", s.error());
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef transform_pdb_file_def = {
    "transform_pdb_file", as_cfunc(transform_pdb_file), METH_FASTCALL | METH_KEYWORDS,
    "transform_pdb_file(input_path, output_path, transform, chain=None)\n--\n\n"
    "Transforms an entire PDB file by applying a rigid body transformation.\n\n"
    "Unlike `Domain.to_pdb()` which only outputs C-alpha atoms, this function\n"
    "reads the original PDB file and transforms ALL atoms (backbone, side chains,\n"
    "waters, ligands, etc.), preserving all other information in the file.\n\n"
    "This is useful when you want to output the full structure after computing\n"
    "an alignment based on C-alpha atoms.\n\n"
    "Args:\n"
    "    input_path: Path to the input PDB file.\n"
    "    output_path: Path to write the transformed PDB file.\n"
    "    transform: The transformation to apply (from alignment result).\n"
    "    chain: Optional chain filter; if specified, only transform atoms from this chain.\n\n"
    "Raises:\n"
    "    IOError: If the input file cannot be read or output file cannot be written.\n\n"
    "Example:\n"
    "    >>> result = ovelt.pairwise_align(domain1, domain2)\n"
    "    >>> # Transform the full PDB file (all atoms) using the computed alignment\n"
    "    >>> ovelt.transform_pdb_file(\"mobile.pdb\", \"mobile_aligned.pdb\", result.transform)"};

}  // namespace ovelt

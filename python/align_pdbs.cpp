// align_pdbs: read structure files, align them in the frame of a reference
// and write every whole structure into one directory.
#include <optional>

#include "bindings.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/io/pdb_writer.hpp"
#include "pelda/io/utf8.hpp"
#include "pelda/treewise/align_set.hpp"

namespace ovelt {
namespace {

using pelda::Domain;

constexpr const char* kQualname = "align_pdbs";

struct PipelineArgs {
  std::vector<std::string> paths;
  std::string output_dir;
  pelda::Parameters params;
  std::optional<char32_t> chain;
  std::size_t reference = 0;
  pelda::SearchMode search = pelda::SearchMode::None;
  pelda::RunControl control;
};

bool arg_path_list(PyObject* obj, std::vector<std::string>* out) {
  return arg_list(kQualname, "pdb_files", obj, out,
                  [](PyObject* item, std::string* path) { return arg_path(kQualname, "pdb_files", item, path); });
}

bool convert_args(PyObject* const* a, PipelineArgs* out) {
  if (!arg_path_list(a[0], &out->paths) || !arg_path(kQualname, "output_dir", a[1], &out->output_dir) ||
      !arg_parameters(kQualname, a[2], &out->params) || !arg_optional_chain(kQualname, "chain", a[3], &out->chain))
    return false;
  return (!a[4] || arg_unsigned(kQualname, "reference_index", a[4], &out->reference)) &&
         arg_search(kQualname, a[5], &out->search) && arg_run_control(kQualname, a[6], a[7], &out->control);
}

// Every file is read before any alignment starts, so a bad path late in the
// list costs no work and leaves the file system untouched.
bool read_all(const PipelineArgs& args, std::vector<Domain>* out) {
  out->reserve(args.paths.size());
  for (const std::string& path : args.paths) {
    const std::optional<std::string> chain = args.chain ? std::optional(pelda::to_utf8(*args.chain)) : std::nullopt;
    if (!read_structure_domain(path, chain, "Failed to parse " + path + ": ", &out->emplace_back())) return false;
  }
  return true;
}

PyObject* align_pdbs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[8];
    if (!parse_args(kQualname, args, nargs, kwnames,
                    {"pdb_files", "output_dir", "params", "chain", "reference_index", "search", "threads", "progress"},
                    2, a, 0, 5))
      return nullptr;
    PipelineArgs in;
    if (!convert_args(a, &in)) return nullptr;
    const std::size_t n = in.paths.size();
    if (n < 2) return raise_value("Need at least 2 PDB files");
    if (in.reference >= n)
      return raise_value("Reference index " + std::to_string(in.reference) + " out of range for " +
                         std::to_string(n) + " structures");
    if (!validated(pelda::check_parameters(in.params)) || !validated(pelda::check_output_names(in.paths, std::nullopt)))
      return nullptr;

    std::vector<Domain> domains;
    if (!read_all(in, &domains) || !validated(pelda::check_finite(domains))) return nullptr;
    pelda::Result<pelda::AlignedSet> r =
        without_gil([&] { return pelda::align_set(domains, in.params, in.reference, in.search, in.control); });
    if (!r) {
      const pelda::Error& e = r.error();
      if (e.item) return raise_core(PyExc_ValueError, "Pre-alignment failed for " + in.paths[*e.item] + ": ", e);
      return raise_core(PyExc_ValueError, "Multiple alignment failed: ", e);
    }
    Ref result(wrap_multiple_result(std::move(r->alignment), std::move(r->pre_transforms), in.paths));
    if (!result) return nullptr;
    Ref written(write_multiple_result(result.get(), in.output_dir, std::nullopt));
    if (!written) return nullptr;
    return result.release();
  });
}

}  // namespace

PyMethodDef align_pdbs_def = {
    "align_pdbs", as_cfunc(align_pdbs), METH_FASTCALL | METH_KEYWORDS,
    "align_pdbs(pdb_files, output_dir, params=None, chain=None, reference_index=0, *, search=None, threads=None, "
    "progress=None)\n"
    "--\n"
    "\n"
    "Aligns multiple structures with automatic pre-alignment and full PDB output.\n"
    "\n"
    "This is the recommended high-level API that handles:\n"
    "- Initial pre-alignment (scan mode for structures in different coordinate frames)\n"
    "- Multiple structure alignment\n"
    "- Automatic transform composition\n"
    "- Full PDB output with all atoms\n"
    "\n"
    "Args:\n"
    "    pdb_files: List of PDB file paths to align.\n"
    "    output_dir: Directory for output aligned PDB files.\n"
    "    params: Optional alignment parameters.\n"
    "    chain: Optional chain to extract from each PDB (default: first chain found).\n"
    "    reference_index: Index of reference structure (default 0).\n"
    "\n"
    "Returns:\n"
    "    MultipleAlignmentResult with full transforms and output file paths."};

}  // namespace ovelt

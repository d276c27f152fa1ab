// align_pdbs: read PDB files, pre-align each onto a reference, align them
// all and write every whole structure into one directory.
#include <algorithm>
#include <optional>

#include "bindings.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/io/pdb_writer.hpp"
#include "pelda/io/utf8.hpp"
#include "pelda/scan/scan_align.hpp"
#include "pelda/search/sensitive_multiple.hpp"
#include "pelda/treewise/multiple_alignment.hpp"

namespace ovelt {
namespace {

using pelda::Domain;
using pelda::Transform;

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

Domain moved_copy(const Domain& d, const Transform& t) {
  Domain out = d;
  for (pelda::Residue& r : out.residues) {
    const pelda::Vec3 p = t.apply(r.position());
    r.x = p.x;
    r.y = p.y;
    r.z = p.z;
  }
  return out;
}

// Each file onto the unmoved reference with the scan-mode search, one work
// item per file; the reference keeps the identity. Fills the transforms and
// the moved domains.
bool pre_align(const PipelineArgs& args, const std::vector<Domain>& domains, const pelda::RunControl& control,
               std::vector<Transform>* transforms, std::vector<Domain>* moved) {
  const pelda::ScanConfig config = pelda::ScanConfig::from_parameters(args.params, 5);
  const Domain& reference = domains[args.reference];
  const std::size_t n = domains.size();
  transforms->assign(n, Transform::identity());
  moved->assign(n, Domain{});
  std::vector<char> failed(n, 0);  // the lowest marked file is the one whose error the run returns
  const pelda::Status s = without_gil([&] {
    return pelda::run_items(n, control, [&](std::size_t j, std::size_t) -> pelda::Status {
      if (j == args.reference) {
        (*moved)[j] = reference;
        return {};
      }
      pelda::Result<pelda::ScanOutcome> outcome = pelda::scan_align(reference, domains[j], config);
      if (!outcome) {
        failed[j] = 1;
        return outcome.error();
      }
      (*transforms)[j] = outcome->transform;
      (*moved)[j] = moved_copy(domains[j], outcome->transform);
      return {};
    });
  });
  if (s) return true;
  const std::size_t j = std::size_t(std::find(failed.begin(), failed.end(), 1) - failed.begin());
  if (j == n) raise_core(PyExc_ValueError, "", s.error());
  else raise_core(PyExc_ValueError, "Pre-alignment failed for " + args.paths[j] + ": ", s.error());
  return false;
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

    // Progress counts the pre-alignments and then the pairs as one job.
    pelda::RunControl pre_control = in.control, pair_control = in.control;
    pre_control.job_total = pair_control.job_total = n + n * (n - 1) / 2;
    pair_control.done_before = n;
    std::vector<Domain> domains, moved;
    std::vector<Transform> pre;
    if (!read_all(in, &domains) || !validated(pelda::check_finite(domains))) return nullptr;
    pelda::Result<pelda::MultipleAlignment> r = pelda::MultipleAlignment{};
    if (in.search == pelda::SearchMode::Sensitive) {
      pelda::Result<pelda::SensitiveSet> set =
          without_gil([&] { return pelda::align_set_sensitive(domains, in.params, in.reference, in.control); });
      if (!set) return raise_core(PyExc_ValueError, "Multiple alignment failed: ", set.error());
      pre = std::move(set->pre_transforms);
      r = std::move(set->alignment);
    } else {
      if (!pre_align(in, domains, pre_control, &pre, &moved)) return nullptr;
      domains.clear();
      r = without_gil([&] { return pelda::align_multiple(moved, in.params, pair_control); });
      if (!r) return raise_core(PyExc_ValueError, "Multiple alignment failed: ", r.error());
    }

    Ref result(wrap_multiple_result(std::move(r).value(), std::move(pre), in.paths));
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

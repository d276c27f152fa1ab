// What each binding file exports to the module frame and to the others.
#pragma once

#include "common.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/math/transform.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/parallel/run_items.hpp"
#include "pelda/search/search_mode.hpp"

namespace ovelt {

// Heap types, created on first need (nullptr with an exception set on failure).
PyTypeObject* domain_type();
PyTypeObject* parameters_type();
PyTypeObject* transform_type();
PyTypeObject* alignment_result_type();
PyTypeObject* multiple_alignment_result_type();
PyTypeObject* scan_hit_type();

// Module-level functions.
extern PyMethodDef pairwise_align_def;
extern PyMethodDef multiple_align_def;
extern PyMethodDef align_pdbs_def;
extern PyMethodDef scan_database_def;
extern PyMethodDef compute_rmsd_def;
extern PyMethodDef superpose_def;
extern PyMethodDef distance_matrix_def;
extern PyMethodDef centroid_def;
extern PyMethodDef transform_pdb_file_def;
// Private, behind ovelt.archive.
extern PyMethodDef scan_batch_def;
extern PyMethodDef rank_hits_def;

// Wrapping and reading core values shared between bindings.
PyObject* wrap_transform(const pelda::Transform& t);
PyObject* wrap_domain(pelda::Domain d);

// `params` None/absent -> defaults; else must be a Parameters instance.
bool arg_parameters(const char* qualname, PyObject* obj, pelda::Parameters* out);
bool arg_transform(const char* qualname, const char* name, PyObject* obj, pelda::Transform* out);
bool arg_domain(const char* qualname, const char* name, PyObject* obj, const pelda::Domain** out);
// `search` None/absent -> SearchMode::None; else "windows" or "sensitive"
// (ValueError naming the valid values otherwise).
bool arg_search(const char* qualname, PyObject* obj, pelda::SearchMode* out);

// The `threads` (None: every usable core) and `progress` keywords of the long
// calls. The poll hook, called by the core on the calling thread, takes the
// GIL, delivers pending signals (Ctrl-C raises KeyboardInterrupt) and calls
// progress(done, total); an exception from either stops the run. `progress`
// is borrowed: it must outlive the run.
bool arg_run_control(const char* qualname, PyObject* threads, PyObject* progress, pelda::RunControl* out);

}  // namespace ovelt

// ---------------------------------------------------------------------------
// Structure files: paths and the mmCIF format (structure_files.cpp).

#include "pelda/io/structure_file.hpp"

namespace ovelt {

// A path argument: str, or os.PathLike giving str or bytes.
bool arg_path(const char* qualname, const char* name, PyObject* obj, std::string* out);

// Reads a domain from a PDB or mmCIF file, either gzipped, as the content
// says (mmCIF through the package's gemmi reader). False with an exception
// set: ValueError with `prefix` for a file that cannot be read, or with
// "Failed to parse PDB: " or "Failed to parse mmCIF: " when `prefix` is empty.
bool read_structure_domain(const std::string& path, const std::optional<std::string>& chain,
                           const std::string& prefix, pelda::Domain* out);

// Moves the atoms of mmCIF files for the core writers (takes the
// interpreter lock itself).
pelda::MmcifMover mmcif_mover();

}  // namespace ovelt

// ---------------------------------------------------------------------------
// Multiple alignment results, shared by multiple_align and align_pdbs.

#include <optional>
#include <string>
#include <vector>

#include "pelda/treewise/multiple_alignment.hpp"

namespace ovelt {

// A new MultipleAlignmentResult owning the alignment and the given lists.
PyObject* wrap_multiple_result(pelda::MultipleAlignment alignment, std::vector<pelda::Transform> pre_transforms,
                               std::vector<std::string> source_paths);
// write_all's body: writes every structure, returns the list of paths.
PyObject* write_multiple_result(PyObject* result, const std::string& dir, const std::optional<std::string>& prefix);

// A sequence (not str) of Domain objects, copied.
bool arg_domain_list(const char* qualname, const char* name, PyObject* obj, std::vector<pelda::Domain>* out);

}  // namespace ovelt

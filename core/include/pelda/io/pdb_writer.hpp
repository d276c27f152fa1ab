// Writing domains and transformed source files as PDB files.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/io/structure_file.hpp"
#include "pelda/math/transform.hpp"

namespace pelda {

// Every writer here writes through OutputFile: the output appears complete or
// not at all. A coordinate must fit its 8 columns (-999.999 to 9999.999 with
// three decimals, finite); one that does not is refused with a Value error
// naming the atom, and nothing is written.

// A CA-only file: two REMARK lines, one ATOM line per residue, "END". The
// positions are moved by `transform` when one is given. A chain id longer
// than one character (from mmCIF) does not fit and is refused.
Status write_ca_pdb(const Domain& domain, const std::string& path, const Transform* transform);

// Three-letter residue name of a one-letter code; "UNK" for unknown codes.
std::string three_letter_code(char32_t code);

// Copies `source` (plain or gzipped) to `output` (gzipped when its name ends
// in ".gz") line by line, moving the ATOM and HETATM
// records of the first model (of chain `chain_filter` only, when given) by
// `transform`; later models lose their atoms. The source is read completely
// before the output replaces anything, so both may be the same file.
Status rewrite_pdb_file(const std::string& source, const std::string& output, const Transform& transform,
                        std::optional<char32_t> chain_filter);

// Refuses a prefix that could leave the output directory (one holding '/',
// or "..") and two sources that would be written to the same file name.
Status check_output_names(const std::vector<std::string>& sources, const std::optional<std::string>& prefix);

// Rewrites every source file into `dir` as prefix + stem + ".pdb" (prefix
// "aligned_" by default; see structure_output_name for mmCIF and gzipped
// sources, which keep their format), moved by alignment[i] after pre[i].
// `mover` writes the mmCIF sources. Returns the written paths. Bad names and unwritable coordinates are refused before
// anything is written; files written before a later failure stay on disk.
Result<std::vector<std::string>> write_aligned_structures(const std::string& dir,
                                                          const std::optional<std::string>& prefix,
                                                          const std::vector<std::string>& sources,
                                                          const std::vector<Transform>& alignment,
                                                          const std::vector<Transform>& pre,
                                                          const MmcifMover& mover = {});

}  // namespace pelda

// Structure files of either format, plain or gzipped, told apart by content.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "pelda/error.hpp"
#include "pelda/math/transform.hpp"

namespace pelda {

enum class StructureFormat { Pdb, Mmcif };

struct FileKind {
  StructureFormat format = StructureFormat::Pdb;
  bool gzipped = false;
};

// gzip by its magic number; mmCIF when the first line that is neither blank
// nor a comment starts with "data_" (in any case); PDB otherwise. A file
// that cannot be read counts as PDB, whose reader then reports why.
FileKind sniff_structure_file(const std::string& path);

// The name a file of `kind` is written under: prefix + stem + ".pdb" or
// ".cif", plus ".gz" for a gzipped source (whose stem drops ".gz" first).
// None when `source` has no usable stem.
std::optional<std::string> structure_output_name(std::string_view prefix, const std::string& source, FileKind kind);

// The text of an mmCIF file with its atoms moved by a transform (of the
// atoms of one chain only, when given). The library has no CIF reader of its
// own: callers supply one.
using MmcifMover =
    std::function<Result<std::string>(const std::string& source, const Transform& transform,
                                      const std::optional<std::string>& chain)>;

// Writes `text` through OutputFile (gzip for a ".gz" name).
Status write_text_file(const std::string& path, std::string_view text);

// Moves the atoms of `source` (of chain `chain` only, when given) by
// `transform` and writes the result to `output` in the source's format:
// PDB through rewrite_pdb_file, mmCIF through `mover`. A chain longer than
// one character cannot occur in a PDB file and is refused for one.
Status rewrite_structure_file(const std::string& source, const std::string& output, const Transform& transform,
                              const std::optional<std::string>& chain, const MmcifMover& mover = {});

}  // namespace pelda

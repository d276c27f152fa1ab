// A protein domain reduced to its C-alpha trace.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/math/matrix_view.hpp"
#include "pelda/math/transform.hpp"
#include "pelda/math/vec.hpp"

namespace pelda {

struct Residue {
  std::string label;  // residue number text plus insertion code: "52", "52A", "-3"
  double x = 0.0, y = 0.0, z = 0.0;
  double accessibility = 0.0;
  char32_t residue_type = U'X';  // one-letter code
  char ss_code = 'C';            // 'H', 'E' or 'C'
  std::uint32_t index = 0;       // 0-based position, never renumbered

  Vec3 position() const { return {x, y, z}; }
};

struct Domain {
  std::string id;
  std::string pdb_file;  // source path, empty when not read from a file
  std::vector<Residue> residues;
  std::string chain = "A";  // "_" when no chain is known; mmCIF ids may be longer
  bool has_dssp = false;

  std::size_t size() const { return residues.size(); }
};

Domain make_domain(std::string id, char32_t chain = U'A');

// Residue i gets label i+1, row i of `coords` and the i-th character of
// `sequence` (UTF-8, taken as given).
Result<Domain> domain_from_arrays(std::string id, const MatrixView& coords,
                                  const std::string& sequence, char32_t chain = U'A');

// Overwrites x, y, z of every residue; nothing else changes.
Status set_coordinates(Domain& domain, const MatrixView& coords);

// Refuses a residue with a NaN or infinite coordinate, naming the domain and
// the residue: aligners fed with one report nonsense as success.
Status check_finite(const Domain& domain);
// The same for each domain in turn.
Status check_finite(const std::vector<Domain>& domains);

PointList coordinates(const Domain& domain);
// A copy of the domain with every position moved by `t`.
Domain moved(const Domain& domain, const Transform& t);
PointList coordinates(const std::vector<Residue>& residues);
std::string sequence(const Domain& domain);
std::string secondary_structure(const Domain& domain);
// (helix, strand, coil) fractions; all zero for an empty domain.
std::array<double, 3> ss_content(const Domain& domain);

}  // namespace pelda

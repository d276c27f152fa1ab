#include "pelda/io/domain.hpp"

#include <cmath>

#include "pelda/io/utf8.hpp"

namespace pelda {

Domain make_domain(std::string id, char32_t chain) {
  Domain d;
  d.id = std::move(id);
  d.chain = to_utf8(chain);
  return d;
}

Result<Domain> domain_from_arrays(std::string id, const MatrixView& coords,
                                  const std::string& sequence, char32_t chain) {
  if (coords.cols != 3) return make_error(ErrorKind::Value, "Coordinates must have shape (N, 3)");
  const std::u32string seq = decode_utf8(sequence);
  if (seq.size() != coords.rows)
    return make_error(ErrorKind::Value, "Number of coordinates must match sequence length");
  Domain d = make_domain(std::move(id), chain);
  d.residues.resize(coords.rows);
  for (std::size_t i = 0; i < coords.rows; ++i) {
    Residue& r = d.residues[i];
    r.label = std::to_string(i + 1);
    r.x = coords.at(i, 0);
    r.y = coords.at(i, 1);
    r.z = coords.at(i, 2);
    r.residue_type = seq[i];
    r.index = std::uint32_t(i);
  }
  return d;
}

Status set_coordinates(Domain& domain, const MatrixView& coords) {
  if (coords.cols != 3) return make_error(ErrorKind::Value, "Coordinates must have shape (N, 3)");
  if (coords.rows != domain.residues.size())
    return make_error(ErrorKind::Value, "Expected " + std::to_string(domain.residues.size()) +
                                            " coordinates, got " + std::to_string(coords.rows));
  for (std::size_t i = 0; i < coords.rows; ++i) {
    Residue& r = domain.residues[i];
    r.x = coords.at(i, 0);
    r.y = coords.at(i, 1);
    r.z = coords.at(i, 2);
  }
  return {};
}

Status check_finite(const Domain& domain) {
  for (std::size_t i = 0; i < domain.residues.size(); ++i) {
    const Residue& r = domain.residues[i];
    if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.z))
      return make_error(ErrorKind::Value, "Non-finite coordinate in domain '" + domain.id + "' at residue " +
                                              r.label + " (index " + std::to_string(i) + ")");
  }
  return {};
}

Status check_finite(const std::vector<Domain>& domains) {
  for (const Domain& d : domains)
    if (Status s = check_finite(d); !s) return s;
  return {};
}

PointList coordinates(const std::vector<Residue>& residues) {
  PointList out;
  out.reserve(residues.size());
  for (const Residue& r : residues) out.push_back(r.position());
  return out;
}

PointList coordinates(const Domain& domain) { return coordinates(domain.residues); }

Domain moved(const Domain& domain, const Transform& t) {
  Domain out = domain;
  for (Residue& r : out.residues) {
    const Vec3 p = t.apply(r.position());
    r.x = p.x;
    r.y = p.y;
    r.z = p.z;
  }
  return out;
}

std::string sequence(const Domain& domain) {
  std::string s;
  s.reserve(domain.residues.size());
  for (const Residue& r : domain.residues) append_utf8(s, r.residue_type);
  return s;
}

std::string secondary_structure(const Domain& domain) {
  std::string s;
  s.reserve(domain.residues.size());
  for (const Residue& r : domain.residues) s += r.ss_code;
  return s;
}

std::array<double, 3> ss_content(const Domain& domain) {
  const std::size_t n = domain.residues.size();
  if (n == 0) return {0.0, 0.0, 0.0};
  std::size_t helix = 0, strand = 0;
  for (const Residue& r : domain.residues) {
    if (r.ss_code == 'G' || r.ss_code == 'H' || r.ss_code == 'I') ++helix;
    else if (r.ss_code == 'B' || r.ss_code == 'E') ++strand;
  }
  const double dn = double(n);
  return {double(helix) / dn, double(strand) / dn, double(n - helix - strand) / dn};
}

}  // namespace pelda

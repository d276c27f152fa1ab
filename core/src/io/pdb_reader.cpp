#include "pelda/io/pdb_reader.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "pelda/io/columns.hpp"
#include "pelda/io/gzip.hpp"
#include "pelda/io/line_reader.hpp"
#include "pelda/io/path.hpp"
#include "pelda/io/utf8.hpp"

namespace pelda {

namespace {

// Upper-cases for matching against ASCII names. Characters whose full
// upper-case form is not ASCII can never match and become '\x01'.
std::string upper_for_lookup(std::string_view name) {
  std::string out;
  for (char32_t c : decode_utf8(name)) {
    if (c < 0x80) out += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    else if (c == 0x131) out += 'I';                     // dotless i
    else if (c == 0x17F) out += 'S';                     // long s
    else if (c == 0xDF) out += "SS";                     // sharp s
    else if (c == 0xFB00) out += "FF";                   // Latin ligatures
    else if (c == 0xFB01) out += "FI";
    else if (c == 0xFB02) out += "FL";
    else if (c == 0xFB03) out += "FFI";
    else if (c == 0xFB04) out += "FFL";
    else if (c == 0xFB05 || c == 0xFB06) out += "ST";
    else out += '\x01';
  }
  return out;
}

constexpr std::array<std::pair<std::string_view, char32_t>, 31> three_letter_names{{
    {"ALA", 'A'}, {"ARG", 'R'}, {"ASN", 'N'}, {"ASP", 'D'}, {"CYS", 'C'}, {"GLN", 'Q'}, {"GLU", 'E'},
    {"GLY", 'G'}, {"HIS", 'H'}, {"ILE", 'I'}, {"LEU", 'L'}, {"LYS", 'K'}, {"MET", 'M'}, {"PHE", 'F'},
    {"PRO", 'P'}, {"SER", 'S'}, {"THR", 'T'}, {"TRP", 'W'}, {"TYR", 'Y'}, {"VAL", 'V'}, {"MSE", 'M'},
    {"SEC", 'U'}, {"PYL", 'O'}, {"ASX", 'B'}, {"GLX", 'Z'}, {"XLE", 'J'}, {"ADE", 'A'}, {"CYT", 'C'},
    {"GUA", 'G'}, {"THY", 'T'}, {"URA", 'U'},
}};

// Residues are told apart by number and insertion code. A number field that
// is not a number ("44A", as CA-only files write labels with insertion codes)
// also keys by its text, so that consecutive such residues are not taken for
// duplicates of each other.
struct ResidueKey {
  std::int32_t number = 0;
  char32_t insertion = U' ';
  std::string unparsed;
  bool operator==(const ResidueKey&) const = default;
};

ResidueKey residue_key(std::string_view number, char32_t insertion) {
  const std::optional<std::int32_t> n = parse_int32(number);
  return n ? ResidueKey{*n, insertion, {}} : ResidueKey{0, insertion, std::string(number)};
}

// State of one pass over the atoms.
struct PdbScan {
  std::optional<std::string> chain;
  Domain domain;
  std::optional<ResidueKey> last;
  std::vector<std::string> chains_seen;  // in order of first appearance
};

bool ends_model(std::string_view line) {
  return line.size() >= 6 && (line.starts_with("ENDMDL") || line.starts_with("END   "));
}

bool is_ca_atom(std::string_view line) {
  return line.size() >= 54 && line.starts_with("ATOM") && line.substr(12, 4) == " CA ";
}

bool accepted_altloc(char32_t c) { return c == U' ' || c == U'A' || c == U'1' || c == U'L' || c == U'O'; }

// Parses the three coordinates; the error names the first axis that fails.
Status read_position(std::string_view line, Residue& r) {
  static constexpr const char* axes[3] = {"Invalid X coordinate in line: ", "Invalid Y coordinate in line: ",
                                          "Invalid Z coordinate in line: "};
  double* out[3] = {&r.x, &r.y, &r.z};
  for (std::size_t a = 0; a < 3; ++a) {
    const std::optional<double> v = parse_float(field(line, 30 + 8 * a, 38 + 8 * a, "0.0"));
    if (!v) return make_error(ErrorKind::PdbParse, axes[a] + std::string(line));
    *out[a] = *v;
  }
  return {};
}

// Steps for one CA atom, whichever format described it: chain fixing and
// filter, alternate locations, the consecutive-duplicate rule, then the
// residue itself. Returns the new residue, without its position, or null
// when the atom is passed over.
Residue* accept_atom(PdbScan& scan, const std::string& chain, char32_t altloc, std::string_view number,
                     char32_t insertion, std::string_view residue_name) {
  if (std::find(scan.chains_seen.begin(), scan.chains_seen.end(), chain) == scan.chains_seen.end())
    scan.chains_seen.push_back(chain);
  if (!scan.chain) scan.chain = chain;
  if (chain != *scan.chain) return nullptr;
  if (!accepted_altloc(altloc)) return nullptr;
  ResidueKey key = residue_key(number, insertion);
  if (scan.last && *scan.last == key) return nullptr;
  Residue& r = scan.domain.residues.emplace_back();
  r.label = std::string(number);
  if (insertion != U' ') append_utf8(r.label, insertion);
  r.residue_type = one_letter_code(residue_name);
  r.index = std::uint32_t(scan.domain.residues.size() - 1);
  scan.last = std::move(key);
  return &r;
}

Status scan_atom(std::string_view line, PdbScan& scan) {
  Residue* r = accept_atom(scan, to_utf8(char_at(line, 21)), char_at(line, 16), field(line, 22, 26, "0"),
                           char_at(line, 26), field(line, 17, 20, "UNK"));
  return r ? read_position(line, *r) : Status();
}

// The scan's domain, or the error for a chain without C-alpha atoms. That
// error lists the chains the file does have, when it has any.
Result<Domain> finish_scan(PdbScan& scan, const std::string& path, bool gzipped) {
  const std::string read_chain = scan.chain.value_or("_");
  const std::string source = sanitize_utf8(path);
  if (scan.domain.residues.empty()) {
    std::string text = "No C-alpha atoms found in chain '" + read_chain + "' of " + source;
    if (!scan.chains_seen.empty()) {
      text += " (chains with C-alpha atoms: ";
      for (std::size_t i = 0; i < scan.chains_seen.size(); ++i)
        text += (i ? ", '" : "'") + scan.chains_seen[i] + "'";
      text += ")";
    }
    return make_error(ErrorKind::PdbParse, text);
  }
  std::string_view name = path;
  if (gzipped && has_gzip_suffix(name)) name.remove_suffix(3);  // "1abc.pdb.gz" is "1abc"
  scan.domain.id = identifier_from_path(name);
  scan.domain.pdb_file = source;
  scan.domain.chain = read_chain;
  return std::move(scan.domain);
}

}  // namespace

char32_t one_letter_code(std::string_view name) {
  const std::string up = upper_for_lookup(name);
  if (up.size() == 1) {
    const char c = up[0];
    return c == 'A' || c == 'C' || c == 'G' || c == 'T' || c == 'U' ? char32_t(c) : U'X';
  }
  if (up.size() == 2) {
    if (up[0] != 'D') return U'X';
    const char c = up[1];
    return c == 'A' || c == 'C' || c == 'G' || c == 'T' ? char32_t(c) : U'X';
  }
  if (up.size() == 3)
    for (const auto& [n, code] : three_letter_names)
      if (up == n) return code;
  return U'X';
}

Result<Domain> read_pdb_domain(const std::string& path, std::optional<char32_t> chain) {
  Result<LineReader> reader = LineReader::open(path);
  if (!reader) return reader.error();
  PdbScan scan;
  if (chain && *chain != U'?') scan.chain = to_utf8(*chain);
  std::string_view line;
  for (;;) {
    const Result<bool> more = reader->next(&line);
    if (!more) return more.error();
    if (!*more) break;
    if (ends_model(line)) {
      if (!scan.domain.residues.empty()) break;
      continue;
    }
    if (!is_ca_atom(line)) continue;
    if (Status s = scan_atom(line, scan); !s) return s.error();
  }
  return finish_scan(scan, path, reader->gzipped());
}

Result<Domain> domain_from_ca_sites(const std::string& path, bool gzipped, const std::optional<std::string>& chain,
                                    const std::vector<CaSite>& sites) {
  PdbScan scan;
  if (chain && *chain != "?") scan.chain = *chain;
  for (std::size_t i = 0; i < sites.size(); ++i) {
    const CaSite& site = sites[i];
    // A new model ends the read like ENDMDL does.
    if (i > 0 && site.model != sites[i - 1].model && !scan.domain.residues.empty()) break;
    if (Residue* r = accept_atom(scan, site.chain, site.altloc, site.number, site.insertion, site.residue_name)) {
      r->x = site.x;
      r->y = site.y;
      r->z = site.z;
    }
  }
  return finish_scan(scan, path, gzipped);
}

}  // namespace pelda

#include "pelda/io/dssp_reader.hpp"

#include <vector>

#include "pelda/io/columns.hpp"
#include "pelda/io/line_reader.hpp"
#include "pelda/io/utf8.hpp"

namespace pelda {

namespace {

struct DsspRow {
  std::string label;
  char code = 'C';
  double accessibility = 0.0;
};

bool chain_matches(char32_t row_chain, std::string_view domain_chain) {
  return domain_chain == "_" || row_chain == U' ' || to_utf8(row_chain) == domain_chain;
}

// One table line, or none when it is a break or belongs to another chain.
std::optional<DsspRow> table_row(std::string_view line, std::string_view domain_chain) {
  if (line.size() < 17 || char_at(line, 13) == U'!') return std::nullopt;
  if (!chain_matches(char_at(line, 11), domain_chain)) return std::nullopt;
  DsspRow row;
  row.label = std::string(field(line, 5, 10, ""));
  if (const char32_t ins = char_at(line, 10); ins != U' ') append_utf8(row.label, ins);
  row.code = reduce_dssp_code(char_at(line, 16));
  row.accessibility = parse_float(field(line, 34, 38, "0")).value_or(0.0);
  return row;
}

Result<std::vector<DsspRow>> read_rows(const std::string& path, std::string_view domain_chain) {
  Result<LineReader> reader = LineReader::open(path);
  if (!reader) return reader.error();
  std::vector<DsspRow> rows;
  bool in_table = false;
  std::string_view line;
  for (;;) {
    const Result<bool> more = reader->next(&line);
    if (!more) return more.error();
    if (!*more) break;
    if (line.find("  #  RESIDUE") != std::string_view::npos) {
      in_table = true;
      continue;
    }
    if (!in_table) continue;
    if (std::optional<DsspRow> row = table_row(line, domain_chain)) rows.push_back(std::move(*row));
  }
  return rows;
}

}  // namespace

char reduce_dssp_code(char32_t letter) {
  static constexpr char table[8] = {'E', 'C', 'C', 'E', 'C', 'H', 'H', 'H'};
  return letter >= U'B' && letter <= U'I' ? table[letter - U'B'] : 'C';
}

Status apply_dssp(Domain& domain, const std::string& path) {
  const Result<std::vector<DsspRow>> rows = read_rows(path, domain.chain);
  if (!rows) return rows.error();
  for (const DsspRow& row : *rows) {
    for (Residue& r : domain.residues) {
      if (r.label != row.label) continue;
      r.ss_code = row.code;
      r.accessibility = row.accessibility;
      break;
    }
  }
  domain.has_dssp = true;
  return {};
}

}  // namespace pelda

#include "pelda/io/structure_file.hpp"

#include "pelda/io/columns.hpp"
#include "pelda/io/gzip.hpp"
#include "pelda/io/line_reader.hpp"
#include "pelda/io/output_file.hpp"
#include "pelda/io/path.hpp"
#include "pelda/io/pdb_writer.hpp"
#include "pelda/io/utf8.hpp"

namespace pelda {

namespace {

bool starts_data_block(std::string_view line) {
  if (line.size() < 5 || line[4] != '_') return false;
  for (std::size_t i = 0; i < 4; ++i)
    if ((line[i] | 0x20) != "data"[i]) return false;
  return true;
}

}  // namespace

FileKind sniff_structure_file(const std::string& path) {
  FileKind kind;
  Result<LineReader> reader = LineReader::open(path);
  if (!reader) return kind;
  kind.gzipped = reader->gzipped();
  std::string_view line;
  for (;;) {
    const Result<bool> more = reader->next(&line);
    if (!more || !*more) return kind;
    const std::string_view text = trim(line);
    if (text.empty() || text.front() == '#') continue;
    if (starts_data_block(text)) kind.format = StructureFormat::Mmcif;
    return kind;
  }
}

std::optional<std::string> structure_output_name(std::string_view prefix, const std::string& source, FileKind kind) {
  std::string_view name = source;
  if (kind.gzipped && has_gzip_suffix(name)) name.remove_suffix(3);
  const std::optional<std::string> stem = file_stem(name);
  if (!stem) return std::nullopt;
  std::string out = std::string(prefix) + *stem + (kind.format == StructureFormat::Mmcif ? ".cif" : ".pdb");
  if (kind.gzipped) out += ".gz";
  return out;
}

Status write_text_file(const std::string& path, std::string_view text) {
  Result<OutputFile> out = OutputFile::create(path);
  if (!out) return out.error();
  if (Status s = out->write(text); !s) return s;
  return out->commit();
}

Status rewrite_structure_file(const std::string& source, const std::string& output, const Transform& transform,
                              const std::optional<std::string>& chain, const MmcifMover& mover) {
  if (sniff_structure_file(source).format == StructureFormat::Pdb) {
    std::optional<char32_t> filter;
    if (chain) {
      const std::u32string c = decode_utf8(*chain);
      if (c.size() != 1)
        return make_error(ErrorKind::Value, "Chain '" + *chain + "' cannot occur in the PDB file " + sanitize_utf8(source));
      filter = c[0];
    }
    return rewrite_pdb_file(source, output, transform, filter);
  }
  if (!mover) return make_error(ErrorKind::Value, "No mmCIF writer available for " + sanitize_utf8(source));
  const Result<std::string> text = mover(source, transform, chain);
  if (!text) return text.error();
  return write_text_file(output, *text);
}

}  // namespace pelda

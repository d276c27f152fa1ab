#include "pelda/io/structure_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

// The format named by the first line of `text` that is neither blank nor a
// comment; none when `text` holds no such line (as far as it is complete).
std::optional<StructureFormat> format_of_head(std::string_view text, bool complete) {
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos && !complete) return std::nullopt;  // the line may go on
    const std::string_view line = trim(text.substr(0, nl));
    if (!line.empty() && line.front() != '#')
      return starts_data_block(line) ? StructureFormat::Mmcif : StructureFormat::Pdb;
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return complete ? std::optional(StructureFormat::Pdb) : std::nullopt;
}

// The first few kilobytes of the file (inflated when gzipped) usually tell;
// reading them costs far less than a reader's first buffer refill.
std::optional<FileKind> sniff_head(const std::string& path) {
  if (!check_path_text(path)) return FileKind{};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileKind{};
  char raw[4096];
  std::size_t size = 0;
  while (size < sizeof raw) {
    const ssize_t n = ::read(fd, raw + size, sizeof raw - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += std::size_t(n);
  }
  const bool whole = size < sizeof raw;
  ::close(fd);
  FileKind kind;
  std::string_view head(raw, size);
  bool complete = whole;
  char text[4096];
  if (starts_gzip(head)) {
    kind.gzipped = true;
    GzipInflater inflater;
    inflater.give(raw, size);
    std::size_t produced = 0;
    if (!inflater.inflate(text, sizeof text, &produced, path)) return kind;  // damaged: the reader will say so
    head = std::string_view(text, produced);
    complete = whole && produced < sizeof text;
  }
  const std::optional<StructureFormat> format = format_of_head(head, complete);
  if (!format) return std::nullopt;
  kind.format = *format;
  return kind;
}

}  // namespace

FileKind sniff_structure_file(const std::string& path) {
  if (const std::optional<FileKind> kind = sniff_head(path)) return *kind;
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

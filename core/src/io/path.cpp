#include "pelda/io/path.hpp"

#include "pelda/io/utf8.hpp"

namespace pelda {

namespace {

// The last component that is neither empty nor "."; empty when there is none.
std::string_view last_component(std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find_last_of('/');
    const std::string_view comp = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!comp.empty() && comp != ".") return comp;
    if (slash == std::string_view::npos) break;
    path = path.substr(0, slash);
  }
  return {};
}

}  // namespace

std::optional<std::string> file_stem(std::string_view path) {
  const std::string_view name = last_component(path);
  if (name.empty() || name == "..") return std::nullopt;
  std::string_view stem = name;
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot != 0) stem = name.substr(0, dot);
  if (!is_valid_utf8(stem)) return std::nullopt;
  return std::string(stem);
}

std::string identifier_from_path(std::string_view path) {
  return file_stem(path).value_or("unknown");
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

Status check_path_text(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return make_error(ErrorKind::Io, "file name contained an unexpected NUL byte");
  return {};
}

}  // namespace pelda

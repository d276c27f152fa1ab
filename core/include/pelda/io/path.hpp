// File names as the readers and writers see them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pelda/error.hpp"

namespace pelda {

// Stem of the last normal component of `path`: "data/1abc.pdb" -> "1abc",
// "a.b.pdb" -> "a.b", ".hidden" -> ".hidden". Trailing '/' and "." components
// are skipped. None for "", "/", "." or a path ending in "..", and for a stem
// that is not valid UTF-8.
std::optional<std::string> file_stem(std::string_view path);

// The domain identifier taken from a file path: its stem, or "unknown".
std::string identifier_from_path(std::string_view path);

// dir + '/' + name; no separator after an empty dir or one ending in '/'; an
// absolute name replaces the directory.
std::string join_path(std::string_view dir, std::string_view name);

// The system cannot name a file with a NUL byte in it; passing such a path
// on would silently open the file named by its prefix instead.
Status check_path_text(const std::string& path);

}  // namespace pelda

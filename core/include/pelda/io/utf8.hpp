// Minimal UTF-8 helpers for labels, chains and one-letter codes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelda {

void append_utf8(std::string& out, char32_t c);
inline std::string to_utf8(char32_t c) {
  std::string s;
  append_utf8(s, c);
  return s;
}
// Length of the sequence a lead byte announces; 0 for a byte that cannot lead.
std::size_t utf8_sequence_size(unsigned char lead);
// True when `s` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool is_valid_utf8(std::string_view s);
// Decodes valid UTF-8; `s` must already be valid.
std::u32string decode_utf8(std::string_view s);
// Replaces each ill-formed sequence with U+FFFD.
std::string sanitize_utf8(std::string_view s);

}  // namespace pelda

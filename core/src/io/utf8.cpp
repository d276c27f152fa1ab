#include "pelda/io/utf8.hpp"

namespace pelda {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

std::size_t utf8_sequence_size(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

namespace {

// Length of the well-formed sequence starting at s[i], or 0 when ill-formed.
std::size_t sequence_length(std::string_view s, std::size_t i, char32_t* cp) {
  const unsigned char b0 = (unsigned char)s[i];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t c, lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; c = b0 & 0x1F; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3; c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4; c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char b = (unsigned char)s[i + k];
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  *cp = c;
  return len;
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  char32_t c;
  while (i < s.size()) {
    // Fast path over ASCII runs.
    if ((unsigned char)s[i] < 0x80) { ++i; continue; }
    std::size_t n = sequence_length(s, i, &c);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::u32string decode_utf8(std::string_view s) {
  std::u32string out;
  std::size_t i = 0;
  char32_t c;
  while (i < s.size()) {
    std::size_t n = sequence_length(s, i, &c);
    if (n == 0) { c = 0xFFFD; n = 1; }
    out += c;
    i += n;
  }
  return out;
}

std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  char32_t c;
  while (i < s.size()) {
    std::size_t n = sequence_length(s, i, &c);
    if (n == 0) {
      // Skip the maximal ill-formed prefix as one replacement character.
      append_utf8(out, 0xFFFD);
      ++i;
      while (i < s.size() && ((unsigned char)s[i] & 0xC0) == 0x80) ++i;
      continue;
    }
    out.append(s.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace pelda

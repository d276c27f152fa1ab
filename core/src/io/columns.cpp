#include "pelda/io/columns.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include "pelda/io/utf8.hpp"

namespace pelda {

namespace {

bool is_continuation(char c) { return ((unsigned char)c & 0xC0) == 0x80; }

bool is_boundary(std::string_view s, std::size_t pos) {
  return pos >= s.size() || !is_continuation(s[pos]);
}

// Lines are valid UTF-8 here; a stray byte still advances by one.
std::size_t char_size(unsigned char lead) { return std::max<std::size_t>(utf8_sequence_size(lead), 1); }

// The White_Space property.
bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

char32_t decode_one(std::string_view s) {
  const std::u32string d = decode_utf8(s);
  return d.empty() ? U' ' : d[0];
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != lower[i]) return false;
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal exponent of the leading significant digit, roughly: positive
// means the magnitude is at least 1. Decides overflow against underflow.
long long magnitude(std::string_view body) {
  std::size_t i = 0;
  long long int_digits = 0, lead = 0;
  bool found = false;
  for (; i < body.size() && is_digit(body[i]); ++i) {
    if (!found && body[i] != '0') found = true;
    if (found) ++int_digits;
  }
  if (i < body.size() && body[i] == '.') {
    ++i;
    for (; i < body.size() && is_digit(body[i]); ++i) {
      if (found) continue;
      if (body[i] != '0') found = true;
      else ++lead;
    }
  }
  long long exp = 0;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    bool neg = false;
    if (body[i] == '+' || body[i] == '-') neg = body[i++] == '-';
    for (; i < body.size(); ++i)
      if (exp < 1000000000LL) exp = exp * 10 + (body[i] - '0');
    if (neg) exp = -exp;
  }
  return (int_digits > 0 ? int_digits : -lead) + exp;
}

// digits [. digits] | . digits, then an optional exponent with digits.
bool is_decimal(std::string_view s) {
  std::size_t i = 0, mantissa = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++mantissa;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++mantissa;
  }
  if (mantissa == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t digits_from = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == digits_from) return false;
  }
  return i == s.size();
}

}  // namespace

std::optional<std::string_view> byte_range(std::string_view line, std::size_t begin, std::size_t end) {
  if (end > line.size() || begin > end) return std::nullopt;
  if (!is_boundary(line, begin) || !is_boundary(line, end)) return std::nullopt;
  return line.substr(begin, end - begin);
}

std::string_view field(std::string_view line, std::size_t begin, std::size_t end, std::string_view fallback) {
  const std::optional<std::string_view> r = byte_range(line, begin, end);
  return r ? trim(*r) : fallback;
}

char32_t char_at(std::string_view line, std::size_t k) {
  std::size_t pos = 0;
  for (std::size_t n = 0; pos < line.size(); ++n) {
    const std::size_t len = char_size((unsigned char)line[pos]);
    if (n == k) return len == 1 ? char32_t((unsigned char)line[pos]) : decode_one(line.substr(pos, len));
    pos += len;
  }
  return U' ';
}

std::string_view trim(std::string_view s) {
  while (!s.empty()) {
    const std::size_t len = char_size((unsigned char)s.front());
    if (!is_space(len == 1 ? char32_t(s.front()) : decode_one(s.substr(0, len)))) break;
    s.remove_prefix(std::min(len, s.size()));
  }
  while (!s.empty()) {
    std::size_t start = s.size() - 1;
    while (start > 0 && is_continuation(s[start])) --start;
    if (!is_space(decode_one(s.substr(start)))) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

std::optional<double> parse_float(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  double v = 0.0;
  if (iequals(s, "inf") || iequals(s, "infinity")) {
    v = std::numeric_limits<double>::infinity();
  } else if (iequals(s, "nan")) {
    v = std::numeric_limits<double>::quiet_NaN();
  } else {
    if (!is_decimal(s)) return std::nullopt;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range)
      v = magnitude(s) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    else if (r.ec != std::errc() || r.ptr != s.data() + s.size())
      return std::nullopt;
  }
  return negative ? -v : v;
}

std::optional<std::int32_t> parse_int32(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    v = v * 10 + (c - '0');
    if (v > std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return std::int32_t(v);
}

}  // namespace pelda

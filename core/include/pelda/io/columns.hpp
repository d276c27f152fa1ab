// Fixed-column fields of PDB and DSSP records.
//
// Columns are byte ranges of a line that is valid UTF-8. A range is
// unavailable when the line is too short or either end splits a multi-byte
// character; single characters are counted in characters, not bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelda {

// Bytes [begin, end) of `line`, or none when unavailable.
std::optional<std::string_view> byte_range(std::string_view line, std::size_t begin, std::size_t end);

// The trimmed range, or `fallback` when unavailable.
std::string_view field(std::string_view line, std::size_t begin, std::size_t end, std::string_view fallback);

// The character at index k (counted in characters), ' ' when the line is shorter.
char32_t char_at(std::string_view line, std::size_t k);

// Removes leading and trailing Unicode white space.
std::string_view trim(std::string_view s);

// Decimal float: optional sign, then digits with an optional fraction (or a
// fraction alone) and an optional exponent, or inf/infinity/nan in any case.
// Correctly rounded; none for anything else.
std::optional<double> parse_float(std::string_view s);

// Signed 32-bit decimal with an optional sign; none on any failure.
std::optional<std::int32_t> parse_int32(std::string_view s);

}  // namespace pelda

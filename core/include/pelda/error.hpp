// Core failures as values: every fallible operation returns Result<T>.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace pelda {

enum class ErrorKind {
  Io,                 // "I/O error: " + system text
  PdbParse,           // "PDB parsing error: " + message
  DsspParse,          // "DSSP parsing error: " + message
  DomainFile,         // "Domain file error: " + message
  InvalidParameter,   // "Invalid parameter: " + message
  AlignmentFailed,    // "Alignment failed: " + message
  StructureTooSmall,  // "Structure too small: n residues (minimum m)"
  NoCommonAtoms,      // "No common atoms for superposition"
  Value,              // bad argument value; the message is the whole text
  Output,             // failure of a multi-file writer; the message is the whole text
  Internal,           // broken internal invariant; the message is the whole text
  Stopped,            // the caller asked a long run to stop; the message is the whole text
};

struct Error {
  ErrorKind kind = ErrorKind::Internal;
  std::string message;
  std::size_t count = 0;    // StructureTooSmall: residues present
  std::size_t minimum = 0;  // StructureTooSmall: residues required
  std::optional<std::size_t> item;  // a run over several inputs: the input that failed

  std::string text() const;
};

inline Error make_error(ErrorKind kind, std::string message = {}) {
  return Error{kind, std::move(message), 0, 0, std::nullopt};
}

// "<strerror text> (os error N)", the wording of system failures.
std::string os_error_text(int errnum);
// An Io error for errno value `errnum`.
Error io_error(int errnum);

// Holds either a value or an Error.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// Success without a value.
template <>
class Result<void> {
 public:
  Result() = default;
  Result(Error error) : err_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return err_; }

 private:
  Error err_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace pelda

#include "pelda/error.hpp"

#include <cstring>

namespace pelda {

std::string Error::text() const {
  switch (kind) {
    case ErrorKind::Io: return "I/O error: " + message;
    case ErrorKind::PdbParse: return "PDB parsing error: " + message;
    case ErrorKind::DsspParse: return "DSSP parsing error: " + message;
    case ErrorKind::DomainFile: return "Domain file error: " + message;
    case ErrorKind::InvalidParameter: return "Invalid parameter: " + message;
    case ErrorKind::AlignmentFailed: return "Alignment failed: " + message;
    case ErrorKind::StructureTooSmall:
      return "Structure too small: " + std::to_string(count) + " residues (minimum " +
             std::to_string(minimum) + ")";
    case ErrorKind::NoCommonAtoms: return "No common atoms for superposition";
    case ErrorKind::Value:
    case ErrorKind::Output:
    case ErrorKind::Internal:
    case ErrorKind::Stopped: return message;
  }
  return message;
}

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* s = strerror_r(errnum, buf, sizeof buf);
  return std::string(s) + " (os error " + std::to_string(errnum) + ")";
}

Error io_error(int errnum) { return make_error(ErrorKind::Io, os_error_text(errnum)); }

}  // namespace pelda

// Placeholder until the scan-mode search lands.
#include "pelda/scan/scan_align.hpp"

namespace pelda {

Result<ScanOutcome> scan_align(const Domain&, const Domain&, const ScanConfig&) {
  return make_error(ErrorKind::AlignmentFailed, "not implemented yet");
}

}  // namespace pelda

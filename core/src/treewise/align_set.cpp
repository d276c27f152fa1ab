#include "pelda/treewise/align_set.hpp"

#include "pelda/scan/scan_align.hpp"
#include "pelda/search/sensitive_multiple.hpp"

namespace pelda {
namespace {

// Each domain onto the unmoved reference with the window scan, one work item
// per domain; fills the transforms and the moved domains.
Status pre_align(const std::vector<Domain>& domains, const Parameters& params, std::size_t reference,
                 const RunControl& control, std::vector<Transform>& transforms, std::vector<Domain>& moved) {
  const ScanConfig config = ScanConfig::from_parameters(params, 5);
  const Domain& ref = domains[reference];
  transforms.assign(domains.size(), Transform::identity());
  moved.assign(domains.size(), Domain{});
  return run_items(domains.size(), control, [&](std::size_t j, std::size_t) -> Status {
    if (j == reference) {
      moved[j] = ref;
      return {};
    }
    Result<ScanOutcome> outcome = scan_align(ref, domains[j], config);
    if (!outcome) {
      Error e = outcome.error();
      e.item = j;
      return e;
    }
    transforms[j] = outcome->transform;
    moved[j] = pelda::moved(domains[j], outcome->transform);
    return {};
  });
}

}  // namespace

Result<AlignedSet> align_set(const std::vector<Domain>& domains, const Parameters& params, std::size_t reference,
                             SearchMode search, const RunControl& control) {
  if (reference >= domains.size()) return make_error(ErrorKind::Value, "reference index out of range");
  if (search == SearchMode::Sensitive) return align_set_sensitive(domains, params, reference, control);

  const std::size_t n = domains.size();
  RunControl pre_control = control, pair_control = control;
  pre_control.job_total = pair_control.job_total = n + n * (n - 1) / 2;
  pair_control.done_before = n;
  AlignedSet out;
  std::vector<Domain> moved;
  if (Status s = pre_align(domains, params, reference, pre_control, out.pre_transforms, moved); !s) return s.error();
  Result<MultipleAlignment> a = align_multiple(moved, params, pair_control);
  if (!a) return a.error();
  out.alignment = std::move(a).value();
  return out;
}

}  // namespace pelda

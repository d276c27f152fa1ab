// A family in any frames aligned in the frame of one of its members.
#pragma once

#include <cstddef>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/math/transform.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/parallel/run_items.hpp"
#include "pelda/search/search_mode.hpp"
#include "pelda/treewise/multiple_alignment.hpp"

namespace pelda {

// Every domain's pre-alignment onto the reference, and the multiple alignment
// of the moved domains, whose transforms refine the pre-alignment: the
// composition of the two moves each input domain into the reference's frame.
struct AlignedSet {
  std::vector<Transform> pre_transforms;  // the reference keeps the identity
  MultipleAlignment alignment;
};

// With the window search (None or Windows) each domain is pre-aligned onto
// domains[reference] by the window scan and the moved domains are aligned as
// they lie; with Sensitive, the pair superpositions of the sensitive search
// give both. Progress counts the pre-alignments and the pairs as one job. A
// failing pre-alignment returns its error with `item` set to the domain's
// index.
Result<AlignedSet> align_set(const std::vector<Domain>& domains, const Parameters& params, std::size_t reference,
                             SearchMode search, const RunControl& control = {});

}  // namespace pelda

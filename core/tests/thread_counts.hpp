// Thread counts the parallel tests run with, and a RunControl for each.
#pragma once

#include <cstddef>

#include "pelda/parallel/run_items.hpp"

namespace pelda::fixtures {

inline constexpr std::size_t kThreadCounts[] = {1, 2, 3, 7};

inline RunControl on(std::size_t threads) {
  RunControl c;
  c.threads = threads;
  return c;
}

}  // namespace pelda::fixtures

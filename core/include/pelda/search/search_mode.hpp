// How an aligner finds its starting superposition.
#pragma once

namespace pelda {

enum class SearchMode {
  None,       // start from the input frames (or the caller's default search)
  Windows,    // ungapped windows of the mobile chain fitted onto the reference start
  Sensitive,  // the start search of start_search.hpp
};

}  // namespace pelda

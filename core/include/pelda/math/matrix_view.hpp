// Read-only view of a caller's 2-D float64 matrix with arbitrary strides.
#pragma once

#include <cstddef>
#include <cstring>

namespace pelda {

struct MatrixView {
  const char* data = nullptr;
  std::size_t rows = 0, cols = 0;
  std::ptrdiff_t row_stride = 0, col_stride = 0;  // in bytes

  double at(std::size_t i, std::size_t j) const {
    double v;
    std::memcpy(&v, data + std::ptrdiff_t(i) * row_stride + std::ptrdiff_t(j) * col_stride, sizeof v);
    return v;
  }
};

}  // namespace pelda

#!/usr/bin/env bash
# Builds the libFuzzer targets of the PDB and DSSP readers with clang and runs
# each for a bounded time, seeded with the shipped test files.
#   bash scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cxx=${CXX_FUZZ:-clang++-14}

cmake -S . -B build/fuzz -DOVELT_BUILD_FUZZERS=ON -DOVELT_BUILD_PYTHON=OFF -DOVELT_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build build/fuzz -j 2 --target fuzz_pdb_reader fuzz_dssp_reader

seed() {  # seed <corpus dir> <files...>
  local dir=$1
  shift
  mkdir -p "$dir"
  for f in "$@"; do cp -n "$f" "$dir/" 2>/dev/null || true; done
}
seed fuzz/corpus-pdb tests/data/edge/*.pdb tests/data/structures/*/*.pdb
seed fuzz/corpus-dssp tests/data/dssp/*.dssp

status=0
for target in pdb dssp; do
  echo "== fuzz_${target}_reader for ${seconds}s"
  mkdir -p build/fuzz/artifacts
  build/fuzz/fuzz/fuzz_${target}_reader "fuzz/corpus-${target}" -max_total_time="$seconds" -max_len=200000 \
    -rss_limit_mb=2048 -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 || status=$?
done
exit $status

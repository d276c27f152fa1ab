#!/usr/bin/env bash
# Builds the libFuzzer targets of the PDB (plain and gzip) and DSSP readers and the PDB writers
# with clang and runs each for a bounded time, seeded with the shipped test files.
#   bash scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cxx=${CXX_FUZZ:-clang++-14}

cmake -S . -B build/fuzz -DOVELT_BUILD_FUZZERS=ON -DOVELT_BUILD_PYTHON=OFF -DOVELT_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build build/fuzz -j 2 --target fuzz_pdb_reader fuzz_dssp_reader fuzz_pdb_writer

seed() {  # seed <corpus dir> <files...>
  local dir=$1
  shift
  mkdir -p "$dir"
  for f in "$@"; do cp -n "$f" "$dir/" 2>/dev/null || true; done
}
seed fuzz/corpus-pdb tests/data/edge/*.pdb tests/data/edge/*.pdb.gz tests/data/structures/*/*.pdb
seed fuzz/corpus-dssp tests/data/dssp/*.dssp
seed fuzz/corpus-pdb-writer tests/data/edge/*.pdb tests/data/structures/kringle/*.pdb

status=0
for run in pdb_reader:pdb dssp_reader:dssp pdb_writer:pdb-writer; do
  target=${run%%:*} corpus=${run#*:}
  echo "== fuzz_${target} for ${seconds}s"
  mkdir -p build/fuzz/artifacts
  build/fuzz/fuzz/fuzz_${target} "fuzz/corpus-${corpus}" -max_total_time="$seconds" -max_len=200000 \
    -rss_limit_mb=2048 -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 || status=$?
done
exit $status

#!/usr/bin/env bash
# Builds everything and runs every test: core unit tests (Release and
# ASan+UBSan) through CTest, then the Python API tests with pytest.
# Installs what it needs (GoogleTest and zlib, the package with its console script
# and its test extras, among them mypy for the type stubs).
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
fi

jobs=$(nproc 2>/dev/null || echo 2)

echo "== core tests (Release)"
cmake -S . -B build/tests -DOVELT_BUILD_TESTS=ON -DOVELT_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

echo "== core tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -DOVELT_BUILD_TESTS=ON -DOVELT_BUILD_PYTHON=OFF -DOVELT_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== Python package, command-line tool and API tests"
python3 -m pip install -q ".[test]"
# The console script, where pip put it (a version manager's shims may not list it yet).
"$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')/ovelt" --version
(cd tests && python3 -m pytest -q -p no:cacheprovider .)

#!/usr/bin/env bash
# Runs every test: C++ unit tests (ctest), Python tests (pytest) against the installed
# module, the C++ tests again under AddressSanitizer + UBSan, and a bounded fuzzing run.
#
#   bash tools/test.sh           everything
#   bash tools/test.sh --quick   unit and Python tests only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${KESTRUNE_FUZZ_SECONDS:-30}

step() { printf '\n=== %s ===\n' "$*"; }

step "C++ build and unit tests"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_WERROR=ON -DKESTRUNE_TESTS=ON >/dev/null
cmake --build build/test -j"$jobs"
(cd build/test && ctest --output-on-failure -j"$jobs")

step "Python module and tests"
python3 -m pip install --quiet --no-build-isolation "$root"
set +e
python3 -m pytest -q tests/python
rc=$?
set -e
# pytest exits 5 when it collects nothing; that is not a failure of ours.
if [[ $rc -ne 0 && $rc -ne 5 ]]; then exit $rc; fi

if [[ $quick -eq 1 ]]; then exit 0; fi

step "C++ unit tests under AddressSanitizer and UBSan"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=ON -DKESTRUNE_TESTS=ON \
  -DKESTRUNE_CUDA=OFF >/dev/null
cmake --build build/asan -j"$jobs" --target kestrune_tests
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$jobs")

step "Fuzzing (${fuzz_seconds}s per target)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON -DKESTRUNE_CUDA=OFF \
  -DKESTRUNE_TESTS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs"
for target in build/fuzz/fuzz_*; do
  [[ -x "$target" ]] || continue
  name=$(basename "$target")
  corpus="build/fuzz/corpus-$name"
  mkdir -p "$corpus"
  if [[ -d "fuzz/seeds/$name" ]]; then cp -n fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null || true; fi
  if [[ -x "fuzz/seed_$name.sh" ]]; then "fuzz/seed_$name.sh" "$corpus"; fi
  "$target" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" 2>&1 | tail -3
done
echo "all tests passed"

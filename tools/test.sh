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

step "Set-up"
KESTRUNE_SYSTEM_NEEDS="cmake g++ libgtest-dev libboost-context-dev"
[[ $quick -eq 1 ]] || KESTRUNE_SYSTEM_NEEDS+=" clang libclang-rt-dev"
# shellcheck source=tools/env.sh
source tools/env.sh numpy pybind11 scikit-build-core pytest starlette uvicorn openai httpx

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

step "Fuzzing (${fuzz_seconds}s per target, twice that for whole models)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON -DKESTRUNE_CUDA=OFF \
  -DKESTRUNE_TESTS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs"
# Every sanitizer report is a finding: the fuzzer stops on it and the stage fails.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in build/fuzz/fuzz_*; do
  [[ -x "$target" ]] || continue
  name=$(basename "$target")
  corpus="build/fuzz/corpus-$name"
  log="build/fuzz/$name.log"
  mkdir -p "$corpus"
  if [[ -d "fuzz/seeds/$name" ]]; then cp -n fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null || true; fi
  if [[ -x "fuzz/seed_$name.sh" ]]; then "fuzz/seed_$name.sh" "$corpus"; fi
  # Load diagnostics are closed off (-close_fd_mask=2); the fuzzer's own lines stay.
  seconds=$fuzz_seconds
  [[ $name == fuzz_model ]] && seconds=$((2 * fuzz_seconds))
  if ! "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -close_fd_mask=2 \
      -artifact_prefix=build/fuzz/ -print_final_stats=1 "$corpus" >"$log" 2>&1; then
    tail -60 "$log"
    echo "$name stopped on a finding (input saved under build/fuzz/)"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$log" || tail -3 "$log"
done
echo "all tests passed"

#!/usr/bin/env bash
# Builds and runs the GPU checks on a machine with an NVIDIA GPU: every device kernel,
# the attention, GDN, feed-forward and head layers, and whole models on the cuda backend
# against the CPU reference (host copies per token, device memory across generations,
# speculative decoding), the same checks on the tiny models under compute-sanitizer
# (memcheck, racecheck, synccheck) where it is installed, then the GPU benchmarks
# (decode tokens/s plain and speculative).
# Needs the CUDA toolkit, CMake, python3 with numpy; no GoogleTest.
#
#   bash tools/gpu_check.sh            (a few minutes on an H100)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KESTRUNE_GPU_BUILD:-build/gpu}
jobs=$(nproc 2>/dev/null || echo 4)
gen=()
# A fresh build directory uses Ninja where it exists; an existing one keeps its generator.
[[ ! -f "$build/CMakeCache.txt" ]] && command -v ninja >/dev/null && gen=(-G Ninja)

step() { printf '\n=== %s (%ds) ===\n' "$*" "$SECONDS"; }

step "models (generated in the background while the build runs)"
# Generated in parallel. tiny_attn has attention layers only; m08_agree has a draft head
# that mostly agrees with it (the speculative checks and figures; its vocabulary is cut
# to 2048 rows, which the agreeing construction needs); m9b_q4k_mix has the 9b
# shapes with 8 of its layers (decode time scales with the layer count).
mkdir -p "$build"
models=()
bench_models=()
for model in "tiny_q8_0:--preset tiny --seed 1 --types q8_0" \
            "tiny_q4k_mix:--preset tiny --seed 2 --types q4k-mix --untied" \
            "tiny_q5k:--preset tiny --seed 3 --types q5k" \
            "tiny_attn:--preset tiny --seed 4 --types q8_0 --interval 1" \
            "tiny_agree:--preset tiny --seed 5 --agree" \
            "m08_q8_0:--preset 0.8b --vocab synthetic --types q8_0" \
            "m08_q4k_mix:--preset 0.8b --vocab synthetic --types q4k-mix" \
            "m08_agree:--preset 0.8b --vocab synthetic --vocab-rows 2048 --types q8_0 --agree" \
            "m9b_q4k_mix:--preset 9b --layers 8 --vocab synthetic --types q4k-mix"; do
  name=${model%%:*}
  path="$build/$name.gguf"
  [[ -f "$path" ]] || (python3 tools/gen_model.py "$path.part" ${model#*:} >/dev/null && mv "$path.part" "$path") &
  case $name in
    m*) bench_models+=("$path") ;;
  esac
  [[ $name == m9b* ]] || models+=("$path")
done

step "build"
cmake -S . -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_CUDA=ON \
  -DKESTRUNE_TESTS=OFF -DKESTRUNE_GPU_TESTS=ON >/dev/null
cmake --build "$build" -j"$jobs" --target kestrune_gpu_tests kestrune_gpu_bench

wait

step "GPU tests"
set +e
timeout 360 "$build/kestrune_gpu_tests" "${models[@]}" | tee "$build/gpu_tests.log"
tests_rc=${PIPESTATUS[0]}
# Device faults (out-of-bounds or misaligned accesses, shared-memory races, barriers
# some threads never reach) on the tiny models only: the sanitizer slows kernels a
# hundredfold. Every launch is waited for, so a fault names its kernel.
sanitizer=$(command -v compute-sanitizer || true)
[[ -z $sanitizer && -x /usr/local/cuda/bin/compute-sanitizer ]] && sanitizer=/usr/local/cuda/bin/compute-sanitizer
sanitizer_rc=0
if [[ -n $sanitizer ]]; then
  tiny=()
  for m in "${models[@]}"; do [[ $(basename "$m") == tiny* ]] && tiny+=("$m"); done
  for tool in memcheck racecheck synccheck; do
    step "GPU tests under compute-sanitizer --tool $tool"
    KESTRUNE_CUDA_SYNC=1 timeout 600 "$sanitizer" --tool "$tool" --error-exitcode 86 \
      "$build/kestrune_gpu_tests" "${tiny[@]}" > "$build/sanitizer_$tool.log" 2>&1
    rc=$?
    tail -n 5 "$build/sanitizer_$tool.log"
    [[ $rc -ne 0 ]] && sanitizer_rc=$rc
  done
else
  step "compute-sanitizer not installed: sanitizer runs skipped"
fi

step "GPU benchmarks"
timeout 240 "$build/kestrune_gpu_bench" "${bench_models[@]}" | tee "$build/gpu_bench.log"
bench_rc=${PIPESTATUS[0]}
set -e

step "summary"
grep -E "^(device|SKIP|gpu tests|FAIL)" "$build/gpu_tests.log" || true
grep -E "^(device|decode|gdn)" "$build/gpu_bench.log" || true
echo "tests exit $tests_rc, sanitizer exit $sanitizer_rc, benchmarks exit $bench_rc, ${SECONDS}s"
[[ $tests_rc -eq 0 && $sanitizer_rc -eq 0 && $bench_rc -eq 0 ]]

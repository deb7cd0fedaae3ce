#!/usr/bin/env bash
# Installs kestrune, generates a small synthetic qwen35 model and streams a generation.
# The weights are random, so the text is too; the point is the whole road from file to
# streamed tokens. Then try: kestrune chat build/demo/small.gguf
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet numpy pybind11 scikit-build-core
python3 -m pip install --quiet --no-build-isolation .
mkdir -p build/demo
model=build/demo/small.gguf
[[ -f $model ]] || python3 tools/gen_model.py "$model" --preset small --seed 1 --types q8_0 --draft --sampling
kestrune generate "$model" "The quick brown fox" 32 "$@"
echo "chat with it: kestrune chat $model" >&2

#!/usr/bin/env bash
# Installs kestrune, generates a small synthetic qwen35 model and streams a generation.
# The weights are random, so the text is too; the point is the whole road from file to
# streamed tokens. Then try: kestrune chat build/demo/small.gguf
set -euo pipefail
cd "$(dirname "$0")/.."
KESTRUNE_SYSTEM_NEEDS="cmake g++"
# shellcheck source=tools/env.sh
source tools/env.sh numpy pybind11 scikit-build-core
echo "# building and installing kestrune (a minute or two)" >&2
python3 -m pip install --quiet --no-build-isolation .
mkdir -p build/demo
model=build/demo/small.gguf
[[ -f $model ]] || python3 tools/gen_model.py "$model" --preset small --seed 1 --types q8_0 --draft --sampling
kestrune generate "$model" "The quick brown fox" 32 "$@"
echo "chat with it: kestrune chat $model" >&2
if [[ -n ${VIRTUAL_ENV:-} ]]; then echo "kestrune lives in $VIRTUAL_ENV: source $VIRTUAL_ENV/bin/activate" >&2; fi

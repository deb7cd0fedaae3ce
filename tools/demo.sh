#!/usr/bin/env bash
# Installs kestrune and streams a greedy generation from the shipped trained model
# (models/trained-q8_0.gguf: a 2.6M-parameter qwen35 model trained on the Python
# standard library, see docs/trained-model.md), so the text resembles Python. The
# environment it installs into also holds the server's packages, so kestrune-server
# runs from it as-is.
# The file's sampling default is greedy; extra arguments go to `kestrune generate`
# (for example --temp 0.8 --seed 7).
set -euo pipefail
cd "$(dirname "$0")/.."
KESTRUNE_SYSTEM_NEEDS="cmake g++"
# shellcheck source=tools/env.sh
source tools/env.sh pybind11 scikit-build-core starlette uvicorn jinja2 llguidance
echo "# building and installing kestrune (several minutes on 2 cores)" >&2
python3 -m pip install --quiet --no-build-isolation .
model=models/trained-q8_0.gguf
kestrune generate "$model" 'def read_config(path):
    """' 96 "$@"
echo "try speculative decoding: KESTRUNE_MTP=1 kestrune generate $model \"import os\" 96 --temp 0" >&2
echo "or chat with it: kestrune chat $model   (or serve it: kestrune-server $model --port 8080)" >&2
if [[ -n ${VIRTUAL_ENV:-} ]]; then echo "to use it from your shell: source $VIRTUAL_ENV/bin/activate" >&2; fi

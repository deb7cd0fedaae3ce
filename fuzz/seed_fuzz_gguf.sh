#!/usr/bin/env bash
# Seeds the GGUF fuzzer's corpus with a small valid model and each corruption case.
set -euo pipefail
corpus=$1
root=$(cd "$(dirname "$0")/.." && pwd)
python3 "$root/tools/gen_model.py" "$corpus/micro_q8_0.gguf" --preset tiny --hidden 64 --ffn 64 --head-dim 32 \
  --rope-dim 16 --ssm-d 16 --ssm-hk 1 --ssm-hv 2 --heads 1 --kv-heads 1 --vocab-rows 512 --merges 8 \
  --types q8_0 >/dev/null 2>&1
python3 "$root/tools/gen_model.py" "$corpus/micro_mix.gguf" --preset tiny --ffn 256 --head-dim 32 \
  --rope-dim 16 --ssm-d 16 --ssm-hk 1 --ssm-hv 2 --heads 1 --kv-heads 1 --vocab-rows 300 --merges 8 \
  --types q4k-mix --layers 1 --interval 1 >/dev/null 2>&1
python3 "$root/tools/corrupt.py" --all "$corpus/corrupt" "$corpus/micro_q8_0.gguf" >/dev/null 2>&1
mv "$corpus"/corrupt/*.gguf "$corpus"/ && rm -rf "$corpus/corrupt"

#!/usr/bin/env bash
# Seeds the model fuzzer's corpus with small generated models (every element type, tied
# and untied heads, a draft head) and the corruption cases, each behind the control byte
# (low bit: lazy weights).
set -euo pipefail
corpus=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Hidden size 8 keeps the tensor data near half of each file, so most mutations land in
# the header, the vocabulary and the shapes.
gen() { python3 "$root/tools/gen_model.py" "$work/$1.gguf" --preset tiny --hidden 8 --head-dim 8 --rope-dim 4 \
  --ssm-d 4 --ssm-hk 1 --ssm-hv 2 --heads 2 --kv-heads 1 --vocab-rows 264 --merges 4 "${@:2}" >/dev/null 2>&1; }
gen f16 --ffn 8 --layers 3 --interval 3 --types f16
gen draft --ffn 8 --layers 2 --interval 2 --types f16 --draft --untied
gen q8_0 --ffn 32 --heads 4 --layers 2 --interval 2 --types f16 --type 'blk.*.ffn_down.weight=Q8_0' \
  --type 'blk.*.attn_output.weight=Q8_0' --conv-kernel 2
gen kquants --ffn 256 --layers 3 --interval 3 --types f16 --type 'blk.0.ffn_down.weight=Q4_K' \
  --type 'blk.1.ffn_down.weight=Q5_K' --type 'blk.2.ffn_down.weight=Q6_K'
python3 "$root/tools/corrupt.py" --all "$work/corrupt" "$work/f16.gguf" >/dev/null 2>&1
i=0
for f in "$work"/*.gguf "$work"/corrupt/*.gguf; do
  name=$(basename "$f" .gguf)
  for mode in 0 1; do
    # The valid models go in both modes; each corruption in one, alternating.
    [[ $f == */corrupt/* && $mode -ne $((i % 2)) ]] && continue
    { printf "\\x0$mode"; cat "$f"; } >"$corpus/model_${name}_$mode"
  done
  i=$((i + 1))
done

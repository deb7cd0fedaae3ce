#!/usr/bin/env bash
# Seeds the model fuzzer's corpus with small generated models (every element type, tied
# and untied heads, a draft head) and the corruption cases, each behind the control byte
# (low bit: lazy weights).
set -euo pipefail
corpus=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gen() { python3 "$root/tools/gen_model.py" "$work/$1.gguf" --preset tiny --head-dim 16 --rope-dim 8 --ssm-d 8 \
  --ssm-hk 1 --ssm-hv 2 --heads 2 --kv-heads 1 --vocab-rows 264 --merges 4 --hidden 32 "${@:2}" >/dev/null 2>&1; }
gen f16 --ffn 32 --layers 3 --interval 3 --types f16
gen draft --ffn 32 --layers 2 --interval 2 --types f16 --type '*norm*=F32' --draft --untied
gen q8_0_q4k --ffn 256 --layers 2 --interval 2 --types q8_0 --type 'blk.*.ffn_down.weight=Q4_K' --conv-kernel 2
gen q6k_q5k --ffn 256 --layers 2 --interval 2 --types q4k-mix
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

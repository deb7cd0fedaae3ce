#!/usr/bin/env python3
"""Held-out perplexity of the shipped trained model files, side by side.

    python3 tools/eval_trained.py [--models models] [--reference] [--segments N] [--cpu-xquant]

Scores models/heldout.txt, cut by tools/trained_data.heldout_segments (each segment a
fresh sequence, tokens 1..n-1 of Engine.encode(segment)), for the F32, Q8_0 and
Q4_K/Q6_K-mix files. The per-token log-probs come from the installed module's
Engine.score; with --reference (or a module without score) from the independent float64
forward pass of tools/reference_forward.py on the file's dequantized weights instead.
The training framework's figure for the same text is read from models/trained-eval.json.
With --cpu-xquant the Q8_0 and mix files are scored a second time with
KESTRUNE_CPU_XQUANT=q8 (int8 products), in rows marked "int8".
Needs numpy and the installed kestrune module; not the training framework.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time

import numpy as np

TOOLS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TOOLS)

import trained_data as td  # noqa: E402

FILES = ("trained-f32.gguf", "trained-q8_0.gguf", "trained-q4k-mix.gguf")


def reference_logprobs(path, segments_ids):
    import reference_forward as rf
    ref = rf.Reference(path)
    cache = {}
    plain_get = ref.w.get
    ref.w.get = lambda name: cache[name] if name in cache else cache.setdefault(
        name, plain_get(name))   # dequantize each tensor once
    out = []
    for ids in segments_ids:
        ref.pos = 0              # a fresh sequence, as Reference.__init__ sets it up
        for i in range(ref.n_layers):
            ref.state[i] = ([], []) if ref.is_attn(i) else (
                np.zeros((ref.K - 1, ref.C)), np.zeros((ref.hv, ref.d, ref.d)))
        lp = []
        for i in range(len(ids) - 1):
            lg = ref.forward(ids[i])
            m = lg.max()
            lp.append(float(lg[ids[i + 1]] - m - math.log(np.exp(lg - m).sum())))
        out.append(lp)
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--models", default=os.path.join(os.path.dirname(TOOLS), "models"))
    ap.add_argument("--reference", action="store_true",
                    help="float64 numpy reference instead of Engine.score")
    ap.add_argument("--segments", type=int, default=0, help="only the first N segments")
    ap.add_argument("--cpu-xquant", action="store_true",
                    help="also score the quantized files with KESTRUNE_CPU_XQUANT=q8")
    a = ap.parse_args(argv)

    import kestrune
    with open(os.path.join(a.models, "heldout.txt"), encoding="utf-8", newline="") as f:
        segments = td.heldout_segments(f.read())
    if a.segments:
        segments = segments[:a.segments]
    use_ref = a.reference or not hasattr(kestrune.Engine, "score")
    how = "float64 reference (tools/reference_forward.py)" if use_ref else "Engine.score"
    print(f"held-out: {len(segments)} segments of models/heldout.txt; log-probs from {how}")
    rows = []
    runs = [(name, False) for name in FILES]
    if a.cpu_xquant and not use_ref:
        runs += [(name, True) for name in FILES[1:]]
    for name, int8 in runs:
        path = os.path.join(a.models, name)
        if int8:
            os.environ["KESTRUNE_CPU_XQUANT"] = "q8"   # read when the engine loads
        eng = kestrune.Engine(path)
        os.environ.pop("KESTRUNE_CPU_XQUANT", None)
        t0 = time.time()
        if use_ref:
            lps = reference_logprobs(path, [eng.encode(s) for s in segments])
        else:
            lps = [eng.score(s) for s in segments]
        flat = [x for s in lps for x in s]
        mean = float(np.mean(flat))
        rows.append((name + (" int8" if int8 else ""), os.path.getsize(path), len(flat), mean, time.time() - t0))
    base = rows[0][3]
    print(f"{'file':24s} {'bytes':>9s} {'tokens':>7s} {'mean log-p':>11s} {'perplexity':>10s} "
          f"{'vs F32':>8s}")
    for name, size, n, mean, secs in rows:
        print(f"{name:24s} {size:9d} {n:7d} {mean:11.5f} {math.exp(-mean):10.3f} "
              f"{(math.exp(-mean) / math.exp(-base) - 1) * 100:+7.2f}%  ({secs:.0f} s)")
    ev_path = os.path.join(a.models, "trained-eval.json")
    if os.path.exists(ev_path) and not a.segments:
        with open(ev_path) as f:
            ev = json.load(f)
        print(f"{'framework (JAX f32)':24s} {'':9s} {ev['scored_tokens']:7d} "
              f"{ev['mean_logprob']:11.5f} {ev['perplexity']:10.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

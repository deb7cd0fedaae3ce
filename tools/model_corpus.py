#!/usr/bin/env python3
"""Broken variants of a model file for load/forward error tests.

    python tools/model_corpus.py MODEL.gguf OUTDIR [--drop-all] [--drop NAME ...]
        [--shape LABEL:TENSOR:D0,D1,... ...]

--drop-all writes OUTDIR/drop__<tensor>.gguf for every tensor, each without that
tensor; --shape writes OUTDIR/shape__<LABEL>.gguf with TENSOR re-declared as F32 of
the given dims (values 0.01, so products stay finite).
"""

from __future__ import annotations

import argparse
import copy
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gguf_writer import GGML_F32, read_gguf_file  # noqa: E402


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("model")
    ap.add_argument("outdir")
    ap.add_argument("--drop-all", action="store_true")
    ap.add_argument("--drop", action="append", default=[])
    ap.add_argument("--shape", action="append", default=[], metavar="LABEL:TENSOR:DIMS")
    a = ap.parse_args(argv)
    os.makedirs(a.outdir, exist_ok=True)
    base = read_gguf_file(a.model)
    names = [t.name for t in base.tensors]

    drops = list(names) if a.drop_all else []
    drops += [n for n in a.drop if n not in drops]
    for name in drops:
        if name not in names:
            raise SystemExit(f"no tensor {name!r} in {a.model}")
        w = copy.copy(base)
        w.tensors = [t for t in base.tensors if t.name != name]
        w.write(os.path.join(a.outdir, f"drop__{name}.gguf"))

    for tspec in a.shape:
        label, name, dims_s = tspec.split(":")
        dims = [int(d) for d in dims_s.split(",")]
        if name not in names:
            raise SystemExit(f"no tensor {name!r} in {a.model}")
        w = copy.copy(base)
        w.tensors = [copy.copy(t) for t in base.tensors]
        t = next(t for t in w.tensors if t.name == name)
        t.dims, t.ttype, t.nbytes, t.offset = dims, GGML_F32, None, None
        t.data = np.full(int(np.prod(dims)), 0.01, dtype="<f4").tobytes()
        # Offsets of later tensors follow the new size.
        for u in w.tensors:
            u.offset = None
        w.write(os.path.join(a.outdir, f"shape__{label}.gguf"))
    return 0


if __name__ == "__main__":
    sys.exit(main())

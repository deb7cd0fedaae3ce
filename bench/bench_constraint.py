#!/usr/bin/env python3
"""Per-token cost of grammar-constrained chat, and llguidance beside outlines-core.

    python bench/bench_constraint.py [MODEL] [--tokens N] [--compare]

Decode: the same greedy chat with and without a json_schema constraint; each run
reports milliseconds per generated token (the mask is computed before every sample).
--compare: for the test schemas, grammar build time, first-mask time and how many
schemas each library accepts (outlines-core is optional: pip install outlines-core)."""

import argparse
import json
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import kestrune  # noqa: E402

SCHEMA = {"type": "object", "properties": {
    "name": {"type": "string", "maxLength": 12}, "tags": {"type": "array", "items": {"enum": ["a", "b", "c"]},
                                                          "maxItems": 6},
    "n": {"type": "integer", "minimum": 0, "maximum": 9999}}, "required": ["name", "tags", "n"]}


def per_token(engine, tokens, **kwargs):
    best = None
    for _ in range(3):
        it = engine.chat([{"role": "user", "content": "Describe a record."}], max_tokens=tokens, temperature=0.0,
                         stream=True, **kwargs)
        next(it, None)  # the prompt is fed by the first step: start the clock after it
        start = time.perf_counter()
        for _ in it:
            pass
        n = max(it.completion_tokens - 1, 1)
        ms = (time.perf_counter() - start) * 1000 / n
        best = ms if best is None else min(best, ms)
    return best, n


def compare(engine):
    from kestrune_chat.constrain import Constraint, json_grammar
    from test_chat_template import SCHEMAS

    rows = []
    eos = engine.control_token_ids[-1] if engine.control_token_ids else 0
    try:
        from outlines_core import Guide, Index, Vocabulary
        from outlines_core.json_schema import build_regex_from_schema
        vocab = {}
        for i in range(engine.vocab_size):
            if i != eos:
                vocab.setdefault(engine.decode([i]), []).append(i)
        ovocab = Vocabulary(eos, vocab)
    except ImportError:
        ovocab = None
    for schema in SCHEMAS:
        t0 = time.perf_counter()
        try:
            c = Constraint(engine, json_grammar(schema), eos)
            buf = bytearray(4 * ((engine.vocab_size + 31) // 32))
            addr = (ctypes_addr := __import__("ctypes").addressof((__import__("ctypes").c_char * len(buf))
                                                                  .from_buffer(buf)))
            t1 = time.perf_counter()
            c.fill(addr, len(buf))
            llg = ((t1 - t0) * 1e3, (time.perf_counter() - t1) * 1e3)
        except Exception as e:  # noqa: BLE001 - a refused schema is a coverage result
            llg = repr(e)[:40]
        del ctypes_addr
        out = "-"
        if ovocab is not None:
            t0 = time.perf_counter()
            try:
                index = Index(build_regex_from_schema(json.dumps(schema)), ovocab)
                t1 = time.perf_counter()
                Guide(index).get_tokens()
                out = ((t1 - t0) * 1e3, (time.perf_counter() - t1) * 1e3)
            except Exception as e:  # noqa: BLE001
                out = repr(e)[:40]
        rows.append((llg, out))
    fmt = lambda r: f"build {r[0]:8.2f} ms  mask {r[1]:6.3f} ms" if isinstance(r, tuple) else f"refused: {r}"
    for i, (a, b) in enumerate(rows):
        print(f"schema {i:2d}  llguidance {fmt(a):40s}  outlines-core {fmt(b) if b != '-' else '-'}")
    ok = lambda k: sum(isinstance(r[k], tuple) for r in rows)
    print(f"accepted: llguidance {ok(0)}/{len(rows)}, outlines-core {ok(1)}/{len(rows)}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("model", nargs="?", default=os.path.join(ROOT, "models", "trained-q8_0.gguf"))
    ap.add_argument("--tokens", type=int, default=64)
    ap.add_argument("--compare", action="store_true")
    a = ap.parse_args()
    engine = kestrune.Engine(a.model, cache_states=0)
    fmt = {"type": "json_schema", "json_schema": {"name": "r", "strict": True, "schema": SCHEMA}}
    plain, n0 = per_token(engine, a.tokens)
    constrained, n1 = per_token(engine, a.tokens, response_format=fmt)
    print(f"# vocab {engine.vocab_size}: plain {plain:.3f} ms/token ({n0} tokens), "
          f"json_schema {constrained:.3f} ms/token ({n1} tokens), constraint +{constrained - plain:.3f} ms/token")
    if a.compare:
        compare(engine)


if __name__ == "__main__":
    main()

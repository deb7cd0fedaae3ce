"""Shared helpers for the Python tests of the kestrune module and command line:
synthetic model files and a pure-Python replay of the sampler's random stream."""

import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from gen_model import build_writer, write_model  # noqa: E402

MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
EOS_ALT = 496      # "<|endoftext|>" in the synthetic vocabulary
IM_START = 497
IM_END = 498       # also the synthetic default end-of-sequence id
VOCAB_ROWS = 512


def uniform_draws(seed):
    """Token ids drawn by a sampler (temperature > 0, top_k 0, top_p 1) from logits that
    are all zero over VOCAB_ROWS rows: every probability is exactly 1/512, so the draw
    u = k / 2^24 selects id ceil(k / 2^15) - 1 (0 for k = 0)."""
    state = (seed + GAMMA) & MASK
    while True:
        state = (state + GAMMA) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        k = z >> 40
        yield max(-(-k // 32768), 1) - 1


def decode_run(draws, budget, stop):
    """The ids one generation emits from a stream of samples: stop tokens are not
    emitted, the sample after the budget is drawn and discarded."""
    out = []
    tok = next(draws)
    while len(out) < budget:
        if tok in stop:
            break
        out.append(tok)
        tok = next(draws)
    return out


def template_lengths(engine, system, users):
    """Prefill counts per turn when each template piece is encoded on its own."""
    nl = len(engine.encode("\n"))
    role = {r: len(engine.encode(r)) for r in ("system", "user", "assistant")}
    counts = []
    pending = 0 if system is None else 1 + role["system"] + nl + len(engine.encode(system)) + 1 + nl
    for u in users:
        pending += 1 + role["user"] + nl + len(engine.encode(u)) + 1 + nl + 1 + role["assistant"] + nl
        counts.append(pending)
        pending = 1 + nl  # the assistant closing, fed with the next turn
    return counts


def make_models(directory):
    """Writes the model files the tests share; returns {name: path}."""
    d = str(directory)
    paths = {}

    def write(name, **kwargs):
        path = os.path.join(d, name + ".gguf")
        write_model(path, preset="tiny", seed=1, **kwargs)
        paths[name] = path

    write("tiny")
    write("noeos", eos=False)
    write("temp06", sampling={"temp": 0.6})
    write("sampling_int", sampling={"temp": 0.25, "top_k": 40, "top_k_type": "int32", "top_p": 0.8})
    write("sampling_uint", sampling={"top_k": 7})
    write("topk_negative", sampling={"top_k": -1, "top_k_type": "int32"})
    write("nomerges", merges=0)
    write("smallctx", context=16)
    # All-zero final norm: every logit is exactly 0 whatever the layers compute, so the
    # sampled ids depend on the seed alone (see uniform_draws).
    write("uniform", eos_id=EOS_ALT, override_tensors={"output_norm.weight": np.zeros(256, np.float32)})

    w, _ = build_writer(preset="tiny", seed=1)
    tokens = w.find_kv("tokenizer.ggml.tokens").value
    tokens[tokens.index("<|im_start|>")] = "<|im_begin|>"
    paths["nomarkers"] = os.path.join(d, "nomarkers.gguf")
    w.write(paths["nomarkers"])

    paths["notgguf"] = os.path.join(d, "notgguf.gguf")
    with open(paths["notgguf"], "wb") as f:
        f.write(b"PK\x03\x04" + b"\0" * 60)
    return paths

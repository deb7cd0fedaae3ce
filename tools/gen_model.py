#!/usr/bin/env python3
"""Synthetic qwen35 GGUF model generator.

Writes valid GGUF v3 files of the qwen35 hybrid architecture (Gated DeltaNet
layers with a full attention layer every `interval` layers, SwiGLU FFNs,
optional nextn draft block) filled with seeded random weights. The same
arguments always produce a byte-identical file; each tensor's values depend
only on the seed and its name, so changing the types keeps the values.

CLI:
    python tools/gen_model.py OUT.gguf [--preset tiny] [--seed 1] [--types q8_0]
        [--draft] [--agree] [--agree-miss F] [--tied | --untied]
        [--vocab synthetic|qwen3|auto]
        [--hidden N] [--layers N] [--interval N] [--ffn N] [--heads N]
        [--kv-heads N] [--head-dim N] [--rope-dim N] [--rope-base F]
        [--ssm-d N] [--ssm-hk N] [--ssm-hv N] [--conv-kernel N]
        [--vocab-rows N] [--context N] [--eps F]
        [--sampling] [--temp F] [--top-k N] [--top-k-type int32|uint32] [--top-p F]
        [--no-eos] [--eos-id N] [--alignment N] [--merges N] [--chat-template FILE]
        [--type PATTERN=TYPE ...] [--list]

Presets: tiny (unit tests, ~3 MB), small (~30 MB), 0.8b, 2b, 4b, 9b, 27b
(real dense Qwen3.5 geometry, 248320 vocabulary rows).
--agree builds a model whose draft head mostly agrees with it (implies --draft and
--untied; needs vocabulary rows <= 2 * hidden): token t embeds as +-8 on axis
t mod hidden (sign by t < hidden), the untied head maps each axis to a fixed successor
so that greedy decoding walks one cycle over the ordinary tokens, and the draft
block's eh_proj copies the embedding axis, except on a --agree-miss fraction of axes
(default 0.25) that it swaps in pairs, where the draft predicts a wrong successor.
Type policies: f32, f16, q8_0, q4k, q4k-mix, q5k, q6k. Matrices whose row
length does not fill K-quant super-blocks fall back to Q8_0 (or F32); norms,
biases, ssm_a, ssm_dt and conv weights stay F32. --type overrides single
tensors by fnmatch pattern, e.g. --type 'blk.*.ffn_down.weight=F16'.

API:
    from gen_model import write_model
    info = write_model("/tmp/m.gguf", preset="tiny", seed=1, types="q4k-mix",
                       draft=True, override_tensors={"blk.0.ffn_up.weight": arr})
    write_model("/tmp/a.gguf", agree=0.25)   # agreeing draft head, 25% axes missed
    info.successor   # (agree only) the greedy successor of every token id
    info.tensors   # [(name, dims, type name)], info.geometry, info.eos_id, ...
    build_writer(...) returns the GGUFWriter (tensor data generated lazily).
"""

from __future__ import annotations

import argparse
import fnmatch
import functools
import json
import math
import os
import re
import sys
import time
import zlib
from collections import Counter
from dataclasses import asdict, dataclass, field, replace
from typing import Optional

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gguf_writer import (GGML_F16, GGML_F32, GGML_Q4_K, GGML_Q5_K,  # noqa: E402
                         GGML_Q6_K, GGML_Q8_0, INT32, GGUFWriter, TYPE_IDS, TYPE_NAMES,
                         tensor_nbytes)
from quants import quantize  # noqa: E402

ARCH = "qwen35"
QWEN3_VOCAB = "/work/shared/testdata/qwen3-vocab.json"
CHUNK_ELEMS = 1 << 22   # rows are generated and quantized in pieces of about this size
SPECIALS = ["<|endoftext|>", "<|im_start|>", "<|im_end|>"]


# -- geometry ----------------------------------------------------------------------

@dataclass(frozen=True)
class Geometry:
    hidden: int
    layers: int             # main layers (the draft block is extra)
    interval: int           # full_attention_interval
    ffn: int
    heads: int
    kv_heads: int
    head_dim: int           # key_length = value_length
    rope_dim: int
    rope_base: float
    ssm_d: int              # ssm.state_size
    ssm_hk: int             # ssm.group_count
    ssm_hv: int             # ssm.time_step_rank
    conv_kernel: int
    vocab_rows: Optional[int]   # None: vocabulary size rounded up to 256
    context: int
    eps: float
    tied: bool

    @property
    def inner(self) -> int:
        return self.ssm_hv * self.ssm_d

    @property
    def conv_channels(self) -> int:
        return (2 * self.ssm_hk + self.ssm_hv) * self.ssm_d

    def is_attention(self, layer: int) -> bool:
        return (layer + 1) % self.interval == 0


def _real(hidden, layers, ffn, heads, kv, hv, tied):
    return Geometry(hidden=hidden, layers=layers, interval=4, ffn=ffn, heads=heads,
                    kv_heads=kv, head_dim=256, rope_dim=64, rope_base=1e7, ssm_d=128,
                    ssm_hk=16, ssm_hv=hv, conv_kernel=4, vocab_rows=248320,
                    context=262144, eps=1e-6, tied=tied)


PRESETS = {
    # Every K-quant row length (hidden, ffn, heads*head_dim, Hv*d) is a multiple of 256.
    "tiny": Geometry(hidden=256, layers=4, interval=4, ffn=512, heads=2, kv_heads=1,
                     head_dim=128, rope_dim=32, rope_base=1e7, ssm_d=64, ssm_hk=2,
                     ssm_hv=4, conv_kernel=4, vocab_rows=None, context=4096,
                     eps=1e-6, tied=True),
    "small": Geometry(hidden=512, layers=8, interval=4, ffn=1536, heads=4, kv_heads=2,
                      head_dim=128, rope_dim=32, rope_base=1e7, ssm_d=64, ssm_hk=4,
                      ssm_hv=8, conv_kernel=4, vocab_rows=None, context=32768,
                      eps=1e-6, tied=True),
    "0.8b": _real(1024, 24, 3584, 8, 2, 16, tied=True),
    "2b": _real(2048, 24, 6144, 8, 2, 16, tied=False),
    "4b": _real(2560, 32, 9216, 16, 4, 32, tied=False),
    "9b": _real(4096, 32, 12288, 16, 4, 32, tied=False),
    "27b": _real(5120, 64, 17408, 24, 4, 48, tied=False),
}
LARGE_PRESETS = {"0.8b", "2b", "4b", "9b", "27b"}


def resolve_geometry(preset: str = "tiny", **overrides) -> Geometry:
    if preset not in PRESETS:
        raise ValueError(f"unknown preset {preset!r} (have {', '.join(PRESETS)})")
    overrides = {k: v for k, v in overrides.items() if v is not None}
    unknown = set(overrides) - set(Geometry.__dataclass_fields__)
    if unknown:
        raise ValueError(f"unknown geometry fields {sorted(unknown)}")
    g = replace(PRESETS[preset], **overrides)
    if g.interval < 1:
        raise ValueError("interval must be at least 1 (craft interval 0 with corrupt.py)")
    return g


# -- vocabulary --------------------------------------------------------------------

def bytes_to_unicode() -> dict:
    """The GPT-2 byte -> printable character map, in its canonical order."""
    bs = list(range(0x21, 0x7F)) + list(range(0xA1, 0xAD)) + list(range(0xAE, 0x100))
    cs = list(bs)
    n = 0
    for b in range(256):
        if b not in bs:
            bs.append(b)
            cs.append(256 + n)
            n += 1
    return {b: chr(c) for b, c in zip(bs, cs)}


TRAINING_TEXT = """\
The quick brown fox jumps over the lazy dog. This is a small model that was made \
for testing, and it is not meant to say anything true. The user asks a question and \
the assistant gives an answer. The system message tells the assistant how it should \
behave. In the beginning there was the word, and the word was written in the sand by \
the sea. People like to read and write about the weather, the city, the river and the \
mountains. What is the time? It is ten past nine in the morning. Where are you going \
today? I am going to the market with my friends, and then we will have lunch together.
Once upon a time there was a little house in the middle of the forest. Every morning \
the children would open the windows and listen to the birds. They were singing about \
the light and the water and the trees. The old man who lived there said that nothing \
is more important than a good story. He would tell them stories about the stars, about \
ships on the ocean, about kings and queens and the people who worked in their gardens.
Hello world! Hello again, world. How are you? I'm fine, thank you, and you? We've been \
working on this for a long time, but it isn't finished yet. They'll come back tomorrow \
and we'd like to show them what we have done. You're welcome to join us if you want.
The numbers are 1, 2, 3 and 42; the year was 2024 and the price was 9.99 dollars.
def main(): return print("hello") # code looks like this, with (brackets) and [lists].
system user assistant system user assistant question answer model token text language
system
user
assistant
system
user
assistant
"""

_PRETOKEN = re.compile(
    r"(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\nA-Za-z0-9]?[A-Za-z]+|[0-9]"
    r"| ?[^\sA-Za-z0-9]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+")


def train_bpe(text: str, n_merges: int) -> list:
    """Greedy byte-level BPE on `text`; ties go to the smallest pair so the result is stable."""
    b2u = bytes_to_unicode()
    words = Counter(tuple(b2u[b] for b in piece.encode("utf-8"))
                    for piece in _PRETOKEN.findall(text))
    merges = []
    for _ in range(n_merges):
        pairs = Counter()
        for w, c in words.items():
            for a, b in zip(w, w[1:]):
                pairs[(a, b)] += c
        if not pairs:
            break
        best = min(pairs, key=lambda p: (-pairs[p], p))
        merges.append(best)
        joined = best[0] + best[1]
        new = Counter()
        for w, c in words.items():
            out, i = [], 0
            while i < len(w):
                if i + 1 < len(w) and (w[i], w[i + 1]) == best:
                    out.append(joined)
                    i += 2
                else:
                    out.append(w[i])
                    i += 1
            new[tuple(out)] += c
        words = new
    return merges


@dataclass
class Vocab:
    tokens: list
    merges: list          # "left right" lines in rank order
    token_types: list
    eos_id: int
    size: int             # real tokens before padding


@functools.lru_cache(maxsize=4)
def _synthetic_vocab(n_merges: int):
    b2u = bytes_to_unicode()
    tokens = list(b2u.values())
    seen = set(tokens)
    merges = train_bpe(TRAINING_TEXT, n_merges)
    for a, b in merges:
        if a + b not in seen:
            seen.add(a + b)
            tokens.append(a + b)
    types = [1] * len(tokens) + [3] * len(SPECIALS)
    eos = len(tokens) + SPECIALS.index("<|im_end|>")
    tokens += SPECIALS
    return tokens, [f"{a} {b}" for a, b in merges], types, eos


@functools.lru_cache(maxsize=1)
def _qwen3_vocab(path: str):
    with open(path, encoding="utf-8") as f:
        d = json.load(f)
    special = d.get("special", {})
    types = [1] * len(d["tokens"])
    for tok, i in special.items():
        types[i] = 3 if tok.startswith("<|") else 4
    return d["tokens"], d["merges"], types, int(d["eos_token_id"])


def build_vocab(kind: str = "synthetic", rows: Optional[int] = None,
                n_merges: int = 240) -> Vocab:
    """The vocabulary padded with distinct filler tokens up to `rows` entries
    (rows None: the size rounded up to a multiple of 256)."""
    if kind == "auto":
        kind = "qwen3" if os.path.exists(QWEN3_VOCAB) else "synthetic"
    if kind == "synthetic":
        tokens, merges, types, eos = _synthetic_vocab(n_merges)
    elif kind == "qwen3":
        tokens, merges, types, eos = _qwen3_vocab(QWEN3_VOCAB)
    else:
        raise ValueError(f"unknown vocabulary {kind!r}")
    size = len(tokens)
    if rows is None:
        rows = (size + 255) // 256 * 256
    if rows < size:
        raise ValueError(f"vocab rows {rows} < vocabulary size {size}")
    present = set(tokens)
    fillers = []
    i = size
    while len(fillers) < rows - size:
        name = f"<|filler_{i}|>"
        if name not in present:
            fillers.append(name)
        i += 1
    return Vocab(list(tokens) + fillers, list(merges), list(types) + [5] * len(fillers),
                 eos, size)


# -- tensor plan ---------------------------------------------------------------------

POLICIES = ("f32", "f16", "q8_0", "q4k", "q4k-mix", "q5k", "q6k")
_FILE_TYPE = {"f32": 0, "f16": 1, "q8_0": 7, "q4k": 14, "q4k-mix": 15, "q5k": 17, "q6k": 18}


@dataclass
class TensorSpec:
    name: str
    dims: list          # [ne0, ne1, ...]
    ttype: int
    init: tuple         # how values are drawn, see _draw
    role: str

    @property
    def type_name(self) -> str:
        return TYPE_NAMES[self.ttype]


def _fit(ttype: int, ne0: int) -> int:
    """Real files keep rows that do not fill blocks in a finer format."""
    if ttype in (GGML_Q4_K, GGML_Q5_K, GGML_Q6_K) and ne0 % 256:
        ttype = GGML_Q8_0
    if ttype == GGML_Q8_0 and ne0 % 32:
        ttype = GGML_F32
    return ttype


def choose_type(policy: str, role: str, ne0: int, layer: int, tied: bool) -> int:
    if role == "vector":
        return GGML_F32
    if policy == "f32":
        return GGML_F32
    if policy == "f16":
        return GGML_F16
    if policy == "q8_0":
        return _fit(GGML_Q8_0, ne0)
    if role == "ssm_ab":   # tiny dense-f32 products; K policies keep them exact
        return GGML_F32
    if policy in ("q4k", "q5k", "q6k"):
        return _fit({"q4k": GGML_Q4_K, "q5k": GGML_Q5_K, "q6k": GGML_Q6_K}[policy], ne0)
    if policy == "q4k-mix":
        if role == "head" or (role == "embed" and tied) or role == "attn_v":
            t = GGML_Q6_K
        elif role == "ffn_down":
            t = GGML_Q6_K if layer % 2 == 0 else GGML_Q5_K
        else:
            t = GGML_Q4_K
        return _fit(t, ne0)
    raise ValueError(f"unknown type policy {policy!r} (have {', '.join(POLICIES)})")


def tensor_plan(g: Geometry, policy: str = "q8_0", draft: bool = False,
                type_overrides: Optional[dict] = None) -> list:
    """Every tensor of the file in file order, with dims, type and initialiser."""
    rows = g.vocab_rows
    if rows is None:
        raise ValueError("vocab_rows must be resolved before planning")
    h, qd = g.hidden, g.heads * g.head_dim
    out_scale = 2.0 / math.sqrt(2.0 * max(1, g.layers))
    plan = []

    def add(name, dims, role, init, layer=-1):
        ttype = choose_type(policy, role, dims[0], layer, g.tied)
        plan.append(TensorSpec(name, list(dims), ttype, init, role))

    def mat(fan_in, scale=1.0):
        return ("normal", scale / math.sqrt(fan_in))

    def attention(p, i):
        add(p + "attn_norm.weight", [h], "vector", ("ones",), i)
        add(p + "attn_q.weight", [h, 2 * qd], "attn_q", mat(h), i)
        add(p + "attn_k.weight", [h, g.kv_heads * g.head_dim], "attn_k", mat(h), i)
        add(p + "attn_v.weight", [h, g.kv_heads * g.head_dim], "attn_v", mat(h), i)
        add(p + "attn_q_norm.weight", [g.head_dim], "vector", ("ones",), i)
        add(p + "attn_k_norm.weight", [g.head_dim], "vector", ("ones",), i)
        add(p + "attn_output.weight", [qd, h], "attn_out", mat(qd, out_scale), i)

    def ffn(p, i):
        add(p + "post_attention_norm.weight", [h], "vector", ("ones",), i)
        add(p + "ffn_gate.weight", [h, g.ffn], "ffn_gate", mat(h), i)
        add(p + "ffn_up.weight", [h, g.ffn], "ffn_up", mat(h), i)
        add(p + "ffn_down.weight", [g.ffn, h], "ffn_down", mat(g.ffn, out_scale), i)

    # Logits std ~2 for a unit-RMS input, tied or not; the residual stream
    # then grows to a few times the embedding norm over the layers.
    add("token_embd.weight", [h, rows], "embed", ("normal", 2.0 / math.sqrt(h)))
    for i in range(g.layers):
        p = f"blk.{i}."
        if g.is_attention(i):
            attention(p, i)
        else:
            add(p + "attn_norm.weight", [h], "vector", ("ones",), i)
            add(p + "attn_qkv.weight", [h, g.conv_channels], "qkv", mat(h), i)
            add(p + "ssm_conv1d.weight", [g.conv_kernel, g.conv_channels], "vector",
                ("normal", 1.0 / math.sqrt(g.conv_kernel)), i)
            add(p + "ssm_alpha.weight", [h, g.ssm_hv], "ssm_ab", mat(h), i)
            add(p + "ssm_beta.weight", [h, g.ssm_hv], "ssm_ab", mat(h), i)
            add(p + "ssm_a", [g.ssm_hv], "vector", ("ssm_a",), i)
            add(p + "ssm_dt.bias", [g.ssm_hv], "vector", ("dt_bias",), i)
            add(p + "attn_gate.weight", [h, g.inner], "gate_z", mat(h), i)
            add(p + "ssm_norm.weight", [g.ssm_d], "vector", ("ones",), i)
            add(p + "ssm_out.weight", [g.inner, h], "ssm_out", mat(g.inner, out_scale), i)
        ffn(p, i)
    if draft:
        p = f"blk.{g.layers}."
        add(p + "nextn.enorm.weight", [h], "vector", ("ones",), g.layers)
        add(p + "nextn.hnorm.weight", [h], "vector", ("ones",), g.layers)
        add(p + "nextn.eh_proj.weight", [2 * h, h], "eh_proj", mat(2 * h), g.layers)
        attention(p, g.layers)
        ffn(p, g.layers)
        add(p + "nextn.shared_head_norm.weight", [h], "vector", ("ones",), g.layers)
    add("output_norm.weight", [h], "vector", ("ones",))
    if not g.tied:
        add("output.weight", [h, rows], "head", ("normal", 2.0 / math.sqrt(h)))

    for pattern, tname in (type_overrides or {}).items():
        ttype = TYPE_IDS[tname.upper()] if isinstance(tname, str) else int(tname)
        hits = [t for t in plan if fnmatch.fnmatchcase(t.name, pattern)]
        if not hits:
            raise ValueError(f"type override {pattern!r} matches no tensor")
        for t in hits:
            t.ttype = ttype
    return plan


# -- values --------------------------------------------------------------------------

def _rng(seed: int, name: str) -> np.random.Generator:
    return np.random.default_rng([seed & 0xFFFFFFFF, seed >> 32, zlib.crc32(name.encode())])


def _draw(rng: np.random.Generator, init: tuple, shape) -> np.ndarray:
    kind = init[0]
    if kind == "normal":
        x = rng.standard_normal(shape, dtype=np.float32)
        x *= np.float32(init[1])
        return x
    if kind == "ones":
        return np.float32(1) + np.float32(0.05) * rng.standard_normal(shape, dtype=np.float32)
    if kind == "ssm_a":   # decay rates A = -[1, 16]
        return -rng.uniform(1.0, 16.0, shape).astype(np.float32)
    if kind == "dt_bias":  # softplus^-1 of dt in [1e-3, 1e-1], log-uniform
        dt = np.exp(rng.uniform(math.log(1e-3), math.log(1e-1), shape))
        return np.log(np.expm1(dt)).astype(np.float32)
    raise ValueError(f"unknown initialiser {kind!r}")


def tensor_values(tspec: TensorSpec, seed: int) -> np.ndarray:
    """The full float values of one tensor (shape (rows, ne0)); for tests and small tensors."""
    return np.concatenate(list(_value_chunks(tspec, seed)), axis=0)


def _value_chunks(tspec: TensorSpec, seed: int):
    ne0 = tspec.dims[0]
    rows = int(np.prod(tspec.dims[1:], dtype=np.int64)) if len(tspec.dims) > 1 else 1
    rng = _rng(seed, tspec.name)
    step = max(1, CHUNK_ELEMS // max(1, ne0))
    for r in range(0, rows, step):
        yield _draw(rng, tspec.init, (min(step, rows - r), ne0))


def _data_source(tspec: TensorSpec, seed: int, override: Optional[np.ndarray]):
    if override is not None:
        ne0 = tspec.dims[0]
        arr = np.asarray(override, dtype=np.float32)
        expected = int(np.prod(tspec.dims, dtype=np.int64))
        if arr.size != expected:
            raise ValueError(f"override for {tspec.name}: {arr.size} values, tensor has {expected}")
        blob = quantize(arr.reshape(-1, ne0), tspec.ttype)
        return lambda: iter([blob])
    return lambda: (quantize(chunk, tspec.ttype) for chunk in _value_chunks(tspec, seed))


# -- agreeing draft head ---------------------------------------------------------------

AGREE_EMBED = 8.0      # the one non-zero embedding value; dominates the layers' outputs
AGREE_HIDDEN_MIX = 0.3  # weight of the carried hidden vector in eh_proj


@dataclass
class AgreePlan:
    successor: list     # greedy successor of every token id (a permutation)
    draft_axis: list    # eh_proj's axis map: output axis of every input axis
    overrides: dict     # tensor name -> values


def agree_plan(g: Geometry, voc: Vocab, seed: int, miss: float) -> AgreePlan:
    """Embeddings, head and eh_proj of a model whose greedy continuation is a fixed
    token -> successor cycle and whose draft head predicts it except on missed axes."""
    h, rows = g.hidden, g.vocab_rows
    if rows > 2 * h:
        raise ValueError(f"agree needs vocabulary rows {rows} <= 2 * hidden {2 * h}")
    if not 0.0 <= miss <= 1.0:
        raise ValueError(f"agree miss fraction {miss} outside [0, 1]")
    rng = np.random.default_rng([seed & 0xFFFFFFFF, seed >> 32, zlib.crc32(b"agree")])

    def axis(t):
        return t % h

    def sign(t):
        return 1.0 if t < h else -1.0

    emb = np.zeros((rows, h), np.float32)
    for t in range(rows):
        emb[t, axis(t)] = np.float32(AGREE_EMBED * sign(t))

    # One cycle through the ordinary tokens; specials and fillers map to themselves, so
    # a text prompt's continuation never reaches them.
    ordinary = [t for t in range(rows) if voc.token_types[t] == 1]
    order = [ordinary[i] for i in rng.permutation(len(ordinary))]
    successor = list(range(rows))
    for i, t in enumerate(order):
        successor[t] = order[(i + 1) % len(order)]
    head = np.zeros((rows, h), np.float32)
    for t in range(rows):
        head[successor[t], axis(t)] = np.float32(sign(t))

    # Missed axes are swapped in pairs: the draft then sees another token's axis.
    n_miss = int(round(miss * h)) // 2 * 2
    draft_axis = list(range(h))
    missed = [int(a) for a in rng.permutation(h)[:n_miss]]
    for a, b in zip(missed[0::2], missed[1::2]):
        draft_axis[a], draft_axis[b] = b, a
    eh = np.zeros((h, 2 * h), np.float32)
    for a in range(h):
        eh[draft_axis[a], a] = 1.0
    eh[:, h:] = (AGREE_HIDDEN_MIX / math.sqrt(2 * h)) * rng.standard_normal((h, h)).astype(np.float32)

    overrides = {"token_embd.weight": emb, "output.weight": head,
                 f"blk.{g.layers}.nextn.eh_proj.weight": eh}
    return AgreePlan(successor, draft_axis, overrides)


# -- file -----------------------------------------------------------------------------

@dataclass
class ModelInfo:
    path: Optional[str]
    preset: str
    geometry: Geometry
    types: str
    draft: bool
    tensors: list = field(default_factory=list)   # (name, dims, type name)
    vocab_size: int = 0
    vocab_rows: int = 0
    eos_id: Optional[int] = None
    size: int = 0
    seconds: float = 0.0
    successor: Optional[list] = None   # agree only: greedy successor of every token id


def _resolve(preset, tied, vocab, merges, geometry):
    """Geometry with the vocabulary rows filled in, and the padded vocabulary."""
    geometry = dict(geometry)
    if tied is not None:
        geometry["tied"] = tied
    g = resolve_geometry(preset, **geometry)
    if vocab is None:
        vocab = "auto" if preset in LARGE_PRESETS else "synthetic"
    voc = build_vocab(vocab, g.vocab_rows, merges)
    return replace(g, vocab_rows=len(voc.tokens)), voc


def build_writer(preset: str = "tiny", seed: int = 1, types: str = "q8_0",
                 draft: bool = False, tied: Optional[bool] = None,
                 vocab: Optional[str] = None, sampling: Optional[dict] = None,
                 eos: bool = True, eos_id: Optional[int] = None,
                 type_overrides: Optional[dict] = None,
                 override_tensors: Optional[dict] = None,
                 alignment: Optional[int] = None, merges: int = 240,
                 name: Optional[str] = None, agree: Optional[float] = None,
                 chat_template: Optional[str] = None, **geometry):
    """Assemble the GGUFWriter of a model; returns (writer, ModelInfo).

    chat_template: Jinja source stored as tokenizer.chat_template.

    sampling: optional dict with any of temp, top_p (float32), top_k and
    top_k_type ("uint32", the default, or "int32").
    agree: the missed-axis fraction of an agreeing draft head (see the module
    docstring); None for random weights. Implies draft and untied.
    """
    if agree is not None:
        draft, tied = True, False
    g, voc = _resolve(preset, tied, vocab, merges, geometry)
    plan = tensor_plan(g, types, draft, type_overrides)
    agreeing = agree_plan(g, voc, seed, agree) if agree is not None else None
    overrides = dict(agreeing.overrides if agreeing else {})
    overrides.update(override_tensors or {})
    unknown = set(overrides) - {t.name for t in plan}
    if unknown:
        raise ValueError(f"override for unknown tensors {sorted(unknown)}")

    w = GGUFWriter()
    kv = f"{ARCH}."
    w.add_string("general.architecture", ARCH)
    w.add_string("general.name", name or f"kestrune synthetic {preset}")
    w.add_uint32("general.file_type", _FILE_TYPE.get(types, 7))
    w.add_uint32("general.quantization_version", 2)
    if alignment is not None:
        w.add_uint32("general.alignment", alignment)
    if sampling:
        if "top_k" in sampling:
            add_k = w.add_int32 if sampling.get("top_k_type", "uint32") == "int32" else w.add_uint32
            add_k("general.sampling.top_k", int(sampling["top_k"]))
        if "temp" in sampling:
            w.add_float32("general.sampling.temp", float(sampling["temp"]))
        if "top_p" in sampling:
            w.add_float32("general.sampling.top_p", float(sampling["top_p"]))
    w.add_uint32(kv + "block_count", g.layers + (1 if draft else 0))
    w.add_uint32(kv + "context_length", g.context)
    w.add_uint32(kv + "embedding_length", g.hidden)
    w.add_uint32(kv + "feed_forward_length", g.ffn)
    w.add_uint32(kv + "attention.head_count", g.heads)
    w.add_uint32(kv + "attention.head_count_kv", g.kv_heads)
    w.add_float32(kv + "rope.freq_base", g.rope_base)
    w.add_float32(kv + "attention.layer_norm_rms_epsilon", g.eps)
    w.add_uint32(kv + "attention.key_length", g.head_dim)
    w.add_uint32(kv + "attention.value_length", g.head_dim)
    w.add_array(kv + "rope.dimension_sections", INT32, [11, 11, 10, 0])
    w.add_uint32(kv + "rope.dimension_count", g.rope_dim)
    w.add_uint32(kv + "ssm.conv_kernel", g.conv_kernel)
    w.add_uint32(kv + "ssm.state_size", g.ssm_d)
    w.add_uint32(kv + "ssm.group_count", g.ssm_hk)
    w.add_uint32(kv + "ssm.time_step_rank", g.ssm_hv)
    w.add_uint32(kv + "ssm.inner_size", g.inner)
    w.add_uint32(kv + "full_attention_interval", g.interval)
    if draft:
        w.add_uint32(kv + "nextn_predict_layers", 1)
    w.add_string("tokenizer.ggml.model", "gpt2")
    w.add_string("tokenizer.ggml.pre", "qwen35")
    w.add_string_array("tokenizer.ggml.tokens", voc.tokens)
    w.add_array("tokenizer.ggml.token_type", INT32, voc.token_types)
    w.add_string_array("tokenizer.ggml.merges", voc.merges)
    eos_value = voc.eos_id if eos_id is None else eos_id
    if eos:
        w.add_uint32("tokenizer.ggml.eos_token_id", eos_value)
    w.add_uint32("tokenizer.ggml.padding_token_id", voc.tokens.index("<|endoftext|>"))
    w.add_bool("tokenizer.ggml.add_bos_token", False)
    if chat_template is not None:
        w.add_string("tokenizer.chat_template", chat_template)

    for tspec in plan:
        w.add_tensor(tspec.name, tspec.dims, tspec.ttype,
                     data=_data_source(tspec, seed, overrides.get(tspec.name)),
                     nbytes=tensor_nbytes(tspec.dims, tspec.ttype))

    info = ModelInfo(path=None, preset=preset, geometry=g, types=types, draft=draft,
                     tensors=[(t.name, list(t.dims), t.type_name) for t in plan],
                     vocab_size=voc.size, vocab_rows=len(voc.tokens),
                     eos_id=eos_value if eos else None,
                     successor=agreeing.successor if agreeing else None)
    return w, info


def write_model(path, **kwargs) -> ModelInfo:
    """Generate a model file at `path`; keyword arguments as for build_writer."""
    t0 = time.perf_counter()
    w, info = build_writer(**kwargs)
    info.size = w.write(path)
    info.path = str(path)
    info.seconds = time.perf_counter() - t0
    return info


def model_plan(preset: str = "tiny", types: str = "q8_0", draft: bool = False,
               tied: Optional[bool] = None, vocab: Optional[str] = None, merges: int = 240,
               type_overrides: Optional[dict] = None, **geometry) -> list:
    """The TensorSpecs build_writer would use for these arguments, without generating data."""
    g, _ = _resolve(preset, tied, vocab, merges, geometry)
    return tensor_plan(g, types, draft, type_overrides)


# -- command line ---------------------------------------------------------------------

_GEOMETRY_FLAGS = [
    ("--hidden", "hidden", int), ("--layers", "layers", int),
    ("--interval", "interval", int), ("--ffn", "ffn", int), ("--heads", "heads", int),
    ("--kv-heads", "kv_heads", int), ("--head-dim", "head_dim", int),
    ("--rope-dim", "rope_dim", int), ("--rope-base", "rope_base", float),
    ("--ssm-d", "ssm_d", int), ("--ssm-hk", "ssm_hk", int), ("--ssm-hv", "ssm_hv", int),
    ("--conv-kernel", "conv_kernel", int), ("--vocab-rows", "vocab_rows", int),
    ("--context", "context", int), ("--eps", "eps", float),
]


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description="Write a synthetic qwen35 GGUF model.")
    ap.add_argument("out")
    ap.add_argument("--preset", default="tiny", choices=list(PRESETS))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--types", default="q8_0", choices=POLICIES)
    ap.add_argument("--type", action="append", default=[], metavar="PATTERN=TYPE",
                    help="per-tensor type override (F32, F16, Q8_0, Q4_K, Q5_K, Q6_K)")
    ap.add_argument("--draft", action="store_true", help="add the nextn draft block")
    ap.add_argument("--agree", action="store_true",
                    help="draft head that mostly agrees with a predictable model (implies --draft --untied)")
    ap.add_argument("--agree-miss", type=float, default=0.25, metavar="F",
                    help="fraction of embedding axes on which the agreeing draft is wrong")
    tie = ap.add_mutually_exclusive_group()
    tie.add_argument("--tied", dest="tied", action="store_true", default=None)
    tie.add_argument("--untied", dest="tied", action="store_false")
    ap.add_argument("--vocab", choices=["synthetic", "qwen3", "auto"], default=None)
    ap.add_argument("--merges", type=int, default=240, help="synthetic BPE merges")
    for flag, dest, typ in _GEOMETRY_FLAGS:
        ap.add_argument(flag, dest=dest, type=typ, default=None)
    ap.add_argument("--sampling", action="store_true",
                    help="write general.sampling.* (defaults temp 0.6, top_k 20, top_p 0.95)")
    ap.add_argument("--temp", type=float)
    ap.add_argument("--top-k", type=int)
    ap.add_argument("--top-p", type=float)
    ap.add_argument("--top-k-type", choices=["uint32", "int32"], default="uint32")
    ap.add_argument("--no-eos", action="store_true")
    ap.add_argument("--eos-id", type=int)
    ap.add_argument("--alignment", type=int)
    ap.add_argument("--name")
    ap.add_argument("--chat-template", metavar="FILE", help="store FILE's Jinja source as tokenizer.chat_template")
    ap.add_argument("--list", action="store_true", help="print the tensor table")
    return ap.parse_args(argv)


def _read_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def main(argv=None) -> int:
    a = parse_args(argv)
    sampling = {}
    if a.sampling:
        sampling = {"temp": 0.6, "top_k": 20, "top_p": 0.95}
    for key in ("temp", "top_k", "top_p"):
        if getattr(a, key) is not None:
            sampling[key] = getattr(a, key)
    if "top_k" in sampling:
        sampling["top_k_type"] = a.top_k_type
    overrides = {}
    for item in a.type:
        pattern, _, tname = item.rpartition("=")
        if not pattern or tname.upper() not in TYPE_IDS:
            raise SystemExit(f"bad --type {item!r}: want PATTERN=TYPE with TYPE in "
                             f"{', '.join(TYPE_IDS)}")
        overrides[pattern] = tname.upper()
    geometry = {dest: getattr(a, dest) for _, dest, _ in _GEOMETRY_FLAGS}
    info = write_model(a.out, preset=a.preset, seed=a.seed, types=a.types, draft=a.draft,
                       tied=a.tied, vocab=a.vocab, sampling=sampling or None,
                       eos=not a.no_eos, eos_id=a.eos_id, type_overrides=overrides,
                       alignment=a.alignment, merges=a.merges, name=a.name,
                       agree=a.agree_miss if a.agree else None,
                       chat_template=_read_text(a.chat_template) if a.chat_template else None, **geometry)
    if a.list:
        for name, dims, tname in info.tensors:
            print(f"{name:40s} {str(dims):20s} {tname}")
    g = asdict(info.geometry)
    print(f"wrote {info.path}: {info.size} bytes, {len(info.tensors)} tensors, "
          f"vocab {info.vocab_size}/{info.vocab_rows} rows, eos {info.eos_id}, "
          f"{info.seconds:.2f}s", file=sys.stderr)
    print("geometry: " + " ".join(f"{k}={v}" for k, v in g.items()), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Trains the small real qwen35 model shipped in models/ (JAX on the CPU).

    python3 -m pip install jax            # this tool alone needs it
    python3 tools/train_model.py [--out models] [--steps N] [--seed 0]

Corpus: the top-level modules of the Python standard library that ships with the
interpreter (PSF licence; tools/trained_data.py picks the files and the held-out
modules). Steps, in order:
1. learn a byte-level BPE (2045 merges, plus "<|endoftext|>", "<|im_start|>",
   "<|im_end|>") from the training modules;
2. write a GGUF with that vocabulary and tokenize every module with the installed
   kestrune module's Engine.encode, so the ids trained on are the engine's own;
3. train the model of the qwen35 architecture from its mathematics (Gated DeltaNet
   layers with a gated full-attention layer every `interval` layers, SwiGLU, RMSNorm,
   partial half-split RoPE, grouped key/value heads) together with a nextn draft head
   that predicts the token after next, with AdamW, fixed seeds and a fixed number of
   steps, printing loss, tokens/s and time left;
4. write the weights through tools/gguf_writer.py + tools/quants.py as F32, Q8_0 and
   a Q4_K/Q6_K mix, the held-out text, and the framework's per-token log-probs on it.

The forward pass here follows the engine's formulas (Parts 3.1 to 3.5 of the design)
in float32, so the F32 file scores the held-out text as this tool does.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import sys
import tempfile
import time
from dataclasses import asdict, dataclass

import numpy as np

TOOLS = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TOOLS)

import trained_data as td  # noqa: E402
from gen_model import choose_type  # noqa: E402
from gguf_writer import INT32, TYPE_NAMES, GGUFWriter, tensor_nbytes  # noqa: E402
from quants import quantize  # noqa: E402

ARCH = "qwen35"


@dataclass(frozen=True)
class Geo:
    hidden: int = 256
    layers: int = 3          # main layers; the draft block is extra
    interval: int = 3        # full_attention_interval: layers 2, 5, ... are attention
    ffn: int = 256
    heads: int = 2
    kv_heads: int = 1
    head_dim: int = 128
    rope_dim: int = 32
    rope_base: float = 10000.0
    ssm_d: int = 64
    ssm_hk: int = 2
    ssm_hv: int = 4
    conv_kernel: int = 4
    eps: float = 1e-6
    vocab: int = 0           # filled in from the tokenizer
    context: int = 256       # the training sequence length

    @property
    def inner(self):
        return self.ssm_hv * self.ssm_d

    @property
    def channels(self):
        return (2 * self.ssm_hk + self.ssm_hv) * self.ssm_d

    def is_attention(self, i):
        return (i + 1) % self.interval == 0


# -- parameters ---------------------------------------------------------------------------

def param_shapes(g: Geo) -> dict:
    """GGUF tensor name -> (array shape, role, init). Arrays are (ne1, ne0): one row per
    output, like the file's rows. "blk.i.ssm_a" is trained as its log magnitude."""
    h, qd, kvd = g.hidden, g.heads * g.head_dim, g.kv_heads * g.head_dim
    out_scale = 1.0 / math.sqrt(2.0 * g.layers)
    s = {"token_embd.weight": ((g.vocab, h), "embed", ("normal", 1.0 / math.sqrt(h)))}

    def mat(rows, fan_in, role, scale=1.0):
        return ((rows, fan_in), role, ("normal", scale / math.sqrt(fan_in)))

    def attention(p):
        s[p + "attn_norm.weight"] = ((h,), "vector", ("ones",))
        s[p + "attn_q.weight"] = mat(2 * qd, h, "attn_q")
        s[p + "attn_k.weight"] = mat(kvd, h, "attn_k")
        s[p + "attn_v.weight"] = mat(kvd, h, "attn_v")
        s[p + "attn_q_norm.weight"] = ((g.head_dim,), "vector", ("ones",))
        s[p + "attn_k_norm.weight"] = ((g.head_dim,), "vector", ("ones",))
        s[p + "attn_output.weight"] = mat(h, qd, "attn_out", out_scale)

    def ffn(p):
        s[p + "post_attention_norm.weight"] = ((h,), "vector", ("ones",))
        s[p + "ffn_gate.weight"] = mat(g.ffn, h, "ffn_gate")
        s[p + "ffn_up.weight"] = mat(g.ffn, h, "ffn_up")
        s[p + "ffn_down.weight"] = mat(h, g.ffn, "ffn_down", out_scale)

    for i in range(g.layers):
        p = f"blk.{i}."
        if g.is_attention(i):
            attention(p)
        else:
            s[p + "attn_norm.weight"] = ((h,), "vector", ("ones",))
            s[p + "attn_qkv.weight"] = mat(g.channels, h, "qkv")
            s[p + "ssm_conv1d.weight"] = ((g.channels, g.conv_kernel), "vector",
                                          ("normal", 1.0 / math.sqrt(g.conv_kernel)))
            s[p + "ssm_alpha.weight"] = mat(g.ssm_hv, h, "ssm_ab")
            s[p + "ssm_beta.weight"] = mat(g.ssm_hv, h, "ssm_ab")
            s[p + "ssm_a"] = ((g.ssm_hv,), "vector", ("a_log",))
            s[p + "ssm_dt.bias"] = ((g.ssm_hv,), "vector", ("dt_bias",))
            s[p + "attn_gate.weight"] = mat(g.inner, h, "gate_z")
            s[p + "ssm_norm.weight"] = ((g.ssm_d,), "vector", ("ones",))
            s[p + "ssm_out.weight"] = mat(h, g.inner, "ssm_out", out_scale)
        ffn(p)
    p = f"blk.{g.layers}."
    s[p + "nextn.enorm.weight"] = ((h,), "vector", ("ones",))
    s[p + "nextn.hnorm.weight"] = ((h,), "vector", ("ones",))
    s[p + "nextn.eh_proj.weight"] = mat(h, 2 * h, "eh_proj")
    attention(p)
    ffn(p)
    s[p + "nextn.shared_head_norm.weight"] = ((h,), "vector", ("ones",))
    s["output_norm.weight"] = ((h,), "vector", ("ones",))
    return s


def init_params(g: Geo, seed: int) -> dict:
    rng = np.random.default_rng(seed)
    out = {}
    for name, (shape, _, init) in param_shapes(g).items():
        kind = init[0]
        if kind == "normal":
            v = rng.standard_normal(shape) * init[1]
        elif kind == "ones":
            v = np.ones(shape)
        elif kind == "a_log":      # decay rates A = -[1, 16]
            v = np.log(rng.uniform(1.0, 16.0, shape))
        elif kind == "dt_bias":    # softplus^-1 of dt in [1e-3, 1e-1], log-uniform
            dt = np.exp(rng.uniform(math.log(1e-3), math.log(1e-1), shape))
            v = np.log(np.expm1(dt))
        else:
            raise ValueError(kind)
        out[name] = np.asarray(v, np.float32)
    return out


def to_file_values(params) -> dict:
    """Trained parameters -> the float32 values the file stores (ssm_a = -exp(log))."""
    out = {}
    for k, v in params.items():
        v = np.asarray(v, np.float32)
        out[k] = (-np.exp(v)).astype(np.float32) if k.endswith(".ssm_a") else v
    return out


# -- the forward pass (JAX) -----------------------------------------------------------------

def make_model(g: Geo, chunk: int = 0):
    """The main and draft forward passes. chunk 0 runs the delta rule token by token
    (lax.scan, as the engine does); chunk > 0 uses the equivalent chunked form, several
    times faster to differentiate (training)."""
    import jax
    import jax.numpy as jnp
    from jax.scipy.linalg import solve_triangular

    def delta_scan(q, k, v, log_decay, beta):
        """Gated delta rule, one token at a time; q, k, v (B, L, Hv, d), decay and beta
        (B, L, Hv). Per head: S = S * decay; e = S^T k; S += (k beta)(v - e)^T; o = S^T q."""
        B, L, H, d = q.shape

        def step(S, inp):
            qt, kt, vt, lt, bt = inp
            S = S * jnp.exp(lt)[..., None, None]
            e = jnp.einsum("zhij,zhi->zhj", S, kt)
            S = S + (kt * bt[..., None])[..., :, None] * (vt - e)[..., None, :]
            return S, jnp.einsum("zhij,zhi->zhj", S, qt)

        tm = lambda a: jnp.moveaxis(a, 1, 0)  # noqa: E731
        S0 = jnp.zeros((B, H, d, d), q.dtype)
        _, o = jax.lax.scan(step, S0, (tm(q), tm(k), tm(v), tm(log_decay), tm(beta)), unroll=4)
        return jnp.moveaxis(o, 0, 1)

    def delta_chunked(q, k, v, log_decay, beta):
        """The same recurrence over chunks of `chunk` tokens (the WY form of the gated
        delta rule): within a chunk the updates are one triangular solve and a few
        products; the state S passes from chunk to chunk."""
        B, L, H, d = q.shape
        C = chunk
        n = L // C
        if n * C != L:
            raise ValueError(f"sequence {L} not a multiple of the chunk {C}")
        tr = lambda a: jnp.moveaxis(a, 1, 2).reshape((B, H, n, C) + a.shape[3:])  # noqa: E731
        q, k, v, gl, b = tr(q), tr(k), tr(v), tr(log_decay), tr(beta)
        gc = jnp.cumsum(gl, -1)                          # log decay since the chunk start
        low = jnp.tril(jnp.ones((C, C), bool))
        strict = jnp.tril(jnp.ones((C, C), bool), -1)
        diff = jnp.where(low, gc[..., :, None] - gc[..., None, :], 0.0)
        Lm = jnp.where(low, jnp.exp(diff), 0.0)          # decay from token j to token i
        kb = k * b[..., None]
        M = jnp.where(strict, (kb @ jnp.swapaxes(k, -1, -2)) * Lm, 0.0)
        eye = jnp.eye(C, dtype=q.dtype)
        T = solve_triangular(M + eye, jnp.broadcast_to(eye, M.shape), lower=True)
        u = T @ (v * b[..., None])
        w = T @ (kb * jnp.exp(gc)[..., None])
        qk = jnp.where(low, (q @ jnp.swapaxes(k, -1, -2)) * Lm, 0.0)
        S = jnp.zeros((B, H, d, d), q.dtype)
        outs = []
        for i in range(n):
            vn = u[:, :, i] - w[:, :, i] @ S
            outs.append((q[:, :, i] * jnp.exp(gc[:, :, i])[..., None]) @ S + qk[:, :, i] @ vn)
            last = gc[:, :, i, -1]
            kd = k[:, :, i] * jnp.exp(last[..., None] - gc[:, :, i])[..., None]
            S = S * jnp.exp(last)[..., None, None] + jnp.swapaxes(kd, -1, -2) @ vn
        o = jnp.stack(outs, 2).reshape(B, H, L, d)
        return jnp.moveaxis(o, 1, 2)

    eps = g.eps

    def rms_norm(x, w):
        return x / jnp.sqrt(jnp.mean(x * x, axis=-1, keepdims=True) + eps) * w

    def silu(x):
        return x * jax.nn.sigmoid(x)

    half = g.rope_dim // 2
    freq = jnp.power(jnp.float32(g.rope_base),
                     jnp.arange(half, dtype=jnp.float32) * 2.0 / jnp.float32(g.rope_dim))

    def rope(y, pos):
        # y (B, L, heads, hd); half-split pairs (j, j + half) over the first rope_dim dims.
        ang = pos[:, None].astype(jnp.float32) / freq[None, :]   # (L, half)
        c, s = jnp.cos(ang)[None, :, None, :], jnp.sin(ang)[None, :, None, :]
        a, b = y[..., :half], y[..., half:2 * half]
        return jnp.concatenate([c * a - s * b, s * a + c * b, y[..., 2 * half:]], axis=-1)

    def attention(P, p, x):
        B, L, _ = x.shape
        hd, nh, nkv = g.head_dim, g.heads, g.kv_heads
        xn = rms_norm(x, P[p + "attn_norm.weight"])
        qg = (xn @ P[p + "attn_q.weight"].T).reshape(B, L, nh, 2, hd)
        q, gate = qg[:, :, :, 0], qg[:, :, :, 1]
        k = (xn @ P[p + "attn_k.weight"].T).reshape(B, L, nkv, hd)
        v = (xn @ P[p + "attn_v.weight"].T).reshape(B, L, nkv, hd)
        pos = jnp.arange(L)
        q = rope(rms_norm(q, P[p + "attn_q_norm.weight"]), pos)
        k = rope(rms_norm(k, P[p + "attn_k_norm.weight"]), pos)
        group = nh // nkv
        k = jnp.repeat(k, group, axis=2)   # query head h reads kv head h // group
        v = jnp.repeat(v, group, axis=2)
        sc = jnp.einsum("blhd,bshd->bhls", q, k) / jnp.sqrt(jnp.float32(hd))
        mask = jnp.tril(jnp.ones((L, L), bool))
        sc = jnp.where(mask[None, None], sc, -jnp.inf)
        w = jax.nn.softmax(sc, axis=-1)
        o = jnp.einsum("bhls,bshd->blhd", w, v)
        o = jax.nn.sigmoid(gate) * o
        return o.reshape(B, L, nh * hd) @ P[p + "attn_output.weight"].T

    def gdn(P, p, x, ssm_a):
        B, L, _ = x.shape
        d, hk, hv, K = g.ssm_d, g.ssm_hk, g.ssm_hv, g.conv_kernel
        qk = hk * d
        xn = rms_norm(x, P[p + "attn_norm.weight"])
        r = xn @ P[p + "attn_qkv.weight"].T                              # (B, L, C)
        w = P[p + "ssm_conv1d.weight"]                                    # (C, K)
        rp = jnp.pad(r, ((0, 0), (K - 1, 0), (0, 0)))
        acc = sum(w[:, t] * rp[:, t:t + L] for t in range(K))
        y = silu(acc)
        q = y[..., :qk].reshape(B, L, hk, d)
        k = y[..., qk:2 * qk].reshape(B, L, hk, d)
        v = y[..., 2 * qk:].reshape(B, L, hv, d)
        s = jnp.float32(d) ** -0.5
        q = q * ((s * s) / jnp.sqrt(jnp.mean(q * q, -1, keepdims=True) + 1e-6))
        k = k * (s / jnp.sqrt(jnp.mean(k * k, -1, keepdims=True) + 1e-6))
        heads = jnp.arange(hv) % hk            # value head l uses key head l mod Hk
        q, k = q[:, :, heads], k[:, :, heads]   # (B, L, Hv, d)
        a_in = xn @ P[p + "ssm_alpha.weight"].T
        b_in = xn @ P[p + "ssm_beta.weight"].T

        log_decay = ssm_a * jax.nn.softplus(a_in + P[p + "ssm_dt.bias"])   # (B, L, Hv)
        beta = jax.nn.sigmoid(b_in)
        o = (delta_chunked if chunk else delta_scan)(q, k, v, log_decay, beta)
        z = (xn @ P[p + "attn_gate.weight"].T).reshape(B, L, hv, d)
        on = o / jnp.sqrt(jnp.mean(o * o, -1, keepdims=True) + eps) * P[p + "ssm_norm.weight"]
        gated = silu(z) * on
        return gated.reshape(B, L, hv * d) @ P[p + "ssm_out.weight"].T

    def ffn(P, p, x):
        xn = rms_norm(x, P[p + "post_attention_norm.weight"])
        hgate = xn @ P[p + "ffn_gate.weight"].T
        up = xn @ P[p + "ffn_up.weight"].T
        return (silu(hgate) * up) @ P[p + "ffn_down.weight"].T

    def main(P, tokens):
        """tokens (B, L) -> (final residual (B, L, H), logits (B, L, V))."""
        x = P["token_embd.weight"][tokens]
        for i in range(g.layers):
            p = f"blk.{i}."
            if g.is_attention(i):
                x = x + attention(P, p, x)
            else:
                x = x + gdn(P, p, x, P[p + "ssm_a"])
            x = x + ffn(P, p, x)
        logits = rms_norm(x, P["output_norm.weight"]) @ P["token_embd.weight"].T
        return x, logits

    def draft(P, hidden, next_tokens):
        """Draft pair i: main hidden at position i and the token at i + 1 -> logits of
        the token at i + 2; draft position i."""
        p = f"blk.{g.layers}."
        e = P["token_embd.weight"][next_tokens]
        c = jnp.concatenate([rms_norm(e, P[p + "nextn.enorm.weight"]),
                             rms_norm(hidden, P[p + "nextn.hnorm.weight"])], axis=-1)
        y = c @ P[p + "nextn.eh_proj.weight"].T
        y = y + attention(P, p, y)
        y = y + ffn(P, p, y)
        return rms_norm(y, P[p + "nextn.shared_head_norm.weight"]) @ P["token_embd.weight"].T

    return main, draft


def file_view(params):
    """Trained parameters -> the values the forward pass uses (the file's values)."""
    import jax.numpy as jnp
    return {k: (-jnp.exp(v) if k.endswith(".ssm_a") else v) for k, v in params.items()}


# -- GGUF export -------------------------------------------------------------------------

POLICY_FILE_TYPE = {"f32": 0, "q8_0": 7, "q4k-mix": 15}


def write_gguf(path, g: Geo, values: dict, tokens: list, merges: list, policy: str,
               name: str) -> list:
    """Writes the model through the project's GGUF writer and quantizers; returns
    [(name, dims, type name)]. Types follow tools/gen_model.py's policy (K-quants only
    where rows fill 256-value super-blocks; vectors and the small GDN projections F32)."""
    w = GGUFWriter()
    kv = ARCH + "."
    w.add_string("general.architecture", ARCH)
    w.add_string("general.name", name)
    w.add_string("general.license", "PSF-2.0 (trained on the Python standard library)")
    w.add_uint32("general.file_type", POLICY_FILE_TYPE[policy])
    w.add_uint32("general.quantization_version", 2)
    w.add_uint32(kv + "block_count", g.layers + 1)
    w.add_uint32(kv + "context_length", g.context)
    w.add_uint32(kv + "embedding_length", g.hidden)
    w.add_uint32(kv + "feed_forward_length", g.ffn)
    w.add_uint32(kv + "attention.head_count", g.heads)
    w.add_uint32(kv + "attention.head_count_kv", g.kv_heads)
    w.add_float32(kv + "rope.freq_base", g.rope_base)
    w.add_float32(kv + "attention.layer_norm_rms_epsilon", g.eps)
    w.add_uint32(kv + "attention.key_length", g.head_dim)
    w.add_uint32(kv + "attention.value_length", g.head_dim)
    w.add_uint32(kv + "rope.dimension_count", g.rope_dim)
    w.add_uint32(kv + "ssm.conv_kernel", g.conv_kernel)
    w.add_uint32(kv + "ssm.state_size", g.ssm_d)
    w.add_uint32(kv + "ssm.group_count", g.ssm_hk)
    w.add_uint32(kv + "ssm.time_step_rank", g.ssm_hv)
    w.add_uint32(kv + "ssm.inner_size", g.inner)
    w.add_uint32(kv + "full_attention_interval", g.interval)
    w.add_uint32(kv + "nextn_predict_layers", 1)
    w.add_string("tokenizer.ggml.model", "gpt2")
    w.add_string("tokenizer.ggml.pre", ARCH)
    w.add_string_array("tokenizer.ggml.tokens", tokens)
    types = [3 if t in td.SPECIALS else 1 for t in tokens]
    w.add_array("tokenizer.ggml.token_type", INT32, types)
    w.add_string_array("tokenizer.ggml.merges", [f"{a} {b}" for a, b in merges])
    w.add_uint32("tokenizer.ggml.eos_token_id", tokens.index("<|endoftext|>"))
    w.add_uint32("tokenizer.ggml.padding_token_id", tokens.index("<|endoftext|>"))
    w.add_bool("tokenizer.ggml.add_bos_token", False)
    w.add_float32("general.sampling.temp", 0.0)
    w.add_uint32("general.sampling.top_k", 20)
    w.add_float32("general.sampling.top_p", 0.95)
    listing = []
    shapes = param_shapes(g)
    for tname, (shape, role, _) in shapes.items():
        arr = np.asarray(values[tname], np.float32).reshape(shape)
        dims = list(reversed(shape))            # [ne0, ne1]
        layer = int(tname.split(".")[1]) if tname.startswith("blk.") else -1
        ttype = choose_type(policy, role, dims[0], layer, True)
        blob = quantize(arr.reshape(-1, dims[0]), ttype)
        w.add_tensor(tname, dims, ttype, data=blob, nbytes=tensor_nbytes(dims, ttype))
        listing.append((tname, dims, TYPE_NAMES[ttype]))
    w.write(path)
    return listing


# -- data ------------------------------------------------------------------------------

def tokenize_corpus(files, tokenizer_gguf):
    import kestrune
    eng = kestrune.Engine(tokenizer_gguf)
    return [np.asarray(eng.encode(td.read_text(f)), np.int32) for f in files], eng


def fmt_time(s):
    s = int(round(s))
    return f"{s // 60}:{s % 60:02d}"


# -- evaluation ---------------------------------------------------------------------------

def score_segments(main_fn, P, seg_ids, batch=16):
    """Per segment, the natural-log probability of each token after the first, from the
    main model (float32), each segment a fresh sequence."""
    import jax
    import jax.numpy as jnp

    @jax.jit
    def logp(P, toks):
        _, logits = main_fn(P, toks)
        lp = jax.nn.log_softmax(logits[:, :-1], axis=-1)
        return jnp.take_along_axis(lp, toks[:, 1:, None], axis=-1)[..., 0]

    width = max(len(s) for s in seg_ids)
    out = []
    for i in range(0, len(seg_ids), batch):
        group = seg_ids[i:i + batch]
        toks = np.zeros((batch, width), np.int32)
        for j, s in enumerate(group):
            toks[j, :len(s)] = s
        lp = np.asarray(logp(P, jnp.asarray(toks)), np.float64)
        for j, s in enumerate(group):
            out.append(lp[j, :len(s) - 1].tolist())
    return out


def draft_accuracy(main_fn, draft_fn, P, seg_ids, batch=16):
    """Share of draft-head greedy guesses (token i + 2 from hidden i and token i + 1) that
    equal the main model's greedy choice at i + 1, and that equal the real token."""
    import jax
    import jax.numpy as jnp

    @jax.jit
    def run(P, toks):
        hidden, logits = main_fn(P, toks)
        dl = draft_fn(P, hidden[:, :-1], toks[:, 1:])
        return jnp.argmax(logits, -1), jnp.argmax(dl, -1)

    width = max(len(s) for s in seg_ids)
    agree = real = n = 0
    for i in range(0, len(seg_ids), batch):
        group = seg_ids[i:i + batch]
        toks = np.zeros((batch, width), np.int32)
        for j, s in enumerate(group):
            toks[j, :len(s)] = s
        greedy, dr = (np.asarray(x) for x in run(P, jnp.asarray(toks)))
        for j, s in enumerate(group):
            m = len(s) - 2
            if m > 0:
                agree += int(np.sum(dr[j, :m] == greedy[j, 1:m + 1]))
                real += int(np.sum(dr[j, :m] == s[2:]))
                n += m
    return agree / n, real / n


# -- main ---------------------------------------------------------------------------------

def main(argv=None) -> int:
    import sysconfig
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(os.path.dirname(TOOLS), "models"))
    ap.add_argument("--stdlib", default=sysconfig.get_paths()["stdlib"],
                    help="standard library folder to learn from (default: this interpreter's)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--steps", type=int, default=1000)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--seq", type=int, default=256)
    ap.add_argument("--lr", type=float, default=3e-3)
    ap.add_argument("--warmup", type=int, default=50)
    ap.add_argument("--draft-weight", type=float, default=0.5)
    ap.add_argument("--merges", type=int, default=2045)
    ap.add_argument("--chunk", type=int, default=16, help="delta-rule chunk while training")
    ap.add_argument("--checkpoint", help="save the trained parameters here (.npz)")
    ap.add_argument("--from-checkpoint", help="skip training; load parameters from .npz")
    ap.add_argument("--test-segments", type=int, default=8,
                    help="held-out segments whose per-token log-probs go into the JSON")
    a = ap.parse_args(argv)

    t_start = time.time()
    os.makedirs(a.out, exist_ok=True)
    log = lambda *x: print(*x, flush=True)  # noqa: E731

    # 1. corpus and vocabulary
    train_files, held_files = td.corpus_files(a.stdlib)
    texts = [td.read_text(f) for f in train_files]
    log(f"corpus: {len(train_files)} modules, {sum(len(t) for t in texts)} characters "
        f"from {a.stdlib} (held out: {', '.join(td.HELDOUT_FILES)})")
    merges = td.train_bpe(texts, a.merges)
    tokens = td.build_vocab(merges)
    g = Geo(vocab=len(tokens), context=a.seq)
    log(f"bpe: {len(merges)} merges, vocabulary {len(tokens)} ({fmt_time(time.time() - t_start)})")

    # 2. token ids from the engine itself
    params = init_params(g, a.seed)
    tmp = tempfile.mkdtemp(prefix="kestrune-train-")
    tok_path = os.path.join(tmp, "tokenizer.gguf")   # the vocabulary with untrained weights
    write_gguf(tok_path, g, to_file_values(params), tokens, merges, "q8_0", "tokenizer")
    docs, eng = tokenize_corpus(train_files, tok_path)
    eot = tokens.index("<|endoftext|>")
    stream = np.concatenate([np.concatenate([d, [eot]]) for d in docs]).astype(np.int32)
    held_text = "".join(td.read_text(f) for f in held_files)
    segments = td.heldout_segments(held_text)
    seg_ids = [np.asarray(eng.encode(s), np.int32) for s in segments]
    del eng
    shutil.rmtree(tmp)
    log(f"tokens: {len(stream)} training, {sum(len(s) for s in seg_ids)} held out in "
        f"{len(segments)} segments (longest {max(len(s) for s in seg_ids)}); "
        f"{sum(len(t) for t in texts) / len(stream):.2f} characters per token")
    if max(len(s) for s in seg_ids) > g.context:
        raise SystemExit("a held-out segment is longer than the training context")

    import jax
    import jax.numpy as jnp
    main_fn, draft_fn = make_model(g, chunk=a.chunk)

    def loss_fn(params, batch):
        P = file_view(params)
        inp, tgt, tgt2 = batch[:, :-2], batch[:, 1:-1], batch[:, 2:]
        hidden, logits = main_fn(P, inp)
        lm = -jnp.mean(jnp.take_along_axis(jax.nn.log_softmax(logits), tgt[..., None], -1))
        dl = draft_fn(P, jax.lax.stop_gradient(hidden), tgt)
        dm = -jnp.mean(jnp.take_along_axis(jax.nn.log_softmax(dl), tgt2[..., None], -1))
        return lm + a.draft_weight * dm, (lm, dm)

    shapes = param_shapes(g)
    decay_mask = {k: (len(shapes[k][0]) == 2 and shapes[k][1] != "vector") for k in shapes}

    def lr_at(step):
        warm = jnp.minimum(1.0, (step + 1) / a.warmup)
        prog = jnp.clip((step - a.warmup) / max(1, a.steps - a.warmup), 0.0, 1.0)
        return a.lr * warm * (0.1 + 0.9 * 0.5 * (1 + jnp.cos(jnp.pi * prog)))

    @jax.jit
    def train_step(params, m, v, step, batch):
        (loss, (lm, dm)), grads = jax.value_and_grad(loss_fn, has_aux=True)(params, batch)
        gnorm = jnp.sqrt(sum(jnp.sum(x * x) for x in jax.tree_util.tree_leaves(grads)))
        clip = jnp.minimum(1.0, 1.0 / (gnorm + 1e-6))
        lr = lr_at(step)
        b1, b2 = 0.9, 0.95
        t = step + 1
        newp, newm, newv = {}, {}, {}
        for k in params:
            gk = grads[k] * clip
            newm[k] = b1 * m[k] + (1 - b1) * gk
            newv[k] = b2 * v[k] + (1 - b2) * gk * gk
            mh = newm[k] / (1 - b1 ** t)
            vh = newv[k] / (1 - b2 ** t)
            upd = mh / (jnp.sqrt(vh) + 1e-8)
            if decay_mask[k]:
                upd = upd + 0.1 * params[k]
            newp[k] = params[k] - lr * upd
        return newp, newm, newv, lm, dm, gnorm

    if a.from_checkpoint:
        with np.load(a.from_checkpoint) as z:
            params = {k: z[k] for k in z.files}
        log(f"loaded {a.from_checkpoint}")
        train_seconds = 0.0
    else:
        # 3. training
        n_params = sum(int(np.prod(s[0])) for s in shapes.values())
        log(f"model: {n_params} parameters; geometry {asdict(g)}")
        data_rng = np.random.default_rng(a.seed + 1)
        P = {k: jnp.asarray(v) for k, v in params.items()}
        m = {k: jnp.zeros_like(v) for k, v in P.items()}
        v = {k: jnp.zeros_like(x) for k, x in P.items()}
        span = a.seq + 2
        tokens_per_step = a.batch * a.seq
        t0 = time.time()
        t_last, lm_acc, dm_acc, n_acc = t0, 0.0, 0.0, 0
        for step in range(a.steps):
            starts = data_rng.integers(0, len(stream) - span, a.batch)
            batch = np.stack([stream[s:s + span] for s in starts])
            P, m, v, lm, dm, gn = train_step(P, m, v, jnp.int32(step), jnp.asarray(batch))
            lm_acc += float(lm); dm_acc += float(dm); n_acc += 1
            if step == 0:
                t0 = t_last = time.time()   # the first step includes compilation
                log(f"step 1/{a.steps}: loss {float(lm):.3f} draft {float(dm):.3f} (compiled)")
                lm_acc = dm_acc = 0.0; n_acc = 0
                continue
            if (step + 1) % 50 == 0 or step + 1 == a.steps:
                now = time.time()
                tps = n_acc * tokens_per_step / (now - t_last)
                left = (a.steps - step - 1) * (now - t0) / step
                log(f"step {step + 1}/{a.steps}: loss {lm_acc / n_acc:.3f} draft "
                    f"{dm_acc / n_acc:.3f} |g| {float(gn):.2f} lr {float(lr_at(step)):.2e} "
                    f"{tps:.0f} tok/s, {fmt_time(now - t_start)} elapsed, "
                    f"{fmt_time(left)} left")
                t_last, lm_acc, dm_acc, n_acc = now, 0.0, 0.0, 0
        params = {k: np.asarray(x) for k, x in P.items()}
        train_seconds = time.time() - t0
        if a.checkpoint:
            np.savez(a.checkpoint, **params)

    # 4. files
    values = to_file_values(params)
    names = {"f32": "trained-f32.gguf", "q8_0": "trained-q8_0.gguf",
             "q4k-mix": "trained-q4k-mix.gguf"}
    sizes = {}
    for policy, fname in names.items():
        path = os.path.join(a.out, fname)
        listing = write_gguf(path, g, values, tokens, merges, policy,
                             f"kestrune trained stdlib demo ({policy})")
        sizes[fname] = os.path.getsize(path)
        kinds = sorted({t for _, _, t in listing})
        log(f"wrote {path}: {sizes[fname]} bytes ({', '.join(kinds)})")
    with open(os.path.join(a.out, "heldout.txt"), "w", encoding="utf-8", newline="") as f:
        f.write(held_text)

    # 5. the framework's evaluation of the file's values
    P = {k: jnp.asarray(x) for k, x in values.items()}
    main_fn, draft_fn = make_model(g)   # token by token, as the engine runs
    lps = score_segments(main_fn, P, seg_ids)
    flat = [x for s in lps for x in s]
    mean = float(np.mean(flat))
    agree, real = draft_accuracy(main_fn, draft_fn, P, seg_ids)
    k = a.test_segments
    report = {
        "about": "JAX float32 evaluation of models/trained-f32.gguf on models/heldout.txt "
                 "(tools/trained_data.heldout_segments; each segment a fresh sequence; "
                 "log-probs of tokens 1..n-1 of Engine.encode(segment), natural log)",
        "python": sys.version.split()[0], "jax": jax.__version__,
        "geometry": asdict(g),
        "segments": len(segments), "scored_tokens": len(flat),
        "mean_logprob": mean, "perplexity": math.exp(-mean),
        "draft_agrees_with_greedy": agree, "draft_hits_real_token": real,
        "train_seconds": round(train_seconds, 1), "steps": a.steps, "batch": a.batch,
        "seq": a.seq, "seed": a.seed,
        "test_slice": {
            "segments": list(range(k)),
            "text": segments[:k],
            "token_ids": [s.tolist() for s in seg_ids[:k]],
            "logprobs": lps[:k],
            "mean_logprob": float(np.mean([x for s in lps[:k] for x in s])),
        },
    }
    with open(os.path.join(a.out, "trained-eval.json"), "w") as f:
        json.dump(report, f, indent=1)
    log(f"held-out: {len(flat)} tokens, mean log-prob {mean:.5f}, perplexity "
        f"{math.exp(-mean):.3f}; draft agrees with greedy {agree:.1%}, hits the real "
        f"token {real:.1%}")
    log(f"done in {fmt_time(time.time() - t_start)} (training {fmt_time(train_seconds)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

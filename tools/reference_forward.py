#!/usr/bin/env python3
"""Independent float64 re-implementation of the qwen35 forward pass, for checking the
engine's logits.

    python tools/reference_forward.py MODEL.gguf --tokens 1,200,7 [--golden FILE]

Reads the tensors with the generator's reader and decoders (not the engine's), runs
the tokens through a fresh sequence in float64 and prints, per step, the largest
absolute difference to the golden logits relative to their spread. Exits 1 when a
step differs by more than --tol (default 1e-3).
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gguf_writer import read_gguf_file  # noqa: E402
from quants import dequantize  # noqa: E402


class Weights:
    def __init__(self, path):
        w = read_gguf_file(path)
        self.meta = {kv.key: kv.value for kv in w.kvs if kv.raw is None}
        self.tensors = {t.name: t for t in w.tensors}

    def has(self, name):
        return name in self.tensors

    def get(self, name):
        t = self.tensors[name]
        y = dequantize(bytes(t.data), t.ttype, t.dims[0]).astype(np.float64)
        return y.reshape(-1) if len(t.dims) == 1 else y   # (rows, ne0)

    def key(self, k):
        return self.meta["qwen35." + k]


def rms_norm(x, w, eps):
    return x / np.sqrt(eps + np.mean(x * x)) * w[: len(x)]


def sigmoid(z):
    return 1.0 / (1.0 + np.exp(-z))


def softplus(z):
    return z if z > 20.0 else np.log1p(np.exp(z))


class Reference:
    def __init__(self, path):
        self.w = Weights(path)
        k = self.w.key
        self.eps = float(k("attention.layer_norm_rms_epsilon"))
        self.n_layers = int(k("block_count")) - int(self.w.meta.get("qwen35.nextn_predict_layers", 0))
        self.interval = int(k("full_attention_interval"))
        self.hd, self.nh, self.nkv = int(k("attention.key_length")), int(k("attention.head_count")), \
            int(k("attention.head_count_kv"))
        self.rope_dim, self.base = int(k("rope.dimension_count")), float(k("rope.freq_base"))
        self.d, self.hk, self.hv = int(k("ssm.state_size")), int(k("ssm.group_count")), \
            int(k("ssm.time_step_rank"))
        self.K = int(k("ssm.conv_kernel"))
        self.head = "output.weight" if self.w.has("output.weight") else "token_embd.weight"
        self.C = (2 * self.hk + self.hv) * self.d
        self.pos = 0
        self.state = {}
        for i in range(self.n_layers):
            if self.is_attn(i):
                self.state[i] = ([], [])
            else:
                self.state[i] = (np.zeros((self.K - 1, self.C)), np.zeros((self.hv, self.d, self.d)))

    def is_attn(self, i):
        return (i + 1) % self.interval == 0

    def rope(self, y):
        half = self.rope_dim // 2
        j = np.arange(half)
        ang = self.pos / self.base ** (2.0 * j / self.rope_dim)
        c, s = np.cos(ang), np.sin(ang)
        a, b = y[:half].copy(), y[half:2 * half].copy()
        y[:half], y[half:2 * half] = c * a - s * b, s * a + c * b
        return y

    def attn(self, i, x):
        p, W = f"blk.{i}.", self.w
        xn = rms_norm(x, W.get(p + "attn_norm.weight"), self.eps)
        qg = W.get(p + "attn_q.weight") @ xn
        k = W.get(p + "attn_k.weight") @ xn
        v = W.get(p + "attn_v.weight") @ xn
        hd = self.hd
        qn, kn = W.get(p + "attn_q_norm.weight"), W.get(p + "attn_k_norm.weight")
        q = [self.rope(rms_norm(qg[2 * h * hd: 2 * h * hd + hd], qn, self.eps)) for h in range(self.nh)]
        gate = [qg[2 * h * hd + hd: 2 * h * hd + 2 * hd] for h in range(self.nh)]
        ks = [self.rope(rms_norm(k[g * hd:(g + 1) * hd], kn, self.eps)) for g in range(self.nkv)]
        K, V = self.state[i]
        K.append(np.stack(ks))
        V.append(v.reshape(self.nkv, hd))
        Ka, Va = np.stack(K), np.stack(V)   # (T, nkv, hd)
        group = self.nh // self.nkv
        o = []
        for h in range(self.nh):
            g = h // group
            sc = Ka[:, g, :] @ q[h] / np.sqrt(hd)
            e = np.exp(sc - sc.max())
            o.append(sigmoid(gate[h]) * ((e / e.sum()) @ Va[:, g, :]))
        return W.get(p + "attn_output.weight") @ np.concatenate(o)

    def gdn(self, i, x):
        p, W, d, C, K = f"blk.{i}.", self.w, self.d, self.C, self.K
        conv, S = self.state[i]
        xn = rms_norm(x, W.get(p + "attn_norm.weight"), self.eps)
        r = W.get(p + "attn_qkv.weight") @ xn
        cw = W.get(p + "ssm_conv1d.weight")   # (C, K)
        hist = np.vstack([conv, r[None, :]])  # oldest .. current
        acc = np.einsum("ck,kc->c", cw[:, :K], hist)
        y = acc * sigmoid(acc)
        conv[:] = hist[1:]
        qk = self.hk * d
        q, k, v = y[:qk].reshape(self.hk, d), y[qk:2 * qk].reshape(self.hk, d), y[2 * qk:].reshape(self.hv, d)
        s = d ** -0.5
        q = q * (s * s) / np.sqrt(np.mean(q * q, axis=1, keepdims=True) + 1e-6)
        k = k * s / np.sqrt(np.mean(k * k, axis=1, keepdims=True) + 1e-6)
        a_in = W.get(p + "ssm_alpha.weight") @ xn
        b_in = W.get(p + "ssm_beta.weight") @ xn
        A, dt = W.get(p + "ssm_a"), W.get(p + "ssm_dt.bias")
        out = np.zeros((self.hv, d))
        for l in range(self.hv):
            g = l % self.hk
            decay = np.exp(A[l] * softplus(a_in[l] + dt[l]))
            beta = sigmoid(b_in[l])
            S[l] *= decay
            e = S[l].T @ k[g]
            S[l] += np.outer(k[g] * beta, v[l] - e)
            out[l] = S[l].T @ q[g]
        z = (W.get(p + "attn_gate.weight") @ xn).reshape(self.hv, d)
        nw = W.get(p + "ssm_norm.weight")
        gated = z * sigmoid(z) * (out / np.sqrt(np.mean(out * out, axis=1, keepdims=True) + self.eps) * nw[:d])
        return W.get(p + "ssm_out.weight") @ gated.reshape(-1)

    def ffn(self, i, x):
        p, W = f"blk.{i}.", self.w
        xn = rms_norm(x, W.get(p + "post_attention_norm.weight"), self.eps)
        g = W.get(p + "ffn_gate.weight") @ xn
        u = W.get(p + "ffn_up.weight") @ xn
        return W.get(p + "ffn_down.weight") @ (g * sigmoid(g) * u)

    def forward(self, token):
        x = self.w.get("token_embd.weight")[token].copy()
        for i in range(self.n_layers):
            x = x + (self.attn(i, x) if self.is_attn(i) else self.gdn(i, x))
            x = x + self.ffn(i, x)
        self.pos += 1
        return self.w.get(self.head) @ rms_norm(x, self.w.get("output_norm.weight"), self.eps)


def read_golden(path):
    steps, tokens = [], None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("tokens:"):
                tokens = [int(t) for t in line.split()[1:]]
            elif line.startswith("step"):
                steps.append([])
            elif line and not line.startswith("#") and ":" not in line:
                steps[-1].append(float(line))
    return tokens, [np.array(s) for s in steps]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("model")
    ap.add_argument("--tokens")
    ap.add_argument("--golden")
    ap.add_argument("--tol", type=float, default=1e-3)
    a = ap.parse_args(argv)
    want = None
    tokens = [int(t) for t in a.tokens.split(",")] if a.tokens else None
    if a.golden:
        tokens, want = read_golden(a.golden)
    ref = Reference(a.model)
    worst = 0.0
    for n, t in enumerate(tokens):
        got = ref.forward(t)
        if want is None:
            print(f"step {n} token {t}: argmax {int(np.argmax(got))} logits[:4] {got[:4]}")
            continue
        err = float(np.max(np.abs(got - want[n])) / np.std(got))
        worst = max(worst, err)
        print(f"step {n} token {t}: max |diff| / std = {err:.2e}, argmax ref {int(np.argmax(got))} "
              f"engine {int(np.argmax(want[n]))}")
    return 1 if worst > a.tol else 0


if __name__ == "__main__":
    sys.exit(main())

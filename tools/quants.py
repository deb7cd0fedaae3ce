"""Vectorised numpy quantizers and dequantizers for the ggml block formats.

quantize(x, ttype) turns float rows (last axis = row length) into the
byte layout of F32, F16, Q8_0, Q4_K, Q5_K or Q6_K. dequantize(data, ttype)
is the reference decoder: it follows the block formulas literally in
float32 (for Q4_K/Q5_K the factors d*sc and dmin*m are formed first), so
the engine's decoders must agree with it bit for bit.

The quantizers aim at a reasonable approximation, not at ggml's exact
search; any values they choose are representable and decode as above.
"""

from __future__ import annotations

import numpy as np

from gguf_writer import (BLOCK_GEOMETRY, GGML_F16, GGML_F32, GGML_Q4_K, GGML_Q5_K,
                         GGML_Q6_K, GGML_Q8_0, TYPE_NAMES)

F32 = np.float32
QK8_0 = 32
QK_K = 256


def _blocks(x: np.ndarray, per_block: int) -> np.ndarray:
    x = np.asarray(x, dtype=F32)
    if x.ndim == 0 or x.shape[-1] % per_block:
        raise ValueError(f"row length {x.shape[-1] if x.ndim else 0} not a multiple of {per_block}")
    return x.reshape(-1, per_block)


def _f16_bytes(v: np.ndarray) -> np.ndarray:
    """(n,) float16 -> (n, 2) little-endian bytes."""
    return v.astype("<f2").view(np.uint8).reshape(-1, 2)


def _safe_recip(v: np.ndarray) -> np.ndarray:
    out = np.zeros_like(v, dtype=F32)
    np.divide(F32(1), v, out=out, where=v != 0)
    return out


# -- quantizers ---------------------------------------------------------------------

def quantize_q8_0(x) -> bytes:
    xb = _blocks(x, QK8_0)
    d = (np.abs(xb).max(axis=1) / F32(127)).astype(np.float16)
    # Quantize against the stored (rounded) scale so the decode is as close as possible.
    inv = _safe_recip(d.astype(F32))
    q = np.clip(np.rint(xb * inv[:, None]), -128, 127).astype(np.int8)
    out = np.empty((xb.shape[0], 34), np.uint8)
    out[:, 0:2] = _f16_bytes(d)
    out[:, 2:] = q.view(np.uint8)
    return out.tobytes()


def _kquant_affine(xb: np.ndarray, levels: int):
    """Shared Q4_K/Q5_K fit: per 32-value sub-block an unsigned code q with
    x ~ (d*sc)*q - dmin*m, sc and m 6-bit, d and dmin half precision."""
    sub = xb.reshape(-1, 8, 32)
    lo = np.minimum(sub.min(axis=2), F32(0))
    hi = sub.max(axis=2)
    scale = (hi - lo) / F32(levels)
    mins = -lo
    d = (scale.max(axis=1) / F32(63)).astype(np.float16)
    dmin = (mins.max(axis=1) / F32(63)).astype(np.float16)
    df, dminf = d.astype(F32), dmin.astype(F32)
    sc = np.clip(np.rint(scale * _safe_recip(df)[:, None]), 0, 63).astype(np.uint8)
    m = np.clip(np.rint(mins * _safe_recip(dminf)[:, None]), 0, 63).astype(np.uint8)
    eff_s = df[:, None] * sc.astype(F32)
    eff_m = dminf[:, None] * m.astype(F32)
    q = np.rint((sub + eff_m[:, :, None]) * _safe_recip(eff_s)[:, :, None])
    q = np.clip(q, 0, levels).astype(np.uint8)
    return d, dmin, sc, m, q.reshape(-1, 4, 2, 32)


def _pack_scales(sc: np.ndarray, m: np.ndarray) -> np.ndarray:
    s = np.empty((sc.shape[0], 12), np.uint8)
    s[:, 0:4] = (sc[:, 0:4] & 63) | ((sc[:, 4:8] >> 4) << 6)
    s[:, 4:8] = (m[:, 0:4] & 63) | ((m[:, 4:8] >> 4) << 6)
    s[:, 8:12] = (sc[:, 4:8] & 15) | ((m[:, 4:8] & 15) << 4)
    return s


def quantize_q4_k(x) -> bytes:
    xb = _blocks(x, QK_K)
    d, dmin, sc, m, q = _kquant_affine(xb, 15)
    out = np.empty((xb.shape[0], 144), np.uint8)
    out[:, 0:2] = _f16_bytes(d)
    out[:, 2:4] = _f16_bytes(dmin)
    out[:, 4:16] = _pack_scales(sc, m)
    out[:, 16:144] = (q[:, :, 0, :] | (q[:, :, 1, :] << 4)).reshape(-1, 128)
    return out.tobytes()


def quantize_q5_k(x) -> bytes:
    xb = _blocks(x, QK_K)
    d, dmin, sc, m, q = _kquant_affine(xb, 31)
    qh = np.zeros((xb.shape[0], 32), np.uint8)
    for g in range(4):
        qh |= ((q[:, g, 0, :] >> 4) << (2 * g)) | ((q[:, g, 1, :] >> 4) << (2 * g + 1))
    out = np.empty((xb.shape[0], 176), np.uint8)
    out[:, 0:2] = _f16_bytes(d)
    out[:, 2:4] = _f16_bytes(dmin)
    out[:, 4:16] = _pack_scales(sc, m)
    out[:, 16:48] = qh
    out[:, 48:176] = ((q[:, :, 0, :] & 15) | ((q[:, :, 1, :] & 15) << 4)).reshape(-1, 128)
    return out.tobytes()


def quantize_q6_k(x) -> bytes:
    xb = _blocks(x, QK_K)
    n = xb.shape[0]
    sub = xb.reshape(n, 16, 16)
    # Signed scale that maps the largest-magnitude value onto -32 exactly.
    idx = np.abs(sub).argmax(axis=2)
    extreme = np.take_along_axis(sub, idx[:, :, None], axis=2)[:, :, 0]
    scale = extreme / F32(-32)
    d = (np.abs(scale).max(axis=1) / F32(127)).astype(np.float16)
    df = d.astype(F32)
    sc = np.clip(np.rint(scale * _safe_recip(df)[:, None]), -128, 127).astype(np.int8)
    eff = df[:, None] * sc.astype(F32)
    q = np.clip(np.rint(sub * _safe_recip(eff)[:, :, None]), -32, 31)
    u = (q.astype(np.int16) + 32).astype(np.uint8).reshape(n, 2, 4, 32)
    ql = np.concatenate([(u[:, :, 0] & 15) | ((u[:, :, 2] & 15) << 4),
                         (u[:, :, 1] & 15) | ((u[:, :, 3] & 15) << 4)], axis=2)
    qh = ((u[:, :, 0] >> 4) | ((u[:, :, 1] >> 4) << 2)
          | ((u[:, :, 2] >> 4) << 4) | ((u[:, :, 3] >> 4) << 6))
    out = np.empty((n, 210), np.uint8)
    out[:, 0:128] = ql.reshape(n, 128)
    out[:, 128:192] = qh.reshape(n, 64)
    out[:, 192:208] = sc.view(np.uint8)
    out[:, 208:210] = _f16_bytes(d)
    return out.tobytes()


def quantize(x, ttype: int) -> bytes:
    """Rows of floats (last axis = ne0) -> the tensor bytes of `ttype`."""
    if ttype == GGML_F32:
        return np.asarray(x, dtype="<f4").tobytes()
    if ttype == GGML_F16:
        return np.asarray(x, dtype=F32).astype("<f2").tobytes()
    fn = {GGML_Q8_0: quantize_q8_0, GGML_Q4_K: quantize_q4_k,
          GGML_Q5_K: quantize_q5_k, GGML_Q6_K: quantize_q6_k}.get(ttype)
    if fn is None:
        raise ValueError(f"no quantizer for type {ttype}")
    return fn(x)


# -- reference decoders ---------------------------------------------------------------

def _f16_field(b: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(b).view("<f2").reshape(-1).astype(F32)


def unpack_scales(s: np.ndarray):
    """12 packed bytes per block -> (sc, m), each (n, 8) of 6-bit values."""
    s = s.astype(np.uint8)
    sc = np.empty((s.shape[0], 8), np.uint8)
    m = np.empty_like(sc)
    sc[:, 0:4] = s[:, 0:4] & 63
    m[:, 0:4] = s[:, 4:8] & 63
    sc[:, 4:8] = (s[:, 8:12] & 15) | ((s[:, 0:4] >> 6) << 4)
    m[:, 4:8] = (s[:, 8:12] >> 4) | ((s[:, 4:8] >> 6) << 4)
    return sc, m


def dequantize_q8_0(b: np.ndarray) -> np.ndarray:
    d = _f16_field(b[:, 0:2])
    qs = np.ascontiguousarray(b[:, 2:34]).view(np.int8).astype(F32)
    return d[:, None] * qs


def _dequantize_affine(d, dmin, s, q):
    sc, m = unpack_scales(s)
    ds = d[:, None] * sc.astype(F32)
    dm = dmin[:, None] * m.astype(F32)
    return ds[:, :, None] * q.reshape(-1, 8, 32).astype(F32) - dm[:, :, None]


def dequantize_q4_k(b: np.ndarray) -> np.ndarray:
    qs = b[:, 16:144].reshape(-1, 4, 32)
    q = np.stack([qs & 15, qs >> 4], axis=2)
    return _dequantize_affine(_f16_field(b[:, 0:2]), _f16_field(b[:, 2:4]), b[:, 4:16], q)


def dequantize_q5_k(b: np.ndarray) -> np.ndarray:
    qh = b[:, 16:48]
    qs = b[:, 48:176].reshape(-1, 4, 32)
    q = np.empty((b.shape[0], 4, 2, 32), np.uint8)
    for g in range(4):
        q[:, g, 0] = (qs[:, g] & 15) + (((qh >> (2 * g)) & 1) << 4)
        q[:, g, 1] = (qs[:, g] >> 4) + (((qh >> (2 * g + 1)) & 1) << 4)
    return _dequantize_affine(_f16_field(b[:, 0:2]), _f16_field(b[:, 2:4]), b[:, 4:16], q)


def dequantize_q6_k(b: np.ndarray) -> np.ndarray:
    n = b.shape[0]
    ql = b[:, 0:128].reshape(n, 2, 64)
    qh = b[:, 128:192].reshape(n, 2, 32)
    sc = np.ascontiguousarray(b[:, 192:208]).view(np.int8).astype(F32)
    d = _f16_field(b[:, 208:210])
    lo, hi = ql[:, :, 0:32], ql[:, :, 32:64]
    q = np.stack([(lo & 15) | ((qh & 3) << 4),
                  (hi & 15) | (((qh >> 2) & 3) << 4),
                  (lo >> 4) | (((qh >> 4) & 3) << 4),
                  (hi >> 4) | (((qh >> 6) & 3) << 4)], axis=2)
    q = q.astype(F32).reshape(n, 256) - F32(32)
    ds = d[:, None] * sc
    return np.repeat(ds, 16, axis=1) * q


def dequantize(data, ttype: int, ne0: int | None = None) -> np.ndarray:
    """Tensor bytes -> float32 values; shaped (rows, ne0) when ne0 is given."""
    buf = np.frombuffer(bytes(data) if not isinstance(data, (bytes, np.ndarray)) else data,
                        dtype=np.uint8)
    if ttype == GGML_F32:
        y = buf.view("<f4").astype(F32)
    elif ttype == GGML_F16:
        y = buf.view("<f2").astype(F32)
    else:
        fn = {GGML_Q8_0: dequantize_q8_0, GGML_Q4_K: dequantize_q4_k,
              GGML_Q5_K: dequantize_q5_k, GGML_Q6_K: dequantize_q6_k}.get(ttype)
        if fn is None:
            raise ValueError(f"no decoder for type {ttype}")
        nbytes = BLOCK_GEOMETRY[ttype][1]
        if buf.size % nbytes:
            raise ValueError(f"{TYPE_NAMES[ttype]}: {buf.size} bytes is not whole blocks")
        y = fn(buf.reshape(-1, nbytes)).reshape(-1)
    return y if ne0 is None else y.reshape(-1, ne0)

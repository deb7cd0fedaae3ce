#!/usr/bin/env python3
"""Broken and borderline variants of a qwen35 GGUF file, for loader tests.

    python tools/corrupt.py --all OUTDIR [SRC.gguf]    # one file per case + MANIFEST.tsv
    python tools/corrupt.py --case NAME OUT [SRC.gguf]
    python tools/corrupt.py --truncate N OUT [SRC.gguf]
    python tools/corrupt.py --list

Without SRC a tiny generated model (seed 1) is the source. Cases expect a
source shaped like the generator's output: several Gdn layers followed by an
attention layer, no general.alignment key. Each case carries the stage where
a correct loader should stop:
    ok        - the file is valid (borderline encodings that must be accepted)
    header    - parsing the header fails
    load      - the header parses, the model load fails
    tokenizer - building the tokenizer fails
    encode    - the tokenizer builds but encoding fails
    forward   - the model loads (eager) but the first forward pass fails
    open      - behaviour left to the implementer; it must not crash
"""

from __future__ import annotations

import argparse
import os
import re
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from gguf_writer import (ARRAY, FLOAT32, FLOAT64, INT32, STRING, UINT8,  # noqa: E402
                         UINT32, UINT64, KV, GGUFWriter, encode_string, read_gguf,
                         tensor_nbytes)

U64_MAX = (1 << 64) - 1


# -- helpers ---------------------------------------------------------------------------

def _set_kv(w: GGUFWriter, key, vtype, value, elem_type=None):
    """Replace the first entry with `key` in place (or append it)."""
    kv = w.find_kv(key)
    if kv is None:
        return w.add_kv(key, vtype, value, elem_type)
    kv.vtype, kv.value, kv.elem_type, kv.length = vtype, value, elem_type, None
    return kv


def _uint(w: GGUFWriter, key) -> int:
    return int(w.find_kv(key).value)


def _layers(w: GGUFWriter):
    """(first Gdn layer, first attention layer) by tensor names."""
    idx = {int(m.group(1)) for t in w.tensors
           if (m := re.match(r"blk\.(\d+)\.attn_q\.weight$", t.name))}
    gdn = min(int(m.group(1)) for t in w.tensors
              if (m := re.match(r"blk\.(\d+)\.attn_qkv\.weight$", t.name)))
    return gdn, min(idx)


def _reshape(w: GGUFWriter, name, dims, ttype=None):
    """New dims (and type) with the data cut or zero-padded to the new size."""
    t = w.find_tensor(name)
    t.dims = list(dims)
    if ttype is not None:
        t.ttype = ttype
    size = tensor_nbytes(t.dims, t.ttype) if t.dims else 0
    data = bytes(t.data or b"")
    t.data = data[:size] + b"\0" * max(0, size - len(data))
    t.nbytes = None


def _truncate(src: bytes, n: int) -> bytes:
    return src[:n]


def _header_parts(w: GGUFWriter):
    """Byte offsets: end of the fixed header, end of each kv, end of each tensor info."""
    pos = 24
    kv_ends = []
    for kv in w.kvs:
        pos += len(kv.to_bytes())
        kv_ends.append(pos)
    header, _, places = w.layout()
    info_ends = []
    for t, (p, _) in zip(w.tensors, places):
        pos += len(t.info_bytes(p))
        info_ends.append(pos)
    return kv_ends, info_ends, len(header)


def _mini(kv_count=None, tensor_count=None, kvs=(), tensors=0) -> bytes:
    """A ~100-byte file for count-bomb cases."""
    w = GGUFWriter(kv_count=kv_count, tensor_count=tensor_count)
    w.add_string("general.architecture", "qwen35")
    for k, t, v in kvs:
        w.add_kv(k, t, v)
    for i in range(tensors):
        w.add_tensor(f"t{i}", [8], 0, b"\0" * 32)
    return w.to_bytes()


# -- cases -----------------------------------------------------------------------------
# Each case: fn(w, src) -> bytes, where w is a fresh parse of src.

CASES = {}


def case(name, expect, doc):
    def deco(fn):
        CASES[name] = (expect, doc, fn)
        return fn
    return deco


def _kv_case(name, expect, doc, key, vtype, value, elem_type=None):
    def fn(w, src):
        _set_kv(w, key, vtype, value, elem_type)
        return w.to_bytes()
    case(name, expect, doc)(fn)


def _tensor_case(name, expect, doc, edit):
    def fn(w, src):
        edit(w)
        return w.to_bytes()
    case(name, expect, doc)(fn)


# Container framing.
case("empty", "header", "zero-byte file")(lambda w, s: b"")
case("truncated_magic", "header", "cut after two magic bytes")(lambda w, s: s[:2])
case("truncated_counts", "header", "cut inside the tensor count")(lambda w, s: s[:12])
case("bad_magic", "header", "magic GGUE")(lambda w, s: b"GGUE" + s[4:])
case("zip_magic", "header", "a zip archive's magic")(lambda w, s: b"PK\x03\x04" + s[4:])
case("version_0", "header", "version 0")(lambda w, s: s[:4] + struct.pack("<I", 0) + s[8:])
case("version_1", "header", "version 1")(lambda w, s: s[:4] + struct.pack("<I", 1) + s[8:])
case("version_2", "ok", "version 2, same layout")(lambda w, s: s[:4] + struct.pack("<I", 2) + s[8:])
case("version_99", "ok", "a future version, same layout")(
    lambda w, s: s[:4] + struct.pack("<I", 99) + s[8:])


@case("truncated_kv", "header", "cut in the middle of the second metadata entry")
def _(w, src):
    kv_ends, _, _ = _header_parts(w)
    return src[:(kv_ends[0] + kv_ends[1]) // 2]


@case("truncated_tokens", "header", "cut inside the token string array")
def _(w, src):
    kv_ends, _, _ = _header_parts(w)
    i = next(i for i, kv in enumerate(w.kvs) if kv.key == "tokenizer.ggml.tokens")
    return src[:(kv_ends[i - 1] + kv_ends[i]) // 2]


@case("truncated_tensor_info", "header", "cut in the middle of the tensor-info list")
def _(w, src):
    _, info_ends, _ = _header_parts(w)
    mid = len(info_ends) // 2
    return src[:(info_ends[mid - 1] + info_ends[mid]) // 2]


@case("truncated_at_data", "load", "header complete, tensor data missing")
def _(w, src):
    _, _, header_len = _header_parts(w)
    return src[:header_len]


@case("truncated_last_byte", "load", "last tensor ends one byte past the file")
def _(w, src):
    return src[:-1]


# Count, length and type bombs.
case("huge_kv_count", "header", "metadata count 2^60 in a ~100-byte file")(
    lambda w, s: _mini(kv_count=1 << 60, kvs=[("general.name", STRING, "x" * 16)]))
case("huge_tensor_count", "header", "tensor count 2^60 in a ~100-byte file")(
    lambda w, s: _mini(tensor_count=1 << 60, tensors=2))
case("max_kv_count", "header", "metadata count 2^64-1")(
    lambda w, s: _mini(kv_count=U64_MAX, kvs=[("general.name", STRING, "x" * 16)]))


@case("kv_count_plus_one", "header", "one metadata entry more than present")
def _(w, src):
    w.kv_count = len(w.kvs) + 1
    return w.to_bytes()


@case("huge_key_length", "header", "a key claiming 2^62 bytes")
def _(w, src):
    w.kvs.insert(1, KV(b"", -1, raw=struct.pack("<Q", 1 << 62) + b"general.x"))
    return w.to_bytes()


@case("huge_string_length", "header", "a string value claiming 2^62 bytes")
def _(w, src):
    w.find_kv("general.name").length = 1 << 62
    return w.to_bytes()


@case("huge_array_length", "header", "the token array claiming 2^60 strings")
def _(w, src):
    w.find_kv("tokenizer.ggml.tokens").length = 1 << 60
    return w.to_bytes()


@case("huge_int_array_length", "header", "a uint8 array claiming 2^61 elements")
def _(w, src):
    kv = w.add_array("general.junk", UINT8, [1, 2, 3])
    w.kvs.insert(1, w.kvs.pop())
    kv.length = 1 << 61
    return w.to_bytes()


@case("unknown_value_type", "header", "metadata value type id 13")
def _(w, src):
    raw = encode_string("general.odd") + struct.pack("<I", 13) + struct.pack("<I", 0)
    w.kvs.insert(1, KV(b"", -1, raw=raw))
    return w.to_bytes()


@case("unknown_array_elem_type", "header", "array element type id 13")
def _(w, src):
    raw = encode_string("general.odd") + struct.pack("<IIQ", ARRAY, 13, 1) + b"\0" * 8
    w.kvs.insert(1, KV(b"", -1, raw=raw))
    return w.to_bytes()


_kv_case("array_of_arrays", "header", "an array whose elements are arrays",
         "general.nested", ARRAY, [(UINT32, [1, 2]), (UINT32, [3])], ARRAY)
_kv_case("float32_array", "header", "tokenizer.ggml.scores as a float32 array",
         "tokenizer.ggml.scores", ARRAY, [0.0, -1.0, -2.0], FLOAT32)
_kv_case("float64_array", "header", "a float64 array",
         "general.values", ARRAY, [0.5, 1.5], FLOAT64)
_kv_case("empty_float32_array", "header", "an empty float32 array is still a float array",
         "general.values", ARRAY, [], FLOAT32)


# Strings.
_kv_case("bad_utf8_value", "header", "general.name holding an invalid byte",
         "general.name", STRING, b"syn\xffthetic")
_kv_case("bad_utf8_incomplete", "header", "general.name ending inside a 3-byte sequence",
         "general.name", STRING, b"abc\xe2\x82")


@case("bad_utf8_key", "header", "a key with an invalid byte")
def _(w, src):
    w.kvs[1].key = b"general.\xc0name"
    return w.to_bytes()


@case("bad_utf8_tensor_name", "header", "a tensor name with an invalid byte")
def _(w, src):
    w.tensors[-1].name = b"output_norm.\xffweight"
    return w.to_bytes()


# Alignment.
_kv_case("alignment_0", "header", "general.alignment = 0 (uint32)",
         "general.alignment", UINT32, 0)


def _aligned(w, vtype, value):
    _set_kv(w, "general.alignment", vtype, value)
    w.kvs.insert(1, w.kvs.pop())
    return w.to_bytes()


case("alignment_64", "ok", "general.alignment uint32 64, data padded to 64")(
    lambda w, s: _aligned(w, UINT32, 64))
case("alignment_48", "ok", "general.alignment uint32 48 (not a power of two)")(
    lambda w, s: _aligned(w, UINT32, 48))
case("alignment_uint64_128", "ok", "general.alignment uint64 128")(
    lambda w, s: _aligned(w, UINT64, 128))
case("alignment_int32", "ok", "general.alignment int32 64 is ignored; data stays at 32")(
    lambda w, s: _aligned(w, INT32, 64))


@case("alignment_duplicate", "ok", "general.alignment twice; the last unsigned one (64) wins")
def _(w, src):
    w.add_uint32("general.alignment", 128)
    w.add_uint32("general.alignment", 64)
    w.kvs.insert(1, w.kvs.pop())
    w.kvs.insert(1, w.kvs.pop())
    return w.to_bytes()


# Tensor infos.
@case("n_dims_5", "header", "a tensor info with 5 dims")
def _(w, src):
    t = w.find_tensor("output_norm.weight")
    t.dims = t.dims + [1, 1, 1, 1]
    return w.to_bytes()


@case("tensor_offset_out_of_file", "load", "last tensor's offset far beyond the file")
def _(w, src):
    w.tensors[-1].offset = len(src) * 4
    return w.to_bytes()


@case("tensor_end_past_file", "load", "last tensor's offset one byte later than its data")
def _(w, src):
    _, _, places = w.layout()
    w.tensors[-1].offset = places[-1][0] + 1
    return w.to_bytes()


@case("overlapping_tensors", "ok", "blk.0.ffn_up reads ffn_gate's bytes (same shape and type)")
def _(w, src):
    _, _, places = w.layout()
    pos = {t.name: p for t, (p, _) in zip(w.tensors, places)}
    w.find_tensor("blk.0.ffn_up.weight").offset = pos["blk.0.ffn_gate.weight"]
    return w.to_bytes()


@case("offset_overflow", "load", "a tensor offset near 2^64")
def _(w, src):
    w.tensors[-1].offset = U64_MAX - 15
    return w.to_bytes()


@case("size_overflow", "load", "dims whose byte size overflows 64 bits")
def _(w, src):
    t = w.find_tensor("blk.0.ffn_up.weight")
    t.dims = [t.dims[0], 1 << 62]
    return w.to_bytes()


_tensor_case("tensor_0_dims", "load", "output_norm.weight with no dims",
             lambda w: _reshape(w, "output_norm.weight", []))
_tensor_case("tensor_ne0_zero", "load", "output_norm.weight with dims [0]",
             lambda w: _reshape(w, "output_norm.weight", [0]))
_tensor_case("matrix_ne0_zero", "load", "blk.0.ffn_up.weight with ne0 = 0",
             lambda w: _reshape(w, "blk.0.ffn_up.weight",
                                [0, w.find_tensor("blk.0.ffn_up.weight").dims[1]]))


@case("tensor_3d", "open", "blk.0.ffn_up.weight as [ne0, ne1/2, 2] (same bytes)")
def _(w, src):
    t = w.find_tensor("blk.0.ffn_up.weight")
    t.dims = [t.dims[0], t.dims[1] // 2, 2]
    return w.to_bytes()


@case("type_q4_0", "load", "a matrix tagged Q4_0 (named but unusable)")
def _(w, src):
    w.find_tensor("blk.0.ffn_up.weight").ttype = 2
    return w.to_bytes()


@case("type_unknown_4", "load", "a matrix tagged with the unnamed id 4")
def _(w, src):
    w.find_tensor("blk.0.ffn_up.weight").ttype = 4
    return w.to_bytes()


@case("type_bf16", "load", "a matrix tagged BF16")
def _(w, src):
    w.find_tensor("blk.0.ffn_up.weight").ttype = 30
    return w.to_bytes()


@case("q8_0_bad_ne0", "load", "ssm_a of layer 0 as Q8_0 with ne0 not a multiple of 32")
def _(w, src):
    t = w.find_tensor("blk.0.ssm_a")
    t.ttype = 8
    t.data = b"\0" * 34
    return w.to_bytes()


@case("kquant_bad_ne0", "load", "ssm_conv1d of layer 0 as Q4_K with ne0 = conv kernel")
def _(w, src):
    t = w.find_tensor("blk.0.ssm_conv1d.weight")
    t.ttype = 12
    t.data = b"\0" * 144 * t.dims[1]
    return w.to_bytes()


# Model configuration.
_kv_case("arch_llama", "load", "general.architecture = llama",
         "general.architecture", STRING, "llama")
_kv_case("arch_int", "load", "general.architecture stored as uint32",
         "general.architecture", UINT32, 35)
_kv_case("block_count_string", "load", "block_count stored as a string",
         "qwen35.block_count", STRING, "4")
_kv_case("block_count_negative", "load", "block_count stored as int32 -1",
         "qwen35.block_count", INT32, -1)
_kv_case("freq_base_f64", "load", "rope.freq_base stored as float64",
         "qwen35.rope.freq_base", FLOAT64, 1e7)
_kv_case("eps_f64", "load", "layer_norm_rms_epsilon stored as float64",
         "qwen35.attention.layer_norm_rms_epsilon", FLOAT64, 1e-6)
_kv_case("expert_count", "load", "expert_count present (0)",
         "qwen35.expert_count", UINT32, 0)
_kv_case("interval_0", "load", "full_attention_interval = 0",
         "qwen35.full_attention_interval", UINT32, 0)
_kv_case("hk_zero", "load", "ssm.group_count = 0", "qwen35.ssm.group_count", UINT32, 0)
_kv_case("conv_kernel_1", "forward", "ssm.conv_kernel = 1 (and conv weights of 4 taps)",
         "qwen35.ssm.conv_kernel", UINT32, 1)


@case("block_count_int32", "ok", "block_count stored as int32 (accepted)")
def _(w, src):
    _set_kv(w, "qwen35.block_count", INT32, _uint(w, "qwen35.block_count"))
    return w.to_bytes()


@case("duplicate_block_count", "ok", "block_count twice; the first (correct) one wins")
def _(w, src):
    w.add_uint32("qwen35.block_count", _uint(w, "qwen35.block_count") + 7)
    return w.to_bytes()


@case("nextn_gt_block_count", "load", "nextn_predict_layers larger than block_count")
def _(w, src):
    _set_kv(w, "qwen35.nextn_predict_layers", UINT32, _uint(w, "qwen35.block_count") + 1)
    return w.to_bytes()


@case("interval_mismatch", "load", "interval one less than the tensor names say")
def _(w, src):
    _set_kv(w, "qwen35.full_attention_interval", UINT32,
            _uint(w, "qwen35.full_attention_interval") - 1)
    return w.to_bytes()


@case("hk_not_divisor", "load", "Hv not divisible by Hk")
def _(w, src):
    _set_kv(w, "qwen35.ssm.group_count", UINT32, _uint(w, "qwen35.ssm.time_step_rank") + 1)
    return w.to_bytes()


@case("inner_size_wrong", "load", "ssm.inner_size != Hv*d")
def _(w, src):
    _set_kv(w, "qwen35.ssm.inner_size", UINT32, _uint(w, "qwen35.ssm.inner_size") + 1)
    return w.to_bytes()


@case("embedding_length_missing", "load", "no embedding_length key")
def _(w, src):
    w.remove_kv("qwen35.embedding_length")
    return w.to_bytes()


def _drop(name_fn, expect, doc, case_name):
    def fn(w, src):
        w.remove_tensor(name_fn(w))
        return w.to_bytes()
    case(case_name, expect, doc)(fn)


_drop(lambda w: f"blk.{_layers(w)[1]}.attn_q.weight", "load",
      "first attention layer lacks attn_q (schedule mismatch)", "missing_attn_q")
_drop(lambda w: "token_embd.weight", "load", "no token_embd.weight", "missing_token_embd")
_drop(lambda w: "output_norm.weight", "forward", "no output_norm.weight", "missing_output_norm")
_drop(lambda w: "blk.0.ffn_down.weight", "forward", "layer 0 lacks ffn_down", "missing_ffn_down")
_drop(lambda w: f"blk.{_layers(w)[0]}.ssm_a", "forward", "first Gdn layer lacks ssm_a",
      "missing_ssm_a")


@case("qkv_wrong_shape", "load", "first Gdn layer's attn_qkv has 64 rows too few")
def _(w, src):
    name = f"blk.{_layers(w)[0]}.attn_qkv.weight"
    d = w.find_tensor(name).dims
    _reshape(w, name, [d[0], d[1] - 64])
    return w.to_bytes()


@case("alpha_wrong_shape", "load", "first Gdn layer's ssm_alpha has one row too many")
def _(w, src):
    name = f"blk.{_layers(w)[0]}.ssm_alpha.weight"
    d = w.find_tensor(name).dims
    _reshape(w, name, [d[0], d[1] + 1])
    return w.to_bytes()


@case("embd_dims_mismatch", "load", "token_embd as [2*hidden, rows/2] (same bytes)")
def _(w, src):
    t = w.find_tensor("token_embd.weight")
    t.dims = [t.dims[0] * 2, t.dims[1] // 2]
    return w.to_bytes()


@case("second_gdn_qkv_wrong_shape", "forward",
      "a later Gdn layer's attn_qkv misshaped (not checked at load; fails in forward)")
def _(w, src):
    gdn = sorted(int(m.group(1)) for t in w.tensors
                 if (m := re.match(r"blk\.(\d+)\.attn_qkv\.weight$", t.name)))
    name = f"blk.{gdn[1]}.attn_qkv.weight"
    d = w.find_tensor(name).dims
    _reshape(w, name, [d[0], d[1] - 64])
    return w.to_bytes()


# Tokenizer.
_kv_case("tokenizer_llama", "tokenizer", "tokenizer.ggml.model = llama",
         "tokenizer.ggml.model", STRING, "llama")
_kv_case("tokens_int_array", "tokenizer", "tokenizer.ggml.tokens as an int32 array",
         "tokenizer.ggml.tokens", ARRAY, [1, 2, 3], INT32)
_kv_case("empty_vocab", "tokenizer", "an empty token array",
         "tokenizer.ggml.tokens", ARRAY, [], STRING)
_kv_case("eos_int32", "ok", "eos_token_id as int32 (ignored: no stop token)",
         "tokenizer.ggml.eos_token_id", INT32, 5)
_kv_case("top_k_int32", "ok", "general.sampling.top_k as int32 (ignored: default 20)",
         "general.sampling.top_k", INT32, 7)
_kv_case("sampling_temp_f64", "ok", "general.sampling.temp as float64 (ignored: default)",
         "general.sampling.temp", FLOAT64, 0.25)


@case("tokens_missing", "tokenizer", "no tokenizer.ggml.tokens")
def _(w, src):
    w.remove_kv("tokenizer.ggml.tokens")
    return w.to_bytes()


@case("merges_missing", "encode", "no merges: decode works, encode fails")
def _(w, src):
    w.remove_kv("tokenizer.ggml.merges")
    return w.to_bytes()


@case("eos_missing", "ok", "no eos_token_id")
def _(w, src):
    w.remove_kv("tokenizer.ggml.eos_token_id")
    return w.to_bytes()


# -- driver ------------------------------------------------------------------------------

def default_source() -> bytes:
    from gen_model import build_writer
    w, _ = build_writer(preset="tiny", seed=1, types="q8_0")
    return w.to_bytes()


def make_case(name: str, src: bytes) -> bytes:
    _, _, fn = CASES[name]
    return fn(read_gguf(src), src)


def write_all(outdir, src: bytes) -> list:
    os.makedirs(outdir, exist_ok=True)
    rows = []
    for name, (expect, doc, _) in CASES.items():
        path = os.path.join(outdir, name + ".gguf")
        with open(path, "wb") as f:
            f.write(make_case(name, src))
        rows.append(f"{name}\t{expect}\t{doc}")
    with open(os.path.join(outdir, "MANIFEST.tsv"), "w") as f:
        f.write("case\texpect\tdescription\n" + "\n".join(rows) + "\n")
    return rows


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = ap.add_mutually_exclusive_group(required=True)
    mode.add_argument("--all", metavar="OUTDIR")
    mode.add_argument("--case", nargs=2, metavar=("NAME", "OUT"))
    mode.add_argument("--truncate", nargs=2, metavar=("N", "OUT"))
    mode.add_argument("--list", action="store_true")
    ap.add_argument("src", nargs="?", help="valid source file (default: generated tiny model)")
    a = ap.parse_args(argv)
    if a.list:
        for name, (expect, doc, _) in CASES.items():
            print(f"{name:28s} {expect:9s} {doc}")
        return 0
    if a.src:
        with open(a.src, "rb") as f:
            src = f.read()
    else:
        src = default_source()
    if a.all:
        rows = write_all(a.all, src)
        print(f"wrote {len(rows)} cases to {a.all}", file=sys.stderr)
    elif a.case:
        name, out = a.case
        if name not in CASES:
            raise SystemExit(f"unknown case {name!r}; see --list")
        with open(out, "wb") as f:
            f.write(make_case(name, src))
    else:
        n, out = int(a.truncate[0]), a.truncate[1]
        with open(out, "wb") as f:
            f.write(_truncate(src, n))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Tests of the synthetic model tooling: GGUF writer, quantizers, generator, corruptor."""

import os
import struct
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))

import corrupt  # noqa: E402
import gen_model  # noqa: E402
import quants  # noqa: E402
from gguf_writer import (ARRAY, FLOAT32, INT32, STRING, UINT32,  # noqa: E402
                         GGUFWriter, read_gguf)

Q8_0, Q4_K, Q5_K, Q6_K, F16, F32 = 8, 12, 13, 14, 1, 0


# -- an independent header parser ------------------------------------------------------

class ParseError(Exception):
    pass


_SCALAR = {0: "<B", 1: "<b", 2: "<H", 3: "<h", 4: "<I", 5: "<i", 6: "<f", 7: "<B",
           10: "<Q", 11: "<q", 12: "<d"}


def parse(buf: bytes) -> dict:
    """Header walk with the container's acceptance rules (not the generator's reader)."""
    pos = 0

    def take(n):
        nonlocal pos
        if n > len(buf) - pos:
            raise ParseError("eof")
        pos += n
        return buf[pos - n:pos]

    def unpack(fmt):
        return struct.unpack(fmt, take(struct.calcsize(fmt)))[0]

    def string():
        try:
            return take(unpack("<Q")).decode("utf-8")
        except UnicodeDecodeError as e:
            raise ParseError("utf8") from e

    def value(t):
        if t in _SCALAR:
            return unpack(_SCALAR[t])
        if t == 8:
            return string()
        if t != 9:
            raise ParseError(f"type {t}")
        et, n = unpack("<I"), unpack("<Q")
        if et > 12 or et == 9 or et in (6, 12):
            raise ParseError(f"array of {et}")
        if n * (8 if et == 8 else struct.calcsize(_SCALAR[et])) > len(buf) - pos:
            raise ParseError("array too long")
        return (et, [value(et) for _ in range(n)])

    if take(4) != b"GGUF":
        raise ParseError("magic")
    version = unpack("<I")
    if version < 2:
        raise ParseError("version")
    n_tensors, n_kv = unpack("<Q"), unpack("<Q")
    kvs, align = [], 32
    for _ in range(n_kv):
        key, t = string(), unpack("<I")
        v = value(t)
        kvs.append((key, t, v))
        if key == "general.alignment" and t in (0, 2, 4, 10):
            align = v
    tensors = []
    for _ in range(n_tensors):
        name, nd = string(), unpack("<I")
        if nd > 4:
            raise ParseError("n_dims")
        dims = [unpack("<Q") for _ in range(nd)]
        tensors.append((name, dims, unpack("<I"), unpack("<Q")))
    if align == 0:
        raise ParseError("alignment 0")
    return {"version": version, "kvs": kvs, "meta": {k: (t, v) for k, t, v in reversed(kvs)},
            "tensors": tensors, "data_offset": -(-pos // align) * align, "alignment": align}


def nbytes(dims, ttype):
    per, size = {F32: (1, 4), F16: (1, 2), Q8_0: (32, 34), Q4_K: (256, 144),
                 Q5_K: (256, 176), Q6_K: (256, 210)}[ttype]
    return int(np.prod(dims[1:], dtype=np.int64)) * dims[0] // per * size


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    path = tmp_path_factory.mktemp("gen") / "tiny.gguf"
    info = gen_model.write_model(path, preset="tiny", seed=1)
    return info, path.read_bytes()


# -- quantizers --------------------------------------------------------------------------

@pytest.mark.parametrize("ttype,rel_rms", [(F16, 1e-3), (Q8_0, 0.01), (Q6_K, 0.03),
                                           (Q5_K, 0.06), (Q4_K, 0.12)])
def test_quantize_round_trip_is_close(ttype, rel_rms):
    rng = np.random.default_rng(5)
    x = rng.standard_normal((64, 512), dtype=np.float32) * 0.05
    x[3] = 0.0                      # an all-zero row must decode to zeros
    x[7] = np.abs(x[7])             # rows without negatives exercise the K-quant minimum
    y = quants.dequantize(quants.quantize(x, ttype), ttype, 512)
    assert y.shape == x.shape
    assert np.all(y[3] == 0)
    err = np.sqrt(np.mean((x - y) ** 2)) / np.sqrt(np.mean(x ** 2))
    assert err < rel_rms
    assert np.sqrt(np.mean((x[7] - y[7]) ** 2)) / np.sqrt(np.mean(x[7] ** 2)) < rel_rms * 1.5


@pytest.mark.parametrize("ttype,block", [(Q8_0, 34), (Q4_K, 144), (Q5_K, 176), (Q6_K, 210)])
def test_quantized_sizes(ttype, block):
    per = 32 if ttype == Q8_0 else 256
    assert len(quants.quantize(np.ones((3, 2 * per), np.float32), ttype)) == 3 * 2 * block
    with pytest.raises(ValueError):
        quants.quantize(np.ones((1, per + 16), np.float32), ttype)


def test_q8_0_hand_block():
    blk = struct.pack("<e", 1.0) + bytes([0x80] + [0x01] * 31)   # qs[0] = -128, rest 1
    y = quants.dequantize(blk, Q8_0)
    assert y[0] == -128.0 and np.all(y[1:] == 1.0)


def test_q6_k_zero_codes_give_minus_32_d_sc():
    scales = np.arange(-8, 8, dtype=np.int8)
    blk = bytes(192) + scales.tobytes() + struct.pack("<e", 0.5)
    y = quants.dequantize(blk, Q6_K)
    assert np.array_equal(y, np.repeat(-32 * 0.5 * scales.astype(np.float32), 16))


def test_scale_packing_round_trip():
    rng = np.random.default_rng(0)
    sc, m = (rng.integers(0, 64, (50, 8)).astype(np.uint8) for _ in range(2))
    got_sc, got_m = quants.unpack_scales(quants._pack_scales(sc, m))
    assert np.array_equal(got_sc, sc) and np.array_equal(got_m, m)


def _scalar_kquant(b, ttype):
    """One block decoded value by value from the written-out formulas."""
    f16 = lambda o: np.float32(np.frombuffer(b[o:o + 2], "<f2")[0])  # noqa: E731
    y = np.zeros(256, np.float32)
    if ttype == Q6_K:
        d = f16(208)
        for h in range(2):
            ql, qh = b[64 * h:], b[128 + 32 * h:]
            sc = np.frombuffer(b[192 + 8 * h:200 + 8 * h], np.int8)
            for l in range(32):
                i = l // 16
                Q = qh[l]
                vals = [(ql[l] & 15) | ((Q & 3) << 4),
                        (ql[l + 32] & 15) | (((Q >> 2) & 3) << 4),
                        (ql[l] >> 4) | (((Q >> 4) & 3) << 4),
                        (ql[l + 32] >> 4) | (((Q >> 6) & 3) << 4)]
                for k, q in enumerate(vals):
                    y[128 * h + l + 32 * k] = d * np.float32(sc[i + 2 * k]) * np.float32(q - 32)
        return y
    d, dmin, s = f16(0), f16(2), b[4:16]

    def scm(j):
        if j < 4:
            return s[j] & 63, s[j + 4] & 63
        return (s[j + 4] & 15) | ((s[j - 4] >> 6) << 4), (s[j + 4] >> 4) | ((s[j] >> 6) << 4)
    qs = b[16:] if ttype == Q4_K else b[48:]
    for g in range(4):
        for half in range(2):
            sc, m = scm(2 * g + half)
            ds, dm = d * np.float32(sc), dmin * np.float32(m)
            for l in range(32):
                q = (qs[32 * g + l] >> 4) if half else (qs[32 * g + l] & 15)
                if ttype == Q5_K and b[16 + l] & (1 << (2 * g + half)):
                    q += 16
                y[64 * g + 32 * half + l] = ds * np.float32(q) - dm
    return y


@pytest.mark.parametrize("ttype,size", [(Q4_K, 144), (Q5_K, 176), (Q6_K, 210)])
def test_decoder_matches_scalar_formulas_bit_for_bit(ttype, size):
    rng = np.random.default_rng(ttype)
    for _ in range(4):
        b = bytearray(rng.integers(0, 256, size, dtype=np.uint8).tobytes())
        # Finite half-precision scales of either sign.
        d_at = [208] if ttype == Q6_K else [0, 2]
        for o in d_at:
            b[o:o + 2] = struct.pack("<e", rng.uniform(-0.1, 0.1))
        b = bytes(b)
        assert np.array_equal(quants.dequantize(b, ttype), _scalar_kquant(b, ttype))


# -- writer ------------------------------------------------------------------------------

def test_writer_metadata_kinds_and_overrides():
    w = GGUFWriter(version=7, tensor_count=99)
    w.add_uint8("a", 200)
    w.add_int64("b", -3)
    w.add_bool("c", True)
    w.add_float64("d", 0.5)
    w.add_array("e", INT32, [-1, 2])
    w.add_string_array("f", ["x", "yz"])
    w.add_kv("g", ARRAY, [(UINT32, [1]), (UINT32, [])], ARRAY)
    w.add_tensor("t", [32, 2], Q8_0, bytes(68), offset=1 << 40)
    buf = w.to_bytes()
    assert struct.unpack_from("<IQQ", buf, 4) == (7, 99, 7)
    w.tensor_count = None
    with pytest.raises(ParseError, match="array of 9"):
        parse(w.to_bytes())
    w.kvs.pop()
    h = parse(w.to_bytes())
    assert h["meta"]["e"] == (ARRAY, (INT32, [-1, 2]))
    assert h["meta"]["f"] == (ARRAY, (STRING, ["x", "yz"]))
    assert [h["meta"][k][1] for k in "abcd"] == [200, -3, 1, 0.5]
    assert h["tensors"] == [("t", [32, 2], Q8_0, 1 << 40)]


def test_writer_alignment_follows_unsigned_general_alignment():
    for vtype, value, expect in [(UINT32, 64, 64), (INT32, 64, 32), (UINT32, 48, 48)]:
        w = GGUFWriter()
        w.add_kv("general.alignment", vtype, value)
        w.add_tensor("a", [3], F32, bytes(12))
        w.add_tensor("b", [1], F32, bytes(4))
        buf = w.to_bytes()
        h = parse(buf)
        assert h["data_offset"] % expect == 0 and h["tensors"][1][3] == expect
        assert len(buf) == h["data_offset"] + expect + 4


def test_reader_round_trip_is_identical(tiny):
    _, buf = tiny
    assert read_gguf(buf).to_bytes() == buf


# -- generator ---------------------------------------------------------------------------

def test_generation_is_deterministic(tmp_path, tiny):
    _, buf = tiny
    gen_model.write_model(tmp_path / "a.gguf", preset="tiny", seed=1)
    gen_model.write_model(tmp_path / "b.gguf", preset="tiny", seed=2)
    assert (tmp_path / "a.gguf").read_bytes() == buf
    assert (tmp_path / "b.gguf").read_bytes() != buf


def test_tiny_file_structure(tiny):
    info, buf = tiny
    h = parse(buf)
    assert h["version"] == 3
    assert [t[0] for t in h["tensors"]] == [t[0] for t in info.tensors]
    end = h["data_offset"]
    for name, dims, ttype, off in h["tensors"]:
        assert off % 32 == 0
        start = h["data_offset"] + off
        assert start >= end, name              # in order, no overlap
        end = start + nbytes(dims, ttype)
    assert end == len(buf)
    m = h["meta"]
    g = info.geometry
    expect_u32 = {"block_count": 4, "embedding_length": 256, "feed_forward_length": 512,
                  "attention.head_count": 2, "attention.head_count_kv": 1,
                  "attention.key_length": 128, "attention.value_length": 128,
                  "rope.dimension_count": 32, "ssm.conv_kernel": 4, "ssm.state_size": 64,
                  "ssm.group_count": 2, "ssm.time_step_rank": 4, "ssm.inner_size": 256,
                  "full_attention_interval": 4, "context_length": g.context}
    for key, v in expect_u32.items():
        assert m["qwen35." + key] == (UINT32, v), key
    assert m["qwen35.rope.freq_base"] == (FLOAT32, 1e7)
    assert m["qwen35.attention.layer_norm_rms_epsilon"] == (FLOAT32, np.float32(1e-6))
    assert m["qwen35.rope.dimension_sections"] == (ARRAY, (INT32, [11, 11, 10, 0]))
    assert m["general.architecture"] == (STRING, "qwen35")
    assert m["tokenizer.ggml.model"] == (STRING, "gpt2")
    assert "qwen35.nextn_predict_layers" not in m
    assert "output.weight" not in {t[0] for t in h["tensors"]}


def test_tiny_layer_schedule_and_shapes(tiny):
    info, _ = tiny
    dims = {n: d for n, d, _ in info.tensors}
    assert [f"blk.{i}.attn_q.weight" in dims for i in range(4)] == [False, False, False, True]
    assert dims["blk.0.attn_qkv.weight"] == [256, (2 * 2 + 4) * 64]
    assert dims["blk.0.ssm_conv1d.weight"] == [4, 512]
    assert dims["blk.0.ssm_alpha.weight"] == [256, 4]
    assert dims["blk.3.attn_q.weight"] == [256, 2 * 2 * 128]
    assert dims["blk.3.attn_output.weight"] == [256, 256]
    assert dims["token_embd.weight"] == [256, info.vocab_rows]
    types = {t for n, _, t in info.tensors if n.endswith(("norm.weight", "ssm_a", "bias"))}
    assert types == {"F32"}


def test_draft_block(tmp_path):
    info = gen_model.write_model(tmp_path / "d.gguf", preset="tiny", draft=True, tied=False)
    h = parse((tmp_path / "d.gguf").read_bytes())
    assert h["meta"]["qwen35.block_count"] == (UINT32, 5)
    assert h["meta"]["qwen35.nextn_predict_layers"] == (UINT32, 1)
    draft = {n[len("blk.4."):]: d for n, d, _ in info.tensors if n.startswith("blk.4.")}
    assert set(draft) == {
        "nextn.enorm.weight", "nextn.hnorm.weight", "nextn.eh_proj.weight",
        "nextn.shared_head_norm.weight", "attn_norm.weight", "attn_q.weight", "attn_k.weight",
        "attn_v.weight", "attn_q_norm.weight", "attn_k_norm.weight", "attn_output.weight",
        "post_attention_norm.weight", "ffn_gate.weight", "ffn_up.weight", "ffn_down.weight"}
    assert draft["nextn.eh_proj.weight"] == [512, 256]
    assert dict((n, d) for n, d, _ in info.tensors)["output.weight"] == [256, info.vocab_rows]


def _types(plan):
    return {t.name: t.type_name for t in plan}


@pytest.mark.parametrize("policy,matrix_types", [
    ("f32", {"F32"}), ("f16", {"F16"}), ("q8_0", {"Q8_0"}),
    ("q4k", {"Q4_K"}), ("q5k", {"Q5_K"}), ("q6k", {"Q6_K"}),
    ("q4k-mix", {"Q4_K", "Q5_K", "Q6_K"}),
])
def test_type_policies(policy, matrix_types):
    types = _types(gen_model.model_plan("tiny", types=policy, draft=True, tied=False))
    big = {n: t for n, t in types.items()
           if n.endswith(".weight") and "norm" not in n and "conv1d" not in n
           and "ssm_alpha" not in n and "ssm_beta" not in n}
    assert set(big.values()) == matrix_types
    assert types["blk.0.ssm_conv1d.weight"] == "F32" and types["blk.0.ssm_a"] == "F32"
    if policy == "q4k-mix":
        assert types["output.weight"] == "Q6_K" and types["blk.3.attn_v.weight"] == "Q6_K"


@pytest.mark.parametrize("ffn,expect", [(512, "Q4_K"), (320, "Q8_0"), (272, "F32")])
def test_kquant_fallback_for_short_rows(ffn, expect):
    types = _types(gen_model.model_plan("tiny", types="q4k", ffn=ffn))
    assert types["blk.0.ffn_down.weight"] == expect
    assert types["blk.0.ffn_up.weight"] == "Q4_K"


def test_type_override_pattern():
    types = _types(gen_model.model_plan("tiny", types="q8_0",
                                        type_overrides={"blk.*.ffn_down.weight": "F16"}))
    assert {t for n, t in types.items() if n.endswith("ffn_down.weight")} == {"F16"}
    with pytest.raises(ValueError):
        gen_model.model_plan("tiny", type_overrides={"nope.*": "F16"})


@pytest.mark.parametrize("preset,hidden,layers,ffn,heads,kv,hv,tied", [
    ("0.8b", 1024, 24, 3584, 8, 2, 16, True),
    ("2b", 2048, 24, 6144, 8, 2, 16, False),
    ("4b", 2560, 32, 9216, 16, 4, 32, False),
    ("9b", 4096, 32, 12288, 16, 4, 32, False),
    ("27b", 5120, 64, 17408, 24, 4, 48, False),
])
def test_real_presets(preset, hidden, layers, ffn, heads, kv, hv, tied):
    g = gen_model.resolve_geometry(preset)
    assert (g.hidden, g.layers, g.ffn, g.heads, g.kv_heads, g.ssm_hv, g.tied) == \
        (hidden, layers, ffn, heads, kv, hv, tied)
    assert (g.head_dim, g.rope_dim, g.ssm_d, g.ssm_hk, g.vocab_rows) == (256, 64, 128, 16, 248320)
    plan = gen_model.model_plan(preset, types="q4k-mix")
    dims = {t.name: t.dims for t in plan}
    attn = [i for i in range(layers) if f"blk.{i}.attn_q.weight" in dims]
    assert attn == list(range(3, layers, 4))
    assert dims["blk.0.attn_qkv.weight"] == [hidden, (32 + hv) * 128]
    assert dims["blk.3.attn_q.weight"] == [hidden, 2 * heads * 256]
    assert ("output.weight" in dims) == (not tied)
    assert all(t.type_name != "F32" for t in plan if t.role not in ("vector", "ssm_ab"))


def test_synthetic_vocab_is_padded_and_encodes(tiny):
    info, buf = tiny
    m = parse(buf)["meta"]
    tokens = m["tokenizer.ggml.tokens"][1][1]
    merges = m["tokenizer.ggml.merges"][1][1]
    assert len(tokens) == info.vocab_rows == 512 > info.vocab_size
    assert len(set(tokens)) == len(tokens)
    assert len(m["tokenizer.ggml.token_type"][1][1]) == len(tokens)
    assert m["tokenizer.ggml.eos_token_id"] == (UINT32, tokens.index("<|im_end|>"))
    for marker in ("<|endoftext|>", "<|im_start|>"):
        assert marker in tokens[:info.vocab_size]
    assert all(t.startswith("<|filler_") for t in tokens[info.vocab_size:])
    # Greedy BPE by rank must land on vocabulary entries and merge whole common words.
    b2u = gen_model.bytes_to_unicode()
    assert len(set(b2u.values())) == 256 and b2u[0x20] == "\u0120" and b2u[0x0A] == "\u010a"
    rank = {mline: i for i, mline in enumerate(merges)}
    for word in (" the", "Hello", " world", "user", "assistant"):
        syms = [b2u[b] for b in word.encode()]
        while True:
            pairs = [(rank.get(f"{a} {b}"), i) for i, (a, b) in enumerate(zip(syms, syms[1:]))]
            pairs = [p for p in pairs if p[0] is not None]
            if not pairs:
                break
            _, i = min(pairs)
            syms[i:i + 2] = [syms[i] + syms[i + 1]]
        assert syms == [word.replace(" ", "\u0120")]


def test_vocab_rows_below_vocab_size_is_refused():
    with pytest.raises(ValueError, match="vocab rows"):
        gen_model.build_vocab("synthetic", rows=300)


@pytest.mark.skipif(not os.path.exists(gen_model.QWEN3_VOCAB), reason="no qwen3 vocabulary")
def test_qwen3_vocab_padding():
    v = gen_model.build_vocab("qwen3", rows=248320)
    assert len(v.tokens) == 248320 and v.size == 151669
    assert v.tokens[v.eos_id] == "<|im_end|>" and v.eos_id == 151645
    assert v.tokens[151669] not in v.tokens[:151669]


def test_override_tensor_round_trips_exactly(tmp_path):
    rng = np.random.default_rng(1)
    q = rng.integers(-127, 128, (512, 256)).astype(np.float32)
    q[:, ::32] = 127                       # every block scale is exactly 1
    info = gen_model.write_model(tmp_path / "o.gguf", preset="tiny",
                                 override_tensors={"blk.0.ffn_up.weight": q})
    w = read_gguf((tmp_path / "o.gguf").read_bytes())
    t = w.find_tensor("blk.0.ffn_up.weight")
    assert np.array_equal(quants.dequantize(t.data, t.ttype, 256), q)
    with pytest.raises(ValueError):
        gen_model.write_model(tmp_path / "x.gguf", override_tensors={"blk.0.nope": q})
    assert info.tensors[0][0] == "token_embd.weight"


def test_values_depend_only_on_seed_and_name():
    tspec = next(t for t in gen_model.model_plan("tiny") if t.name == "blk.0.ffn_gate.weight")
    x = gen_model.tensor_values(tspec, seed=1)
    for policy, ttype in (("f32", F32), ("q8_0", Q8_0)):
        w, _ = gen_model.build_writer(preset="tiny", seed=1, types=policy, draft=True)
        y = quants.dequantize(read_gguf(w.to_bytes()).find_tensor(tspec.name).data, ttype, 256)
        assert np.abs(x - y).max() <= np.abs(x).max() / 127 * (ttype == Q8_0)


def test_cli_options(tmp_path):
    out = tmp_path / "c.gguf"
    gen_model.main([str(out), "--layers", "8", "--interval", "2", "--untied", "--draft",
                    "--sampling", "--top-k", "5", "--top-k-type", "int32", "--no-eos",
                    "--alignment", "64", "--types", "q4k-mix"])
    h = parse(out.read_bytes())
    m = h["meta"]
    assert m["general.sampling.top_k"] == (INT32, 5)
    assert m["general.sampling.temp"] == (FLOAT32, np.float32(0.6))
    assert m["general.sampling.top_p"] == (FLOAT32, np.float32(0.95))
    assert "tokenizer.ggml.eos_token_id" not in m
    assert h["alignment"] == 64 and all(t[3] % 64 == 0 for t in h["tensors"])
    names = {t[0] for t in h["tensors"]}
    assert {f"blk.{i}.attn_q.weight" for i in (1, 3, 5, 7, 8)} <= names
    assert "blk.8.nextn.eh_proj.weight" in names and "output.weight" in names
    assert m["qwen35.block_count"] == (UINT32, 9)


# -- corruptor ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def corpus(tiny, tmp_path_factory):
    out = tmp_path_factory.mktemp("corpus")
    corrupt.main(["--all", str(out)])
    return out


def test_corpus_has_one_file_per_case(corpus, tiny):
    manifest = (corpus / "MANIFEST.tsv").read_text().splitlines()[1:]
    assert [row.split("\t")[0] for row in manifest] == list(corrupt.CASES)
    src = tiny[1]
    for name in corrupt.CASES:
        assert (corpus / f"{name}.gguf").read_bytes() != src, name


def test_corpus_header_verdicts(corpus):
    for name, (expect, _, _) in corrupt.CASES.items():
        buf = (corpus / f"{name}.gguf").read_bytes()
        if expect == "header":
            with pytest.raises(ParseError):
                parse(buf)
        else:
            parse(buf)


def test_corpus_specific_cases(corpus):
    def load(name):
        return (corpus / f"{name}.gguf").read_bytes()
    assert len(load("huge_kv_count")) <= 128
    assert struct.unpack_from("<Q", load("huge_kv_count"), 16)[0] == 1 << 60
    assert struct.unpack_from("<I", load("version_1"), 4)[0] == 1
    h = parse(load("alignment_duplicate"))
    assert h["alignment"] == 64 and h["data_offset"] % 64 == 0
    assert parse(load("alignment_int32"))["alignment"] == 32
    h = parse(load("tensor_end_past_file"))
    name, dims, ttype, off = h["tensors"][-1]
    assert h["data_offset"] + off + nbytes(dims, ttype) == len(load("tensor_end_past_file")) + 1
    assert parse(load("block_count_string"))["meta"]["qwen35.block_count"] == (STRING, "4")
    m = parse(load("qkv_wrong_shape"))
    assert dict((t[0], t[1]) for t in m["tensors"])["blk.0.attn_qkv.weight"] == [256, 448]
    assert "blk.3.attn_q.weight" not in {t[0] for t in parse(load("missing_attn_q"))["tensors"]}


def test_truncate_cli(tmp_path, tiny):
    src = tmp_path / "src.gguf"
    src.write_bytes(tiny[1])
    corrupt.main(["--truncate", "1000", str(tmp_path / "t.gguf"), str(src)])
    assert (tmp_path / "t.gguf").read_bytes() == tiny[1][:1000]

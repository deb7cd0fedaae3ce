"""The shipped trained model (models/): the files load, tokenize and generate, and the
engine scores the held-out text as the training framework did (values stored in
models/trained-eval.json by tools/train_model.py). Needs no training framework."""

import json
import math
import os
import sys

import pytest

import kestrune

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODELS = os.path.join(ROOT, "models")
sys.path.insert(0, os.path.join(ROOT, "tools"))

import trained_data  # noqa: E402

F32 = os.path.join(MODELS, "trained-f32.gguf")
Q8 = os.path.join(MODELS, "trained-q8_0.gguf")
MIX = os.path.join(MODELS, "trained-q4k-mix.gguf")
FILES = (F32, Q8, MIX)
PERPLEXITY_SEGMENTS = 24   # held-out segments scored for the Q8_0-vs-F32 perplexity

has_score = pytest.mark.skipif(not hasattr(kestrune.Engine, "score"),
                               reason="this kestrune build has no Engine.score")


@pytest.fixture(scope="module")
def evaluation():
    with open(os.path.join(MODELS, "trained-eval.json")) as f:
        return json.load(f)


@pytest.fixture(scope="module")
def heldout():
    with open(os.path.join(MODELS, "heldout.txt"), encoding="utf-8", newline="") as f:
        return trained_data.heldout_segments(f.read())


@pytest.mark.parametrize("path", FILES, ids=os.path.basename)
def test_shipped_file_loads_encodes_and_generates(path):
    engine = kestrune.Engine(path)
    text = "def main(argv=None):\n    return 0\n"
    ids = engine.encode(text)
    assert 0 < len(ids) < len(text)          # merges apply
    assert engine.decode(ids) == text.encode()
    out = engine.generate("import os\n", max_tokens=8, temperature=0.0)
    assert isinstance(out, str) and out


def test_files_stay_small():
    assert sum(os.path.getsize(p) for p in FILES) < 16 * 1024 * 1024


def test_engine_tokenizes_like_training(evaluation, heldout):
    # The ids the framework scored are what Engine.encode gives for the stored text.
    engine = kestrune.Engine(F32)
    sl = evaluation["test_slice"]
    assert len(heldout) == evaluation["segments"]
    for i, text, ids in zip(sl["segments"], sl["text"], sl["token_ids"]):
        assert heldout[i] == text
        assert engine.encode(text) == ids


def test_greedy_text_is_the_same_for_f32_and_q8_0():
    prompt = "class Parser:\n    def __init__(self"
    a = kestrune.Engine(F32).generate(prompt, max_tokens=12, temperature=0.0)
    b = kestrune.Engine(Q8).generate(prompt, max_tokens=12, temperature=0.0)
    assert a[:8] == b[:8]


@has_score
def test_f32_score_matches_framework(evaluation):
    engine = kestrune.Engine(F32)
    sl = evaluation["test_slice"]
    got, want = [], []
    for text, ids, lps in zip(sl["text"], sl["token_ids"], sl["logprobs"]):
        scores = list(engine.score(text))
        assert len(scores) == len(ids) - 1
        for g, w in zip(scores, lps):
            assert abs(g - w) < 1e-3
        got += scores
        want += lps
    mean_got = sum(got) / len(got)
    mean_want = sum(want) / len(want)
    assert mean_want == pytest.approx(sl["mean_logprob"], rel=1e-12)
    assert abs(mean_got - mean_want) <= 1e-4 * abs(mean_want)


@has_score
def test_q8_0_perplexity_within_one_percent_of_f32(heldout):
    segments = heldout[:PERPLEXITY_SEGMENTS]

    def perplexity(path):
        engine = kestrune.Engine(path)
        lps = [x for s in segments for x in engine.score(s)]
        return math.exp(-sum(lps) / len(lps))

    f32, q8, mix = perplexity(F32), perplexity(Q8), perplexity(MIX)
    assert abs(q8 / f32 - 1) < 0.01
    assert mix < 1.25 * f32    # the 4-bit mix loses more, but stays close

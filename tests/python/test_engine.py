"""The kestrune module seen from Python: members, docstrings, conversions, errors,
replayable sampling and generation from several threads on one Engine."""

import inspect
import os
import pathlib
import re
import threading
import time

import pytest

kestrune = pytest.importorskip("kestrune")

from kestrune_testing import (EOS_ALT, IM_END, decode_run, make_models,  # noqa: E402
                              uniform_draws)

DOCS = {
    "encode": "encode($self, text)\n--\n\n",
    "generate": "generate($self, prompt, max_tokens=64, temperature=0.0, top_k=20, top_p=0.95, seed=None)\n--\n\n"
                "Completion. Greedy by default (temperature=0.0) \u2014 the API face is\n"
                "reproducibility-first; sampling is opt-in via kwargs. seed=None means\n"
                "clock-seeded (different every call); pass a seed for exact replay.\n"
                "Returns the continuation text (prompt excluded).",
    "cli_main": "cli_main()\n--\n\nConsole-script entry point (`kestrune` on PATH after pip install).\n"
                "Args come from sys.argv \u2014 under a console-script shim the process argv\n"
                "belongs to the interpreter, not to us. SIGINT is restored to the default\n"
                "disposition so Ctrl-C kills a mid-stream generation like a native binary:\n"
                "Python's own handler cannot fire inside a long GIL-released call.",
}

PERF = re.compile(r"^# perf: prefill (\d+) tok in \d+\.\d\ds \(\d+\.\d tok/s\) \| "
                  r"gen (\d+) tok in \d+\.\d\ds \(\d+\.\d tok/s\)$", re.M)


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return make_models(tmp_path_factory.mktemp("engine_models"))


@pytest.fixture(scope="module")
def engine(models):
    return kestrune.Engine(models["tiny"], verbose=True)


@pytest.fixture(scope="module")
def uniform(models):
    return kestrune.Engine(models["uniform"])


# -- module surface ---------------------------------------------------------------------

def test_module_attributes_in_order():
    public = [k for k in vars(kestrune) if k in ("Engine", "cli_main", "__version__")]
    assert public == ["Engine", "cli_main", "__version__"]
    assert kestrune.__version__ == "0.1.0"
    assert isinstance(kestrune.Engine, type)


@pytest.mark.parametrize("name", ["encode", "generate", "cli_main"])
def test_docstrings_are_text_signature_plus_doc(name):
    obj = kestrune.cli_main if name == "cli_main" else getattr(kestrune.Engine, name)
    rebuilt = name + obj.__text_signature__ + "\n--\n\n" + (obj.__doc__ or "")
    assert rebuilt == DOCS[name]


def test_signatures():
    gen = inspect.signature(kestrune.Engine.generate)
    assert list(gen.parameters) == ["self", "prompt", "max_tokens", "temperature", "top_k", "top_p", "seed"]
    defaults = {k: p.default for k, p in gen.parameters.items() if p.default is not inspect.Parameter.empty}
    assert defaults == {"max_tokens": 64, "temperature": 0.0, "top_k": 20, "top_p": 0.95, "seed": None}
    assert str(inspect.signature(kestrune.Engine.encode)) == "(self, /, text)"
    assert str(inspect.signature(kestrune.Engine.decode)) == "(self, /, ids)"
    assert str(inspect.signature(kestrune.cli_main)) == "()"
    assert str(inspect.signature(kestrune.Engine)) == \
        "(path, *, threads=None, verbose=False, cache_states=4, cache_bytes=1073741824, max_batch=16)"


def test_bound_method_signature_drops_self(engine):
    assert str(inspect.signature(engine.encode)) == "(text)"
    assert list(inspect.signature(engine.generate).parameters)[0] == "prompt"


# -- constructor --------------------------------------------------------------------------

def test_constructor_prints_load_lines(models, capfd):
    kestrune.Engine(models["tiny"])
    assert capfd.readouterr().err == ""  # quiet unless asked
    kestrune.Engine(models["tiny"], verbose=True)
    err = capfd.readouterr().err
    assert err.rstrip("\n").split("\n")[-2:] == ["# backend: cpu (scalar reference)",
                                                 "# batching: up to 16 sequences and 64 tokens a step"]


@pytest.mark.parametrize("bad", [3, None, b"/tmp/x.gguf", pathlib.Path("/tmp/x.gguf")])
def test_constructor_wants_str(bad):
    with pytest.raises(TypeError, match="path"):
        kestrune.Engine(bad)


def test_constructor_file_errors(models, tmp_path):
    with pytest.raises(OSError) as e:
        kestrune.Engine(str(tmp_path / "missing.gguf"))
    assert str(e.value) == f"cannot open model file {tmp_path / 'missing.gguf'}: No such file or directory (os error 2)"
    with pytest.raises(OSError):
        kestrune.Engine(str(tmp_path))
    with pytest.raises(OSError) as e:
        kestrune.Engine(models["notgguf"])
    assert str(e.value) == "not a GGUF file (magic [80, 75, 3, 4])"


# -- encode / decode ----------------------------------------------------------------------

def test_encode_decode_round_trip(engine):
    ids = engine.encode("Hello world")
    assert isinstance(ids, list) and ids and all(type(i) is int for i in ids)
    assert engine.decode(ids) == b"Hello world"
    assert engine.encode("") == []
    assert engine.decode([]) == b""
    assert engine.encode(text="Hello") == engine.encode("Hello")
    assert engine.decode(ids=tuple(ids)) == b"Hello world"


def test_decode_of_split_character_returns_partial_bytes(engine):
    ids = engine.encode("\u00e9\u4e2d")
    parts = [engine.decode([i]) for i in ids]
    assert all(isinstance(p, bytes) for p in parts)
    assert len(parts) > 2
    with pytest.raises(UnicodeDecodeError):
        parts[0].decode("utf-8")
    assert b"".join(parts).decode("utf-8") == "\u00e9\u4e2d"


def test_marker_text_encodes_as_plain_characters(engine):
    assert len(engine.encode("<|im_end|>")) > 1
    assert engine.decode([IM_END]) == b"<|im_end|>"


@pytest.mark.parametrize("ids, exc", [
    ("abc", TypeError),
    (5, TypeError),
    ([1.5], TypeError),
    (["1"], TypeError),
    ([-1], OverflowError),
    ([2 ** 32], OverflowError),
    ([2 ** 70], OverflowError),
])
def test_decode_conversion_errors(engine, ids, exc):
    with pytest.raises(exc, match="ids"):
        engine.decode(ids)


def test_decode_out_of_range_id(engine):
    with pytest.raises(OSError) as e:
        engine.decode([1, 512])
    assert str(e.value) == "token id 512 out of range (512)"


@pytest.mark.parametrize("text", [3, None, b"hi", ["hi"]])
def test_encode_wants_str(engine, text):
    with pytest.raises(TypeError, match="text"):
        engine.encode(text)


def test_model_without_merges(models):
    e = kestrune.Engine(models["nomerges"])
    assert e.decode([39, 72]) == b"Hi"  # ids follow the byte-level order from "!"
    for call in (lambda: e.encode("hi"), lambda: e.encode(""), lambda: e.generate("hi", 3)):
        with pytest.raises(OSError) as err:
            call()
        assert str(err.value) == "encode unavailable: GGUF carries no merges"


# -- generate -------------------------------------------------------------------------

def test_generate_greedy_default_is_reproducible(engine):
    a = engine.generate("Hello world", 8)
    assert isinstance(a, str)
    assert a == engine.generate("Hello world", max_tokens=8)
    assert a == engine.generate("Hello world", 8, 0.0, 20, 0.95, None)
    assert a == engine.generate(prompt="Hello world", max_tokens=8, temperature=0.0, seed=123)


def test_generate_seeded_replay(engine):
    a = engine.generate("The quick", 12, temperature=0.7, seed=5)
    assert a == engine.generate("The quick", 12, temperature=0.7, seed=5)
    assert a == engine.generate("The quick", 12, 0.7, 20, 0.95, 5)


def test_generate_budget_zero(engine, capfd):
    assert engine.generate("Hello world", 0) == ""
    m = PERF.search(capfd.readouterr().err)
    assert m and m.group(2) == "0"
    assert int(m.group(1)) == len(engine.encode("Hello world"))


def test_generate_reports_prompt_and_generated_counts(models, capfd):
    e = kestrune.Engine(models["noeos"], verbose=True)
    capfd.readouterr()
    e.generate("one two three", 5)
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1
    m = PERF.match(lines[0])
    assert m and int(m.group(1)) == len(e.encode("one two three")) and m.group(2) == "5"


def test_generate_empty_prompt(engine):
    with pytest.raises(ValueError) as e:
        engine.generate("")
    assert str(e.value) == "empty prompt after tokenization"


@pytest.mark.parametrize("seed", [0, 5, 2 ** 64 - 1])
def test_generate_replays_the_sampler_stream(uniform, seed):
    # With all logits 0, the ids follow from the seed alone: this pins the seeding,
    # the draw and the stop rule end to end.
    ids = decode_run(uniform_draws(seed), 24, {EOS_ALT})
    text = uniform.generate("Hello", 24, temperature=1.0, top_k=0, top_p=1.0, seed=seed)
    assert text == uniform.decode(ids).decode("utf-8", "replace")


def test_generate_replaces_invalid_utf8(uniform):
    for seed in range(200):
        ids = decode_run(uniform_draws(seed), 16, {EOS_ALT})
        raw = uniform.decode(ids)
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            break
    else:
        pytest.fail("no seed produced invalid UTF-8")
    text = uniform.generate("Hi", 16, temperature=1.0, top_k=0, top_p=1.0, seed=seed)
    assert "\ufffd" in text
    assert text == raw.decode("utf-8", "replace")


def test_generate_clock_seed_differs(uniform):
    outs = {uniform.generate("Hi", 16, temperature=1.0, top_k=0, top_p=1.0) for _ in range(4)}
    assert len(outs) > 1


@pytest.mark.parametrize("kwargs, exc, name", [
    ({"prompt": 3}, TypeError, "prompt"),
    ({"prompt": b"hi"}, TypeError, "prompt"),
    ({"max_tokens": -1}, OverflowError, "max_tokens"),
    ({"max_tokens": 2 ** 64}, OverflowError, "max_tokens"),
    ({"max_tokens": 1.5}, TypeError, "max_tokens"),
    ({"max_tokens": "3"}, TypeError, "max_tokens"),
    ({"temperature": "hot"}, TypeError, "temperature"),
    ({"temperature": None}, TypeError, "temperature"),
    ({"top_k": -1}, OverflowError, "top_k"),
    ({"top_p": "x"}, TypeError, "top_p"),
    ({"seed": -1}, OverflowError, "seed"),
    ({"seed": 2 ** 64}, OverflowError, "seed"),
    ({"seed": 1.0}, TypeError, "seed"),
])
def test_generate_conversion_errors(engine, kwargs, exc, name):
    args = {"prompt": "hi", "max_tokens": 1}
    args.update(kwargs)
    with pytest.raises(exc, match=name):
        engine.generate(**args)


def test_generate_argument_shape_errors(engine):
    with pytest.raises(TypeError):
        engine.generate()
    with pytest.raises(TypeError):
        engine.generate("hi", 1, 0.0, 20, 0.95, None, "extra")
    with pytest.raises(TypeError):
        engine.generate("hi", colour=1)
    with pytest.raises(TypeError):
        engine.generate("hi", 1, max_tokens=2)


def test_generate_accepts_int_floats_and_bool_ints(engine):
    assert engine.generate("hi", True, temperature=0) == engine.generate("hi", 1)


# -- threads ----------------------------------------------------------------------------

def test_concurrent_generation_matches_sequential(models):
    e = kestrune.Engine(models["noeos"])
    jobs = [("Hello world", 0.0, None), ("The quick brown fox", 0.8, 3), ("What is", 1.2, 9),
            ("Once upon a time", 0.5, 1), ("Hello world", 0.9, 77), ("numbers 1 2 3", 0.0, None)]
    sequential = [e.generate(p, 20, temperature=t, seed=s) for p, t, s in jobs]
    results = [None] * len(jobs)
    barrier = threading.Barrier(len(jobs))

    def work(i):
        p, t, s = jobs[i]
        barrier.wait()
        results[i] = e.generate(p, 20, temperature=t, seed=s)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == sequential


def test_generate_releases_the_interpreter_lock(models):
    e = kestrune.Engine(models["noeos"])

    def run(budget):
        ticks = []
        stop = threading.Event()

        def ticker():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.001)

        t = threading.Thread(target=ticker)
        t.start()
        time.sleep(0.02)
        start = time.monotonic()
        e.generate("Hello world", budget)
        end = time.monotonic()
        stop.set()
        t.join()
        return start, end, [x for x in ticks if start + 0.01 < x < end - 0.01]

    # Grow the budget until one call lasts long enough for the ticker to show itself.
    budget = 120
    start, end, inside = run(budget)
    while end - start < 0.2 and budget < 4000:
        budget *= 4
        start, end, inside = run(budget)
    assert end - start > 0.1
    assert len(inside) > 10

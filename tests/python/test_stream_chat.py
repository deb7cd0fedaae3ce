"""Engine.stream and Engine.chat: pieces against generate, whole characters, early exit,
message checks, the chat template against `kestrune chat`, and the decode-state cache
(resuming feeds only the new tokens and changes no result)."""

import ast
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

kestrune = pytest.importorskip("kestrune")

from kestrune_testing import (EOS_ALT, IM_END, ROOT, decode_run, make_models, template_lengths,  # noqa: E402
                              uniform_draws)

PERF = re.compile(r"^# perf: prefill (\d+) tok in .* \| gen (\d+) tok in ", re.M)
SAMPLED = {"temperature": 1.0, "top_k": 0, "top_p": 1.0}
TRAINED = os.path.join(ROOT, "models", "trained-q8_0.gguf")


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return make_models(tmp_path_factory.mktemp("stream_models"))


@pytest.fixture(scope="module")
def tiny(models):
    return kestrune.Engine(models["noeos"])


def prefills(capfd):
    return [int(m.group(1)) for m in PERF.finditer(capfd.readouterr().err)]


# -- stream ---------------------------------------------------------------------------------

@pytest.mark.parametrize("prompt, kwargs", [
    ("Hello world", {"max_tokens": 12}),
    ("The quick brown", {"max_tokens": 20, "temperature": 0.8, "seed": 3}),
    ("1 2 3", {"max_tokens": 0}),
    ("word " * 700, {"max_tokens": 6}),  # a prompt of several slices
])
def test_stream_pieces_join_to_generate(tiny, prompt, kwargs):
    pieces = list(tiny.stream(prompt, **kwargs))
    assert all(isinstance(p, str) and p for p in pieces)
    assert "".join(pieces) == tiny.generate(prompt, **kwargs)


def test_stream_never_splits_a_character(models):
    e = kestrune.Engine(models["uniform"], cache_states=0)
    multibyte = 0
    for seed in range(60):
        raw = e.decode(decode_run(uniform_draws(seed), 24, {EOS_ALT}))
        pieces = list(e.stream("Hi", 24, seed=seed, **SAMPLED))
        # Held bytes join their character; bytes that never complete become U+FFFD
        # exactly where a whole decode puts them.
        assert "".join(pieces) == raw.decode("utf-8", "replace")
        multibyte += any(ord(c) > 127 and c != "\ufffd" for c in "".join(pieces))
    assert multibyte > 0


def test_stream_counts_and_finish_reason(models):
    e = kestrune.Engine(models["smallctx"])
    it = e.stream("Hi there", max_tokens=1000)
    assert it.finish_reason is None
    text = "".join(it)
    # The budget is cut to what the 16-token context holds.
    assert it.finish_reason == "length" and text
    assert it.prompt_tokens + it.completion_tokens == 16
    with pytest.raises(ValueError, match="context of 16"):
        e.stream("one two three four five six seven eight nine ten eleven twelve")


def test_stream_stops_early_and_frees(tiny, capfd):
    capfd.readouterr()
    it = tiny.stream("Hello world", max_tokens=500)
    for i, _ in enumerate(it):
        if i == 2:
            break
    it.close()
    assert it.finish_reason is None and 3 <= it.completion_tokens < 500
    assert list(it) == []
    # Dropped mid-run without close: nothing finishes behind our back either.
    gone = tiny.stream("Hello world", max_tokens=500)
    next(gone)
    del gone
    assert prefills(capfd) == []


def test_close_during_the_prompt_ends_quietly(tiny, capfd):
    capfd.readouterr()
    it = tiny.stream("word " * 1500, max_tokens=4)
    threading.Timer(0.02, it.close).start()
    assert list(it) == [] and it.finish_reason is None
    assert prefills(capfd) == []


def test_stream_step_releases_the_interpreter_lock(tiny):
    # The first step prefills a long prompt: other threads must run meanwhile.
    it = tiny.stream("word " * 2000, max_tokens=1)
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    time.sleep(0.02)
    start = time.monotonic()
    next(it)
    end = time.monotonic()
    stop.set()
    t.join()
    assert len([x for x in ticks if start + 0.01 < x < end - 0.01]) > 5


def test_ctrl_c_stops_a_stream_between_tokens(models):
    code = ("import kestrune, sys\n"
            "e = kestrune.Engine(sys.argv[1])\n"
            "it = e.stream('Hello', max_tokens=4000)\n"
            "try:\n"
            "    for p in it:\n"
            "        print('piece', flush=True)\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', it.completion_tokens, it.finish_reason, flush=True)\n")
    p = subprocess.Popen([sys.executable, "-c", code, models["noeos"]], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    try:
        assert p.stdout.readline() == b"piece\n"
        p.send_signal(signal.SIGINT)
        out = p.communicate(timeout=60)[0].decode().splitlines()
    finally:
        p.kill()
    n, reason = out[-1].split()[1:]
    assert out[-1].startswith("interrupted") and int(n) < 4000 and reason == "None"


@pytest.mark.parametrize("kwargs, exc, name", [
    ({"prompt": 3}, TypeError, "prompt"),
    ({"max_tokens": -1}, OverflowError, "max_tokens"),
    ({"temperature": None}, TypeError, "temperature"),
    ({"seed": 1.5}, TypeError, "seed"),
])
def test_stream_argument_errors(tiny, kwargs, exc, name):
    args = {"prompt": "hi"}
    args.update(kwargs)
    with pytest.raises(exc, match=name):
        tiny.stream(**args)
    with pytest.raises(ValueError, match="empty prompt"):
        tiny.stream("")


def test_concurrent_streams_match_sequential(tiny):
    jobs = [("Hello world", None), ("Hello world", 4), ("Once upon", 9), ("Hello world", None)]
    expect = [tiny.generate(p, 16, temperature=0.0 if s is None else 0.9, seed=s) for p, s in jobs]
    out = [None] * len(jobs)
    barrier = threading.Barrier(len(jobs))

    def work(i):
        p, s = jobs[i]
        barrier.wait()
        out[i] = "".join(tiny.stream(p, 16, temperature=0.0 if s is None else 0.9, seed=s))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert out == expect


@pytest.mark.parametrize("max_batch", [1, 3, 16])
def test_batched_streams_keep_their_text_when_one_leaves(models, max_batch):
    # Concurrent streams share steps; one closed early, one abandoned after a token and
    # a chat among them change nothing in the others' text.
    e = kestrune.Engine(models["noeos"], cache_states=0, max_batch=max_batch)
    prompts = ["Hello world", "Once upon a time " * 20, "numbers 1 2 3", "What is"]
    expect = [e.generate(p, 24, temperature=0.0) for p in prompts]
    chat_expect = "".join(e.chat([{"role": "user", "content": "hi"}], max_tokens=12, temperature=0.0, stream=True))
    out = [None] * len(prompts)
    barrier = threading.Barrier(len(prompts) + 3)

    def work(i):
        barrier.wait()
        out[i] = "".join(e.stream(prompts[i], 24, temperature=0.0))

    def closer():
        barrier.wait()
        it = e.stream("Hello world", 24, temperature=0.0)
        next(it)
        it.close()

    def abandoner():
        barrier.wait()
        next(e.stream("What is", 24, temperature=0.0))

    chat_out = []

    def chatter():
        barrier.wait()
        chat_out.append("".join(e.chat([{"role": "user", "content": "hi"}], max_tokens=12, temperature=0.0,
                                        stream=True)))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(prompts))]
    threads += [threading.Thread(target=f) for f in (closer, abandoner, chatter)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert out == expect
    assert chat_out == [chat_expect]


def test_max_batch_is_checked(models):
    with pytest.raises(ValueError, match="max_batch must be 1 or more, got 0"):
        kestrune.Engine(models["noeos"], max_batch=0)


# -- chat -----------------------------------------------------------------------------------

@pytest.mark.parametrize("messages, exc, text", [
    ("hi", TypeError, "expected a list"),
    ((), TypeError, "expected a list"),
    ([], ValueError, "empty list"),
    ([3], TypeError, r"messages\[0\]: expected a dict"),
    ([{"content": "x"}], ValueError, r"messages\[0\]: missing 'role'"),
    ([{"role": "user"}], ValueError, r"messages\[0\]: missing 'content'"),
    ([{"role": "user", "content": "a"}, {"role": "bot", "content": "b"}], ValueError,
     r"messages\[1\]: unknown role 'bot'"),
    ([{"role": "user", "content": None}], TypeError, r"messages\[0\]\['content'\]: expected str"),
    ([{"role": 1, "content": "x"}], TypeError, r"messages\[0\]\['role'\]: expected str"),
])
def test_chat_rejects_bad_messages(tiny, messages, exc, text):
    with pytest.raises(exc, match=text):
        tiny.chat(messages)


def test_chat_needs_the_markers(models):
    e = kestrune.Engine(models["nomarkers"])
    with pytest.raises(OSError, match=r"chat: special token <\|im_start\|> not found in vocab"):
        e.chat([{"role": "user", "content": "hi"}])
    assert e.generate("hi", 2) == "".join(e.stream("hi", 2))


def test_chat_matches_the_command_line_template(models, tiny):
    reply = tiny.chat([{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hello there"}],
                      max_tokens=8, temperature=0.0)
    shim = "import kestrune, sys; sys.exit(kestrune.cli_main())"
    p = subprocess.run([sys.executable, "-c", shim, "chat", models["noeos"], "--system", "Be brief.", "--temp", "0",
                        "--max-turn-tokens", "8"], input=b"Hello there\n", capture_output=True, timeout=120)
    assert p.returncode == 0
    assert p.stdout.decode("utf-8", "replace") == reply + "\n"


def test_chat_sampling_defaults_come_from_the_file(models):
    e = kestrune.Engine(models["temp06"], cache_states=0)
    msgs = [{"role": "user", "content": "Hi"}]
    assert e.chat(msgs, 12, seed=5) == e.chat(msgs, 12, temperature=0.6, top_k=20, top_p=0.95, seed=5)
    assert "".join(e.chat(msgs, 12, seed=5, stream=True)) == e.chat(msgs, 12, seed=5)


def conversation(engine, users, seed, stream):
    msgs, replies = [{"role": "system", "content": "Be brief."}], []
    for i, u in enumerate(users):
        msgs.append({"role": "user", "content": u})
        kwargs = dict(max_tokens=6, seed=seed + i, **SAMPLED)
        reply = "".join(engine.chat(msgs, stream=True, **kwargs)) if stream else engine.chat(msgs, **kwargs)
        msgs.append({"role": "assistant", "content": reply})
        replies.append(reply)
    return replies


@pytest.mark.parametrize("stream", [False, True])
def test_three_turns_prefill_only_the_new_turn(models, capfd, stream):
    users = ["Hello there", "What now?", "And then?"]
    e = kestrune.Engine(models["noeos"], verbose=True)
    capfd.readouterr()
    replies = conversation(e, users, 40, stream)
    counts = prefills(capfd)
    fresh = kestrune.Engine(models["noeos"], cache_states=0, verbose=True)
    capfd.readouterr()
    assert conversation(fresh, users, 40, stream) == replies
    full = prefills(capfd)
    assert counts[0] == full[0] == template_lengths(e, "Be brief.", users)[0]
    # A turn resumes only where the quoted reply encodes to the ids that were generated.
    assert all(c <= f for c, f in zip(counts, full))


@pytest.mark.parametrize("seed", range(6))
def test_cached_and_evicted_conversations_agree(seed):
    """Replies must not depend on whether a conversation's state was still cached."""
    cached, evicted = kestrune.Engine(TRAINED), kestrune.Engine(TRAINED, cache_states=0)
    msgs = {id(cached): [], id(evicted): []}
    for turn, user in enumerate(["def read_config(path):", "import os", "class Config:", "return None"]):
        got = []
        for e in (cached, evicted):
            m = msgs[id(e)]
            m.append({"role": "user", "content": user})
            it = e.chat(m, max_tokens=24, temperature=0.8, seed=seed * 10 + turn, stream=True)
            got.append("".join(it))
            m.append({"role": "assistant", "content": got[-1]})
        assert got[0] == got[1], (seed, turn)

@pytest.mark.parametrize("sampling", [{"temperature": 0.0}, {"temperature": 0.7, "seed": 3}])
def test_resumed_state_is_bit_identical(sampling):
    # The trained model's replies encode back to the ids it generated, so turns resume.
    e = kestrune.Engine(TRAINED)
    msgs = []
    for u in ["def read_config(path):", "import os"]:
        msgs.append({"role": "user", "content": u})
        msgs.append({"role": "assistant", "content": e.chat(msgs, max_tokens=10, temperature=0.0)})
    msgs.append({"role": "user", "content": "Why?"})
    # The first call to run takes the cached state, the second finds it taken and
    # prefills everything.
    resumed = e.chat(msgs, max_tokens=16, stream=True, **sampling)
    fresh = e.chat(msgs, max_tokens=16, stream=True, **sampling)
    text = "".join(resumed)
    assert text == "".join(fresh)
    assert resumed.cached_tokens > 0 and fresh.cached_tokens == 0
    assert resumed.prompt_tokens == fresh.prompt_tokens


@pytest.mark.parametrize("kwargs", [{"cache_states": 0}, {"cache_bytes": 1000}])
def test_cache_limits_turn_reuse_off(models, capfd, kwargs):
    e = kestrune.Engine(models["noeos"], **kwargs)
    msgs = [{"role": "user", "content": "Hi"}]
    reply = e.chat(msgs, max_tokens=4, temperature=0.0)
    it = e.chat(msgs + [{"role": "assistant", "content": reply}, {"role": "user", "content": "More"}],
                max_tokens=4, temperature=0.0, stream=True)
    "".join(it)
    assert it.cached_tokens == 0


# -- surface ------------------------------------------------------------------------------------

def test_signatures_and_stubs():
    import inspect
    assert str(inspect.signature(kestrune.Engine.stream)) == \
        "(self, /, prompt, max_tokens=64, temperature=0.0, top_k=20, top_p=0.95, seed=None)"
    assert str(inspect.signature(kestrune.Engine.chat)) == \
        "(self, /, messages, max_tokens=1024, temperature=None, top_k=None, top_p=None, seed=None, stream=False, " \
        "tools=None, tool_choice=None, response_format=None, chat_template_kwargs=None)"
    stub = os.path.join(os.path.dirname(kestrune.__file__), "kestrune.pyi")
    tree = ast.parse(open(stub).read())
    top = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert {"Engine", "cli_main"} <= top
    engine = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Engine")
    declared = {n.name for n in engine.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    public = {k for k in vars(kestrune.Engine) if not k.startswith("_")}
    assert public <= declared
    stream = next(n for n in engine.body if isinstance(n, ast.ClassDef) and n.name == "Stream")
    assert {k for k in vars(kestrune.Engine.Stream) if not k.startswith("_")} <= {n.name for n in stream.body}

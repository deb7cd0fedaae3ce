"""The module and the command line under hostile use: text that is not UTF-8, an engine
that was never constructed, Ctrl-C during long calls, and a model file truncated or
rewritten under a running engine and server."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

kestrune = pytest.importorskip("kestrune")

from kestrune_testing import ROOT, make_models  # noqa: E402

TRAINED = os.path.join(ROOT, "models", "trained-q8_0.gguf")
SHIM = "import kestrune, sys; sys.exit(kestrune.cli_main())"


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return make_models(tmp_path_factory.mktemp("hostile_models"))


@pytest.mark.parametrize("call, exc, message", [
    (lambda e: e.generate("\ud800"), ValueError, "argument 'prompt': lone surrogate U+D800 at position 0"),
    (lambda e: e.encode("ab\udfff"), ValueError, "argument 'text': lone surrogate U+DFFF at position 2"),
    (lambda e: e.score("ok \udc80"), ValueError, "position 3"),
    (lambda e: e.stream("\ud83d"), ValueError, "position 0"),
    (lambda e: e.chat([{"role": "user", "content": "x\ud800"}]), ValueError,
     "messages[0]['content']: lone surrogate U+D800 at position 1"),
    (lambda e: kestrune.Engine.__new__(kestrune.Engine).generate("a"), RuntimeError, "not initialized"),
    (lambda e: kestrune.Engine.__new__(kestrune.Engine).chat([{"role": "user", "content": "a"}]), RuntimeError,
     "not initialized"),
    (lambda e: kestrune.Engine.__new__(kestrune.Engine).context_length, RuntimeError, "not initialized"),
])
def test_bad_python_inputs_raise_ordinary_exceptions(models, call, exc, message):
    e = kestrune.Engine(models["tiny"])
    with pytest.raises(exc) as info:
        call(e)
    assert message in str(info.value)


@pytest.mark.parametrize("args, message", [
    (["generate", "{m}", b"a\xffb", "4"], "kestrune: prompt: not valid UTF-8 text: invalid utf-8 sequence of 1 bytes "
                                          "from index 1"),
    (["chat", "{m}", "--system", b"\xe2\x82"], "kestrune: --system: not valid UTF-8 text: incomplete utf-8 byte "
                                               "sequence from index 0"),
    (["generate", "{m}", "hi", "4", "--temp", "nan"], "kestrune: temperature must be a number of 0 or more (0 is greedy), got NaN"),
    (["generate", "{m}", "hi", "--temp", "-1"], "kestrune: temperature must be a number of 0 or more (0 is greedy), got -1"),
    (["chat", "{m}", "--top-p", "7"], "kestrune: top_p must be above 0 and at most 1, got 7"),
])
def test_bad_command_line_arguments_are_refused(models, args, message):
    argv = [a.replace("{m}", models["tiny"]) if isinstance(a, str) else a for a in args]
    p = subprocess.run([sys.executable, "-c", SHIM, *argv], capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    assert p.returncode == 1
    assert p.stderr.decode().splitlines()[-1] == message
    assert p.stdout == b""


@pytest.mark.parametrize("call", [
    "e.generate('Hello', max_tokens=10**9)",
    "e.score('Hello there, ' * 20000)",
    "e.chat([{'role': 'user', 'content': 'Hello'}], max_tokens=10**9, temperature=0.0)",
])
def test_ctrl_c_stops_long_calls(models, call):
    # The all-zero logits of "uniform" never pick a stop token: chat runs to the context.
    code = f"import kestrune, sys; e = kestrune.Engine({models['uniform']!r}); print('go', flush=True); {call}"
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert p.stdout.readline() == b"go\n"
    time.sleep(0.2)
    assert p.poll() is None
    p.send_signal(signal.SIGINT)
    try:
        _, err = p.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        pytest.fail("still running 20 s after SIGINT")
    assert p.returncode != 0
    assert err.decode().rstrip().endswith("KeyboardInterrupt")


def clobber(path):
    """Truncates the file, then writes other bytes over what is left and past it."""
    size = os.path.getsize(path)
    os.truncate(path, 100000)
    with open(path, "r+b") as f:
        f.seek(4096)
        f.write(b"\x7f" * (size - 4096))


def test_changed_file_under_a_running_engine(tmp_path):
    path = str(tmp_path / "m.gguf")
    shutil.copy(TRAINED, path)
    code = f"""import kestrune, sys
e = kestrune.Engine({path!r})
print(repr(e.generate("def read_config(path):", 24)), flush=True)
sys.stdin.readline()
print(repr(e.generate("def read_config(path):", 24)), flush=True)
print(repr(e.chat([{{"role": "user", "content": "import os"}}], 24, temperature=0.0)), flush=True)
"""
    for weights in ("lazy", "eager"):
        env = {**os.environ, "KESTRUNE_WEIGHTS": weights}
        p = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, env=env)
        before = p.stdout.readline()
        clobber(path)
        out, _ = p.communicate(b"\n", timeout=120)
        assert p.returncode == 0, weights
        assert out.splitlines()[0] == before.rstrip()
        shutil.copy(TRAINED, path)


def test_changed_file_under_a_running_server(tmp_path):
    pytest.importorskip("uvicorn")
    httpx = pytest.importorskip("httpx")
    path = str(tmp_path / "m.gguf")
    shutil.copy(TRAINED, path)
    log = str(tmp_path / "server.err")
    env = {**os.environ, "KESTRUNE_WEIGHTS": "lazy"}
    with open(log, "wb") as err:
        proc = subprocess.Popen([sys.executable, "-m", "kestrune_server", path, "--port", "0"],
                                stdout=subprocess.DEVNULL, stderr=err, env=env)
    try:
        deadline = time.monotonic() + 60
        while not (m := re.search(r"serving \S+ on (http://127\.0\.0\.1:\d+)", open(log).read())):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        body = {"model": "m", "prompt": "def read_config(path):", "max_tokens": 24, "temperature": 0}
        first = httpx.post(m.group(1) + "/v1/completions", json=body, timeout=60).json()["choices"][0]["text"]
        clobber(path)
        r = httpx.post(m.group(1) + "/v1/completions", json=body, timeout=60)
        assert r.status_code == 200 and r.json()["choices"][0]["text"] == first
        # A lone surrogate is a bad request, not a server fault.
        raw = '{"model": "m", "prompt": "ab\\ud800", "max_tokens": 2}'
        r = httpx.post(m.group(1) + "/v1/completions", content=raw, timeout=60,
                       headers={"content-type": "application/json"})
        assert r.status_code == 400 and "position 2" in r.text
        assert proc.poll() is None
    finally:
        proc.terminate()
        proc.wait(15)


class Chat:
    """`kestrune chat` on a terminal: standard input is a pseudo-terminal, the output
    streams are collected as they come."""

    def __init__(self, model):
        import pty
        import threading
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen([sys.executable, "-c", SHIM, "chat", model, "--temp", "0",
                                      "--max-turn-tokens", "4000"], stdin=slave, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        os.close(slave)
        self.out, self.err = bytearray(), bytearray()
        for stream, buf in ((self.proc.stdout, self.out), (self.proc.stderr, self.err)):
            threading.Thread(target=lambda s=stream, b=buf: [b.extend(c) for c in iter(lambda: s.read1(), b"")],
                             daemon=True).start()

    def wait_for(self, cond, what):
        deadline = time.monotonic() + 60
        while not cond():
            assert time.monotonic() < deadline, (what, bytes(self.err))
            time.sleep(0.02)


@pytest.mark.parametrize("quit_with", ["ctrl-c", "ctrl-d"])
def test_chat_ctrl_c_stops_the_reply_and_returns_to_the_prompt(models, quit_with):
    chat = Chat(models["noeos"])
    chat.wait_for(lambda: chat.err.endswith(b"> "), "first prompt")
    os.write(chat.master, b"Hello there\n")
    chat.wait_for(lambda: len(chat.out) > 0, "reply starts")
    chat.proc.send_signal(signal.SIGINT)
    chat.wait_for(lambda: chat.err.count(b"> ") == 2, "back at the prompt")
    gen = int(re.search(rb"gen (\d+) tok", bytes(chat.err)).group(1))
    assert 0 < gen < 4000 and chat.proc.poll() is None
    if quit_with == "ctrl-c":
        chat.proc.send_signal(signal.SIGINT)
    else:
        os.write(chat.master, b"\x04")
    assert chat.proc.wait(30) == 0
    os.close(chat.master)
    chat.wait_for(lambda: chat.err.endswith(b"> \n"), "line break after the prompt")

"""What every front end shares: one set of request limits (command line, chat, Engine and
server refuse or clip alike), --help/--version, the threads option and the quiet switch."""

import json
import math
import os
import subprocess
import sys

import pytest

kestrune = pytest.importorskip("kestrune")

from kestrune_testing import make_models  # noqa: E402

SHIM = "import kestrune, sys; sys.exit(kestrune.cli_main())"
NAN = float("nan")
LONG = " ".join(["word"] * 40)  # far past the 16-token context of "smallctx"


def cli(*args, stdin=None, env=None):
    full = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-c", SHIM, *map(str, args)], input=stdin, capture_output=True,
                          env=full, timeout=120)


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return make_models(tmp_path_factory.mktemp("front_models"))


@pytest.fixture(scope="module")
def engine(models):
    return kestrune.Engine(models["smallctx"])


# (prompt, max_tokens, temperature, top_p, refusal or None)
LIMITS = [
    ("Hello", 4, -1.0, 0.9, "temperature must be a number of 0 or more (0 is greedy), got -1"),
    ("Hello", 4, NAN, 0.9, "temperature must be a number of 0 or more (0 is greedy), got NaN"),
    ("Hello", 4, 0.0, 0.0, "top_p must be above 0 and at most 1, got 0"),
    ("Hello", 4, 0.0, 1.5, "top_p must be above 0 and at most 1, got 1.5"),
    (LONG, 4, 0.0, 0.9, "leaves no room in the context of 16 tokens"),
    ("Hello", 0, 0.0, 0.9, None),
    ("Hello", 1000, 0.0, 0.9, None),
]


@pytest.mark.parametrize("front", ["generate", "chat", "engine", "server"])
@pytest.mark.parametrize("prompt, max_tokens, temperature, top_p, refusal", LIMITS)
def test_one_set_of_limits(models, engine, front, prompt, max_tokens, temperature, top_p, refusal):
    model = models["smallctx"]
    sampling = ["--temp", repr(temperature), "--top-p", repr(top_p), "--seed", "1"]
    if front == "generate":
        p = cli("generate", model, prompt, max_tokens, *sampling)
        assert p.returncode == (1 if refusal else 0), p.stderr
        err = p.stderr.decode()
        if refusal:
            assert err.splitlines()[-1].startswith("kestrune: ") and refusal in err.splitlines()[-1]
        elif max_tokens > 16:
            assert "# warning: context full, stopped at" in err or "# perf:" in err
    elif front == "chat":
        p = cli("chat", model, "--max-turn-tokens", max_tokens, *sampling, stdin=(prompt + "\n").encode())
        err = p.stderr.decode()
        if refusal and "context" in refusal:
            # A turn that cannot fit ends the conversation with a line saying so.
            assert p.returncode == 0 and "# warning: context full at" in err, err
        else:
            assert p.returncode == (1 if refusal else 0), err
            if refusal:
                assert refusal in err.splitlines()[-1]
    elif front == "engine":
        kwargs = dict(max_tokens=max_tokens, temperature=temperature, top_p=top_p)
        if refusal:
            for call in (lambda: engine.generate(prompt, **kwargs), lambda: engine.stream(prompt, **kwargs)):
                with pytest.raises(ValueError, match=refusal.replace("(", r"\(").replace(")", r"\)")):
                    call()
        else:
            assert (engine.generate(prompt, **kwargs) == "") == (max_tokens == 0)
            s = engine.stream(prompt, **kwargs)
            "".join(s)
            assert s.prompt_tokens + s.completion_tokens <= 16
            assert s.completion_tokens == min(max_tokens, 16 - s.prompt_tokens)
    else:
        starlette = pytest.importorskip("starlette.testclient")
        from kestrune_server.app import Settings, create_app
        client = starlette.TestClient(create_app(engine, Settings(model_name="m")))
        body = {"prompt": prompt, "max_tokens": max_tokens, "temperature": temperature, "top_p": top_p}
        r = client.post("/v1/completions", content=json.dumps(body))
        assert r.status_code == (400 if refusal else 200), r.text
        if refusal:
            assert refusal in r.json()["error"]["message"]


@pytest.mark.parametrize("args, want_out", [
    (["--help"], "kestrune generate MODEL PROMPT"),
    (["-h"], "KESTRUNE_THREADS=N"),
    (["generate", "--help"], "--threads N"),
    (["chat", "--help"], "--max-turn-tokens N"),
    (["generate", "x.gguf", "hi", "--help"], "--quiet"),
    (["--version"], "kestrune 0.1.0"),
])
def test_help_and_version(args, want_out):
    p = cli(*args)
    assert p.returncode == 0 and p.stderr == b""
    assert want_out in p.stdout.decode()


@pytest.mark.parametrize("threads, quiet", [(1, False), (2, False), (3, True)])
def test_threads_and_quiet(models, threads, quiet):
    args = ["generate", models["tiny"], "Hello", 8, "--temp", "0", "--threads", threads] + (["--quiet"] if quiet else [])
    p = cli(*args, env={"KESTRUNE_THREADS": "abc"})
    assert p.returncode == 0, p.stderr
    lines = p.stderr.decode().splitlines()
    # The ignored value is a warning, which --quiet keeps.
    warnings = [x for x in lines if x.startswith("# warning: ignored KESTRUNE_THREADS=abc")]
    assert len(warnings) == 1
    if quiet:
        assert lines == warnings
    else:
        assert f"# threads: {threads} (requested)" in lines
    base = cli("generate", models["tiny"], "Hello", 8, "--temp", "0", "--threads", 1)
    assert p.stdout == base.stdout  # bit-identical text whatever the count


def test_engine_threads_and_verbose(models, capfd):
    quiet = kestrune.Engine(models["tiny"], threads=2)
    assert quiet.threads == 2 and not quiet.verbose
    out = quiet.generate("Hello", max_tokens=4)
    assert capfd.readouterr().err == ""
    loud = kestrune.Engine(models["tiny"], threads=1, verbose=True)
    assert "# threads: 1 (requested)" in capfd.readouterr().err
    assert loud.generate("Hello", max_tokens=4) == out
    assert "# perf:" in capfd.readouterr().err
    with pytest.raises(ValueError, match="threads must be 1 or more"):
        kestrune.Engine(models["tiny"], threads=0)
    assert math.isfinite(sum(quiet.score("Hello world")))

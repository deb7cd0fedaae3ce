"""The `kestrune` command line driven through real processes on generated models:
dispatch and usage, option errors, sampling defaults, the exact stream contents and
line order, streaming, exit codes and the chat REPL."""

import os
import re
import select
import subprocess
import sys
import time

import pytest

kestrune = pytest.importorskip("kestrune")

from kestrune_testing import (EOS_ALT, IM_END, IM_START, decode_run, make_models,  # noqa: E402
                              template_lengths, uniform_draws)

SHIM = "import kestrune, sys; sys.exit(kestrune.cli_main())"
USAGE = ('usage: kestrune generate <model.gguf> "<prompt>" [n_tokens] [--temp T] [--top-k K] [--top-p P] [--seed S]\n'
         "       kestrune chat <model.gguf> [--system S] [--max-turn-tokens N] [--temp T] [--top-k K] [--top-p P] "
         "[--seed S]\n")
PERF = re.compile(r"^# perf: prefill (\d+) tok in \d+\.\d\ds \(\d+\.\d tok/s\) \| "
                  r"gen (\d+) tok in \d+\.\d\ds \(\d+\.\d tok/s\)$")
BANNER = "# backend: cpu (scalar reference)"
READY = "# chat REPL ready: 'exit' or Ctrl-D quits"


def run(*args, stdin=None, env=None, timeout=120):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", SHIM, *map(str, args)], input=stdin, capture_output=True,
                          env=full_env, timeout=timeout)


def err_lines(proc):
    return proc.stderr.decode().splitlines()


def perf_counts(proc):
    """(prefill, generated) of every performance line (in chat, after the "> " prompt)."""
    return [tuple(map(int, m.groups())) for m in (PERF.match(x.lstrip("> ")) for x in err_lines(proc)) if m]


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return make_models(tmp_path_factory.mktemp("cli_models"))


@pytest.fixture(scope="module")
def engines(models):
    return {name: kestrune.Engine(models[name]) for name in ("tiny", "uniform", "noeos")}


# -- dispatch and argument errors --------------------------------------------------------

@pytest.mark.parametrize("args", [[], ["help"], ["generate"], ["generate", "m.gguf"], ["Generate", "m", "p"],
                                  ["--temp", "1"]])
def test_usage_and_no_command(args):
    p = run(*args)
    assert p.returncode == 1
    assert p.stdout == b""
    assert p.stderr.decode() == USAGE + "kestrune: no command\n"


def test_cli_main_in_process_returns_the_exit_code(monkeypatch, capfd):
    monkeypatch.setattr(sys, "argv", ["kestrune"])
    assert kestrune.cli_main() == 1
    assert capfd.readouterr().err == USAGE + "kestrune: no command\n"
    monkeypatch.setattr(sys, "argv", "kestrune generate")
    with pytest.raises(TypeError):
        kestrune.cli_main()


@pytest.mark.parametrize("extra, message", [
    (["-5"], "bad n_tokens '-5': not a whole number"),
    ([""], "bad n_tokens '': empty, expected a whole number"),
    (["99999999999999999999"], "bad n_tokens '99999999999999999999': too large"),
    (["1.5"], "bad n_tokens '1.5': not a whole number"),
    (["--temp", ""], "bad --temp '': empty, expected a number"),
    (["4", "--temp", "warm"], "bad --temp 'warm': not a number"),
    (["--top-p", "0.9.1"], "bad --top-p '0.9.1': not a number"),
    (["--top-k", "-1"], "bad --top-k '-1': not a whole number"),
    (["--top-k", "+"], "bad --top-k '+': not a whole number"),
    (["--seed", "18446744073709551616"], "bad --seed '18446744073709551616': too large"),
    (["--seed", ""], "bad --seed '': empty, expected a whole number"),
    (["3", "--top-k"], "--top-k: missing value"),
    (["--bogus", "1"], "unknown flag --bogus"),
    (["--system", "hi"], "unknown flag --system"),
    (["--max-turn-tokens", "3"], "unknown flag --max-turn-tokens"),
    (["3", "4"], "unknown flag 4"),
])
def test_generate_argument_errors(models, extra, message):
    # Arguments are checked before the model file is touched: nothing else is printed.
    p = run("generate", models["tiny"], "hi", *extra)
    assert (p.returncode, p.stdout, p.stderr.decode()) == (1, b"", f"kestrune: {message}\n")


@pytest.mark.parametrize("extra, message", [
    ([], None),
    (["--max-turn-tokens", "x"], "bad --max-turn-tokens 'x': not a whole number"),
    (["--max-turn-tokens", "-1"], "bad --max-turn-tokens '-1': not a whole number"),
    (["--system"], "--system: missing value"),
    (["--temp", "1", "--nope", "2"], "unknown flag --nope"),
])
def test_chat_argument_errors(models, extra, message):
    if message is None:
        p = run("chat")
        message = "chat: missing <model.gguf>"
    else:
        p = run("chat", models["tiny"], *extra)
    assert (p.returncode, p.stdout, p.stderr.decode()) == (1, b"", f"kestrune: {message}\n")


@pytest.mark.parametrize("name, message", [
    ("missing", "kestrune: cannot open model file {}: No such file or directory (os error 2)"),
    ("notgguf", "kestrune: not a GGUF file (magic [80, 75, 3, 4])"),
])
def test_bad_model_files(models, tmp_path, name, message):
    path = models.get(name, str(tmp_path / "missing.gguf"))
    for args in (["generate", path, "hi"], ["chat", path]):
        p = run(*args)
        assert (p.returncode, p.stdout, p.stderr.decode()) == (1, b"", message.format(path) + "\n")


def test_directory_as_model(tmp_path):
    p = run("generate", str(tmp_path), "hi")
    assert p.returncode == 1 and p.stdout == b""
    assert p.stderr.decode().startswith("kestrune: ")


def test_model_without_merges(models):
    p = run("generate", models["nomerges"], "hi", "3")
    assert p.returncode == 1 and p.stdout == b""
    lines = err_lines(p)
    assert lines[-1] == "kestrune: encode unavailable: GGUF carries no merges"
    assert lines[-2] == BANNER
    p = run("chat", models["nomerges"], stdin=b"hi\n")
    assert err_lines(p)[-1] == "kestrune: encode unavailable: GGUF carries no merges"
    assert p.returncode == 1


def test_chat_without_markers(models):
    p = run("chat", models["nomarkers"], "--seed", "1", stdin=b"hi\n")
    assert p.returncode == 1
    assert err_lines(p) == ["# sampling: temp=1 top_k=20 top_p=0.95 seed=1",
                            "kestrune: chat: special token <|im_start|> not found in vocab"]


# -- sampling defaults -------------------------------------------------------------------

@pytest.mark.parametrize("model, extra, line", [
    ("tiny", [], "temp=1 top_k=20 top_p=0.95 seed=7"),
    ("temp06", [], "temp=0.6 top_k=20 top_p=0.95 seed=7"),
    ("temp06", ["--temp", "0"], "temp=0 top_k=20 top_p=0.95 seed=7"),
    ("sampling_int", [], "temp=0.25 top_k=40 top_p=0.8 seed=7"),
    ("sampling_uint", [], "temp=1 top_k=7 top_p=0.95 seed=7"),
    ("topk_negative", [], "temp=1 top_k=20 top_p=0.95 seed=7"),
    ("tiny", ["--temp", "+1e-1", "--top-k", "+0", "--top-p", ".5"], "temp=0.1 top_k=0 top_p=0.5 seed=7"),
    ("tiny", ["--temp", "1e10", "--top-p", "5e-7"], "temp=10000000000 top_k=20 top_p=0.0000005 seed=7"),
    ("tiny", ["--temp", "0", "--top-p", "1"], "temp=0 top_k=20 top_p=1 seed=7"),
    ("tiny", ["--temp", "2", "--temp", "0.3", "--seed", "1", "--seed", "7"], "temp=0.3 top_k=20 top_p=0.95 seed=7"),
])
def test_sampling_line(models, model, extra, line):
    p = run("generate", models[model], "hi", "2", "--seed", "7", *extra)
    assert p.returncode == 0, p.stderr
    assert err_lines(p)[0] == "# sampling: " + line


def test_clock_seed_when_no_seed_given(models):
    seeds = []
    for _ in range(2):
        first = err_lines(run("generate", models["tiny"], "hi", "0"))[0]
        m = re.fullmatch(r"# sampling: temp=1 top_k=20 top_p=0\.95 seed=(\d+)", first)
        assert m
        seeds.append(int(m.group(1)))
    assert seeds[0] != seeds[1]
    assert abs(seeds[0] - time.time_ns()) < 600 * 10 ** 9


def test_metadata_temperature_is_applied(models, engines):
    # temp06 differs from tiny only in its sampling metadata; the weights are the same.
    meta = run("generate", models["temp06"], "The quick", "12", "--seed", "11")
    explicit = run("generate", models["tiny"], "The quick", "12", "--seed", "11", "--temp", "0.6")
    assert meta.returncode == explicit.returncode == 0
    assert meta.stdout == explicit.stdout
    text = engines["tiny"].generate("The quick", 12, temperature=0.6, top_k=20, top_p=0.95, seed=11)
    assert meta.stdout.decode("utf-8", "replace") == "The quick" + text + "\n"


# -- generate: streams and line order ----------------------------------------------------

def test_generate_streams_exactly_prompt_and_tokens(models, engines):
    prompt = "Hello world"
    p = run("generate", models["tiny"], prompt, "10", "--temp", "0")
    assert p.returncode == 0
    text = engines["tiny"].generate(prompt, 10)
    assert p.stdout.decode("utf-8", "replace") == prompt + text + "\n"
    n_prompt = len(engines["tiny"].encode(prompt))

    lines = err_lines(p)
    assert lines[0] == "# sampling: temp=0 top_k=20 top_p=0.95 seed=" + lines[0].rsplit("=", 1)[1]
    assert lines[1] == f"# loading {models['tiny']} ..."
    banner = lines.index(BANNER)
    assert all(x.startswith("# ") for x in lines[2:banner])
    assert lines[banner + 1:-1] == [f"# prompt: {n_prompt} tokens"]
    m = PERF.match(lines[-1])
    assert m and int(m.group(1)) == n_prompt and int(m.group(2)) <= 10


def test_generate_raw_bytes_and_stop_at_eos(models, engines):
    def stops_early(seed):
        ids = decode_run(uniform_draws(seed), 40, {EOS_ALT})
        return 3 <= len(ids) < 40
    seed = next(s for s in range(100000) if stops_early(s))
    ids = decode_run(uniform_draws(seed), 40, {EOS_ALT})
    p = run("generate", models["uniform"], "Hi", "40", "--temp", "1", "--top-k", "0", "--top-p", "1",
            "--seed", seed)
    assert p.returncode == 0
    assert p.stdout == b"Hi" + engines["uniform"].decode(ids) + b"\n"
    assert perf_counts(p) == [(len(engines["uniform"].encode("Hi")), len(ids))]


def test_generate_first_sample_is_eos(models):
    seed = next(s for s in range(5000) if next(uniform_draws(s)) == EOS_ALT)
    p = run("generate", models["uniform"], "Hi", "10", "--temp", "1", "--top-k", "0", "--top-p", "1",
            "--seed", seed)
    assert p.returncode == 0
    assert p.stdout == b"Hi\n"
    assert perf_counts(p)[0][1] == 0


def test_generate_budget_zero_and_default_budget(models):
    p = run("generate", models["noeos"], "Hello world", "0")
    assert p.stdout == b"Hello world\n"
    assert perf_counts(p)[0][1] == 0
    # A fourth argument that is an option leaves the budget at 64.
    p = run("generate", models["noeos"], "Hello world", "--temp", "0")
    assert p.returncode == 0
    assert perf_counts(p)[0][1] == 64


def test_generate_is_byte_identical_across_runs(models):
    a = run("generate", models["tiny"], "Once upon", "3", "--temp", "0")
    b = run("generate", models["tiny"], "Once upon", "3", "--temp", "0")
    assert a.returncode == 0 and a.stdout == b.stdout


def test_generate_empty_prompt(models):
    p = run("generate", models["tiny"], "", "3")
    assert p.returncode == 1 and p.stdout == b""
    assert err_lines(p)[-2:] == ["# prompt: 0 tokens", "kestrune: empty prompt after tokenization"]


def test_failed_stdout_write_ends_the_run(models):
    cmd = [sys.executable, "-c", SHIM, "generate", models["tiny"], "hi", "3"]
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120,
                       preexec_fn=lambda: os.close(1))
    assert p.returncode == 1
    assert p.stderr.decode().splitlines()[-1] == "kestrune: Bad file descriptor (os error 9)"


def test_first_token_reaches_the_reader_before_the_process_ends(models):
    prompt = b"Hello"
    proc = subprocess.Popen([sys.executable, "-c", SHIM, "generate", models["noeos"], prompt, "1000000",
                             "--temp", "0"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        got = b""
        deadline = time.monotonic() + 60
        while len(got) <= len(prompt) and time.monotonic() < deadline:
            ready, _, _ = select.select([proc.stdout], [], [], 1.0)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                got += chunk
        assert got.startswith(prompt) and len(got) > len(prompt)
        assert proc.poll() is None
    finally:
        proc.kill()
        proc.wait()


# -- chat ------------------------------------------------------------------------------

def test_chat_two_turns_with_system_prompt(models, engines):
    e = engines["uniform"]
    seed, budget = 21, 6
    draws = uniform_draws(seed)
    replies = [decode_run(draws, budget, {IM_END, EOS_ALT}) for _ in range(2)]
    p = run("chat", models["uniform"], "--system", "Be brief.", "--max-turn-tokens", budget, "--temp", "1",
            "--top-k", "0", "--top-p", "1", "--seed", seed, stdin=b"Hello there\nWhat now?\n")
    assert p.returncode == 0, p.stderr
    # The sampler's stream continues from one turn into the next.
    assert p.stdout == b"".join(e.decode(r) + b"\n" for r in replies)
    prefill = template_lengths(e, "Be brief.", ["Hello there", "What now?"])
    assert perf_counts(p) == [(prefill[0], len(replies[0])), (prefill[1], len(replies[1]))]

    lines = err_lines(p)
    assert lines[0] == f"# sampling: temp=1 top_k=0 top_p=1 seed={seed}"
    nl = e.encode("\n")
    assert lines[1] == f"# chat: im_start={IM_START} im_end={IM_END} eos=Some({EOS_ALT}) nl={nl}"
    assert lines[2] == f"# loading {models['uniform']} ..."
    banner = lines.index(BANNER)
    assert lines[banner + 1] == READY
    rest = "\n".join(lines[banner + 2:])
    assert rest.count("> ") == 3


def test_chat_stops_at_im_end(models, engines):
    # Find a seed whose first reply runs into "<|im_end|>" after a few tokens.
    def first_stop(seed):
        for i, tok in enumerate(uniform_draws(seed)):
            if tok in (IM_END, EOS_ALT):
                return i, tok
    seed = next(s for s in range(100000) if first_stop(s)[1] == IM_END and 2 <= first_stop(s)[0] <= 8)
    n = first_stop(seed)[0]
    ids = decode_run(uniform_draws(seed), 50, {IM_END, EOS_ALT})
    assert len(ids) == n
    p = run("chat", models["uniform"], "--temp", "1", "--top-k", "0", "--top-p", "1", "--seed", seed,
            "--max-turn-tokens", "50", stdin=b"hi\n")
    assert p.returncode == 0
    assert p.stdout == engines["uniform"].decode(ids) + b"\n"
    assert perf_counts(p)[0][1] == n


def test_chat_line_handling(models, engines):
    stdin = b"\n   \t\nhello\n  \n exit\nexit \nnever sent\n"
    p = run("chat", models["tiny"], "--temp", "0", "--max-turn-tokens", "2", stdin=stdin)
    assert p.returncode == 0
    # Blank lines are skipped, " exit" is a message, "exit " quits.
    assert [c for c, _ in perf_counts(p)] == template_lengths(engines["tiny"], None, ["hello", " exit"])
    assert p.stderr.decode().split(READY + "\n", 1)[1].count("> ") == 6
    assert p.stdout.count(b"\n") == 2


def test_chat_end_of_input(models):
    p = run("chat", models["tiny"], "--temp", "0", "--max-turn-tokens", "2", stdin=b"hi")
    assert p.returncode == 0
    assert len(perf_counts(p)) == 1
    tail = p.stderr.decode().split(READY + "\n", 1)[1]
    assert tail.startswith("> ") and tail.endswith("> ")
    p = run("chat", models["tiny"], stdin=b"")
    assert p.returncode == 0 and p.stdout == b""
    assert p.stderr.decode().endswith(READY + "\n> ")


def test_chat_exit_only(models):
    p = run("chat", models["tiny"], stdin=b"exit\nhello\n")
    assert p.returncode == 0 and p.stdout == b"" and perf_counts(p) == []


def test_chat_context_full(models):
    # Context 16: the second turn no longer fits, and the chat ends saying so.
    p = run("chat", models["smallctx"], "--temp", "0", "--max-turn-tokens", "1", stdin=b"hi\nhello again\n")
    assert p.returncode == 0
    counts = perf_counts(p)
    assert len(counts) == 1
    tail = p.stderr.decode().split(READY + "\n", 1)[1]
    assert re.search(r"# warning: context full at \d+ / 16 tokens, no room for this turn; start a new chat\n$", tail)


def test_chat_invalid_utf8_input(models):
    p = run("chat", models["tiny"], stdin=b"\xff\xfe\n")
    assert p.returncode == 1
    assert err_lines(p)[-1].endswith("kestrune: stream did not contain valid UTF-8")


# -- speculative engagement -------------------------------------------------------------

@pytest.fixture(scope="module")
def draft_model(tmp_path_factory):
    from kestrune_testing import write_model
    path = str(tmp_path_factory.mktemp("draft") / "draft.gguf")
    write_model(path, preset="tiny", seed=1, draft=True, eos=False)
    return path


SPEC_LINE = re.compile(r"^# spec: accepted (\d+)/(\d+) rounds \((\d+\.\d)%\)$")


@pytest.mark.parametrize("depth_env, depth", [(None, 2), ("1", 1), ("2", 2), ("01", 2)])
def test_speculation_engages_only_greedy(draft_model, depth_env, depth):
    env = {"KESTRUNE_MTP": "1", "KESTRUNE_WEIGHTS": "lazy"}
    if depth_env is not None:
        env["KESTRUNE_MTP_DEPTH"] = depth_env
    plain = run("generate", draft_model, "Hello world", "8", "--temp", "0")
    p = run("generate", draft_model, "Hello world", "8", "--temp", "0", env=env)
    lines = err_lines(p)
    if "# mtp speculative: armed" not in lines:
        pytest.skip("the model did not arm the speculative regime")
    assert p.returncode == 0
    # Speculation changes the number of passes, never the tokens.
    assert p.stdout == plain.stdout
    banner = lines.index(BANNER)
    assert lines[banner + 1] == f"# mtp speculative: engaged (greedy, depth {depth})"
    assert lines[banner + 2].startswith("# prompt: ")
    assert PERF.match(lines[-2]) and SPEC_LINE.match(lines[-1])

    idle = run("generate", draft_model, "Hello world", "4", "--temp", "0.5", "--seed", "1", env=env)
    lines = err_lines(idle)
    assert lines[lines.index(BANNER) + 1] == "# mtp speculative: armed but idle (temp != 0)"
    assert PERF.match(lines[-1])


# The speed switches change how the work is done, never a token: a long prompt (batched
# prefill), sampling at temperature 1, and every combination against the scalar reference.
@pytest.mark.parametrize("env", [{"KESTRUNE_THREADS": "2"}, {"KESTRUNE_THREADS": "3", "KESTRUNE_WEIGHTS": "lazy"},
                                 {"KESTRUNE_WEIGHTS": "eager"}, {"KESTRUNE_TRACE": "1"}])
def test_speed_switches_keep_every_token(models, env):
    prompt = " ".join(["the quick brown fox jumps over the lazy dog"] * 12)
    args = ("generate", models["tiny"], prompt, "12", "--temp", "1", "--seed", "7")
    reference = run(*args, env={"KESTRUNE_REFERENCE": "1"})
    assert reference.returncode == 0, reference.stderr.decode()
    p = run(*args, env=env)
    assert p.returncode == 0, p.stderr.decode()
    assert p.stdout == reference.stdout


# The cuda backend either runs (a GPU is visible) or fails cleanly: a device error at the
# first product, or, in a build without the device code, a refusal at load.
CUDA_FAILURE = re.compile(r"^kestrune: (cuda: cudaMalloc: .+ \(code \d+\)|"
                          r"KESTRUNE_BACKEND=cuda: this build has no CUDA backend \(KESTRUNE_CUDA=OFF\))$")


def test_cuda_backend_runs_or_fails_cleanly(models):
    args = ("generate", models["tiny"], "Hello", "4", "--temp", "0")
    p = run(*args, env={"KESTRUNE_BACKEND": "cuda", "KESTRUNE_WEIGHTS": "lazy"}, timeout=60)
    if p.returncode == 0:
        assert p.stdout.startswith(b"Hello")
        return
    assert p.returncode == 1, p.stderr.decode()
    assert CUDA_FAILURE.match(err_lines(p)[-1]), err_lines(p)[-1]


# -- the console command -----------------------------------------------------------------

def test_sigint_terminates_a_running_generation(models):
    proc = subprocess.Popen([sys.executable, "-c", SHIM, "generate", models["noeos"], "Hello", "1000000",
                             "--temp", "0"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 60)
        assert ready  # generating
        proc.send_signal(2)
        assert proc.wait(timeout=30) == -2
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.mark.skipif(not __import__("shutil").which("kestrune"), reason="console command not installed")
def test_installed_console_command(models):
    p = subprocess.run(["kestrune"], capture_output=True, timeout=60)
    assert (p.returncode, p.stderr.decode()) == (1, USAGE + "kestrune: no command\n")
    p = subprocess.run(["kestrune", "generate", models["tiny"], "Hi", "0"], capture_output=True, timeout=60)
    assert (p.returncode, p.stdout) == (0, b"Hi\n")

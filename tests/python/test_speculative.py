"""Speculative decoding through the `kestrune` command line: the regime and engagement
lines, greedy output unchanged at both depths, stop tokens inside accepted drafts, the
accepted-drafts line of `generate` and its absence in chat, and the draft head's tokens checked
against an independent float64 computation through the alpha instrument."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

kestrune = pytest.importorskip("kestrune")

from kestrune_testing import ROOT, write_model  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tools"))
from reference_forward import Reference, rms_norm  # noqa: E402

SHIM = "import kestrune, sys; sys.exit(kestrune.cli_main())"
BANNER = "# backend: cpu (scalar reference)"
PERF = re.compile(r"^# perf: prefill \d+ tok in \d+\.\d\ds \(\d+\.\d tok/s\) \| gen (\d+) tok in .*$")
ACCEPTED_LINE = re.compile(r"^# spec: accepted (\d+)/(\d+) rounds \((\d+\.\d)%\)$")
ARMED = {"KESTRUNE_MTP": "1", "KESTRUNE_WEIGHTS": "lazy"}
CLEAN = ("KESTRUNE_BACKEND", "KESTRUNE_WEIGHTS", "KESTRUNE_TRACE", "KESTRUNE_LENS", "KESTRUNE_MTP_ALPHA",
         "KESTRUNE_MTP", "KESTRUNE_MTP_DEPTH")


def run(*args, env=None, stdin=None):
    full = {k: v for k, v in os.environ.items() if k not in CLEAN}
    full.update(env or {})
    return subprocess.run([sys.executable, "-c", SHIM, *map(str, args)], input=stdin, capture_output=True,
                          env=full, timeout=300)


def err_lines(p):
    return p.stderr.decode().splitlines()


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    d = tmp_path_factory.mktemp("spec_models")
    paths = {}
    for name, kwargs in {"agree": dict(agree=0.25), "random": dict(draft=True, eos=False),
                         "plain": dict(eos=False)}.items():
        paths[name] = str(d / f"{name}.gguf")
        write_model(paths[name], preset="tiny", seed=1, **kwargs)
    return paths


@pytest.mark.parametrize("model, env, temp, want", [
    ("agree", ARMED, "0", ["# mtp speculative: engaged (greedy, depth 2)"]),
    ("agree", {**ARMED, "KESTRUNE_MTP_DEPTH": "1"}, "0", ["# mtp speculative: engaged (greedy, depth 1)"]),
    ("agree", {**ARMED, "KESTRUNE_MTP_DEPTH": " 1"}, "0", ["# mtp speculative: engaged (greedy, depth 2)"]),
    ("agree", ARMED, "0.7", ["# mtp speculative: armed but idle (temp != 0)"]),
    ("agree", {"KESTRUNE_MTP": "1"}, "0", ["# mtp speculative: engaged (greedy, depth 2)"]),  # streamed by default
    ("agree", {"KESTRUNE_MTP": "1", "KESTRUNE_WEIGHTS": "eager"}, "0", []),
    ("agree", {**ARMED, "KESTRUNE_MTP": "true"}, "0", []),
    ("plain", ARMED, "0", []),                                # no draft head: off
    ("plain", ARMED, "0.7", []),
])
def test_engagement_lines(models, model, env, temp, want):
    p = run("generate", models[model], "Hello", "3", "--temp", temp, "--seed", "1", env=env)
    assert p.returncode == 0, p.stderr
    lines = err_lines(p)
    banner = lines.index(BANNER)
    assert lines[banner - 1] == "# mtp speculative: " + ("armed" if want else "off")
    assert lines[banner + 1:banner + 1 + len(want)] == want
    assert lines[banner + 1 + len(want)].startswith("# prompt: ")
    assert PERF.match(lines[-2 if want and temp == "0" else -1])
    assert any(ACCEPTED_LINE.match(x) for x in lines) == (bool(want) and temp == "0")


@pytest.mark.parametrize("model", ["agree", "random"])
@pytest.mark.parametrize("depth", ["1", "2"])
def test_greedy_output_is_unchanged(models, model, depth):
    for prompt, budget in (("Hello world", 2), ("Hello world", 7), ("The quick brown fox", 30)):
        plain = run("generate", models[model], prompt, budget, "--temp", "0")
        fast = run("generate", models[model], prompt, budget, "--temp", "0",
                   env={**ARMED, "KESTRUNE_MTP_DEPTH": depth})
        assert fast.returncode == 0, fast.stderr
        assert fast.stdout == plain.stdout
        lines = err_lines(fast)
        assert int(PERF.match(lines[-2]).group(1)) == budget
        m = ACCEPTED_LINE.match(lines[-1])
        accepted, rounds = int(m.group(1)), int(m.group(2))
        assert 1 <= rounds <= budget - 1
        assert m.group(3) == f"{accepted * 100 / rounds:.1f}"
        if model == "agree" and budget > 10:
            assert accepted > 0


def test_budget_one_runs_no_round(models):
    p = run("generate", models["agree"], "Hello world", "1", "--temp", "0", env=ARMED)
    assert p.returncode == 0
    lines = err_lines(p)
    assert PERF.match(lines[-1]) and not any(ACCEPTED_LINE.match(x) for x in lines)


def greedy_chain(models, prompt, n):
    """The agreeing model's greedy continuation predicted from its successor map."""
    from gen_model import build_writer
    _, info = build_writer(preset="tiny", seed=1, agree=0.25)
    ids = kestrune.Engine(models["agree"]).encode(prompt)
    chain = [info.successor[ids[-1]]]
    while len(chain) < n:
        chain.append(info.successor[chain[-1]])
    return chain


@pytest.mark.parametrize("depth", ["1", "2"])
def test_end_of_sequence_inside_accepted_drafts(models, tmp_path, depth):
    prompt = "Hello world"
    chain = greedy_chain(models, prompt, 24)
    engine = kestrune.Engine(models["agree"])
    # The continuation is the successor chain, so any of its tokens can be made the
    # end-of-sequence id; somewhere it falls inside an accepted list.
    plain0 = run("generate", models["agree"], prompt, 24, "--temp", "0")
    assert plain0.stdout == prompt.encode() + engine.decode(chain) + b"\n"
    for k in (3, 6, 9, 13):
        if chain[k] in chain[:k]:
            continue
        path = str(tmp_path / f"eos{k}.gguf")
        write_model(path, preset="tiny", seed=1, agree=0.25, eos_id=chain[k])
        plain = run("generate", path, prompt, 24, "--temp", "0")
        fast = run("generate", path, prompt, 24, "--temp", "0", env={**ARMED, "KESTRUNE_MTP_DEPTH": depth})
        assert plain.stdout == prompt.encode() + engine.decode(chain[:k]) + b"\n"
        assert fast.stdout == plain.stdout
        assert int(PERF.match(err_lines(fast)[-2]).group(1)) == k


def test_chat_turns_end_with_the_performance_line_alone(models):
    stdin = b"Hello there\nHow are you\n"
    plain = run("chat", models["agree"], "--temp", "0", "--max-turn-tokens", "9", stdin=stdin)
    fast = run("chat", models["agree"], "--temp", "0", "--max-turn-tokens", "9", stdin=stdin, env=ARMED)
    assert fast.returncode == 0, fast.stderr
    lines = err_lines(fast)
    assert "# mtp speculative: engaged (greedy, depth 2)" in lines
    assert not any(ACCEPTED_LINE.match(x.lstrip("> ")) for x in lines)
    assert [int(m.group(1)) for m in (PERF.match(x.lstrip("> ")) for x in lines) if m] == [9, 9]
    # The first turn starts from the same state either way.
    assert fast.stdout.split(b"\n")[0] == plain.stdout.split(b"\n")[0]


class DraftReference(Reference):
    """The reference forward pass plus the draft block, in float64."""

    def __init__(self, path):
        super().__init__(path)
        self.L = self.n_layers
        self.state[self.L] = ([], [])
        self.draft_pos = 0

    def hidden(self, token):
        x = self.w.get("token_embd.weight")[token].copy()
        for i in range(self.n_layers):
            x = x + (self.attn(i, x) if self.is_attn(i) else self.gdn(i, x))
            x = x + self.ffn(i, x)
        self.pos += 1
        return x

    def draft_logits(self, token, h):
        p, W = f"blk.{self.L}.", self.w
        e = W.get("token_embd.weight")[token]
        c = np.concatenate([rms_norm(e, W.get(p + "nextn.enorm.weight"), self.eps),
                            rms_norm(h, W.get(p + "nextn.hnorm.weight"), self.eps)])
        y = W.get(p + "nextn.eh_proj.weight") @ c
        main_pos, self.pos = self.pos, self.draft_pos
        y = y + self.attn(self.L, y)
        y = y + self.ffn(self.L, y)
        self.pos, self.draft_pos = main_pos, self.draft_pos + 1
        return W.get(self.head) @ rms_norm(y, W.get(p + "nextn.shared_head_norm.weight"), self.eps)


ALPHA = re.compile(r"^# mtp t=(\d+) draft=(\d+) actual=(\d+) (HIT |miss) alpha=(\d+)/(\d+) \((\d+\.\d)%\)$")


def test_alpha_instrument_drafts_match_a_float64_draft_head(models):
    prompt = "The quick brown fox"
    p = run("generate", models["random"], prompt, 12, "--temp", "0", env={"KESTRUNE_MTP_ALPHA": "1"})
    assert p.returncode == 0, p.stderr
    lines = [ALPHA.match(x) for x in err_lines(p) if x.startswith("# mtp t=")]
    assert all(lines)
    ids = kestrune.Engine(models["random"]).encode(prompt)
    # One line per forward from the third: the prompt and every generated token.
    assert [int(m.group(1)) for m in lines] == list(range(2, len(ids) + 12))
    tokens = ids[:2] + [int(m.group(3)) for m in lines]
    assert tokens[:len(ids)] == ids

    ref = DraftReference(models["random"])
    hidden = [ref.hidden(tokens[0])]
    for p_, m in zip(range(2, len(tokens)), lines):
        logits = ref.draft_logits(tokens[p_ - 1], hidden[-1])
        hidden.append(ref.hidden(tokens[p_ - 1]))
        drafted = int(m.group(2))
        spread = logits.max() - logits.min()
        # float32 against float64: the draft is the maximum up to rounding.
        assert logits[drafted] >= logits.max() - 1e-4 * spread, (p_, drafted, int(np.argmax(logits)))
        hits = sum(1 for x in lines[:p_ - 1] if x.group(4) == "HIT ")
        assert int(m.group(5)) == hits and int(m.group(6)) == p_ - 1


TRAINED = os.path.join(ROOT, "models", "trained-q8_0.gguf")
CHAT_LINES = b"def read_config(path):\nimport os\nclass Config:\nreturn None\nfor line in open(path):\nwhile True:\n"
PY_TURNS = """import kestrune, sys
e = kestrune.Engine(sys.argv[1])
users = ["def read_config(path):", "import os", "class Config:", "return None", "while True:"]
for budget in (13, 40):
    msgs, prompt = [], ""
    for u in users:
        msgs.append({"role": "user", "content": u})
        reply = e.chat(msgs, max_tokens=budget, temperature=0.0)
        msgs.append({"role": "assistant", "content": reply})
        prompt += u + "\\n"
        piece = "".join(e.stream(prompt, budget))
        prompt += piece
        print(repr((reply, piece)))
"""


@pytest.mark.parametrize("front", ["chat 13", "chat 40", "python"])
@pytest.mark.parametrize("depth", ["1", "2"])
def test_multi_turn_speculation_emits_greedy_tokens(front, depth):
    """Every turn, including one cut by its budget, continues from the state greedy
    decoding would have: the next turn's reply is the same token for token."""
    if front == "python":
        plain = run_py(PY_TURNS, TRAINED)
        fast = run_py(PY_TURNS, TRAINED, env={**ARMED, "KESTRUNE_MTP_DEPTH": depth})
    else:
        args = ("chat", TRAINED, "--temp", "0", "--max-turn-tokens", front.split()[1])
        plain = run(*args, stdin=CHAT_LINES)
        fast = run(*args, stdin=CHAT_LINES, env={**ARMED, "KESTRUNE_MTP_DEPTH": depth})
        assert f"# mtp speculative: engaged (greedy, depth {depth})" in err_lines(fast)
        assert len(fast.stdout.splitlines()) >= 6
    assert plain.returncode == 0 and fast.returncode == 0, fast.stderr
    assert fast.stdout == plain.stdout


def run_py(code, *args, env=None):
    full = {k: v for k, v in os.environ.items() if k not in CLEAN}
    full.update(env or {})
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, env=full, timeout=300)

"""The golden logits of the C++ tests against an independent float64 forward pass."""

import os
import shlex
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import gen_model  # noqa: E402
import reference_forward  # noqa: E402

GOLDEN_DIR = os.path.join(ROOT, "tests", "golden")
GOLDENS = sorted(f for f in os.listdir(GOLDEN_DIR) if f.endswith(".golden"))


def model_args(golden):
    with open(golden) as f:
        for line in f:
            if line.startswith("model: "):
                return shlex.split(line[len("model: "):])
    raise AssertionError(f"{golden}: no model line")


@pytest.mark.parametrize("name", GOLDENS)
def test_golden_logits_agree_with_float64_reference(name, tmp_path):
    golden = os.path.join(GOLDEN_DIR, name)
    model = str(tmp_path / "m.gguf")
    assert gen_model.main([model] + model_args(golden)) == 0
    tokens, want = reference_forward.read_golden(golden)
    assert len(want) == len(tokens) >= 5
    ref = reference_forward.Reference(model)
    for step, token in enumerate(tokens):
        got = ref.forward(token)
        spread = got.std()
        # Single-precision rounding leaves ~1e-5 of the spread; a formula slip is far above.
        assert abs(got - want[step]).max() < 1e-3 * spread, (name, step)
        assert got.argmax() == want[step].argmax(), (name, step)

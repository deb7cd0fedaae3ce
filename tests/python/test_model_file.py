"""The model-file layer seen from outside: generated files read back exactly through
kestrune-inspect, and every corrupted file ends in a clean error, never a crash."""

import os
import subprocess
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import gguf_writer  # noqa: E402
from gen_model import write_model  # noqa: E402
from quants import dequantize  # noqa: E402

INSPECT = os.environ.get("KESTRUNE_INSPECT", os.path.join(ROOT, "build", "test", "kestrune-inspect"))

pytestmark = pytest.mark.skipif(not os.path.exists(INSPECT), reason="kestrune-inspect not built")


def inspect(*args):
    return subprocess.run([INSPECT, *map(str, args)], capture_output=True, text=True, timeout=60)


def read_row(path, tensor, row):
    out = inspect(path, tensor, row)
    assert out.returncode == 0, out.stderr
    return np.array([float(v) for v in out.stdout.split()], dtype=np.float32)


def test_known_q8_0_values_round_trip(tmp_path):
    # Values on a Q8_0 grid (scale 2^-7 per block, |q| <= 127) survive quantization exactly.
    rng = np.random.default_rng(5)
    q = rng.integers(-127, 128, size=(512, 256)).astype(np.float32)
    q[:, ::32] = 127  # pin every block's maximum so its scale is exactly 2^-7
    values = q / 128.0
    path = tmp_path / "known.gguf"
    write_model(str(path), preset="tiny", types="q8_0",
                override_tensors={"token_embd.weight": values})
    for row in (0, 1, 255, 511):
        np.testing.assert_array_equal(read_row(path, "token_embd.weight", row), values[row])


@pytest.mark.parametrize("types", ["f32", "f16", "q8_0", "q4k-mix"])
def test_rows_match_reference_decoder(tmp_path, types):
    path = tmp_path / f"{types}.gguf"
    info = write_model(str(path), preset="tiny", types=types)
    listing = inspect(path)
    assert listing.returncode == 0, listing.stderr
    reader = gguf_writer.read_gguf(path.read_bytes())
    for name, dims, tname in info.tensors[:12]:
        data = b"".join(reader.find_tensor(name).chunks())
        rows = int(np.prod(dims[1:])) if len(dims) > 1 else 1
        ne0 = dims[0]
        nbytes = len(data) // rows
        for r in {0, rows - 1}:
            want = dequantize(data[r * nbytes:(r + 1) * nbytes], gguf_writer.TYPE_IDS[tname], ne0)
            got = read_row(path, name, r)
            assert got.tobytes() == np.asarray(want, dtype=np.float32).tobytes(), (name, r)
        assert f"{name} " in listing.stdout and tname in listing.stdout


def test_corruption_corpus_never_crashes(tmp_path):
    out = tmp_path / "corpus"
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "corrupt.py"), "--all", str(out)],
                   check=True, capture_output=True)
    manifest = [line.split("\t") for line in (out / "MANIFEST.tsv").read_text().splitlines()[1:]]
    assert len(manifest) > 50
    for case, expect, _ in manifest:
        res = inspect(out / f"{case}.gguf")
        assert res.returncode in (0, 1), (case, res.returncode, res.stderr)  # never a signal
        if expect == "header":
            assert res.returncode == 1 and res.stderr.startswith("kestrune-inspect: "), case
        elif expect == "ok":
            assert res.returncode == 0, (case, res.stderr)

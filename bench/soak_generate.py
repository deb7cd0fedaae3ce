#!/usr/bin/env python3
"""Memory soak: many generate calls on one Engine must leave resident memory flat.

    python3 bench/soak_generate.py [--calls 1000] [--tokens 16] [--model PATH]

Without --model a tiny synthetic model is generated in a temporary directory. Prints the
resident set size after a warm-up and at the end, and exits 1 when it grew by more than
--limit-kib (default 2048)."""

import argparse
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))


def rss_kib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=1000)
    ap.add_argument("--tokens", type=int, default=16)
    ap.add_argument("--warmup", type=int, default=50)
    ap.add_argument("--model")
    ap.add_argument("--limit-kib", type=int, default=2048)
    a = ap.parse_args()

    import kestrune

    with tempfile.TemporaryDirectory() as tmp:
        path = a.model
        if path is None:
            from gen_model import write_model
            path = os.path.join(tmp, "soak.gguf")
            write_model(path, preset="tiny", seed=1)
        # The performance line of every call would drown the report.
        devnull = os.open(os.devnull, os.O_WRONLY)
        saved = os.dup(2)
        os.dup2(devnull, 2)
        try:
            engine = kestrune.Engine(path)
            prompts = ["Hello world", "The quick brown fox", "What is the time?", "1 2 3"]

            def call(i):
                p = prompts[i % len(prompts)]
                if i % 2:
                    engine.generate(p, a.tokens, temperature=0.8, top_k=40, top_p=0.9, seed=i)
                else:
                    engine.generate(p, a.tokens)
                engine.decode(engine.encode(p))

            for i in range(a.warmup):
                call(i)
            before = rss_kib()
            for i in range(a.calls):
                call(i)
            after = rss_kib()
        finally:
            os.dup2(saved, 2)
            os.close(devnull)
            os.close(saved)

    growth = after - before
    print(f"soak: {a.calls} generate calls x {a.tokens} tokens: rss {before} KiB -> {after} KiB "
          f"({growth:+d} KiB)")
    return 0 if growth <= a.limit_kib else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Streaming and chat figures of one Engine, measured side by side in one run:

    python3 bench/bench_stream.py [--model PATH] [--tokens 64] [--streams 8]

1. one stream: time to the first piece and tokens/s after it;
2. --streams concurrent streams on the same Engine: total tokens/s;
3. the second turn of a chat with the decode-state cache and without it (an Engine
   with cache_states=0): time to the first piece and prefilled tokens.

Without --model the 0.8B-geometry Q8_0 file the C++ benchmarks share is generated
once into $TMPDIR (tools/gen_model.py --preset 0.8b --types q8_0 --vocab synthetic).
Weights stream lazily unless KESTRUNE_WEIGHTS says otherwise."""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def default_model():
    path = os.path.join(os.environ.get("TMPDIR") or "/tmp", "kestrune-bench-0.8b-q8_0.gguf")
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_model.py"), path, "--preset", "0.8b",
                        "--vocab", "synthetic", "--types", "q8_0"], check=True)
    return path


class Stderr:
    """Sends file descriptor 2 (the engine's load and "# perf" lines) to a temporary file."""

    def __enter__(self):
        self.file = tempfile.TemporaryFile()
        self.saved = os.dup(2)
        os.dup2(self.file.fileno(), 2)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)


def timed_stream(it):
    start = time.perf_counter()
    first = None
    for _ in it:
        if first is None:
            first = time.perf_counter()
    end = time.perf_counter()
    return first - start, end - first, it.completion_tokens


def one_stream(engine, prompt, tokens):
    ttft, rest, n = timed_stream(engine.stream(prompt, tokens, temperature=0.0))
    return ttft, (n - 1) / rest


def concurrent_streams(engine, prompt, tokens, count):
    counts = [0] * count
    barrier = threading.Barrier(count + 1)

    def run(i):
        barrier.wait()
        it = engine.stream(f"{prompt} ({i})", tokens, temperature=0.8, seed=i)
        for _ in it:
            pass
        counts[i] = it.completion_tokens

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return sum(counts), time.perf_counter() - start


def second_turn(engine, system, first_user, second_user, tokens):
    msgs = [{"role": "system", "content": system}, {"role": "user", "content": first_user}]
    msgs.append({"role": "assistant", "content": engine.chat(msgs, tokens, temperature=0.0)})
    msgs.append({"role": "user", "content": second_user})
    it = engine.chat(msgs, tokens, temperature=0.0, stream=True)
    ttft, rest, _ = timed_stream(it)
    return ttft, ttft + rest, it.prompt_tokens, it.cached_tokens


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--model")
    ap.add_argument("--tokens", type=int, default=64)
    ap.add_argument("--streams", type=int, default=8)
    a = ap.parse_args()
    os.environ.setdefault("KESTRUNE_WEIGHTS", "lazy")
    path = a.model or default_model()

    import kestrune

    prompt = "The history of the northern river valleys begins with the first settlers who"
    system = "You are a careful assistant. Answer in full sentences and explain each step. " * 6
    with Stderr():
        cached = kestrune.Engine(path)
        fresh = kestrune.Engine(path, cache_states=0)
        cached.generate(prompt, 4)  # page the weights in before timing
        ttft, tps = one_stream(cached, prompt, a.tokens)
        total, seconds = concurrent_streams(cached, prompt, a.tokens, a.streams)
        turns = {name: second_turn(e, system, "Tell me about rivers in three short points.",
                                   "Now the same about mountains.", 32)
                 for name, e in (("cache", cached), ("no cache", fresh))}

    print(f"model: {path}")
    print(f"one stream of {a.tokens}: first piece {ttft * 1000:.0f} ms, then {tps:.1f} tok/s")
    print(f"{a.streams} concurrent streams of {a.tokens}: {total} tokens in {seconds:.1f} s, "
          f"{total / seconds:.1f} tok/s in total")
    for name, (ttft, whole, prompt_tokens, cached_tokens) in turns.items():
        print(f"chat second turn, {name}: prompt {prompt_tokens} tok ({prompt_tokens - cached_tokens} prefilled), "
              f"first piece {ttft * 1000:.0f} ms, reply {whole:.2f} s")


if __name__ == "__main__":
    main()

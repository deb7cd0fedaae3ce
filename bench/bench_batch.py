#!/usr/bin/env python3
"""Throughput of concurrent generations on one Engine, which steps them together:

    python3 bench/bench_batch.py [--model PATH ...] [--tokens 128] [--streams 1,2,4,8,16]
                                 [--threads 2] [--modes exact,int8] [--server]

For each model and mode (exact products, or KESTRUNE_CPU_XQUANT=q8 int8 products), one
process loads the Engine and measures, side by side:
1. total greedy decode tokens/s of N concurrent streams of --tokens tokens (each with
   its own prompt), for every N of --streams, and the same N streams one after another
   with max_batch=1 for the 8-stream row;
2. the time to the first token of a new request with a 512-token prompt while 8
   others decode, and the others' worst gap between two tokens meanwhile.
With --server, also 16 concurrent chat streams through kestrune-server with the official
openai client: all complete, total tokens/s, p50/p95 time to the first token.

Without --model the 0.8B-geometry Q8_0 and Q4_K/Q6_K-mix files are generated once into
$TMPDIR (tools/gen_model.py --preset 0.8b --vocab synthetic)."""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def default_models():
    out = []
    for types in ("q8_0", "q4k-mix"):
        path = os.path.join(os.environ.get("TMPDIR") or "/tmp", f"kestrune-bench-0.8b-{types}.gguf")
        if not os.path.exists(path):
            subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_model.py"), path, "--preset", "0.8b",
                            "--vocab", "synthetic", "--types", types], check=True, stdout=subprocess.DEVNULL)
        out.append(path)
    return out


def prompt_of(i, words=6):
    return " ".join(f"w{(i * 7 + j) % 50}" for j in range(words))


def long_prompt(engine, n):
    """A text of about n tokens."""
    ids = engine.encode(prompt_of(99, n))[:n]
    return engine.decode(ids).decode("utf-8", "replace")


def concurrent(engine, n, tokens):
    """Total tokens/s of n streams started together."""
    counts = [0] * n
    barrier = threading.Barrier(n + 1)

    def run(i):
        barrier.wait()
        it = engine.stream(prompt_of(i), tokens, temperature=0.0)
        for _ in it:
            pass
        counts[i] = it.completion_tokens

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - start)


def one_after_another(engine, n, tokens):
    start = time.perf_counter()
    total = 0
    for i in range(n):
        it = engine.stream(prompt_of(i), tokens, temperature=0.0)
        for _ in it:
            pass
        total += it.completion_tokens
    return total / (time.perf_counter() - start)


def joining_request(engine, tokens):
    """TTFT of a 512-token prompt joining 8 decoding streams, and their worst token gap."""
    gaps = [0.0] * 8
    joined = threading.Event()
    done_joining = threading.Event()

    def decoder(i):
        last = None
        for _ in engine.stream(prompt_of(i), tokens, temperature=0.0):
            now = time.perf_counter()
            if last is not None and joined.is_set() and not done_joining.is_set():
                gaps[i] = max(gaps[i], now - last)
            last = now

    threads = [threading.Thread(target=decoder, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    time.sleep(1.0)
    joined.set()
    start = time.perf_counter()
    it = engine.stream(long_prompt(engine, 512), 4, temperature=0.0)
    next(it)
    ttft = time.perf_counter() - start
    done_joining.set()
    for _ in it:
        pass
    for t in threads:
        t.join()
    return ttft, max(gaps)


def measure(model, mode, args):
    import kestrune
    streams = [int(s) for s in args.streams.split(",")]
    e = kestrune.Engine(model, threads=args.threads, cache_states=0)
    solo = kestrune.Engine(model, threads=args.threads, cache_states=0, max_batch=1)
    name = os.path.basename(model)
    one = concurrent(e, 1, args.tokens)
    for n in streams:
        tps = concurrent(e, n, args.tokens) if n > 1 else one
        line = f"{name} {mode} streams {n:2d}: {tps:7.2f} tok/s total, {tps / one:5.2f}x one stream"
        if n == 8:
            seq = one_after_another(solo, 8, args.tokens)
            line += f"; one after another {seq:6.2f} tok/s ({tps / seq:4.2f}x)"
        print(line, flush=True)
    ttft, gap = joining_request(e, args.tokens)
    print(f"{name} {mode} 512-token prompt joining 8 streams: first token after {ttft:.2f} s, "
          f"worst gap of the others {gap * 1000:.0f} ms", flush=True)


def server_figures(model, args):
    import openai
    log = tempfile.TemporaryFile()
    proc = subprocess.Popen([sys.executable, "-m", "kestrune_server", model, "--port", "0", "--max-concurrency", "16",
                             "--max-queue", "16", "--threads", str(args.threads)],
                            stdout=subprocess.DEVNULL, stderr=log)
    deadline = time.monotonic() + 300
    while True:
        log.seek(0)
        m = re.search(rb"serving \S+ on (http://[^\s]+)", log.read())
        if m:
            url = m.group(1).decode()
            break
        if proc.poll() is not None or time.monotonic() > deadline:
            sys.exit("server did not start")
        time.sleep(0.05)
    client = openai.OpenAI(base_url=url + "/v1", api_key="unused", max_retries=0, timeout=600)
    ttfts, tokens = [], [0] * 16

    def run(i):
        start = time.perf_counter()
        first = None
        for chunk in client.chat.completions.create(model="m", messages=[{"role": "user", "content": prompt_of(i)}],
                                                    max_tokens=args.tokens, temperature=0, stream=True):
            if chunk.choices and chunk.choices[0].delta.content:
                if first is None:
                    first = time.perf_counter() - start
                tokens[i] += 1
        ttfts.append(first)

    start = time.perf_counter()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.perf_counter() - start
    proc.terminate()
    proc.wait(30)
    q = statistics.quantiles(ttfts, n=20)
    print(f"server {os.path.basename(model)}: 16 chat streams, {len(ttfts)} complete, {sum(tokens) / wall:.2f} "
          f"tok/s total (pieces), first token p50 {statistics.median(ttfts):.2f} s p95 {q[18]:.2f} s", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", action="append", default=None)
    ap.add_argument("--tokens", type=int, default=128)
    ap.add_argument("--streams", default="1,2,4,8,16")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--modes", default="exact,int8")
    ap.add_argument("--server", action="store_true")
    ap.add_argument("--server-only", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--one", nargs=2, help=argparse.SUPPRESS)  # model mode: run in this process
    args = ap.parse_args()
    if args.one:
        measure(args.one[0], args.one[1], args)
        return
    models = args.model or default_models()
    for model in models:
        for mode in args.modes.split(",") if not args.server_only else []:
            env = dict(os.environ)
            env.pop("KESTRUNE_CPU_XQUANT", None)
            if mode == "int8":
                env["KESTRUNE_CPU_XQUANT"] = "q8"
            subprocess.run([sys.executable, __file__, "--one", model, mode, "--tokens", str(args.tokens),
                            "--streams", args.streams, "--threads", str(args.threads)], env=env, check=True)
        if args.server or args.server_only:
            server_figures(model, args)


if __name__ == "__main__":
    main()

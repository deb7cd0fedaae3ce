#!/usr/bin/env python3
"""Per-request latency of kestrune-server over one keep-alive connection, driven by the
official openai client:

    python3 bench/bench_server_latency.py [--model models/trained-q8_0.gguf] [--requests 50]
    python3 bench/bench_server_latency.py --url http://127.0.0.1:8080   # a running server

Reports the median, 90th percentile and best wall time of `GET /health`, a one-token
completion and a one-token chat completion, each request sent on the same connection.
The goal for the one-token completion on the trained model is under 5 ms."""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import httpx
import openai

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_server(model, log):
    proc = subprocess.Popen([sys.executable, "-m", "kestrune_server", model, "--port", "0"],
                            stdout=subprocess.DEVNULL, stderr=log)
    deadline = time.monotonic() + 120
    while True:
        log.seek(0)
        m = re.search(rb"serving \S+ on (http://[^\s]+)", log.read())
        if m:
            return proc, m.group(1).decode()
        if proc.poll() is not None or time.monotonic() > deadline:
            log.seek(0)
            sys.exit("server did not start:\n" + log.read().decode(errors="replace"))
        time.sleep(0.05)


def timed(call, n, warmup=3):
    for _ in range(warmup):
        call()
    times = []
    for _ in range(n):
        t = time.perf_counter()
        call()
        times.append((time.perf_counter() - t) * 1e3)
    return times


def report(name, times):
    times = sorted(times)
    p90 = times[min(len(times) - 1, int(0.9 * len(times)))]
    print(f"{name:<24} median {statistics.median(times):7.2f} ms   p90 {p90:7.2f} ms   best {times[0]:7.2f} ms")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", default=os.path.join(ROOT, "models", "trained-q8_0.gguf"))
    ap.add_argument("--url", default=None, help="measure a server that is already running")
    ap.add_argument("--api-key", default="unused")
    ap.add_argument("--requests", type=int, default=50)
    args = ap.parse_args()

    proc = None
    log = tempfile.TemporaryFile()
    url = args.url
    if url is None:
        proc, url = start_server(args.model, log)
    try:
        # One connection, reused by every request.
        http = httpx.Client(limits=httpx.Limits(max_connections=1, max_keepalive_connections=1), timeout=60)
        client = openai.OpenAI(base_url=url + "/v1", api_key=args.api_key, http_client=http, max_retries=0)
        model = client.models.list().data[0].id
        print(f"# {url}, model {model}, {args.requests} requests each over one keep-alive connection")

        def completion():
            r = client.completions.create(model=model, prompt="Hello", max_tokens=1, temperature=0)
            assert r.usage.completion_tokens <= 1

        def chat():
            client.chat.completions.create(model=model, messages=[{"role": "user", "content": "Hi"}],
                                           max_tokens=1, temperature=0)

        report("GET /health", timed(lambda: http.get(url + "/health").raise_for_status(), args.requests))
        report("completion, 1 token", timed(completion, args.requests))
        report("chat, 1 token", timed(chat, args.requests))
        http.close()
    finally:
        if proc is not None:
            proc.terminate()
            proc.wait(30)


if __name__ == "__main__":
    main()

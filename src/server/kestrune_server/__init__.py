"""kestrune-server: an OpenAI-compatible HTTP server over one kestrune.Engine.

    kestrune-server MODEL [--host 127.0.0.1] [--port 8080] [--api-key KEY] [--max-concurrency N] [--threads N]
"""

from __future__ import annotations

import argparse
import os
import socket
import sys

__all__ = ["main"]


def _parser():
    p = argparse.ArgumentParser(prog="kestrune-server", description="OpenAI-compatible HTTP server for a qwen35 GGUF model")
    p.add_argument("model", metavar="MODEL", help="path of the .gguf file")
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8080, help="port to bind, 0 for any free one (default 8080)")
    p.add_argument("--api-key", default=None, help="require 'Authorization: Bearer KEY' on every request")
    p.add_argument("--max-concurrency", type=int, default=2, metavar="N",
                   help="generations running at once (default 2)")
    p.add_argument("--max-queue", type=int, default=16, metavar="N",
                   help="requests waiting for a slot before new ones get 429 (default 16)")
    p.add_argument("--queue-timeout", type=float, default=30.0, metavar="S",
                   help="seconds a request may wait for a slot before it gets 429 (default 30)")
    p.add_argument("--max-body-bytes", type=int, default=1 << 20, metavar="N",
                   help="largest request body accepted (default 1 MiB)")
    p.add_argument("--model-name", default=None, help="model id reported to clients (default: the file's stem)")
    p.add_argument("--cache-states", type=int, default=4, metavar="N",
                   help="finished decode states kept for multi-turn chats (default 4)")
    p.add_argument("--threads", type=int, default=None, metavar="N",
                   help="CPU threads (default: KESTRUNE_THREADS, else every core this process may use)")
    p.add_argument("--quiet", action="store_true", help="no '# ' start-up lines on standard error")
    p.add_argument("--cache-bytes", type=int, default=1 << 30, metavar="N",
                   help="bytes the kept decode states may hold (default 1 GiB)")
    return p


def main(argv=None):
    args = _parser().parse_args(argv)
    if args.max_concurrency < 1 or args.max_queue < 0 or args.max_body_bytes < 1:
        sys.exit("kestrune-server: --max-concurrency must be >= 1, --max-queue >= 0, --max-body-bytes >= 1")
    if args.threads is not None and args.threads < 1:
        sys.exit("kestrune-server: --threads must be >= 1")
    try:
        import uvicorn

        from kestrune_server.app import Settings, create_app
    except ImportError as e:
        sys.exit(f"kestrune-server: {e.name} is missing; install the server extra: pip install 'kestrune[server]'")
    import kestrune

    try:
        # The start-up lines once; requests then run without their perf lines.
        engine = kestrune.Engine(args.model, threads=args.threads, verbose=not args.quiet,
                                 cache_states=args.cache_states, cache_bytes=args.cache_bytes)
        engine.verbose = False
    except (OSError, ValueError, TypeError) as e:
        sys.exit(f"kestrune-server: {e}")
    name = args.model_name or os.path.splitext(os.path.basename(args.model))[0]
    settings = Settings(model_name=name, api_key=args.api_key, max_concurrency=args.max_concurrency,
                        max_queue=args.max_queue, queue_timeout=args.queue_timeout,
                        max_body_bytes=args.max_body_bytes)
    app = create_app(engine, settings)

    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((args.host, args.port))
    except OSError as e:
        sys.exit(f"kestrune-server: cannot bind {args.host}:{args.port}: {e}")
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if family == socket.AF_INET6 else host
    print(f"# kestrune-server: serving {name} on http://{shown}:{port}", file=sys.stderr, flush=True)
    config = uvicorn.Config(app, log_level="warning", timeout_graceful_shutdown=2, access_log=False)
    uvicorn.Server(config).run(sockets=[sock])
    return 0

"""kestrune-server: an OpenAI-compatible HTTP server over one kestrune.Engine.

    kestrune-server MODEL [--host 127.0.0.1] [--port 8080] [--api-key KEY] [--max-concurrency N] [--threads N]

SIGTERM or SIGINT stops it gracefully: no new requests, running generations get
--shutdown-timeout seconds to finish; a second SIGINT stops at once.
"""

from __future__ import annotations

import argparse
import math
import os
import socket
import sys

__all__ = ["main"]


def _ranged(kind, lo, hi=None, what=None):
    """An argparse type: a `kind` value in [lo, hi], finite."""
    def convert(text):
        try:
            v = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a {kind.__name__}: {text!r}") from None
        if (kind is float and not math.isfinite(v)) or v < lo or (hi is not None and v > hi):
            raise argparse.ArgumentTypeError(f"{text!r} is not {what or f'>= {lo}'}")
        return v
    convert.__name__ = kind.__name__
    return convert


def _api_key(text):
    if not text.strip():
        raise argparse.ArgumentTypeError("the key is empty (an unset variable?)")
    return text


def _parser():
    p = argparse.ArgumentParser(prog="kestrune-server", description="OpenAI-compatible HTTP server for a qwen35 GGUF model")
    p.add_argument("model", metavar="MODEL", help="path of the .gguf file")
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    p.add_argument("--port", type=_ranged(int, 0, 65535, "a port number (0 to 65535)"), default=8080,
                   help="port to bind, 0 for any free one (default 8080)")
    p.add_argument("--api-key", type=_api_key, default=None,
                   help="require 'Authorization: Bearer KEY' on every request but GET /health")
    p.add_argument("--max-concurrency", type=_ranged(int, 1), default=8, metavar="N",
                   help="generations running at once, sharing each pass over the weights (default 8)")
    p.add_argument("--max-queue", type=_ranged(int, 0), default=16, metavar="N",
                   help="requests waiting for a slot before new ones get 429 (default 16)")
    p.add_argument("--queue-timeout", type=_ranged(float, 0.0), default=30.0, metavar="S",
                   help="seconds a request may wait for a slot before it gets 429 (default 30)")
    p.add_argument("--max-body-bytes", type=_ranged(int, 1), default=1 << 20, metavar="N",
                   help="largest request body accepted (default 1 MiB)")
    p.add_argument("--model-name", default=None, help="model id reported to clients (default: the file's stem)")
    p.add_argument("--cache-states", type=_ranged(int, 0), default=4, metavar="N",
                   help="finished decode states kept for multi-turn chats (default 4)")
    p.add_argument("--threads", type=_ranged(int, 1), default=None, metavar="N",
                   help="CPU threads (default: KESTRUNE_THREADS, else every core this process may use)")
    p.add_argument("--quiet", action="store_true", help="no '# ' start-up lines on standard error")
    p.add_argument("--cache-bytes", type=_ranged(int, 0), default=1 << 30, metavar="N",
                   help="bytes the kept decode states may hold (default 1 GiB)")
    p.add_argument("--request-timeout", type=_ranged(float, 0.001, what="a positive number of seconds"),
                   default=30.0, metavar="S",
                   help="seconds a client has to send a request's headers, and then its body (default 30)")
    p.add_argument("--shutdown-timeout", type=_ranged(float, 0.0), default=10.0, metavar="S",
                   help="on SIGTERM or SIGINT, seconds running generations may go on before their "
                        "streams end with an error (default 10)")
    return p


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        import uvicorn

        from kestrune_server.app import Settings, create_app
        from kestrune_server.transport import GracefulServer, timed_protocol
    except ImportError as e:
        sys.exit(f"kestrune-server: {e.name} is missing; install the server extra: pip install 'kestrune[server]'")
    # Bound before the model loads, so that a taken port fails at once. The protocol
    # number lets asyncio turn Nagle's algorithm off on every accepted connection (with
    # delayed ACKs it cost 40 ms per reused connection); set on the listener as well.
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        sock.bind((args.host, args.port))
    except OSError as e:
        sys.exit(f"kestrune-server: cannot bind {args.host}:{args.port}: {e}")

    import kestrune

    try:
        # The start-up lines once; requests then run without their perf lines.
        engine = kestrune.Engine(args.model, threads=args.threads, verbose=not args.quiet,
                                 cache_states=args.cache_states, cache_bytes=args.cache_bytes,
                                 max_batch=args.max_concurrency)
        engine.verbose = False
    except (OSError, ValueError, TypeError) as e:
        sys.exit(f"kestrune-server: {e}")
    name = args.model_name or os.path.splitext(os.path.basename(args.model))[0]
    settings = Settings(model_name=name, api_key=args.api_key, max_concurrency=args.max_concurrency,
                        max_queue=args.max_queue, queue_timeout=args.queue_timeout,
                        max_body_bytes=args.max_body_bytes, request_timeout=args.request_timeout,
                        shutdown_timeout=args.shutdown_timeout)
    app = create_app(engine, settings)

    sock.listen(2048)  # connections made from the line below on wait for the loop
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if family == socket.AF_INET6 else host
    print(f"# kestrune-server: serving {name} on http://{shown}:{port}", file=sys.stderr, flush=True)
    # uvicorn's own grace only backs up the application's: by then every stream has ended.
    config = uvicorn.Config(app, log_level="warning", access_log=False, http=timed_protocol(args.request_timeout),
                            timeout_graceful_shutdown=args.shutdown_timeout + 5)
    GracefulServer(config, app.server.begin_shutdown).run(sockets=[sock])
    return 0

"""The OpenAI-compatible HTTP application over one kestrune.Engine.

Generations run on a pool of worker threads, one per concurrency slot; the engine
releases the interpreter lock while it computes, so the slots run in parallel. Requests
beyond the slots wait in a bounded queue, and get 429 when it is full or they waited too
long. Streams are stepped one token at a time, so a client that goes away stops its
generation at the next token."""

from __future__ import annotations

import asyncio
import hmac
import json
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse
from starlette.routing import Route

MAX_STOP_STRINGS = 4
ROLES = {"system": "system", "developer": "system", "user": "user", "assistant": "assistant"}


@dataclass
class Settings:
    model_name: str
    api_key: str | None = None
    max_concurrency: int = 2
    max_queue: int = 16
    queue_timeout: float = 30.0
    max_body_bytes: int = 1 << 20


class ApiError(Exception):
    """An error answered with an OpenAI-style body."""

    def __init__(self, status, message, kind="invalid_request_error", param=None, code=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.kind = kind
        self.param = param
        self.code = code

    def response(self):
        body = {"error": {"message": self.message, "type": self.kind, "param": self.param, "code": self.code}}
        headers = {"WWW-Authenticate": "Bearer"} if self.status == 401 else None
        return JSONResponse(body, status_code=self.status, headers=headers)


def bad(message, param=None, code=None):
    return ApiError(400, message, param=param, code=code)


# -- request fields -----------------------------------------------------------------------

def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def int_field(body, name, default, lo, hi):
    v = body.get(name)
    if v is None:
        return default
    if not _is_int(v):
        raise bad(f"'{name}' must be an integer", name)
    if not lo <= v <= hi:
        raise bad(f"'{name}' must be between {lo} and {hi}, got {v}", name)
    return v


def number_field(body, name, default, lo, hi):
    v = body.get(name)
    if v is None:
        return default
    if not _is_number(v):
        raise bad(f"'{name}' must be a number", name)
    if not lo <= v <= hi and v == v:  # NaN goes on to the engine, which names it
        raise bad(f"'{name}' must be between {lo} and {hi}, got {v}", name)
    return float(v)


def bool_field(body, name):
    v = body.get(name, False)
    if v is None:
        return False
    if not isinstance(v, bool):
        raise bad(f"'{name}' must be a boolean", name)
    return v


def stop_field(body):
    v = body.get("stop")
    if v is None:
        return []
    if isinstance(v, str):
        v = [v]
    if not isinstance(v, list) or not all(isinstance(s, str) for s in v):
        raise bad("'stop' must be a string or a list of strings", "stop")
    if len(v) > MAX_STOP_STRINGS:
        raise bad(f"'stop' holds at most {MAX_STOP_STRINGS} strings", "stop")
    return [s for s in v if s]


def text_content(content, i):
    """A message's content: a string, or a list of text parts."""
    if isinstance(content, str):
        return content
    if isinstance(content, list):
        texts = []
        for part in content:
            if not (isinstance(part, dict) and part.get("type") == "text" and isinstance(part.get("text"), str)):
                raise bad(f"messages[{i}].content: only text parts are supported", "messages")
            texts.append(part["text"])
        return "".join(texts)
    raise bad(f"messages[{i}].content must be a string or a list of text parts", "messages")


def messages_field(body):
    msgs = body.get("messages")
    if not isinstance(msgs, list) or not msgs:
        raise bad("'messages' must be a non-empty list", "messages")
    out = []
    for i, m in enumerate(msgs):
        if not isinstance(m, dict):
            raise bad(f"messages[{i}] must be an object", "messages")
        role = m.get("role")
        if role not in ROLES:
            raise bad(f"messages[{i}].role must be one of system, user, assistant (got {role!r})", "messages")
        out.append({"role": ROLES[role], "content": text_content(m.get("content"), i)})
    return out


def sampling(body, engine, chat):
    """Engine keyword arguments from the request; chat leaves unset values to the file."""
    max_tokens = body.get("max_completion_tokens") if chat else None
    name = "max_completion_tokens" if max_tokens is not None else "max_tokens"
    if body.get("n", 1) != 1:
        raise bad("only n=1 is supported", "n")
    # Ranges are the engine's (one set of limits for every front end): it raises
    # ValueError with a clear message, answered as 400.
    anything = float("inf")
    kwargs = {
        "max_tokens": int_field(body, name, 1024 if chat else 16, 0, (1 << 64) - 1),
        "temperature": number_field(body, "temperature", None if chat else 1.0, -anything, anything),
        "top_p": number_field(body, "top_p", None if chat else 1.0, -anything, anything),
        "top_k": int_field(body, "top_k", None if chat else 0, 0, 1 << 31),
        "seed": int_field(body, "seed", None, 0, (1 << 64) - 1),
    }
    return kwargs


# -- stop strings ---------------------------------------------------------------------------

class StopScanner:
    """Cuts the text at the first stop string; holds back a tail that may start one."""

    def __init__(self, stops):
        self.stops = stops
        self.buf = ""

    def feed(self, piece):
        """Returns (text safe to send, whether a stop string was hit)."""
        if not self.stops:
            return piece, False
        self.buf += piece
        hits = [i for i in (self.buf.find(s) for s in self.stops) if i >= 0]
        if hits:
            out, self.buf = self.buf[:min(hits)], ""
            return out, True
        hold = 0
        for s in self.stops:
            for k in range(min(len(s) - 1, len(self.buf)), hold, -1):
                if self.buf.endswith(s[:k]):
                    hold = k
                    break
        cut = len(self.buf) - hold
        out, self.buf = self.buf[:cut], self.buf[cut:]
        return out, False

    def flush(self):
        out, self.buf = self.buf, ""
        return out


# -- admission ------------------------------------------------------------------------------

class Gate:
    """Concurrency slots plus a bounded queue of waiting requests."""

    def __init__(self, slots, queue, timeout):
        self.sem = asyncio.Semaphore(slots)
        self.queue = queue
        self.timeout = timeout
        self.waiting = 0

    async def enter(self):
        if self.waiting == 0 and not self.sem.locked():
            await self.sem.acquire()
            return
        if self.waiting >= self.queue:
            raise ApiError(429, "server busy: too many requests waiting", "rate_limit_error")
        self.waiting += 1
        try:
            await asyncio.wait_for(self.sem.acquire(), self.timeout)
        except asyncio.TimeoutError:
            raise ApiError(429, "server busy: waited too long for a generation slot", "rate_limit_error") from None
        finally:
            self.waiting -= 1

    def leave(self):
        self.sem.release()


def _next_piece(it):
    return next(it, None)


class Generation:
    """One engine stream stepped on the worker pool, with stop strings applied."""

    def __init__(self, server, it, stops):
        self.server = server
        self.it = it
        self.scanner = StopScanner(stops)
        self.finish_reason = None

    async def pieces(self):
        loop = asyncio.get_running_loop()
        while True:
            piece = await loop.run_in_executor(self.server.pool, _next_piece, self.it)
            if piece is None:
                self.finish_reason = self.it.finish_reason or "stop"
                tail = self.scanner.flush()
                if tail:
                    yield tail
                return
            text, hit = self.scanner.feed(piece)
            if text:
                yield text
            if hit:
                self.finish_reason = "stop"
                return

    def usage(self):
        prompt, completion = self.it.prompt_tokens, self.it.completion_tokens
        return {"prompt_tokens": prompt, "completion_tokens": completion, "total_tokens": prompt + completion,
                "prompt_tokens_details": {"cached_tokens": self.it.cached_tokens}}

    def close(self):
        # Safe while a step is still running on a worker: that step then frees the state.
        self.it.close()


class EventStream:
    """Server-sent events from an async iterator of JSON-able chunks, then [DONE]. The
    generation is closed and the slot released however the response ends."""

    def __init__(self, chunks, on_close):
        self.chunks = chunks
        self.on_close = on_close

    async def __call__(self, scope, receive, send):
        # Sends to a vanished client may succeed silently: watch for the disconnect.
        gone = asyncio.ensure_future(_wait_disconnect(receive))
        try:
            await self._stream(send, gone)
        except OSError:
            pass  # the client went away
        finally:
            gone.cancel()
            await self.chunks.aclose()
            self.on_close()

    async def _stream(self, send, gone):
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/event-stream; charset=utf-8"),
                                (b"cache-control", b"no-cache")]})
        try:
            async for chunk in self.chunks:
                if gone.done():
                    return
                data = b"data: " + json.dumps(chunk, ensure_ascii=False).encode() + b"\n\n"
                await send({"type": "http.response.body", "body": data, "more_body": True})
            tail = b"data: [DONE]\n\n"
        except Exception as e:  # noqa: BLE001 - the status line is gone: report in the stream
            error = {"message": str(e) or "internal server error", "type": "server_error", "param": None,
                     "code": None}
            tail = b"data: " + json.dumps({"error": error}).encode() + b"\n\n"
        await send({"type": "http.response.body", "body": tail, "more_body": False})


# -- the application ----------------------------------------------------------------------------

class Server:
    def __init__(self, engine, settings):
        self.engine = engine
        self.settings = settings
        self.pool = ThreadPoolExecutor(max_workers=settings.max_concurrency, thread_name_prefix="kestrune-gen")
        self.gate = None  # made on the event loop that serves

    def _gate(self):
        if self.gate is None:
            s = self.settings
            self.gate = Gate(s.max_concurrency, s.max_queue, s.queue_timeout)
        return self.gate

    async def read_json(self, request):
        limit = self.settings.max_body_bytes
        length = request.headers.get("content-length")
        if length is not None and (not length.isdigit() or int(length) > limit):
            raise ApiError(413, f"request body over {limit} bytes")
        body = bytearray()
        async for chunk in request.stream():
            body += chunk
            if len(body) > limit:
                raise ApiError(413, f"request body over {limit} bytes")
        try:
            value = json.loads(bytes(body))
        except (ValueError, RecursionError) as e:
            raise bad(f"invalid JSON body: {e}") from None
        if not isinstance(value, dict):
            raise bad("the JSON body must be an object")
        if "model" in value and not isinstance(value["model"], str):
            raise bad("'model' must be a string", "model")
        return value

    async def start(self, make_iterator, stops):
        """Takes a slot and opens the engine stream there; the caller owns the slot after."""
        gate = self._gate()
        await gate.enter()
        try:
            it = await asyncio.get_running_loop().run_in_executor(self.pool, make_iterator)
        except ValueError as e:
            gate.leave()
            code = "context_length_exceeded" if "context" in str(e) else None
            raise bad(str(e), code=code) from None
        except BaseException:
            gate.leave()
            raise
        return Generation(self, it, stops)

    async def respond(self, request, gen, streaming, chunk, final, include_usage):
        ident = uuid.uuid4().hex
        created = int(time.time())
        done = False

        def release():
            nonlocal done
            if not done:
                done = True
                gen.close()
                self._gate().leave()

        if streaming:
            async def chunks():
                first = chunk(ident, created, None, None)
                if first is not None:
                    yield first
                async for text in gen.pieces():
                    yield chunk(ident, created, text, None)
                yield chunk(ident, created, None, gen.finish_reason)
                if include_usage:
                    yield dict(chunk(ident, created, "", None), choices=[], usage=gen.usage())

            return EventStream(chunks(), release)

        watcher = asyncio.create_task(_wait_disconnect(request.receive))
        try:
            parts = []
            async for text in gen.pieces():
                parts.append(text)
                if watcher.done():
                    raise ClientDisconnect()
            return JSONResponse(final(ident, created, "".join(parts), gen.finish_reason, gen.usage()))
        finally:
            watcher.cancel()
            release()

    async def completions(self, request):
        body = await self.read_json(request)
        prompt = body.get("prompt")
        if isinstance(prompt, list) and len(prompt) == 1 and isinstance(prompt[0], str):
            prompt = prompt[0]
        if not isinstance(prompt, str):
            raise bad("'prompt' must be a string", "prompt")
        kwargs = sampling(body, self.engine, chat=False)
        streaming = bool_field(body, "stream")
        include_usage = streaming and _include_usage(body)
        gen = await self.start(lambda: self.engine.stream(prompt, **kwargs), stop_field(body))
        model = self.settings.model_name

        def chunk(ident, created, text, reason):
            if text is None and reason is None:
                return None
            return {"id": "cmpl-" + ident, "object": "text_completion", "created": created, "model": model,
                    "choices": [{"index": 0, "text": text or "", "logprobs": None, "finish_reason": reason}]}

        def final(ident, created, text, reason, usage):
            return {"id": "cmpl-" + ident, "object": "text_completion", "created": created, "model": model,
                    "choices": [{"index": 0, "text": text, "logprobs": None, "finish_reason": reason}],
                    "usage": usage}

        return await self.respond(request, gen, streaming, chunk, final, include_usage)

    async def chat_completions(self, request):
        body = await self.read_json(request)
        messages = messages_field(body)
        kwargs = sampling(body, self.engine, chat=True)
        streaming = bool_field(body, "stream")
        include_usage = streaming and _include_usage(body)
        gen = await self.start(lambda: self.engine.chat(messages, stream=True, **kwargs), stop_field(body))
        model = self.settings.model_name

        def chunk(ident, created, text, reason):
            if text is None and reason is None:
                delta = {"role": "assistant", "content": ""}
            else:
                delta = {} if text is None else {"content": text}
            return {"id": "chatcmpl-" + ident, "object": "chat.completion.chunk", "created": created, "model": model,
                    "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": reason}]}

        def final(ident, created, text, reason, usage):
            return {"id": "chatcmpl-" + ident, "object": "chat.completion", "created": created, "model": model,
                    "choices": [{"index": 0, "message": {"role": "assistant", "content": text}, "logprobs": None,
                                 "finish_reason": reason}],
                    "usage": usage}

        return await self.respond(request, gen, streaming, chunk, final, include_usage)

    async def models(self, request):
        return JSONResponse({"object": "list", "data": [
            {"id": self.settings.model_name, "object": "model", "created": 0, "owned_by": "kestrune"}]})

    async def health(self, request):
        return JSONResponse({"status": "ok"})


def _include_usage(body):
    opts = body.get("stream_options")
    if opts is None:
        return False
    if not isinstance(opts, dict) or not isinstance(opts.get("include_usage", False), bool):
        raise bad("'stream_options' must be an object with a boolean include_usage", "stream_options")
    return opts.get("include_usage", False)


async def _wait_disconnect(receive):
    while (await receive())["type"] != "http.disconnect":
        pass


def _guard(handler):
    async def endpoint(request):
        try:
            return await handler(request)
        except ApiError as e:
            return e.response()
        except ClientDisconnect:
            return JSONResponse({}, status_code=499)
        except OSError as e:
            return ApiError(500, str(e), "server_error").response()
    return endpoint


class ApiKeyMiddleware:
    """Every HTTP request must carry `Authorization: Bearer <key>`."""

    def __init__(self, app, key):
        self.app = app
        self.key = key.encode()

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http":
            given = dict(scope["headers"]).get(b"authorization", b"")
            scheme, _, token = given.partition(b" ")
            if scheme.lower() != b"bearer" or not hmac.compare_digest(token.strip(), self.key):
                await ApiError(401, "missing or wrong API key", "authentication_error",
                               code="invalid_api_key").response()(scope, receive, send)
                return
        await self.app(scope, receive, send)


async def _http_error(request, exc):
    return ApiError(exc.status_code, exc.detail or "error", "invalid_request_error").response()


async def _internal_error(request, exc):
    return ApiError(500, "internal server error", "server_error").response()


def create_app(engine, settings):
    server = Server(engine, settings)
    routes = [
        Route("/health", _guard(server.health), methods=["GET"]),
        Route("/v1/models", _guard(server.models), methods=["GET"]),
        Route("/v1/completions", _guard(server.completions), methods=["POST"]),
        Route("/v1/chat/completions", _guard(server.chat_completions), methods=["POST"]),
    ]
    app = Starlette(routes=routes, exception_handlers={HTTPException: _http_error, Exception: _internal_error})
    app.state.server = server
    if settings.api_key:
        return ApiKeyMiddleware(app, settings.api_key)
    return app

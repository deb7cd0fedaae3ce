"""The OpenAI-compatible HTTP application over one kestrune.Engine.

Generations run on a pool of worker threads, one per concurrency slot; the engine
releases the interpreter lock while it computes and steps the slots' sequences together,
one pass over the weights for all of them. Requests
beyond the slots wait in a bounded queue, and get 429 when it is full or they waited too
long. Streams are stepped one token at a time, so a client that goes away stops its
generation at the next token."""

from __future__ import annotations

import asyncio
import hmac
import json
import re
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from kestrune_chat import ChatReply, ReplyParser

MAX_STOP_STRINGS = 4
ROLES = {"system": "system", "developer": "system", "user": "user", "assistant": "assistant", "tool": "tool"}


@dataclass
class Settings:
    model_name: str
    api_key: str | None = None
    max_concurrency: int = 8
    max_queue: int = 16
    queue_timeout: float = 30.0
    max_body_bytes: int = 1 << 20
    request_timeout: float = 30.0  # seconds to receive a request's headers, then its body
    shutdown_timeout: float = 10.0  # seconds running generations get once stopping starts


class ApiError(Exception):
    """An error answered with an OpenAI-style body."""

    def __init__(self, status, message, kind="invalid_request_error", param=None, code=None, headers=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.kind = kind
        self.param = param
        self.code = code
        self.headers = dict(headers or {})
        if status == 401:
            self.headers["WWW-Authenticate"] = "Bearer"

    def body(self):
        return {"error": {"message": self.message, "type": self.kind, "param": self.param, "code": self.code}}

    def response(self):
        return JSONResponse(self.body(), status_code=self.status, headers=self.headers or None)


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
        if not isinstance(role, str) or role not in ROLES:
            raise bad(f"messages[{i}].role must be one of system, user, assistant, tool (got {role!r})", "messages")
        role = ROLES[role]
        calls = m.get("tool_calls")
        if role == "assistant" and calls is not None:
            out.append({"role": role, "content": None if m.get("content") is None else text_content(m["content"], i),
                        "tool_calls": _tool_calls_field(calls, i)})
            continue
        content = text_content(m.get("content"), i)
        no_lone_surrogate(content, f"messages[{i}].content", "messages")
        msg = {"role": role, "content": content}
        if role == "tool" and isinstance(m.get("tool_call_id"), str):
            msg["tool_call_id"] = m["tool_call_id"]
        out.append(msg)
    return out


def _tool_calls_field(calls, i):
    if not isinstance(calls, list):
        raise bad(f"messages[{i}].tool_calls must be a list", "messages")
    out = []
    for call in calls:
        fn = call.get("function") if isinstance(call, dict) else None
        if not (isinstance(fn, dict) and isinstance(fn.get("name"), str) and isinstance(fn.get("arguments"), str)):
            raise bad(f"messages[{i}].tool_calls: each needs function.name and function.arguments strings",
                      "messages")
        out.append({"id": call.get("id"), "type": "function",
                    "function": {"name": fn["name"], "arguments": fn["arguments"]}})
    return out


def chat_fields(body):
    """The keyword arguments of Engine.chat that shape the reply."""
    out = {}
    for name in ("tools", "tool_choice", "response_format", "chat_template_kwargs"):
        if body.get(name) is not None:
            out[name] = body[name]
    if "tools" in out and not isinstance(out["tools"], list):
        raise bad("'tools' must be a list", "tools")
    if "chat_template_kwargs" in out and not isinstance(out["chat_template_kwargs"], dict):
        raise bad("'chat_template_kwargs' must be an object", "chat_template_kwargs")
    return out


def sampling(body, engine, chat):
    """Engine keyword arguments from the request; chat leaves unset values to the file."""
    max_tokens = body.get("max_completion_tokens") if chat else None
    name = "max_completion_tokens" if max_tokens is not None else "max_tokens"
    n = body.get("n")
    if n is not None and (not _is_int(n) or n != 1):
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


_SURROGATE = re.compile("[\ud800-\udfff]")


def no_lone_surrogate(text, where, param):
    """JSON escapes can spell half of a UTF-16 pair, which no encoder accepts."""
    m = _SURROGATE.search(text)
    if m:
        raise bad(f"{where} holds a lone surrogate U+{ord(m.group()):04X} at position {m.start()}", param)


def _unset(*harmless):
    return lambda v: v is None or any(v == h and type(v) is type(h) for h in harmless)


# Fields that change what a request asks for and that this server does not do: answering
# as if they were absent would mislead the client.
_UNSUPPORTED = {
    "logprobs": _unset(False),
    "top_logprobs": _unset(0),
    "logit_bias": _unset({}),
    "echo": _unset(False),
    "suffix": _unset(""),
    "best_of": _unset(1),
    "tools": _unset([]),
    "tool_choice": _unset("none"),
    "functions": _unset([]),
    "function_call": _unset("none"),
    "response_format": _unset({"type": "text"}),
}


# What chat completions implement of the fields above.
CHAT_FIELDS = frozenset({"tools", "tool_choice", "response_format"})


def refuse_unsupported(body, implemented=frozenset()):
    for name, harmless in _UNSUPPORTED.items():
        if name in body and name not in implemented and not harmless(body[name]):
            raise bad(f"'{name}' is not supported by this server", name, "unsupported_parameter")
    for name in ("presence_penalty", "frequency_penalty"):
        number_field(body, name, 0.0, -2.0, 2.0)


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
    """Concurrency slots plus a bounded queue of waiting requests. A waiting request
    leaves the queue as soon as its client disconnects or the server starts stopping."""

    def __init__(self, slots, queue, timeout, stopping):
        self.sem = asyncio.Semaphore(slots)
        self.queue = queue
        self.timeout = timeout
        self.stopping = stopping
        self.waiting = 0

    async def enter(self, gone):
        if self.stopping.done():
            raise shutting_down()
        if self.waiting == 0 and not self.sem.locked():
            await self.sem.acquire()
            return
        if self.waiting >= self.queue:
            raise busy("server busy: too many requests waiting")
        self.waiting += 1
        acquire = asyncio.ensure_future(self.sem.acquire())
        entered = False
        try:
            await asyncio.wait({acquire, gone, self.stopping}, timeout=self.timeout,
                               return_when=asyncio.FIRST_COMPLETED)
            if gone.done():
                raise ClientDisconnect()
            if self.stopping.done():
                raise shutting_down()
            if not acquire.done():
                raise busy("server busy: waited too long for a generation slot")
            entered = True
        finally:
            self.waiting -= 1
            if not entered:
                if acquire.done() and not acquire.cancelled():
                    self.sem.release()
                else:
                    acquire.cancel()

    def leave(self):
        self.sem.release()


def busy(message):
    return ApiError(429, message, "rate_limit_error", headers={"Retry-After": "1"})


def shutting_down():
    return ApiError(503, "server shutting down", "server_error", code="server_shutdown")


def _next_piece(it):
    return next(it, None)


class Generation:
    """One engine stream stepped on the worker pool, with stop strings applied. `gone`
    completes when the client disconnects."""

    def __init__(self, server, it, stops, gone):
        self.server = server
        self.it = it
        self.scanner = StopScanner(stops)
        self.gone = gone
        self.finish_reason = None

    async def step(self):
        """The next piece, or None at the end. Gives the step up at once when the client
        goes away or the shutdown grace runs out; the engine stops at its next check."""
        self._check()
        step = asyncio.get_running_loop().run_in_executor(self.server.pool, _next_piece, self.it)
        await asyncio.wait({step, self.gone, self.server.expired}, return_when=asyncio.FIRST_COMPLETED)
        if step.done():
            return step.result()
        step.add_done_callback(_discard)
        self._check()

    def _check(self):
        if self.gone.done() or self.server.expired.done():
            self.close()
            if self.gone.done():
                raise ClientDisconnect()
            raise shutting_down()

    async def pieces(self):
        while True:
            piece = await self.step()
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


def _discard(future):
    if not future.cancelled():
        future.exception()


class EventStream:
    """Server-sent events from an async iterator of JSON-able chunks, then [DONE]. The
    generation is closed and the slot released however the response ends."""

    def __init__(self, chunks, on_close):
        self.chunks = chunks
        self.on_close = on_close

    async def __call__(self, scope, receive, send):
        try:
            await self._stream(send)
        except (OSError, ClientDisconnect):
            pass  # the client went away
        finally:
            await self.chunks.aclose()
            self.on_close()

    async def _stream(self, send):
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/event-stream; charset=utf-8"),
                                (b"cache-control", b"no-cache")]})
        try:
            async for chunk in self.chunks:
                data = b"data: " + json.dumps(chunk, ensure_ascii=False).encode() + b"\n\n"
                await send({"type": "http.response.body", "body": data, "more_body": True})
            tail = b"data: [DONE]\n\n"
        except ApiError as e:  # the status line is gone: report in the stream
            tail = b"data: " + json.dumps(e.body()).encode() + b"\n\n"
        except ClientDisconnect:
            raise
        except Exception as e:  # noqa: BLE001
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
        # Made on the event loop that serves: the admission gate, and the futures that
        # complete when stopping starts and when its grace period ends.
        self.gate = None
        self.stopping = None
        self.expired = None

    def _gate(self):
        if self.gate is None:
            s = self.settings
            loop = asyncio.get_running_loop()
            self.stopping, self.expired = loop.create_future(), loop.create_future()
            self.gate = Gate(s.max_concurrency, s.max_queue, s.queue_timeout, self.stopping)
        return self.gate

    def begin_shutdown(self):
        """Refuses new and queued requests at once; running generations end with an error
        once the grace period has passed. Call on the serving loop."""
        self._gate()
        if self.stopping.done():
            return
        self.stopping.set_result(None)
        expired = self.expired
        asyncio.get_running_loop().call_later(self.settings.shutdown_timeout,
                                              lambda: expired.done() or expired.set_result(None))

    async def read_json(self, request):
        limit = self.settings.max_body_bytes
        length = request.headers.get("content-length")
        if length is not None and (not length.isdigit() or int(length) > limit):
            raise ApiError(413, f"request body over {limit} bytes")
        body = bytearray()

        async def read():
            async for chunk in request.stream():
                body.extend(chunk)
                if len(body) > limit:
                    raise ApiError(413, f"request body over {limit} bytes")

        timeout = self.settings.request_timeout
        try:
            await asyncio.wait_for(read(), timeout)
        except asyncio.TimeoutError:
            raise ApiError(408, f"request body not received within {timeout:g} s") from None
        try:
            value = json.loads(bytes(body))
        except (ValueError, RecursionError) as e:
            raise bad(f"invalid JSON body: {e}") from None
        if not isinstance(value, dict):
            raise bad("the JSON body must be an object")
        if "model" in value and not isinstance(value["model"], str):
            raise bad("'model' must be a string", "model")
        return value

    async def start(self, request, make_iterator, stops):
        """Takes a slot and opens the engine stream there; the caller owns the slot after."""
        gate = self._gate()
        gone = asyncio.ensure_future(_wait_disconnect(request.receive))
        try:
            await gate.enter(gone)
        except BaseException:
            gone.cancel()
            raise
        try:
            it = await asyncio.get_running_loop().run_in_executor(self.pool, make_iterator)
        except ValueError as e:
            gone.cancel()
            gate.leave()
            code = "context_length_exceeded" if "context" in str(e) else None
            raise bad(str(e), code=code) from None
        except BaseException:
            gone.cancel()
            gate.leave()
            raise
        return Generation(self, it, stops, gone)

    async def respond(self, request, gen, streaming, chunk, final, include_usage):
        ident = uuid.uuid4().hex
        created = int(time.time())
        done = False

        def release():
            nonlocal done
            if not done:
                done = True
                gen.close()
                gen.gone.cancel()
                self._gate().leave()

        if streaming:
            def each(c):
                return [] if c is None else c if isinstance(c, list) else [c]

            async def chunks():
                for c in each(chunk(ident, created, None, None)):
                    yield c
                async for text in gen.pieces():
                    for c in each(chunk(ident, created, text, None)):
                        yield c
                for c in each(chunk(ident, created, None, gen.finish_reason)):
                    yield c
                if include_usage:
                    yield dict(chunk(ident, created, "", None), choices=[], usage=gen.usage())

            return EventStream(chunks(), release)

        try:
            parts = []
            async for text in gen.pieces():
                parts.append(text)
            return JSONResponse(final(ident, created, "".join(parts), gen.finish_reason, gen.usage()))
        finally:
            release()

    async def completions(self, request):
        body = await self.read_json(request)
        prompt = body.get("prompt")
        if isinstance(prompt, list) and len(prompt) == 1 and isinstance(prompt[0], str):
            prompt = prompt[0]
        if not isinstance(prompt, str):
            raise bad("'prompt' must be a string", "prompt")
        no_lone_surrogate(prompt, "'prompt'", "prompt")
        refuse_unsupported(body)
        kwargs = sampling(body, self.engine, chat=False)
        streaming = bool_field(body, "stream")
        include_usage = streaming and _include_usage(body)
        gen = await self.start(request, lambda: self.engine.stream(prompt, **kwargs), stop_field(body))
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
        refuse_unsupported(body, CHAT_FIELDS)
        kwargs = sampling(body, self.engine, chat=True)
        kwargs.update(chat_fields(body))
        streaming = bool_field(body, "stream")
        include_usage = streaming and _include_usage(body)
        gen = await self.start(request, lambda: self.engine.chat(messages, stream=True, **kwargs), stop_field(body))
        model = self.settings.model_name
        tools = kwargs.get("tools") if kwargs.get("tool_choice") != "none" else None
        parser = ReplyParser(gen.it.reasoning_open, tools, parse_tools=tools is not None)

        def wrap(ident, created, delta, reason):
            return {"id": "chatcmpl-" + ident, "object": "chat.completion.chunk", "created": created, "model": model,
                    "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": reason}]}

        def deltas(events):
            out = []
            for kind, value in events:
                if kind == "tool_call":
                    out.append({"tool_calls": [dict(value, index=parser.calls - 1)]})
                else:
                    out.append({"reasoning_content" if kind == "reasoning" else "content": value})
            return out

        def chunk(ident, created, text, reason):
            if text is None and reason is None:
                return wrap(ident, created, {"role": "assistant", "content": ""}, None)
            if reason is None:
                return [wrap(ident, created, d, None) for d in deltas(parser.feed(text))]
            out = [wrap(ident, created, d, None) for d in deltas(parser.finish())]
            return out + [wrap(ident, created, {}, _chat_finish(reason, parser))]

        def final(ident, created, text, reason, usage):
            reply = ChatReply(text, gen.it.reasoning_open, tools, tools is not None)
            message = {"role": "assistant", "content": None if reply.tool_calls and not reply else str(reply)}
            if reply.reasoning is not None:
                message["reasoning_content"] = reply.reasoning
            if reply.tool_calls:
                message["tool_calls"] = reply.tool_calls
            reason = "tool_calls" if reply.tool_calls and reason == "stop" else reason
            return {"id": "chatcmpl-" + ident, "object": "chat.completion", "created": created, "model": model,
                    "choices": [{"index": 0, "message": message, "logprobs": None, "finish_reason": reason}],
                    "usage": usage}

        return await self.respond(request, gen, streaming, chunk, final, include_usage)

    def _model_card(self):
        return {"id": self.settings.model_name, "object": "model", "created": 0, "owned_by": "kestrune"}

    async def models(self, request):
        return JSONResponse({"object": "list", "data": [self._model_card()]})

    async def model(self, request):
        if request.path_params["model"] != self.settings.model_name:
            raise ApiError(404, f"model '{request.path_params['model']}' does not exist", param="model",
                           code="model_not_found")
        return JSONResponse(self._model_card())

    async def health(self, request):
        if self.stopping is not None and self.stopping.done():
            return JSONResponse({"status": "stopping"}, status_code=503)
        return JSONResponse({"status": "ok"})


def _chat_finish(reason, parser):
    return "tool_calls" if parser.calls and reason == "stop" else reason


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
    """Every HTTP request but the health probe must carry `Authorization: Bearer <key>`."""

    def __init__(self, app, key):
        self.app = app
        self.key = key.encode()

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http" and scope["path"] != "/health":
            given = dict(scope["headers"]).get(b"authorization", b"")
            scheme, _, token = given.partition(b" ")
            if scheme.lower() != b"bearer" or not hmac.compare_digest(token.strip(), self.key):
                await ApiError(401, "missing or wrong API key", "authentication_error",
                               code="invalid_api_key").response()(scope, receive, send)
                return
        await self.app(scope, receive, send)


async def _http_error(request, exc):
    return ApiError(exc.status_code, exc.detail or "error", "invalid_request_error", headers=exc.headers).response()


async def _internal_error(request, exc):
    return ApiError(500, "internal server error", "server_error").response()


def create_app(engine, settings):
    server = Server(engine, settings)
    routes = [
        Route("/health", _guard(server.health), methods=["GET"]),
        Route("/v1/models", _guard(server.models), methods=["GET"]),
        Route("/v1/models/{model:path}", _guard(server.model), methods=["GET"]),
        Route("/v1/completions", _guard(server.completions), methods=["POST"]),
        Route("/v1/chat/completions", _guard(server.chat_completions), methods=["POST"]),
    ]
    app = Starlette(routes=routes, exception_handlers={HTTPException: _http_error, Exception: _internal_error})
    app.state.server = server
    if settings.api_key:
        app = ApiKeyMiddleware(app, settings.api_key)
    app.server = server
    return app

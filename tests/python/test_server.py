"""kestrune-server driven over 127.0.0.1 with the openai client and raw HTTP: the
endpoints against the engine's own results, streaming, stop strings, the chat state
cache, concurrent streams, a bounded queue, disconnects, bad input and the API key."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

kestrune = pytest.importorskip("kestrune")
for _name in ("starlette", "uvicorn", "httpx", "openai"):
    pytest.importorskip(_name, reason=f"server tests need {_name} (pip install '.[server,test]')")
import httpx  # noqa: E402
import openai  # noqa: E402

from kestrune_testing import make_models  # noqa: E402

KEY = "sekret-key"


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    return make_models(tmp_path_factory.mktemp("server_models"))


class RunningServer:
    def __init__(self, model, tmp, *args):
        self.log = os.path.join(tmp, "server.err")
        with open(self.log, "wb") as err:
            self.proc = subprocess.Popen([sys.executable, "-m", "kestrune_server", model, "--port", "0", *args],
                                         stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + 60
        while not (m := re.search(r"serving \S+ on (http://127\.0\.0\.1:\d+)", self.stderr())):
            assert self.proc.poll() is None and time.monotonic() < deadline, self.stderr()
            time.sleep(0.05)
        self.url = m.group(1)

    def stderr(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(15)


@pytest.fixture(scope="module")
def server(models, tmp_path_factory):
    s = RunningServer(models["noeos"], str(tmp_path_factory.mktemp("srv")), "--max-concurrency", "4",
                      "--max-queue", "8")
    yield s
    s.stop()


@pytest.fixture(scope="module")
def guarded(models, tmp_path_factory):
    s = RunningServer(models["noeos"], str(tmp_path_factory.mktemp("srv_key")), "--api-key", KEY,
                      "--max-concurrency", "1", "--max-queue", "1")
    yield s
    s.stop()


@pytest.fixture(scope="module")
def client(server):
    return openai.OpenAI(base_url=server.url + "/v1", api_key="unused", timeout=60, max_retries=0)


@pytest.fixture(scope="module")
def engine(models):
    return kestrune.Engine(models["noeos"], cache_states=0)


def healthy(url, **headers):
    return httpx.get(url + "/health", headers=headers, timeout=10).json() == {"status": "ok"}


# -- endpoints ----------------------------------------------------------------------------------

def test_health_and_models(server, client):
    assert healthy(server.url)
    assert [m.id for m in client.models.list()] == ["noeos"]
    assert client.models.retrieve("noeos").id == "noeos"
    with pytest.raises(openai.NotFoundError):
        client.models.retrieve("other")


@pytest.mark.parametrize("stream", [False, True])
def test_completion_matches_the_engine(client, engine, stream):
    args = dict(model="noeos", prompt="Hello world", max_tokens=12, temperature=0.8, top_p=0.9, seed=11)
    expect = "".join(engine.stream("Hello world", 12, temperature=0.8, top_k=0, top_p=0.9, seed=11))
    if stream:
        chunks = list(client.completions.create(stream=True, stream_options={"include_usage": True}, **args))
        text = "".join(c.choices[0].text for c in chunks if c.choices)
        reason = [c.choices[0].finish_reason for c in chunks if c.choices][-1]
        usage = chunks[-1].usage
    else:
        r = client.completions.create(**args)
        text, reason, usage = r.choices[0].text, r.choices[0].finish_reason, r.usage
    assert (text, reason) == (expect, "length")
    assert (usage.prompt_tokens, usage.completion_tokens) == (len(engine.encode("Hello world")), 12)


@pytest.mark.parametrize("stream", [False, True])
def test_chat_matches_the_engine_and_resumes(models, client, stream):
    # An engine with its own cache resumes exactly where the server's does.
    engine = kestrune.Engine(models["noeos"])
    msgs = [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hi " + str(stream)}]
    cached, expect_cached = [], []
    for turn in range(2):
        it = engine.chat(msgs, max_tokens=8, temperature=0.0, stream=True)
        expect = "".join(it)
        expect_cached.append(it.cached_tokens)
        if stream:
            chunks = list(client.chat.completions.create(model="m", messages=msgs, max_tokens=8, temperature=0,
                                                         stream=True, stream_options={"include_usage": True}))
            assert chunks[0].choices[0].delta.role == "assistant"
            reply = "".join(c.choices[0].delta.content or "" for c in chunks if c.choices)
            usage = chunks[-1].usage
        else:
            r = client.chat.completions.create(model="m", messages=msgs, max_tokens=8, temperature=0)
            reply, usage = r.choices[0].message.content, r.usage
        assert reply == expect
        cached.append(usage.prompt_tokens_details.cached_tokens)
        msgs += [{"role": "assistant", "content": reply}, {"role": "user", "content": "And?"}]
    assert cached == expect_cached and cached[0] == 0


@pytest.mark.parametrize("stream", [False, True])
def test_stop_strings_cut_the_text(client, engine, stream):
    full = engine.generate("Once upon", 32, temperature=0.0)
    stop = full[10:13]
    expect = full[:full.index(stop)]
    args = dict(model="m", prompt="Once upon", max_tokens=32, temperature=0, stop=[stop, "\x00never"])
    if stream:
        chunks = list(client.completions.create(stream=True, **args))
        text = "".join(c.choices[0].text for c in chunks)
        reason = chunks[-1].choices[0].finish_reason
    else:
        r = client.completions.create(**args)
        text, reason = r.choices[0].text, r.choices[0].finish_reason
    assert (text, reason) == (expect, "stop")


def test_eight_concurrent_streams(server, engine):
    prompts = [f"Story number {i}:" for i in range(8)]
    expect = [engine.generate(p, 64, temperature=0.0) for p in prompts]
    got = [None] * 8

    def run(i):
        body = {"prompt": prompts[i], "max_tokens": 64, "temperature": 0, "stream": True}
        parts, done = [], False
        with httpx.stream("POST", server.url + "/v1/completions", json=body, timeout=120) as r:
            assert r.status_code == 200
            for line in r.iter_lines():
                if line == "data: [DONE]":
                    done = True
                elif line.startswith("data: "):
                    parts.append(json.loads(line[6:])["choices"][0]["text"])
        got[i] = "".join(parts) if done else None

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(180)
    assert got == expect
    assert healthy(server.url)


# -- bad input ----------------------------------------------------------------------------------

LONG = "hello " * 5000


@pytest.mark.parametrize("path, body, status, param", [
    ("/v1/completions", b"{bad json", 400, None),
    ("/v1/completions", b"[1, 2]", 400, None),
    ("/v1/completions", b"\xff\xfe{}", 400, None),
    ("/v1/completions", b"[" * 100000, 400, None),
    ("/v1/completions", {"prompt": 5}, 400, "prompt"),
    ("/v1/completions", {"prompt": "hi", "max_tokens": "5"}, 400, "max_tokens"),
    ("/v1/completions", {"prompt": "hi", "max_tokens": -1}, 400, "max_tokens"),
    ("/v1/completions", {"prompt": "hi", "max_tokens": 2 ** 64}, 400, "max_tokens"),
    ("/v1/completions", {"prompt": "hi", "temperature": "hot"}, 400, "temperature"),
    ("/v1/completions", {"prompt": "hi", "seed": -3}, 400, "seed"),
    ("/v1/completions", {"prompt": "hi", "stream": "yes"}, 400, "stream"),
    ("/v1/completions", {"prompt": "hi", "stop": 7}, 400, "stop"),
    ("/v1/completions", {"prompt": "hi", "n": 3}, 400, "n"),
    ("/v1/completions", {"prompt": ""}, 400, None),
    ("/v1/completions", {"prompt": LONG}, 400, None),
    ("/v1/chat/completions", {"messages": "hi"}, 400, "messages"),
    ("/v1/chat/completions", {"messages": []}, 400, "messages"),
    ("/v1/chat/completions", {"messages": [{"role": "robot", "content": "x"}]}, 400, "messages"),
    ("/v1/chat/completions", {"messages": [{"role": "user", "content": 5}]}, 400, "messages"),
    ("/v1/chat/completions", {"messages": [{"role": "user", "content": LONG}]}, 400, None),
    ("/v1/chat/completions", {"model": 3, "messages": [{"role": "user", "content": "x"}]}, 400, "model"),
    ("/v1/chat/completions", {"messages": [{"role": ["user"], "content": "x"}]}, 400, "messages"),
    ("/v1/chat/completions", {"messages": [{"role": {"a": 1}, "content": "x"}]}, 400, "messages"),
    ("/v1/completions", b'{"prompt": "ab\\ud800"}', 400, "prompt"),
    ("/v1/chat/completions", b'{"messages": [{"role": "user", "content": "\\udfff"}]}', 400, "messages"),
    ("/v1/completions", b"{" + b" " * (2 << 20) + b"}", 413, None),
    ("/v1/nothing", {}, 404, None),
])
def test_bad_requests_get_openai_errors(server, path, body, status, param):
    kw = {"content": body} if isinstance(body, bytes) else {"json": body}
    r = httpx.post(server.url + path, timeout=30, **kw)
    assert r.status_code == status
    err = r.json()["error"]
    assert err["message"] and err["type"] and err["param"] == param
    if body == {"prompt": LONG}:
        assert err["code"] == "context_length_exceeded"
    if isinstance(body, bytes) and b"\\ud" in body:
        assert re.search(r"lone surrogate U\+D(800 at position 2|FFF at position 0)", err["message"])


CHAT = {"messages": [{"role": "user", "content": "Hi"}], "max_tokens": 2}


@pytest.mark.parametrize("path, extra, param", [
    ("/v1/chat/completions", {"logprobs": True}, "logprobs"),
    ("/v1/chat/completions", {"top_logprobs": 3}, "top_logprobs"),
    ("/v1/completions", {"response_format": {"type": "json_object"}}, "response_format"),
    ("/v1/completions", {"tools": [{"type": "function", "function": {"name": "f"}}]}, "tools"),
    ("/v1/completions", {"tool_choice": "required"}, "tool_choice"),
    ("/v1/chat/completions", {"logit_bias": {"5": 10}}, "logit_bias"),
    ("/v1/chat/completions", {"presence_penalty": 2.5}, "presence_penalty"),
    ("/v1/completions", {"logprobs": 0}, "logprobs"),
    ("/v1/completions", {"echo": True}, "echo"),
    ("/v1/completions", {"suffix": "end"}, "suffix"),
    ("/v1/completions", {"best_of": 2}, "best_of"),
    ("/v1/completions", {"frequency_penalty": -3}, "frequency_penalty"),
    ("/v1/completions", {"n": True}, "n"),
    # Left at their defaults, the same fields are fine.
    ("/v1/chat/completions", {"n": None, "logprobs": False, "response_format": {"type": "text"}, "tools": [],
                              "tool_choice": "none", "presence_penalty": 2, "frequency_penalty": -2}, None),
    ("/v1/completions", {"n": None, "logprobs": None, "echo": False, "best_of": 1, "logit_bias": {}}, None),
])
def test_fields_that_change_the_request_are_refused(server, path, extra, param):
    body = dict(CHAT if "chat" in path else {"prompt": "Hi", "max_tokens": 2}, **extra)
    r = httpx.post(server.url + path, json=body, timeout=30)
    if param is None:
        assert r.status_code == 200 and r.json()["usage"]["completion_tokens"] == 2
    else:
        assert r.status_code == 400 and r.json()["error"]["param"] == param
        assert param in r.json()["error"]["message"]


def test_server_survives_bad_input(server):
    r = httpx.get(server.url + "/v1/completions", timeout=10)
    assert r.status_code == 405 and "POST" in r.headers["allow"]
    assert healthy(server.url)


@pytest.mark.parametrize("option", [["--port", "70000"], ["--cache-states", "-1"], ["--queue-timeout", "nan"],
                                    ["--shutdown-timeout", "-1"], ["--request-timeout", "0"], ["--api-key", ""],
                                    ["--max-concurrency", "0"]])
def test_bad_options_are_refused_before_loading(option):
    # The model path does not exist: a refusal that names the option came before the load.
    r = subprocess.run([sys.executable, "-m", "kestrune_server", "/nonexistent.gguf", *option],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and option[0] in r.stderr and "nonexistent" not in r.stderr


def test_half_open_requests_time_out(models, tmp_path):
    s = RunningServer(models["noeos"], str(tmp_path), "--request-timeout", "0.5")
    try:
        port = int(s.url.rsplit(":", 1)[1])
        head = b"POST /v1/completions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        for sent, expect in [(b"", b""), (head, b""), (head + b"Content-Length: 50\r\n\r\n{", b"HTTP/1.1 408")]:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
                c.sendall(sent)
                start = time.monotonic()
                reply = c.recv(100)
                assert reply.startswith(expect) and (expect or not reply)
                assert time.monotonic() - start < 5
    finally:
        s.stop()


# -- queue, disconnects, API key ------------------------------------------------------------------

def test_queue_overflow_and_disconnects(guarded):
    auth = {"Authorization": "Bearer " + KEY}
    body = {"prompt": "Hi", "max_tokens": 4000, "stream": True}
    url = guarded.url + "/v1/completions"
    with httpx.Client(timeout=60, headers=auth) as first:
        with first.stream("POST", url, json=body) as r:
            assert r.status_code == 200
            lines = r.iter_lines()  # dropping a half-read iterator would close the connection
            next(lines)
            # The one slot is busy: one request may wait, the one after is refused.
            statuses, started = {}, threading.Event()

            def waiter(i):
                with httpx.Client(timeout=60, headers=auth) as c:
                    with c.stream("POST", url, json=body) as w:
                        if w.status_code == 200:
                            statuses[i] = 200
                            next(w.iter_lines())
                        else:
                            assert w.headers["retry-after"]
                            statuses[i] = (w.status_code, json.loads(w.read())["error"]["type"])
                        started.set()

            threads = [threading.Thread(target=waiter, args=(i,)) for i in range(2)]
            for t in threads:
                t.start()
            assert started.wait(30)
            assert list(statuses.values()) == [(429, "rate_limit_error")]
        # Leaving the first stream unread frees the slot for the waiting request.
        for t in threads:
            t.join(60)
        assert sorted(statuses.values(), key=str) == [(429, "rate_limit_error"), 200]
    # This one waits for the slot, so both dropped streams have ended when it returns:
    # stopped early, long before their 4000 tokens.
    r = httpx.post(url, headers=auth, json={"prompt": "Hi", "max_tokens": 2}, timeout=60)
    assert r.json()["usage"]["completion_tokens"] == 2
    assert "gen 4000 tok" not in guarded.stderr()
    assert healthy(guarded.url, **auth)


def test_dead_clients_leave_the_queue(guarded):
    auth = {"Authorization": "Bearer " + KEY}
    url = guarded.url + "/v1/completions"
    body = {"prompt": "Hi", "max_tokens": 4000, "stream": True}
    with httpx.Client(timeout=60, headers=auth) as first, first.stream("POST", url, json=body) as r:
        lines = r.iter_lines()
        next(lines)
        # Three clients in turn take the one queue place and give up; each leaves it at once.
        for _ in range(3):
            with pytest.raises(httpx.ReadTimeout):
                httpx.post(url, headers=auth, json={"prompt": "Hi", "max_tokens": 1}, timeout=0.5)
        got = []
        waiter = threading.Thread(target=lambda: got.append(
            httpx.post(url, headers=auth, json={"prompt": "Hi", "max_tokens": 1}, timeout=60)))
        waiter.start()
        time.sleep(0.5)
        assert not got  # waiting, not refused
    waiter.join(60)
    assert got[0].status_code == 200


@pytest.mark.parametrize("headers", [{}, {"Authorization": "Bearer wrong"}, {"Authorization": KEY},
                                     {"Authorization": "Basic " + KEY}])
def test_api_key_is_required(guarded, headers):
    for method, path in [("GET", "/v1/models"), ("GET", "/v1/models/noeos"), ("POST", "/v1/completions")]:
        r = httpx.request(method, guarded.url + path, headers=headers, json={"prompt": "hi"}, timeout=10)
        assert r.status_code == 401
        assert r.json()["error"]["type"] == "authentication_error"
    assert healthy(guarded.url, **headers)  # probes need no key


def test_api_key_accepted(guarded):
    c = openai.OpenAI(base_url=guarded.url + "/v1", api_key=KEY, timeout=60, max_retries=0)
    assert c.completions.create(model="m", prompt="Hi", max_tokens=3).usage.completion_tokens == 3
    with pytest.raises(openai.AuthenticationError):
        openai.OpenAI(base_url=guarded.url + "/v1", api_key="nope", max_retries=0).models.list()


def test_stop_signal_lets_streams_end_with_an_error(models, tmp_path):
    s = RunningServer(models["noeos"], str(tmp_path), "--shutdown-timeout", "1")
    body = {"prompt": "Hi", "max_tokens": 4000, "stream": True}
    with httpx.stream("POST", s.url + "/v1/completions", json=body, timeout=60) as r:
        lines = r.iter_lines()
        next(lines)
        s.proc.send_signal(signal.SIGTERM)
        start = time.monotonic()
        events = [json.loads(line[6:]) for line in lines if line.startswith("data: {")]
    assert 0.5 < time.monotonic() - start < 5
    assert events[-1]["error"]["code"] == "server_shutdown"
    assert all("choices" in e for e in events[:-1])
    s.proc.wait(15)

"""The model file's chat template, replies split into reasoning, answer and tool calls,
and grammar-constrained output: the rendering helper, Engine.chat and the server."""

import json
import os
import time

import pytest

kestrune = pytest.importorskip("kestrune")
pytest.importorskip("jinja2")
from kestrune_chat import ChatReply, ReplyParser, TemplateError, render  # noqa: E402

from kestrune_testing import ROOT, write_model  # noqa: E402

TEMPLATE = open(os.path.join(os.path.dirname(__file__), "data", "chat_template.jinja"), encoding="utf-8").read()
WEATHER = {"type": "function", "function": {"name": "get_weather", "parameters": {
    "type": "object", "properties": {"city": {"type": "string", "enum": ["Oslo", "Lima"]},
                                     "days": {"type": "integer", "minimum": 1, "maximum": 9}},
    "required": ["city", "days"]}}}


@pytest.fixture(scope="module")
def templated(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("tpl") / "templated.gguf")
    write_model(path, preset="tiny", chat_template=TEMPLATE)
    return path


@pytest.fixture(scope="module")
def engine(templated):
    return kestrune.Engine(templated, cache_states=0)


# -- rendering ------------------------------------------------------------------------------

HISTORY = [{"role": "user", "content": "weather?"},
           {"role": "assistant", "content": None, "tool_calls": [
               {"id": "c1", "type": "function", "function": {"name": "get_weather",
                                                             "arguments": '{"city": "Oslo", "days": 2}'}}]},
           {"role": "tool", "tool_call_id": "c1", "content": "sunny"}]


@pytest.mark.parametrize("messages, kwargs, present, absent", [
    ([{"role": "system", "content": "Be brief."}, {"role": "user", "content": "hi"}], {},
     ["<|im_start|>system\nBe brief.<|im_end|>", "<|im_start|>user\nhi<|im_end|>"], ["<tools>"]),
    ([{"role": "user", "content": "hi"}], {"tools": [WEATHER]}, ['"name": "get_weather"', "<tools>"], []),
    ([{"role": "user", "content": "hi"}], {"extra": {"enable_thinking": False}}, ["<think>\n\n</think>\n\n"], []),
    (HISTORY, {"tools": [WEATHER]},
     ["<function=get_weather>\n<parameter=city>\nOslo\n</parameter>\n<parameter=days>\n2\n</parameter>",
      "<tool_response>\nsunny\n</tool_response>"], []),
    ([{"role": "user", "content": "a"}, {"role": "assistant", "content": "<think>\nhmm\n</think>\n\nB"},
      {"role": "user", "content": "c"}], {}, ["<|im_start|>assistant\nB<|im_end|>"], ["hmm"]),
])
def test_render(messages, kwargs, present, absent):
    prompt = render(TEMPLATE, messages, **kwargs)
    assert prompt.endswith("<|im_start|>assistant\n" + ("<think>\n\n</think>\n\n" if kwargs.get("extra") else
                                                         "<think>\n"))
    for text in present:
        assert text in prompt
    for text in absent:
        assert text not in prompt


@pytest.mark.parametrize("source, message", [
    ("{% for m in messages %}\n{{ m.content }\n{% endfor %}", "line 2"),
    ("ok\n{{ raise_exception('no system role') }}", "no system role"),
    ("a\n\n{{ messages[0].nope.deeper }}", "line 3"),
    ("{% for i in range(100000) %}{% for j in range(100000) %}{% endfor %}{% endfor %}", "stopped"),
    ("{{ 'x' * 1000000000 }}", "stopped"),
    ("{% set ns = namespace(s='xy') %}{% for i in range(64) %}{% set ns.s = ns.s ~ ns.s %}{% endfor %}", "stopped"),
    ("{{ 'x'|center(1000000000) }}", "stopped"),
    ("{{ 'x'.ljust(1000000000) }}", "stopped"),
    ("{% set n = 9 %}{{ n ** (n ** n) }}", "stopped"),
    ("{% macro f() %}{{ f() }}{% endmacro %}{{ f() }}", "stopped"),
    ("{{ ''.__class__.__mro__ }}", "chat template"),
])
def test_bad_and_hostile_templates_fail_cleanly(source, message):
    start = time.monotonic()
    with pytest.raises(TemplateError, match="^chat template") as err:
        render(source, [{"role": "user", "content": "hi"}])
    assert message in str(err.value)
    assert time.monotonic() - start < 10


# -- replies ------------------------------------------------------------------------------------

CALL = "<tool_call>\n<function=get_weather>\n<parameter=city>\nOslo\n</parameter>\n" \
       "<parameter=days>\n3\n</parameter>\n</function>\n</tool_call>"


@pytest.mark.parametrize("raw, opened, content, reasoning, calls", [
    ("plain answer", False, "plain answer", None, []),
    ("deep thought\n</think>\n\nanswer", True, "answer", "deep thought", []),
    ("<think>\nmulled</think>\n\nanswer <b>", False, "answer <b>", "mulled", []),
    ("let me check\n" + CALL, False, "let me check", None, [("get_weather", {"city": "Oslo", "days": 3})]),
    (CALL + "\n" + CALL.replace("Oslo", "Lima"), False, "", None,
     [("get_weather", {"city": "Oslo", "days": 3}), ("get_weather", {"city": "Lima", "days": 3})]),
    ('<tool_call>\n{"name": "get_weather", "arguments": {"city": "Lima"}}\n</tool_call>', False, "", None,
     [("get_weather", {"city": "Lima"})]),
    ("<tool_call>\n<function=get_weather>\n<parameter=city>\nOslo", False,
     "<tool_call>\n<function=get_weather>\n<parameter=city>\nOslo", None, []),
    ("x <tool_call>\n<function=launch_rockets>\n</function>\n</tool_call>", False,
     "x <tool_call>\n<function=launch_rockets>\n</function>\n</tool_call>", None, []),
    ("<tool_call>{not json</tool_call>", False, "<tool_call>{not json</tool_call>", None, []),
])
def test_reply_split_whole_and_streamed(raw, opened, content, reasoning, calls):
    reply = ChatReply(raw, opened, [WEATHER], True)
    assert (str(reply), reply.reasoning) == (content, reasoning)
    got = [(c["function"]["name"], json.loads(c["function"]["arguments"])) for c in reply.tool_calls or []]
    assert got == calls
    # One character at a time gives the same split.
    parser = ReplyParser(opened, [WEATHER])
    events = [e for ch in raw for e in parser.feed(ch)] + parser.finish()
    joined = {k: "".join(v for kind, v in events if kind == k) for k in ("content", "reasoning")}
    assert joined["content"].strip() == content
    assert joined["reasoning"].strip("\n") == (reasoning or "")
    assert [e[1]["function"]["name"] for e in events if e[0] == "tool_call"] == [c[0] for c in calls]


# -- the engine ---------------------------------------------------------------------------------

def test_engine_encodes_markers_as_their_ids(engine):
    messages = [{"role": "system", "content": "sys"}, {"role": "user", "content": "hello there"}]
    prompt = render(TEMPLATE, messages, eos_token=engine.eos_token)
    it = engine.chat(messages, max_tokens=1, stream=True)
    pieces = prompt.replace("<|im_start|>", "\0").replace("<|im_end|>", "\0").split("\0")
    expected = sum(len(engine.encode(p)) for p in pieces) + len(pieces) - 1
    assert it.prompt_tokens == expected and it.reasoning_open
    it.close()


def test_engine_chat_reply_and_tools(engine):
    reply = engine.chat([{"role": "user", "content": "hi"}], max_tokens=6, temperature=0.0)
    assert isinstance(reply, str) and reply == "" and reply.reasoning == reply.raw.strip("\n")
    off = engine.chat([{"role": "user", "content": "hi"}], max_tokens=6, temperature=0.0,
                      chat_template_kwargs={"enable_thinking": False})
    assert off.reasoning is None and off == off.raw.strip()
    forced = engine.chat(HISTORY, max_tokens=400, tools=[WEATHER], tool_choice="required")
    assert forced == "" and len(forced.tool_calls) == 1
    args = json.loads(forced.tool_calls[0]["function"]["arguments"])
    assert args["city"] in ("Oslo", "Lima") and 1 <= args["days"] <= 9


@pytest.mark.parametrize("kwargs, error", [
    ({"tool_choice": "required"}, "needs tools"),
    ({"tools": [{"type": "function"}]}, "tools\\[0\\]"),
    ({"tools": [WEATHER], "tool_choice": {"type": "function", "function": {"name": "nope"}}}, "nope"),
    ({"response_format": {"type": "xml"}}, "response_format"),
])
def test_engine_chat_refuses_bad_fields(engine, kwargs, error):
    with pytest.raises(ValueError, match=error):
        engine.chat([{"role": "user", "content": "hi"}], max_tokens=1, **kwargs)


SCHEMAS = [
    {"type": "object", "properties": {"a": {"type": "integer", "minimum": -50, "maximum": 999}}, "required": ["a"]},
    {"type": "object", "properties": {"ok": {"type": "boolean"}}, "required": ["ok"]},
    {"type": "object", "properties": {"c": {"enum": ["red", "green", "blue"]}}, "required": ["c"]},
    {"type": "object", "properties": {"x": {"type": "number", "minimum": 0, "maximum": 1}}, "required": ["x"]},
    {"type": "object", "properties": {"s": {"type": "string", "maxLength": 12}}, "required": ["s"]},
    {"type": "object", "properties": {"l": {"type": "array", "items": {"type": "integer"}, "maxItems": 4}},
     "required": ["l"]},
    {"type": "object", "properties": {"in": {"type": "object", "properties": {"k": {"type": "integer"}},
                                             "required": ["k"], "additionalProperties": False}},
     "required": ["in"], "additionalProperties": False},
    {"type": "object", "properties": {"t": {"type": "array", "items": {"enum": [1, 2, 3]}, "minItems": 2,
                                            "maxItems": 3}}, "required": ["t"]},
    {"type": "object", "properties": {"n": {"type": ["integer", "null"]}}, "required": ["n"]},
    {"type": "array", "items": {"type": "boolean"}, "minItems": 1, "maxItems": 5},
    {"type": "object", "properties": {"name": {"type": "string", "maxLength": 8},
                                      "age": {"type": "integer", "minimum": 0, "maximum": 150}},
     "required": ["name", "age"], "additionalProperties": False},
    {"type": "object", "properties": {"p": {"type": "object", "properties": {
        "q": {"type": "array", "items": {"type": "object", "properties": {"r": {"enum": ["a", "b"]}},
                                         "required": ["r"]}, "maxItems": 2}}, "required": ["q"]}},
     "required": ["p"]},
    {"enum": ["yes", "no"]},
    {"type": "integer", "minimum": 10, "maximum": 20},
    {"type": "object", "properties": {"v": {"anyOf": [{"type": "integer", "maximum": 99, "minimum": 0},
                                                            {"type": "string", "maxLength": 5}]}},
     "required": ["v"]},
    {"type": "object", "properties": {"d": {"type": "string", "pattern": "^[0-9]{4}-[0-9]{2}$"}}, "required": ["d"]},
    {"type": "object", "properties": {"e": {"const": "fixed"}, "f": {"type": "integer"}}, "required": ["e", "f"]},
    {"type": "object", "properties": {"a": {"type": "integer", "minimum": 0, "maximum": 9},
                                      "b": {"type": "integer", "minimum": 0, "maximum": 9}}, "required": ["a"],
     "additionalProperties": False},
    {"type": "object", "properties": {"m": {"type": "array", "items": {"type": "array", "items": {"type": "integer"},
                                                                      "maxItems": 2}, "maxItems": 2}},
     "required": ["m"]},
    {"type": "object", "properties": {"flag": {"type": "boolean"}, "level": {"enum": [1, 2, 3]}},
     "required": ["flag", "level"]},
]


@pytest.fixture(scope="module")
def trained():
    return kestrune.Engine(os.path.join(ROOT, "models", "trained-q8_0.gguf"), cache_states=0)


@pytest.mark.parametrize("index", range(len(SCHEMAS)))
def test_trained_model_output_matches_the_schema(trained, index):
    jsonschema = pytest.importorskip("jsonschema")
    schema = SCHEMAS[index]
    fmt = {"type": "json_schema", "json_schema": {"name": "s", "strict": True, "schema": schema}}
    messages = [{"role": "user", "content": "Reply with JSON."}]
    reply = trained.chat(messages, max_tokens=400, temperature=0.0, response_format=fmt)
    jsonschema.validate(json.loads(reply), schema)
    assert reply == trained.chat(messages, max_tokens=400, temperature=0.0, response_format=fmt)


# -- the server ---------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def client(templated, tmp_path_factory):
    for name in ("starlette", "uvicorn", "openai"):
        pytest.importorskip(name)
    import openai
    from test_server import RunningServer

    server = RunningServer(templated, str(tmp_path_factory.mktemp("tpl_srv")))
    yield openai.OpenAI(base_url=server.url + "/v1", api_key="unused", timeout=60, max_retries=0)
    server.stop()


def streamed(client, **kwargs):
    """(content, reasoning, tool calls, finish_reason) gathered from the chunks."""
    content, reasoning, calls, finish = "", "", {}, None
    for chunk in client.chat.completions.create(model="m", stream=True, **kwargs):
        choice = chunk.choices[0]
        delta = choice.delta
        content += delta.content or ""
        reasoning += (delta.model_extra or {}).get("reasoning_content") or ""
        for call in delta.tool_calls or []:
            slot = calls.setdefault(call.index, {"id": call.id, "name": "", "arguments": ""})
            slot["name"] += call.function.name or ""
            slot["arguments"] += call.function.arguments or ""
        finish = choice.finish_reason or finish
    return content, reasoning, [calls[i] for i in sorted(calls)], finish


@pytest.mark.parametrize("extra, thinks", [({}, True), ({"chat_template_kwargs": {"enable_thinking": False}}, False)])
def test_server_keeps_reasoning_apart(client, extra, thinks):
    kwargs = dict(messages=[{"role": "user", "content": "hi"}], max_tokens=12, temperature=0, extra_body=extra)
    whole = client.chat.completions.create(model="m", **kwargs)
    message = whole.choices[0].message
    reasoning = (message.model_extra or {}).get("reasoning_content")
    assert (reasoning is not None) == thinks
    content, streamed_reasoning, calls, finish = streamed(client, **kwargs)
    assert (content, streamed_reasoning, calls, finish) == (message.content, reasoning or "", [], "length")


@pytest.mark.parametrize("choice", ["required", {"type": "function", "function": {"name": "get_weather"}}])
def test_server_tool_calls_whole_and_streamed(client, choice):
    kwargs = dict(messages=HISTORY + [{"role": "user", "content": "and Lima?"}], tools=[WEATHER], tool_choice=choice,
                  max_tokens=400, temperature=0)
    whole = client.chat.completions.create(model="m", **kwargs).choices[0]
    assert whole.finish_reason == "tool_calls" and whole.message.content is None
    [call] = whole.message.tool_calls
    args = json.loads(call.function.arguments)
    assert call.function.name == "get_weather" and call.id.startswith("call_") and set(args) == {"city", "days"}
    content, _, calls, finish = streamed(client, **kwargs)
    assert (content, finish) == ("", "tool_calls")
    assert [(c["name"], json.loads(c["arguments"])) for c in calls] == [("get_weather", args)]


def test_server_json_schema(client):
    schema = SCHEMAS[10]
    fmt = {"type": "json_schema", "json_schema": {"name": "person", "strict": True, "schema": schema}}
    reply = client.chat.completions.create(model="m", messages=[{"role": "user", "content": "who?"}],
                                           response_format=fmt, max_tokens=400, temperature=0)
    value = json.loads(reply.choices[0].message.content)
    assert set(value) == {"name", "age"} and 0 <= value["age"] <= 150


def test_command_line_chat_uses_the_same_prompt(engine, templated):
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", "import sys, kestrune; sys.exit(kestrune.cli_main())", "chat",
                          templated, "--temp", "0", "--max-turn-tokens", "12"],
                         input=b"hi\n", capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr
    prefill = [int(n) for n in __import__("re").findall(rb"# perf: prefill (\d+) tok", run.stderr)]
    it = engine.chat([{"role": "user", "content": "hi"}], max_tokens=12, temperature=0.0, stream=True)
    reply = ChatReply("".join(it), it.reasoning_open)
    assert prefill == [it.prompt_tokens]
    # The answer goes to standard output, the reasoning to standard error.
    assert run.stdout.decode("utf-8", "replace") == str(reply) + "\n"
    assert reply.reasoning and reply.reasoning.strip() in run.stderr.decode("utf-8", "replace")

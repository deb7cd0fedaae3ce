"""Splitting a reply into reasoning, answer text and tool calls, whole or as it streams.

Reasoning sits between <think> and </think> (the prompt may already have opened the
block); tool calls are <tool_call> blocks holding either <function=NAME> with
<parameter=KEY> children, or a JSON object with "name" and "arguments"."""

from __future__ import annotations

import json
import re
import uuid

THINK_OPEN, THINK_CLOSE = "<think>", "</think>"
CALL_OPEN, CALL_CLOSE = "<tool_call>", "</tool_call>"

_FUNCTION = re.compile(r"\s*<function=([^>\n]+)>(.*?)</function>\s*\Z", re.S)
_PARAM = re.compile(r"<parameter=([^>\n]+)>\n?(.*?)\n?</parameter>", re.S)


def _param_types(tools, name):
    for tool in tools or ():
        fn = tool.get("function") if isinstance(tool, dict) else None
        if isinstance(fn, dict) and fn.get("name") == name:
            props = (fn.get("parameters") or {}).get("properties") or {}
            return {k: (v or {}).get("type") for k, v in props.items() if isinstance(v, dict)}
    return None


def parse_tool_call(block, tools):
    """A tool call in OpenAI form from the text inside one block, or None when the block
    is malformed or names a function that was not offered."""
    name, args = None, None
    m = _FUNCTION.match(block)
    if m:
        name = m.group(1).strip()
        body = m.group(2)
        types = _param_types(tools, name) or {}
        args = {}
        for key, value in _PARAM.findall(body):
            key = key.strip()
            if types.get(key) == "string":
                args[key] = value
                continue
            try:
                args[key] = json.loads(value)
            except ValueError:
                args[key] = value
        if _PARAM.sub("", body).strip():
            return None
    else:
        try:
            obj = json.loads(block)
        except ValueError:
            return None
        if not isinstance(obj, dict) or not isinstance(obj.get("name"), str):
            return None
        name, args = obj["name"], obj.get("arguments", {})
        if not isinstance(args, dict):
            return None
    if tools is not None and _param_types(tools, name) is None:
        return None
    return {"id": "call_" + uuid.uuid4().hex[:24], "type": "function",
            "function": {"name": name, "arguments": json.dumps(args, ensure_ascii=False)}}


def _partial_tail(text, marker):
    """Length of the longest end of `text` that begins `marker`."""
    for k in range(min(len(marker) - 1, len(text)), 0, -1):
        if text.endswith(marker[:k]):
            return k
    return 0


class ReplyParser:
    """Feeds reply text in pieces; returns events ("reasoning", str), ("content", str) and
    ("tool_call", dict). Text that may begin a marker is held until it is decided."""

    def __init__(self, reasoning_open=False, tools=None, parse_tools=True):
        self.mode = "reasoning" if reasoning_open else "start"
        self.tools = tools
        self.parse_tools = parse_tools
        self.buf = ""
        self.calls = 0
        self.malformed = False

    def feed(self, text):
        self.buf += text
        events = []
        while self._step(events, final=False):
            pass
        return events

    def finish(self):
        events = []
        while self._step(events, final=True):
            pass
        return events

    def _emit(self, events, kind, text):
        if text:
            if events and events[-1][0] == kind:
                events[-1] = (kind, events[-1][1] + text)
            else:
                events.append((kind, text))

    def _step(self, events, final):
        buf = self.buf
        if self.mode == "start":
            stripped = buf.lstrip()
            if stripped.startswith(THINK_OPEN):
                self.mode, self.buf = "reasoning", stripped[len(THINK_OPEN):]
                return True
            if not final and THINK_OPEN.startswith(stripped):
                return False
            self.mode = "content"
            return True
        if self.mode == "reasoning":
            i = buf.find(THINK_CLOSE)
            if i >= 0:
                self._emit(events, "reasoning", buf[:i])
                self.mode, self.buf = "after_reasoning", buf[i + len(THINK_CLOSE):]
                return True
            keep = 0 if final else _partial_tail(buf, THINK_CLOSE)
            self._emit(events, "reasoning", buf[:len(buf) - keep])
            self.buf = buf[len(buf) - keep:]
            return False
        if self.mode == "after_reasoning":
            self.buf = buf.lstrip("\n")
            if not self.buf and not final:
                return False
            self.mode = "content"
            return True
        if self.mode == "content":
            i = buf.find(CALL_OPEN) if self.parse_tools else -1
            if i >= 0:
                self._content(events, buf[:i])
                self.mode, self.buf = "call", buf[i + len(CALL_OPEN):]
                return True
            keep = 0 if final or not self.parse_tools else _partial_tail(buf, CALL_OPEN)
            self._content(events, buf[:len(buf) - keep])
            self.buf = buf[len(buf) - keep:]
            return False
        # inside a tool-call block
        i = buf.find(CALL_CLOSE)
        if i < 0 and not final:
            return False
        block = buf if i < 0 else buf[:i]
        call = parse_tool_call(block, self.tools) if i >= 0 else None
        if call is None:
            self.malformed = True
            self._emit(events, "content", CALL_OPEN + buf[:len(buf) if i < 0 else i + len(CALL_CLOSE)])
        else:
            self.calls += 1
            events.append(("tool_call", call))
        self.mode, self.buf = "content", ("" if i < 0 else buf[i + len(CALL_CLOSE):])
        return bool(self.buf)

    def _content(self, events, text):
        # Line breaks between tool calls are layout, not an answer.
        if self.calls and not text.strip():
            return
        self._emit(events, "content", text)


class ChatReply(str):
    """The answer text of a chat reply, with the reasoning (None when there was none)
    and the tool calls (None when there were none) beside it."""

    reasoning: str | None
    tool_calls: list | None
    raw: str

    def __new__(cls, raw, reasoning_open=False, tools=None, parse_tools=True):
        parser = ReplyParser(reasoning_open, tools, parse_tools)
        events = parser.feed(raw) + parser.finish()
        content = "".join(v for k, v in events if k == "content")
        reasoning = "".join(v for k, v in events if k == "reasoning")
        calls = [v for k, v in events if k == "tool_call"]
        if calls:
            content = content.strip()
        self = super().__new__(cls, content)
        self.reasoning = reasoning.strip("\n") if any(k == "reasoning" for k, _ in events) else None
        self.tool_calls = calls or None
        self.raw = raw
        return self

"""Chat templates from model files, rendered with jinja2's sandbox.

A template comes from a file that may be hostile, so rendering is bounded: a deadline
checked on every template line, and a cap on the size of every string, list and
repeated value the template builds, and on the output."""

from __future__ import annotations

import functools
import json
import sys
import time
from datetime import datetime

MAX_SECONDS = 2.0
MAX_SIZE = 8 << 20  # characters of any one value and of the output


class TemplateError(ValueError):
    """A template that does not parse, fails, or runs past its bounds."""


class _Exhausted(Exception):
    pass


def _size(v):
    if isinstance(v, (str, bytes, list, tuple, dict)):
        return len(v)
    return 0


def _check_size(v):
    if _size(v) > MAX_SIZE:
        raise _Exhausted(f"a value of over {MAX_SIZE} items")
    return v


def _check_args(args, kwargs):
    for a in (*args, *kwargs.values()):
        if isinstance(a, int) and not isinstance(a, bool) and abs(a) > MAX_SIZE:
            raise _Exhausted(f"an argument of {a}")


def _bounded(fn):
    @functools.wraps(fn)
    def call(*args, **kwargs):
        _check_args(args, kwargs)
        return _check_size(fn(*args, **kwargs))
    return call


def _bounded_join(seq):
    parts = list(seq)
    if sum(len(str(p)) for p in parts) > MAX_SIZE:
        raise _Exhausted(f"a string of over {MAX_SIZE} characters")
    return "".join(str(p) for p in parts)


def _tojson(value, indent=None, separators=None, sort_keys=False, ensure_ascii=False):
    return json.dumps(value, ensure_ascii=ensure_ascii, indent=indent, separators=separators, sort_keys=sort_keys)


def _raise_exception(message):
    raise TemplateError(f"chat template: {message}")


@functools.lru_cache(maxsize=1)
def _environment_class():
    import jinja2.ext
    from jinja2.sandbox import ImmutableSandboxedEnvironment

    class Sandbox(ImmutableSandboxedEnvironment):
        intercepted_binops = frozenset(["+", "*", "**", "%"])

        def call_binop(self, context, operator, left, right):
            if operator == "**" and isinstance(right, (int, float)) and abs(right) > 64:
                raise _Exhausted(f"a power of {right}")
            if operator == "*":
                for seq, n in ((left, right), (right, left)):
                    if _size(seq) and isinstance(n, int) and _size(seq) * n > MAX_SIZE:
                        raise _Exhausted(f"a value of over {MAX_SIZE} items")
            if operator == "+" and _size(left) + _size(right) > MAX_SIZE:
                raise _Exhausted(f"a value of over {MAX_SIZE} items")
            return _check_size(super().call_binop(context, operator, left, right))

        def call(__self, __context, __obj, *args, **kwargs):  # noqa: N805 - jinja's signature
            _check_args(args, kwargs)
            return _check_size(super().call(__context, __obj, *args, **kwargs))

    def make():
        env = Sandbox(trim_blocks=True, lstrip_blocks=True, extensions=[jinja2.ext.loopcontrols])
        env.filters["tojson"] = _tojson
        env.filters = {k: _bounded(f) for k, f in env.filters.items()}
        env.globals["raise_exception"] = _raise_exception
        env.globals["strftime_now"] = lambda fmt: datetime.now().strftime(fmt)
        return env

    return make


@functools.lru_cache(maxsize=8)
def _compile(source):
    try:
        import jinja2
    except ImportError:
        raise TemplateError("chat template: rendering needs jinja2: pip install 'kestrune[chat]'") from None

    env = _environment_class()()
    try:
        template = env.from_string(source)
    except jinja2.TemplateSyntaxError as e:
        raise TemplateError(f"chat template: line {e.lineno}: {e.message}") from None
    # `~` joins through module globals that the sandbox does not see.
    glob = template.root_render_func.__globals__
    glob["str_join"] = _bounded_join
    glob["markup_join"] = _bounded_join
    return template


def _template_line(tb):
    line = None
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "<template>":
            line = tb.tb_lineno
        tb = tb.tb_next
    return line


class _Deadline:
    """A trace function that stops template code once the deadline passes; only template
    frames are traced, so the cost stays with the template."""

    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def local(self, frame, event, arg):
        if time.monotonic() > self.end:
            raise _Exhausted(f"rendering took over {MAX_SECONDS} s")
        return self.local

    def __call__(self, frame, event, arg):
        if frame.f_code.co_filename == "<template>":
            return self.local(frame, event, arg)
        return None


def _prepare_messages(messages):
    """Tool-call arguments arrive as JSON text; templates iterate over them as mappings."""
    out = []
    for m in messages:
        calls = m.get("tool_calls")
        if calls:
            m = dict(m)
            fixed = []
            for call in calls:
                fn = dict(call.get("function") or {})
                args = fn.get("arguments")
                if isinstance(args, str):
                    try:
                        fn["arguments"] = json.loads(args)
                    except ValueError:
                        pass
                fixed.append({**call, "function": fn, **fn})
            m["tool_calls"] = fixed
        out.append(m)
    return out


def render(source, messages, *, tools=None, add_generation_prompt=True, bos_token="", eos_token="", extra=None):
    """The prompt text for `messages` under the template `source`. `extra` holds further
    template variables (such as enable_thinking); they cannot replace the standard ones."""
    template = _compile(source)
    variables = dict(extra or {})
    variables.update(messages=_prepare_messages(messages), tools=tools or None,
                     add_generation_prompt=add_generation_prompt, bos_token=bos_token, eos_token=eos_token)
    deadline = _Deadline(MAX_SECONDS)
    previous = sys.gettrace()
    sys.settrace(deadline)
    try:
        parts, size = [], 0
        for piece in template.generate(**variables):
            size += len(piece)
            if size > MAX_SIZE:
                raise _Exhausted(f"an output of over {MAX_SIZE} characters")
            parts.append(piece)
        return "".join(parts)
    except TemplateError:
        raise
    except (_Exhausted, RecursionError, MemoryError) as e:
        line = _template_line(e.__traceback__)
        where = f"line {line}: " if line else ""
        raise TemplateError(f"chat template: {where}stopped: {e or type(e).__name__}") from None
    except Exception as e:  # noqa: BLE001 - any failure inside the template is the template's
        line = _template_line(e.__traceback__)
        where = f"line {line}: " if line else ""
        raise TemplateError(f"chat template: {where}{type(e).__name__}: {e}") from None
    finally:
        sys.settrace(previous)


def opens_reasoning(prompt):
    """Whether the prompt leaves a reasoning block open for the reply."""
    return prompt.rfind("<think>") > prompt.rfind("</think>")

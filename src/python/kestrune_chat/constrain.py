"""Grammar-constrained decoding with llguidance, which works from the vocabulary's token
bytes. A Constraint fills the engine's allowed-token bitmask before every sample (the
library computes it with the interpreter lock released) and follows the sampled tokens."""

from __future__ import annotations

import json
import threading
import weakref

from .reply import CALL_CLOSE, CALL_OPEN, THINK_CLOSE

# Compact JSON: flexible whitespace would let a weak model pad forever. oneOf is
# read as anyOf, as OpenAI strict schemas expect.
_JSON_OPTIONS = {"whitespace_flexible": False, "item_separator": ", ", "key_separator": ": ", "coerce_one_of": True}

_tokenizers = weakref.WeakKeyDictionary()
_lock = threading.Lock()


class ConstraintError(ValueError):
    pass


def _llguidance():
    try:
        import llguidance
    except ImportError:
        raise ConstraintError("constrained output needs llguidance: pip install 'kestrune[constrained]'") from None
    return llguidance


class _Vocabulary:
    """What llguidance asks of a tokenizer, read from the engine."""

    def __init__(self, engine, eos):
        n = engine.vocab_size
        self.tokens = [engine.decode([i]) for i in range(n)]
        self.eos_token_id = eos
        self.bos_token_id = None
        self.special_token_ids = list(engine.control_token_ids)
        for i in self.special_token_ids:
            if self.tokens[i] == b"":
                self.tokens[i] = b"<special_%d>" % i
        self._engine = engine

    def __call__(self, text):
        return self._engine.encode(text)


def tokenizer_for(engine, eos):
    """One llguidance tokenizer per engine and end id: building it reads the whole vocabulary."""
    llg = _llguidance()
    with _lock:
        per_engine = _tokenizers.setdefault(engine, {})
        tok = per_engine.get(eos)
        if tok is None:
            tok = llg.LLTokenizer(llg.TokenizerWrapper(_Vocabulary(engine, eos)))
            per_engine[eos] = tok
    return tok


def _json_rule(schema):
    if not isinstance(schema, dict):
        raise ConstraintError("a JSON schema must be an object")
    schema = dict(schema)
    schema.setdefault("x-guidance", _JSON_OPTIONS)
    return "%json " + json.dumps(schema)


def _text_rule(schema):
    """A string parameter is written bare, up to the next '<'."""
    if isinstance(schema.get("enum"), list) and all(isinstance(v, str) for v in schema["enum"]):
        return " | ".join(json.dumps(v) for v in schema["enum"])
    n = schema.get("maxLength")
    return f"/[^<]{{0,{int(n)}}}/" if isinstance(n, int) and n >= 0 else "/[^<]*/"


def _prefix(reasoning_open):
    # A reply whose prompt opened a reasoning block closes it at once.
    return json.dumps(THINK_CLOSE + "\n\n") + " " if reasoning_open else ""


def json_grammar(schema=None, reasoning_open=False):
    """A grammar for one JSON value matching `schema` (any object when None)."""
    rule = _json_rule(schema if schema is not None else {"type": "object"})
    return f"start: {_prefix(reasoning_open)}value\nvalue: {rule}\n"


def tool_call_grammar(tools, name=None, reasoning_open=False):
    """A grammar for one tool-call block of the offered tools (only `name` when given),
    each parameter in its own <parameter=...> element."""
    rules, calls = [], []
    for t, tool in enumerate(tools or ()):
        fn = tool.get("function") or {}
        if name is not None and fn.get("name") != name:
            continue
        params = fn.get("parameters") or {}
        props = params.get("properties") or {}
        required = [k for k in params.get("required") or [] if k in props]
        order = required + [k for k in props if k not in required]
        parts = []
        for p, key in enumerate(order):
            sub = props[key] if isinstance(props[key], dict) else {}
            value = f"v{t}_{p}"
            rules.append(f"{value}: {_text_rule(sub) if sub.get('type') == 'string' else _json_rule(sub)}")
            rules.append(f"p{t}_{p}: {json.dumps(f'<parameter={key}>' + chr(10))} {value} "
                         f"{json.dumps(chr(10) + '</parameter>' + chr(10))}")
            parts.append(f"p{t}_{p}" + ("" if key in required else "?"))
        head = json.dumps(f"{CALL_OPEN}\n<function={fn.get('name')}>\n")
        tail = json.dumps(f"</function>\n{CALL_CLOSE}")
        rules.append(f"c{t}: {head} {' '.join(parts)} {tail}")
        calls.append(f"c{t}")
    if not calls:
        raise ConstraintError(f"no offered tool named {name!r}" if name else "no tools offered")
    head = f"start: {_prefix(reasoning_open)}call\ncall: {' | '.join(calls)}\n"
    return head + "\n".join(rules) + "\n"


class Constraint:
    """One generation's grammar state. `fill` and `accept` are called by the engine for
    each step, with the interpreter lock held."""

    def __init__(self, engine, grammar, eos):
        llg = _llguidance()
        self.matcher = llg.LLMatcher(tokenizer_for(engine, eos), grammar, log_level=0)
        if self.matcher.is_error():
            raise ConstraintError(f"bad grammar: {self.matcher.get_error()}")

    def fill(self, address, size):
        self.matcher.unsafe_compute_mask_ptr(address, size)
        if self.matcher.is_error():
            raise ConstraintError(f"constraint: {self.matcher.get_error()}")

    def accept(self, token):
        if not self.matcher.consume_token(token):
            raise ConstraintError(f"constraint: token {token} refused: {self.matcher.get_error()}")

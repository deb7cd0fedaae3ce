"""What Engine.chat asks of Python for one conversation: the prompt text (from the
file's template), whether it leaves a reasoning block open, and the grammar that the
request's tool_choice or response_format imposes."""

from __future__ import annotations

from .constrain import json_grammar, tool_call_grammar
from .template import opens_reasoning, render


def _tool_choice(tool_choice, tools):
    """("none" | "auto" | "required" | "named", name)"""
    if tool_choice is None:
        return ("auto" if tools else "none"), None
    if tool_choice in ("none", "auto", "required"):
        return tool_choice, None
    if isinstance(tool_choice, dict):
        fn = tool_choice.get("function")
        if tool_choice.get("type") == "function" and isinstance(fn, dict) and isinstance(fn.get("name"), str):
            return "named", fn["name"]
    raise ValueError("tool_choice must be 'none', 'auto', 'required' or {'type': 'function', "
                     "'function': {'name': ...}}")


def _check_tools(tools):
    if tools is None:
        return None
    if not isinstance(tools, list):
        raise ValueError("tools must be a list")
    for i, t in enumerate(tools):
        fn = t.get("function") if isinstance(t, dict) else None
        if not (isinstance(t, dict) and t.get("type", "function") == "function" and isinstance(fn, dict)
                and isinstance(fn.get("name"), str) and isinstance(fn.get("parameters", {}), dict)):
            raise ValueError(f"tools[{i}] must be {{'type': 'function', 'function': {{'name': str, "
                             "'parameters': object}}")
    return tools


def _closed(schema):
    """Strict schemas admit no properties beyond those listed."""
    if isinstance(schema, list):
        return [_closed(s) for s in schema]
    if not isinstance(schema, dict):
        return schema
    out = {k: (v if k in ("enum", "const", "default", "examples") else _closed(v)) for k, v in schema.items()}
    if isinstance(out.get("properties"), dict):
        out["properties"] = {k: _closed(v) for k, v in schema["properties"].items()}
        out.setdefault("additionalProperties", False)
    return out


def _response_schema(response_format):
    """None for plain text, else the JSON schema the reply must match."""
    if response_format is None:
        return None
    kind = response_format.get("type") if isinstance(response_format, dict) else None
    if kind == "text":
        return None
    if kind == "json_object":
        return {"type": "object"}
    if kind == "json_schema":
        wanted = response_format.get("json_schema")
        schema = wanted.get("schema") if isinstance(wanted, dict) else None
        if not isinstance(schema, dict):
            raise ValueError("response_format.json_schema.schema must be an object")
        return _closed(schema) if wanted.get("strict") else schema
    raise ValueError("response_format.type must be 'text', 'json_object' or 'json_schema'")


def prepare(engine, messages, tools=None, tool_choice=None, response_format=None, template_kwargs=None):
    """(prompt text or None for the built-in template, reasoning_open, grammar or None,
    tools to parse calls against or None)."""
    tools = _check_tools(tools)
    choice, name = _tool_choice(tool_choice, tools)
    if choice in ("required", "named") and not tools:
        raise ValueError(f"tool_choice '{choice}' needs tools")
    schema = _response_schema(response_format)
    if schema is not None and choice in ("required", "named"):
        raise ValueError("response_format cannot be combined with a required tool call")
    if template_kwargs is not None and not isinstance(template_kwargs, dict):
        raise ValueError("chat_template_kwargs must be a dict")
    extra = dict(template_kwargs or {})
    constrained = schema is not None or choice in ("required", "named")
    if constrained:
        # A forced shape leaves no room for free reasoning first.
        extra.setdefault("enable_thinking", False)

    template = engine.chat_template
    if template is None:
        if tools:
            raise ValueError("tools need a model file with a chat template (tokenizer.chat_template)")
        prompt, reasoning_open = None, False
    else:
        offered = tools if choice != "none" else None
        prompt = render(template, messages, tools=offered, bos_token=engine.bos_token,
                        eos_token=engine.eos_token, extra=extra)
        reasoning_open = opens_reasoning(prompt)

    grammar = None
    if schema is not None:
        grammar = json_grammar(schema, reasoning_open)
    elif choice in ("required", "named"):
        grammar = tool_call_grammar(tools, name, reasoning_open)
    return prompt, reasoning_open, grammar, (tools if choice != "none" else None)

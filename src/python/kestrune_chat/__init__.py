"""Chat helpers shared by Engine.chat, `kestrune chat` and kestrune-server: the model
file's chat template, the reply split into reasoning, answer and tool calls, and
grammar constraints for structured output."""

from .reply import ChatReply, ReplyParser, parse_tool_call
from .template import TemplateError, opens_reasoning, render

__all__ = ["ChatReply", "ReplyParser", "TemplateError", "opens_reasoning", "parse_tool_call", "render"]

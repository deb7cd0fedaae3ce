"""Inference engine for qwen35 GGUF models."""

from typing import Any, Dict, Iterator, List, Literal, Optional, Sequence, TypedDict, Union, overload

from kestrune_chat import ChatReply

__version__: str

class _Message(TypedDict, total=False):
    role: Literal["system", "user", "assistant", "tool"]
    content: Optional[str]
    tool_calls: List[Dict[str, Any]]
    tool_call_id: str


class Engine:
    def __init__(
        self,
        path: str,
        *,
        threads: Optional[int] = None,
        verbose: bool = False,
        cache_states: int = 4,
        cache_bytes: int = 1073741824,
        max_batch: int = 16,
    ) -> None: ...
    @property
    def verbose(self) -> bool: ...
    @verbose.setter
    def verbose(self, value: bool) -> None: ...
    @property
    def threads(self) -> int: ...
    @property
    def context_length(self) -> int: ...
    @property
    def vocab_size(self) -> int: ...
    @property
    def chat_template(self) -> Optional[str]: ...
    @property
    def bos_token(self) -> str: ...
    @property
    def eos_token(self) -> str: ...
    @property
    def control_token_ids(self) -> List[int]: ...
    def encode(self, /, text: str) -> List[int]: ...
    def decode(self, /, ids: Sequence[int]) -> bytes: ...
    def generate(
        self,
        /,
        prompt: str,
        max_tokens: int = 64,
        temperature: float = 0.0,
        top_k: int = 20,
        top_p: float = 0.95,
        seed: Optional[int] = None,
    ) -> str: ...
    def score(self, /, text: str) -> List[float]: ...
    def stream(
        self,
        /,
        prompt: str,
        max_tokens: int = 64,
        temperature: float = 0.0,
        top_k: int = 20,
        top_p: float = 0.95,
        seed: Optional[int] = None,
    ) -> "Engine.Stream": ...
    @overload
    def chat(
        self,
        /,
        messages: List[_Message],
        max_tokens: int = 1024,
        temperature: Optional[float] = None,
        top_k: Optional[int] = None,
        top_p: Optional[float] = None,
        seed: Optional[int] = None,
        stream: Literal[False] = False,
        tools: Optional[List[Dict[str, Any]]] = None,
        tool_choice: Union[None, str, Dict[str, Any]] = None,
        response_format: Optional[Dict[str, Any]] = None,
        chat_template_kwargs: Optional[Dict[str, Any]] = None,
    ) -> ChatReply: ...
    @overload
    def chat(
        self,
        /,
        messages: List[_Message],
        max_tokens: int = 1024,
        temperature: Optional[float] = None,
        top_k: Optional[int] = None,
        top_p: Optional[float] = None,
        seed: Optional[int] = None,
        *,
        stream: Literal[True],
        tools: Optional[List[Dict[str, Any]]] = None,
        tool_choice: Union[None, str, Dict[str, Any]] = None,
        response_format: Optional[Dict[str, Any]] = None,
        chat_template_kwargs: Optional[Dict[str, Any]] = None,
    ) -> "Engine.Stream": ...
    @overload
    def chat(
        self,
        /,
        messages: List[_Message],
        max_tokens: int = 1024,
        temperature: Optional[float] = None,
        top_k: Optional[int] = None,
        top_p: Optional[float] = None,
        seed: Optional[int] = None,
        stream: bool = False,
        tools: Optional[List[Dict[str, Any]]] = None,
        tool_choice: Union[None, str, Dict[str, Any]] = None,
        response_format: Optional[Dict[str, Any]] = None,
        chat_template_kwargs: Optional[Dict[str, Any]] = None,
    ) -> Union[ChatReply, "Engine.Stream"]: ...

    class Stream(Iterator[str]):
        def __iter__(self) -> "Engine.Stream": ...
        def __next__(self) -> str: ...
        def close(self) -> None: ...
        @property
        def prompt_tokens(self) -> int: ...
        @property
        def cached_tokens(self) -> int: ...
        @property
        def completion_tokens(self) -> int: ...
        @property
        def reasoning_open(self) -> bool: ...
        @property
        def finish_reason(self) -> Optional[Literal["stop", "length"]]: ...

def cli_main() -> int: ...

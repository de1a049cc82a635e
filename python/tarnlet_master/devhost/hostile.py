"""Hostile message fields for robustness runs against a kernel: every message type the
kernel takes, the fields it reads, plausible values for them, and the values a peer
could put there instead (lone surrogates, NUL characters, NaN and the infinities,
integers far beyond 64 bits or too long to convert, 10,000-deep nesting).

Values that ``json.dumps`` cannot write (deep nesting, over-long integers) are tokens
here: ``build`` turns them into Python values and ``frame_text`` into JSON text.
"""

from __future__ import annotations

import json
import math
from typing import Any, Dict, List


class Deep:
    """A nesting of ``depth`` lists or dicts, built when used: its repr stays short, where
    the repr of the real thing would exhaust recursion."""

    def __init__(self, kind: str, depth: int):
        self.kind, self.depth = kind, depth

    def __repr__(self) -> str:
        return f"Deep({self.kind!r}, {self.depth})"

    def build(self) -> Any:
        value: Any = [] if self.kind == "list" else {}
        for _ in range(self.depth):
            value = [value] if self.kind == "list" else {"k": value}
        return value

    def text(self) -> str:
        if self.kind == "list":
            return "[" * self.depth + "[]" + "]" * self.depth
        return '{"k": ' * self.depth + "{}" + "}" * self.depth


class Digits:
    """An integer literal of ``count`` digits: past 4300 the interpreter refuses to convert
    it, so ``json.loads`` raises ValueError (not JSONDecodeError) for its frame."""

    def __init__(self, count: int):
        self.count = count

    def __repr__(self) -> str:
        return f"Digits({self.count})"

    def build(self) -> int:
        return 10 ** self.count - 1  # arithmetic, not a conversion from text

    def text(self) -> str:
        return "9" * self.count


HOSTILE_TEXTS = ["\ud800", "a\udfffb", "\udc80\ud800", "\x00", "k1\x00h"]
# What a peer can put in a field beyond a wrong type: each is a value json.loads returns.
SPECIAL: List[Any] = HOSTILE_TEXTS + [
    math.nan, math.inf, -math.inf, 10 ** 400, -(10 ** 400), 2 ** 64, -(2 ** 64) - 1, 2 ** 63,
    Deep("list", 10000), Deep("dict", 10000), Deep("list", 900), Deep("dict", 900)]
WRONG: List[Any] = [None, True, False, 0, -1, 1.5, "", "k1~h", [], {}, ["\ud800"], {"\ud800": 1},
                    [math.nan, 10 ** 400], {"k": [math.inf, "\x00"]}, [Deep("list", 10000)]]
HOSTILE = SPECIAL + WRONG
# Only over a socket: the decoder refuses the frame, so no handler ever sees the value.
WIRE_ONLY = [Digits(5000)]


def build(value: Any) -> Any:
    """The value with its tokens made real."""
    if isinstance(value, (Deep, Digits)):
        return value.build()
    if isinstance(value, list):
        return [build(v) for v in value]
    if isinstance(value, dict):
        return {k: build(v) for k, v in value.items()}
    return value


def frame_text(value: Any) -> str:
    """The JSON text of a value that may hold tokens, which json.dumps cannot write."""
    marks: Dict[str, str] = {}

    def marked(v: Any) -> Any:
        if isinstance(v, (Deep, Digits)):
            mark = f"k1token{len(marks)}"
            marks[mark] = v.text()
            return mark
        if isinstance(v, list):
            return [marked(x) for x in v]
        if isinstance(v, dict):
            return {k: marked(x) for k, x in v.items()}
        return v

    text = json.dumps(marked(value))
    for mark, token in marks.items():
        text = text.replace(json.dumps(mark), token)
    return text


def is_undecodable(value: Any) -> bool:
    """Whether a frame holding ``value`` is refused before dispatch ("Invalid JSON received")."""
    if isinstance(value, Digits) or isinstance(value, Deep) and value.depth > 1000:
        return True
    if isinstance(value, list):
        return any(is_undecodable(v) for v in value)
    if isinstance(value, dict):
        return any(is_undecodable(v) for v in value.values())
    return False


MODULE = "k1h_mod"
MODULE_CODE = """\
def f(*args, **kwargs):
    print("f ran")
    return list(args)

def g(*args):
    yield from args[:3]

def on_event(*args):
    return None
"""

# Plausible values, so that a hostile one in another field gets past the first checks.
GOOD: Dict[str, Any] = {
    "code": "x = 1\nx.", "module_name": MODULE, "function_name": "f", "args": [1, "a"], "path": "/k1-hostile/p",
    "old_paths": ["/k1-hostile/old"], "new_paths": ["/k1-hostile/new"], "paths": ["/k1-hostile/gone"],
    "line": 2, "column": 2, "dirty_files": {MODULE: "y = 2\n"}, "workbook_id": "wb-hostile", "source": "ide",
    "com_config": {}, "callable_id": "k1h-none", "expression": "1", "breakpoints": [], "debug": False,
    "payload": {"requestId": "k1h-nobody"}, "requestId": "k1h-nobody", "mode": "compact",
    "object_type": "Worksheet", "object_name": "Sheet1", "event_type": "Change", "is_com": False,
    "chunk_id": "k1h-chunk", "chunk_index": 0, "total_chunks": 1, "data": '{"type": "k1h_nothing"}',
}
_POSITION = ["code", "line", "column", "path", "workbook_id", "module_name", "dirty_files"]
_CALL = ["module_name", "function_name", "args", "workbook_id", "source"]
# Every field that the kernel reads, per message type ("shutdown" ends the connection by design).
FIELDS: Dict[str, List[str]] = {
    "execution_request": ["code", "function_name", "source"],
    "add_path": ["path"], "remove_path": ["path"], "reset_namespace": [], "reset_path": [],
    "set_package_paths": ["old_paths", "new_paths"], "set_python_paths": ["old_paths", "new_paths"],
    "unload_and_clear_paths": ["paths"], "update_module": ["module_name", "code"], "delete_module": ["module_name"],
    "completion_request": _POSITION, "signature_help_request": _POSITION, "hover_request": _POSITION,
    "diagnostic_request": ["code", "workbook_id", "module_name"],
    "custom_function_call": _CALL, "run_module": _CALL + ["debug", "breakpoints"],
    "event_execution": ["module_name", "function_name", "args", "workbook_id", "object_type", "object_name",
                        "event_type", "is_com"],
    "com_event_config_update": ["com_config"], "python_function_call": ["callable_id", "args", "workbook_id"],
    "execute_streaming_function": _CALL, "cancel_streaming_function": [],
    "debug_continue": [], "debug_step_over": [], "debug_step_into": [], "debug_step_out": [], "debug_stop": [],
    "debug_evaluate": ["expression"], "debug_update_breakpoints": ["breakpoints"],
    "sys_response": ["payload", "requestId"], "get_object_registry": [], "set_hover_mode": ["mode"],
    "chunk": ["chunk_id", "chunk_index", "total_chunks", "data"],
}
# The types whose answer carries the request's id: any message but stream output counts.
ANSWERED_BY_ID = {"execution_request", "completion_request", "signature_help_request", "hover_request",
                  "diagnostic_request", "custom_function_call", "run_module", "event_execution",
                  "python_function_call", "execute_streaming_function", "debug_evaluate"}
# The types answered inline, before the next message is read, by one of these (or "error").
ANSWERED_INLINE = {
    "add_path": "path_added", "remove_path": "path_removed", "reset_namespace": "namespace_reset",
    "reset_path": "path_reset", "set_package_paths": "package_paths_updated",
    "set_python_paths": "python_paths_updated", "unload_and_clear_paths": "modules_unloaded",
    "update_module": "module_updated", "delete_module": "module_deleted",
    "get_object_registry": "object_registry_response", "set_hover_mode": "hover_mode_updated",
}
STREAMS = ("stdout", "stderr")


def expects_answer(message: Dict[str, Any], prefix: str = "k1h-") -> bool:
    """Whether the request's own id must come back: an event without a module or function
    name is dropped with a log line, and a frame too deep to decode has no id to answer."""
    kind, request_id = message.get("type"), message.get("request_id")
    if not isinstance(kind, str) or kind not in ANSWERED_BY_ID:
        return False
    if not isinstance(request_id, str) or not request_id.startswith(prefix):
        return False
    if is_undecodable(message):
        return False
    if message["type"] == "event_execution":
        return bool(build(message.get("module_name", ""))) and bool(build(message.get("function_name", "")))
    return True


def is_answer(message: Dict[str, Any], request_id: Any) -> bool:
    return message.get("request_id") == request_id and message.get("type") not in STREAMS


def strict_json(text: str) -> Any:
    """json.loads that refuses the NaN and Infinity literals. A lone surrogate may come as
    a \\u escape, which is what the json module writes for one and what it reads back."""
    def refuse(constant: str) -> Any:
        raise ValueError(f"not JSON: {constant}")
    text.encode("utf-8")  # a raw lone surrogate could not even have been sent
    return json.loads(text, parse_constant=refuse)

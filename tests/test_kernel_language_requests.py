"""The kernel's language requests end to end: a real kernel connected to a real
websockets peer, answering through the real language bridge."""

import asyncio
import json
import sys

import pytest


KERNEL_LOGGER = "tarnlet_master.python_server.kernel"
TIMEOUT = 30

HELPERS = '''def add(a, b=2):
    """Add two numbers."""
    return a + b


def _hidden():
    pass
'''


WORKBOOK = "wb-lang"


@pytest.fixture
async def peer(peer):
    await peer.ask({"type": "update_module", "module_name": "LangHelpers", "code": HELPERS}, "module_updated")
    yield peer
    await peer.ask({"type": "delete_module", "module_name": "LangHelpers"}, "module_deleted")


async def test_completion_uses_saved_modules_and_unsaved_texts(peer, logs):
    reply = await peer.ask({
        "type": "completion_request", "request_id": "c1", "workbook_id": "wb-lang", "module_name": "Main",
        "code": "import LangHelpers, Draft\nLangHelpers.", "line": 2, "column": 12, "path": "Main",
        "dirty_files": {"Draft": "def sketch():\n    pass\n"},
    }, "completion_response")
    assert list(reply) == ["type", "completions", "error", "request_id", "workbook_id", "module_name"]
    assert reply["error"] is None
    assert (reply["request_id"], reply["workbook_id"], reply["module_name"]) == ("c1", "wb-lang", "Main")
    items = {item["label"]: item for item in reply["completions"]}
    assert set(items) == {"add"}
    assert items["add"]["detail"] == "(a, b=2)" and "Add two numbers." in items["add"]["documentation"]
    assert "[LSP] Request received: line=2, column=12, path=Main, code_length=38, dirty_files=1" in logs()
    assert "[LSP] Response: 1 completions, error=None" in logs()

    reply = await peer.ask({"type": "completion_request", "code": "import Draft\nDraft.", "line": 2, "column": 6,
                            "dirty_files": {"Draft": "def sketch():\n    pass\n"}}, "completion_response")
    assert [item["label"] for item in reply["completions"]] == ["sketch"]
    assert reply["request_id"] is None and reply["workbook_id"] is None and reply["module_name"] is None


async def test_completion_defaults_to_the_start_of_the_text(peer, logs):
    reply = await peer.ask({"type": "completion_request", "request_id": "c2", "code": "imp"}, "completion_response")
    assert reply["error"] is None
    # Everything visible at the very start: keywords and builtins alike.
    labels = {item["label"] for item in reply["completions"]}
    assert {"import", "print", "len"} <= labels
    assert "[LSP] Request received: line=1, column=0, path=None, code_length=3, dirty_files=0" in logs()


async def test_hover_and_signature_help(peer, logs):
    hover = await peer.ask({"type": "hover_request", "request_id": "h1", "code": "import LangHelpers\nLangHelpers.add",
                            "line": 2, "column": 13}, "hover_response")
    assert list(hover) == ["type", "contents", "error", "request_id", "workbook_id", "module_name"]
    assert hover["contents"] == {"kind": "markdown", "value": "```python\n(function) add(a, b=2)\n```"}
    assert "[LSP] Hover response: has_contents=True, error=None" in logs()

    nothing = await peer.ask({"type": "hover_request", "request_id": "h2", "code": "\n\n", "line": 2, "column": 0},
                             "hover_response")
    assert nothing["contents"] is None and nothing["error"] is None
    assert "[LSP] Hover response: has_contents=False, error=None" in logs()

    sig = await peer.ask({"type": "signature_help_request", "request_id": "s1",
                          "code": "import LangHelpers\nLangHelpers.add(1, ", "line": 2, "column": 19},
                         "signature_help_response")
    assert list(sig) == ["type", "signatures", "activeSignature", "activeParameter", "error", "request_id",
                         "workbook_id", "module_name"]
    assert sig["signatures"][0]["label"] == "add(a, b=2)"
    assert (sig["activeSignature"], sig["activeParameter"], sig["error"]) == (0, 1, None)
    assert "[LSP] Signature help request: line=2, column=19, path=None, code_length=38" in logs()
    assert "[LSP] Signature help response: 1 signatures, error=None" in logs()


async def test_diagnostics(peer, logs):
    seen = []
    bridge = peer.kernel._sensewire
    original = bridge._run_pyflakes
    bridge._run_pyflakes = lambda code, filename: seen.append(filename) or original(code, filename)
    reply = await peer.ask({"type": "diagnostic_request", "request_id": "d1", "workbook_id": "wb-lang",
                            "module_name": "Sheet1", "code": "import os\nimport LangHelpers\nimport nope_xyz\n"},
                           "diagnostic_response")
    assert list(reply) == ["type", "diagnostics", "error", "request_id", "workbook_id", "module_name"]
    assert reply["module_name"] == "Sheet1" and seen == ["<Sheet1>"]
    assert [d["message"] for d in reply["diagnostics"]] == [
        "import 'nope_xyz' could not be resolved", "'os' imported but unused", "'LangHelpers' imported but unused",
        "'nope_xyz' imported but unused"]
    assert "[LSP] Diagnostic request: code_length=45, module=Sheet1" in logs()
    assert "[LSP] Diagnostic response: 4 diagnostics, error=None" in logs()


async def test_bridge_errors_are_answered(peer):
    text = "line must be a positive integer (1-based)"
    base = {"code": "x", "line": 0, "column": 0, "request_id": "e"}
    assert (await peer.ask({"type": "completion_request", **base}, "completion_response"))["error"] == text
    sig = await peer.ask({"type": "signature_help_request", **base}, "signature_help_response")
    assert (sig["signatures"], sig["activeSignature"], sig["activeParameter"], sig["error"]) == ([], 0, 0, text)
    hover = await peer.ask({"type": "hover_request", **base}, "hover_response")
    assert (hover["contents"], hover["error"]) == (None, text)


BAD_FIELDS = [
    ("code", 5), ("code", None), ("code", ["x"]), ("code", {"a": 1}),
    ("line", "2"), ("line", True), ("line", None), ("line", [1]), ("line", 1e400),
    ("column", "0"), ("column", {}), ("column", False),
    ("path", 7), ("path", ["Main"]), ("path", {"p": 1}),
    ("dirty_files", [1]), ("dirty_files", "Draft"), ("dirty_files", 3),
]

EMPTY = {
    "completion_request": ("completion_response", {"completions": []}),
    "signature_help_request": ("signature_help_response",
                               {"signatures": [], "activeSignature": 0, "activeParameter": 0}),
    "hover_request": ("hover_response", {"contents": None}),
}


async def test_wrongly_typed_fields_are_answered_and_the_kernel_keeps_serving(peer, logs):
    count = 0
    for request_type, (response_type, empty) in EMPTY.items():
        for key, value in BAD_FIELDS:
            count += 1
            message = {"type": request_type, "request_id": f"bad{count}", "code": "x", "line": 1, "column": 1}
            message[key] = value
            reply = await peer.ask(message, response_type)
            assert reply["request_id"] == f"bad{count}"
            for field, expected in empty.items():
                assert reply[field] == expected
            assert f"argument '{key}' must be" in reply["error"]
    for value in (5, None, ["x"]):
        reply = await peer.ask({"type": "diagnostic_request", "request_id": "badd", "code": value},
                               "diagnostic_response")
        assert reply["diagnostics"] == [] and "argument 'code' must be" in reply["error"]
    reply = await peer.ask({"type": "diagnostic_request", "request_id": "badm", "code": "x = 1", "module_name": 3},
                           "diagnostic_response")
    assert reply["module_name"] == 3 and "argument 'module_name' must be" in reply["error"]
    assert any(m.startswith("[LSP] Refused completion_request: ") for m in logs())

    # Still serving, and still connected.
    reply = await peer.ask({"type": "completion_request", "request_id": "after", "code": "import LangHelpers\n"
                            "LangHelpers.a", "line": 2, "column": 13}, "completion_response")
    assert [item["label"] for item in reply["completions"]] == ["add"]
    assert not peer.task.done()


async def test_huge_positions_are_answered(peer):
    for line, column in ((10**30, 0), (1, 10**30), (1e300, 0)):
        reply = await peer.ask({"type": "completion_request", "request_id": "huge", "code": "x", "line": line,
                                "column": column}, "completion_response")
        assert reply["completions"] == [] and reply["error"]


HOSTILE = ["\ud800", "a\x00b", "\udfff\ud800"]
RESPONSE_KEYS = {
    "completion_request": ["type", "completions", "error", "request_id", "workbook_id", "module_name"],
    "signature_help_request": ["type", "signatures", "activeSignature", "activeParameter", "error", "request_id",
                               "workbook_id", "module_name"],
    "hover_request": ["type", "contents", "error", "request_id", "workbook_id", "module_name"],
    "diagnostic_request": ["type", "diagnostics", "error", "request_id", "workbook_id", "module_name"],
}


async def next_frame(peer):
    return json.loads(await peer.raw(TIMEOUT))


async def test_hostile_text_in_every_field_is_answered(peer):
    count = 0
    for request_type, keys in RESPONSE_KEYS.items():
        for text in HOSTILE:
            for field in ("code", "path", "module_name", "workbook_id", "request_id", "dirty_files"):
                count += 1
                message = {"type": request_type, "request_id": f"h{count}", "code": "import os\nos.pa",
                           "line": 2, "column": 5}
                message[field] = {text: text} if field == "dirty_files" else text
                reply = await peer.ask(message, request_type.replace("_request", "_response"))
                assert list(reply) == keys
                assert reply["request_id"] == message["request_id"]
                assert reply["error"] is None or isinstance(reply["error"], str)
    reply = await peer.ask({"type": "set_hover_mode", "mode": "\ud800"}, "hover_mode_updated")
    assert peer.kernel._sensewire._hover_mode == "compact"
    reply = await peer.ask({"type": "completion_request", "request_id": "after", "code": "import LangHelpers\n"
                            "LangHelpers.a", "line": 2, "column": 13}, "completion_response")
    assert [item["label"] for item in reply["completions"]] == ["add"]
    assert not peer.task.done()


async def test_answers_leave_in_arrival_order(peer):
    requests = []
    for i in range(3):
        requests += [
            {"type": "diagnostic_request", "request_id": f"d{i}", "code": "import os\n" * (3 - i)},
            {"type": "completion_request", "request_id": f"c{i}", "code": "import LangHelpers\nLangHelpers.",
             "line": 2, "column": 12},
            {"type": "hover_request", "request_id": f"h{i}", "code": "len", "line": 1, "column": 1},
        ]
    for message in requests:
        await peer.send(message)
    answered = []
    while len(answered) < len(requests):
        frame = await next_frame(peer)
        if frame["type"].endswith("_response"):
            answered.append(frame["request_id"])
            assert frame["error"] is None
    assert answered == [m["request_id"] for m in requests]


async def test_an_analysis_past_its_time_limit_is_stopped_and_answered(peer, logs):
    bridge = peer.kernel._sensewire
    entered = []

    def endless(**kwargs):
        entered.append(kwargs)
        while True:
            pass

    bridge.get_completions = endless
    peer.kernel.LANGUAGE_REQUEST_TIMEOUT = 1.0
    try:
        await peer.send({"type": "completion_request", "request_id": "slow", "code": "x", "workbook_id": "wb-lang",
                         "module_name": "Main"})
        # The listener goes on while the analysis runs: console code is answered first.
        await peer.send({"type": "execution_request", "request_id": "calc", "code": "1+1"})
        seen = []
        while "completion_response" not in seen:
            frame = await next_frame(peer)
            seen.append(frame["type"])
            if frame["type"] == "completion_response":
                reply = frame
        assert "execution_result" in seen[:seen.index("completion_response")]
        assert list(reply) == RESPONSE_KEYS["completion_request"]
        assert reply["completions"] == []
        assert reply["error"] == "Language analysis timed out after 1 s"
        assert (reply["request_id"], reply["workbook_id"], reply["module_name"]) == ("slow", "wb-lang", "Main")
        assert list(entered[0]) == ["code", "line", "column", "path", "modules", "dirty_files"]
        assert "[LSP] completion_request timed out after 1 s" in logs()
    finally:
        del bridge.get_completions
        peer.kernel.LANGUAGE_REQUEST_TIMEOUT = 10.0
    # The endless analysis was stopped: the next one is served at once.
    reply = await peer.ask({"type": "completion_request", "request_id": "next", "code": "import LangHelpers\n"
                            "LangHelpers.a", "line": 2, "column": 13}, "completion_response")
    assert reply["error"] is None and [item["label"] for item in reply["completions"]] == ["add"]


async def test_requests_queued_behind_a_stuck_analysis_get_the_usual_answer(peer):
    import time

    bridge = peer.kernel._sensewire
    # A sleep cannot be interrupted: the worker stays stuck past the time limit.
    bridge.get_signature_help = lambda **kwargs: time.sleep(2.5) or {"signatures": ["late"], "error": None}
    peer.kernel.LANGUAGE_REQUEST_TIMEOUT = 0.5
    try:
        await peer.send({"type": "signature_help_request", "request_id": "stuck", "code": "f("})
        await peer.send({"type": "hover_request", "request_id": "behind", "code": "len", "line": 1, "column": 1})
        sig = await peer.recv("signature_help_response")
        hover = await peer.recv("hover_response")
    finally:
        del bridge.get_signature_help
        peer.kernel.LANGUAGE_REQUEST_TIMEOUT = 10.0
    text = "Language analysis timed out after 0.5 s"
    assert list(sig) == RESPONSE_KEYS["signature_help_request"]
    assert (sig["signatures"], sig["activeSignature"], sig["activeParameter"], sig["error"]) == ([], 0, 0, text)
    assert list(hover) == RESPONSE_KEYS["hover_request"]
    assert (hover["contents"], hover["error"], hover["request_id"]) == (None, text, "behind")
    # Once the worker is free again, requests are served as usual.
    hover = await peer.ask({"type": "hover_request", "request_id": "later", "code": "import LangHelpers\n"
                            "LangHelpers.add", "line": 2, "column": 13}, "hover_response")
    assert hover["error"] is None and "(function) add" in hover["contents"]["value"]


@pytest.mark.parametrize("raised", [RuntimeError("bridge broke \ud800"), SystemExit(3), KeyboardInterrupt()])
async def test_any_failure_of_the_bridge_is_answered(peer, raised):
    bridge = peer.kernel._sensewire

    def broken(**kwargs):
        raise raised

    bridge.get_diagnostics = broken
    try:
        reply = await peer.ask({"type": "diagnostic_request", "request_id": "b", "code": "x"}, "diagnostic_response")
    finally:
        del bridge.get_diagnostics
    assert list(reply) == RESPONSE_KEYS["diagnostic_request"]
    assert reply["diagnostics"] == [] and reply["error"] == str(raised)
    saved, peer.kernel._sensewire = peer.kernel._sensewire, None
    try:
        reply = await peer.ask({"type": "hover_request", "request_id": "none", "code": "x"}, "hover_response")
        assert reply["contents"] is None and "NoneType" in reply["error"]
    finally:
        peer.kernel._sensewire = saved
    reply = await peer.ask({"type": "diagnostic_request", "request_id": "ok", "code": "import os\n"},
                           "diagnostic_response")
    assert reply["error"] is None and not peer.task.done()


async def test_traced_code_runs_after_language_requests(peer):
    # A stop withdrawn the wrong way would leave the interpreter's pending signal set,
    # and every traced frame (the debugger's) would then spin at its first instruction.
    await peer.ask({"type": "diagnostic_request", "request_id": "d", "code": "import os\n"}, "diagnostic_response")
    await peer.ask({"type": "completion_request", "request_id": "c", "code": "import os\nos.pa", "line": 2,
                    "column": 5}, "completion_response")
    results = []

    def tracer(frame, event, arg):
        return tracer

    def traced():
        sys.settrace(tracer)
        try:
            results.append(sum(range(10)))
        finally:
            sys.settrace(None)

    import threading

    thread = threading.Thread(target=traced, daemon=True)
    thread.start()
    await asyncio.to_thread(thread.join, 20)
    assert results == [45]

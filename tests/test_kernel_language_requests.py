"""The kernel's language requests end to end: a real kernel connected to a real
websockets peer, answering through the real language bridge."""

import logging

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


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    return lambda: [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]


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

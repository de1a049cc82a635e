"""Hover in both modes, the help fallback, and signature help, through real jedi."""

from types import SimpleNamespace

import pytest


LOGGER = "tarnlet_master.python_server.sensewire"
OPEN, CLOSE, SEP = "```python\n", "\n```", "\n\n---\n\n"

HELPERS = '''"""Helper functions."""


def add(a, b=2):
    """Add two numbers."""
    return a + b


class Thing:
    """A thing."""

    def method(self, x: int, scale: float = 1.0) -> float:
        """Scale x."""
        return x * scale


LIMIT = 10
'''

MODULES = {"Helpers": HELPERS}


@pytest.fixture
def mode(bridge):
    def set_mode(name):
        bridge.set_hover_mode(name)

    yield set_mode
    bridge.set_hover_mode("compact")


def hover_value(bridge, code, line, column, **kwargs):
    result = bridge.get_hover(code, line, column, path="Main", modules=MODULES, **kwargs)
    assert list(result) == ["contents", "error"] and result["error"] is None
    if result["contents"] is None:
        return None
    assert result["contents"]["kind"] == "markdown"
    return result["contents"]["value"]


def test_compact_function_is_one_fenced_line(bridge):
    assert hover_value(bridge, "import Helpers\nHelpers.add(1)", 2, 10) == OPEN + "(function) add(a, b=2)" + CLOSE


def test_detailed_function_has_full_name_and_docstring(bridge, mode):
    mode("detailed")
    value = hover_value(bridge, "import Helpers\nHelpers.add(1)", 2, 10)
    head, doc = value.split(SEP)
    assert head == OPEN + "Helpers.add(a, b=2)" + CLOSE
    assert "Add two numbers." in doc


def test_compact_kinds(bridge):
    assert hover_value(bridge, "import Helpers\nHelpers.Thing", 2, 10) == OPEN + "(class) Thing" + CLOSE
    assert hover_value(bridge, "import Helpers\nHelpers", 2, 3) == OPEN + "(module) Helpers" + CLOSE
    assert hover_value(bridge, "import Helpers\nHelpers.LIMIT", 2, 10) == OPEN + "(instance) int: instance int" + CLOSE
    method = hover_value(bridge, "import Helpers\nHelpers.Thing().method", 2, 18)
    assert method == OPEN + "(function) method(x: int, scale: float=1.0) -> float" + CLOSE


def test_detailed_kinds(bridge, mode):
    mode("detailed")
    assert hover_value(bridge, "import Helpers\nHelpers.Thing", 2, 10).startswith(
        OPEN + "class Helpers.Thing" + CLOSE + SEP)
    assert hover_value(bridge, "import Helpers\nHelpers", 2, 3) == OPEN + "module Helpers" + CLOSE + SEP + \
        "Helper functions."
    assert hover_value(bridge, "import Helpers\nHelpers.LIMIT", 2, 10).startswith(
        OPEN + "builtins.int: instance int" + CLOSE + SEP)


def test_two_inferred_targets_are_joined(bridge):
    code = "if c:\n    v = 1\nelse:\n    v = 'a'\nv"
    value = hover_value(bridge, code, 5, 0)
    assert value == OPEN + "(instance) int: instance int" + CLOSE + SEP + OPEN + "(instance) str: instance str" + CLOSE


def test_help_fallback_and_nothing(bridge, mode, logs):
    for name in ("compact", "detailed"):
        mode(name)
        value = hover_value(bridge, "if True:\n    pass\n", 1, 1)
        head, doc = value.split(SEP, 1)
        assert head == OPEN + "(keyword if) if" + CLOSE and 'The "if" statement' in doc
    messages = logs()
    assert "[LSP] infer() returned empty, trying help() as fallback" in messages
    assert "[LSP] Hover (from help()): found 1 results" in messages
    assert hover_value(bridge, "\n\n", 2, 0) is None
    assert "[LSP] No type information found for hover" in logs()


def test_hover_positions_and_entry_checks(bridge):
    assert bridge.get_hover("x", 0, 0) == {"contents": None, "error": "line must be a positive integer (1-based)"}
    assert bridge.get_hover("x", 1, -3) == {
        "contents": None, "error": "column must be a non-negative integer (0-based)"}
    with pytest.raises(TypeError):
        bridge.get_hover("x", "1", 0)
    with pytest.raises(TypeError):
        bridge.get_hover("x", 1, 0, dirty_files=[])


def test_hover_syncs_unsaved_texts(bridge):
    value = bridge.get_hover("import Fresh\nFresh.made", 2, 8, modules=MODULES,
                             dirty_files={"Fresh": "def made(q):\n    pass\n"})["contents"]["value"]
    assert value == OPEN + "(function) made(q)" + CLOSE


def test_compact_hover_helper(bridge, logs):
    assert bridge._format_compact_hover(SimpleNamespace(name=None, type="class")) == OPEN + "(class) " + CLOSE

    class Broken:
        @property
        def name(self):
            raise RuntimeError("no name today")

    assert bridge._format_compact_hover(Broken()) is None
    assert "[LSP] Error formatting compact hover: no name today" in logs()

    def no_signatures():
        raise ValueError("cannot")

    broken_function = SimpleNamespace(name="f", type="function", get_signatures=no_signatures)
    assert bridge._format_compact_hover(broken_function) == OPEN + "(function) f" + CLOSE


def test_type_description(bridge):
    assert bridge._get_type_description(SimpleNamespace(description="instance int"), "instance") == "instance int"
    assert bridge._get_type_description(SimpleNamespace(description=""), "instance") == "instance"
    assert bridge._get_type_description(SimpleNamespace(), "param") == "param"


def signature_help(bridge, code, line=None, column=None, **kwargs):
    lines = code.split("\n")
    line = len(lines) if line is None else line
    column = len(lines[line - 1]) if column is None else column
    result = bridge.get_signature_help(code, line, column, path="Main", modules=MODULES, **kwargs)
    assert list(result) == ["signatures", "activeSignature", "activeParameter", "error"]
    return result


def test_signature_help_with_active_parameter(bridge, logs):
    result = signature_help(bridge, "import Helpers\nHelpers.add(1, ")
    assert result["error"] is None and result["activeSignature"] == 0 and result["activeParameter"] == 1
    (signature,) = result["signatures"]
    assert list(signature) == ["label", "documentation", "parameters"]
    assert signature["label"] == "add(a, b=2)"
    assert signature["documentation"] == "Add two numbers."
    assert [p["label"] for p in signature["parameters"]] == ["a", "b"]
    assert signature["parameters"][1]["documentation"] == "param b=2"
    assert "[LSP] Signature help: add, activeParam=1" in logs()
    assert signature_help(bridge, "import Helpers\nHelpers.add(")["activeParameter"] == 0


def test_signature_help_for_a_method(bridge):
    result = signature_help(bridge, "import Helpers\nHelpers.Thing().method(3, ")
    (signature,) = result["signatures"]
    assert signature["label"] == "method(x: int, scale: float=1.0) -> float"
    assert [p["label"] for p in signature["parameters"]] == ["x", "scale"]
    assert result["activeParameter"] == 1


def test_signature_help_outside_a_call(bridge, logs):
    assert signature_help(bridge, "x = 1") == {
        "signatures": [], "activeSignature": 0, "activeParameter": 0, "error": None}
    assert "[LSP] No signatures found" in logs()


def test_signature_help_errors(bridge):
    assert bridge.get_signature_help("f(", 0, 2) == {
        "signatures": [], "activeSignature": 0, "activeParameter": 0,
        "error": "line must be a positive integer (1-based)"}
    with pytest.raises(TypeError):
        bridge.get_signature_help("f(", 1, 2, path=b"Main")

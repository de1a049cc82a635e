"""Completions over real workbook modules in the bridge's workspace, through real jedi."""

import os
from collections import OrderedDict
from types import SimpleNamespace

import pytest

from tarnlet_master.python_server import sensewire

LOGGER = "tarnlet_master.python_server.sensewire"

HELPERS = '''"""Helper functions."""


def add(a, b=2):
    """Add two numbers."""
    return a + b


def total(values: list) -> int:
    return sum(values)


class Thing:
    """A thing."""

    size = 3


_private = 1
__dunder__ = 2
'''

MODULES = {"Helpers": HELPERS, "Report": "import Helpers\n\nRESULT = Helpers.add(1)\n"}


def complete(bridge, code, line=None, column=None, **kwargs):
    lines = code.split("\n")
    line = len(lines) if line is None else line
    column = len(lines[line - 1]) if column is None else column
    result = bridge.get_completions(code, line, column, **kwargs)
    assert list(result) == ["completions", "error"]
    return result


def by_label(result):
    return {item["label"]: item for item in result["completions"]}


def test_completion_across_workbook_modules(bridge):
    result = complete(bridge, "import Helpers\nHelpers.", path="Main", modules=MODULES)
    assert result["error"] is None
    items = by_label(result)
    assert {"add", "total", "Thing"} <= set(items)
    add = items["add"]
    assert list(add) == ["label", "kind", "insertText", "detail", "documentation"]
    assert add["kind"] == 1 and add["insertText"] == "add"
    assert add["detail"] == "(a, b=2)"
    assert "Add two numbers." in add["documentation"]
    assert items["total"]["detail"] == "(values: list) -> int"
    assert items["Thing"]["kind"] == 5 and "detail" not in items["Thing"]


def test_module_that_imports_another(bridge):
    # Report imports Helpers; completing on Report's names goes through both files.
    result = complete(bridge, "import Report\nReport.Helpers.a", path="Main", modules=MODULES)
    assert "add" in by_label(result)
    module_items = by_label(complete(bridge, "import Hel", modules=MODULES))
    assert module_items["Helpers"]["kind"] == 7
    assert module_items["Helpers"]["documentation"] == "Helper functions."


def test_unsaved_text_overrides_the_saved_one(bridge):
    saved = {"Drafts": "def old_name():\n    pass\n"}
    dirty = {"Drafts": "def new_name():\n    pass\n"}
    labels = set(by_label(complete(bridge, "import Drafts\nDrafts.", modules=saved, dirty_files=dirty)))
    assert "new_name" in labels and "old_name" not in labels
    # The next request without the unsaved text sees the saved one again.
    labels = set(by_label(complete(bridge, "import Drafts\nDrafts.", modules=saved)))
    assert "old_name" in labels and "new_name" not in labels


def test_same_length_edit_is_seen_at_once(bridge):
    # Two texts of equal length written in quick succession: jedi must not keep
    # the first parse.
    for name in ("alpha", "gamma", "delta"):
        mods = {"Quick": f"def {name}():\n    pass\n"}
        assert name in by_label(complete(bridge, "import Quick\nQuick.", modules=mods))


def test_current_module_path_resolves_siblings(bridge):
    # The text is analysed as Main.py inside the workspace, so a relative-looking
    # sibling import resolves.
    result = complete(bridge, "from Helpers import ad", path="Main", modules=MODULES)
    assert "add" in by_label(result)


def test_underscore_names(bridge):
    labels = set(by_label(complete(bridge, "import Helpers\nHelpers.", modules=MODULES)))
    assert not any(label.startswith("_") for label in labels)
    labels = set(by_label(complete(bridge, "import Helpers\nHelpers._", modules=MODULES)))
    assert {"_private", "__dunder__"} <= labels


def test_kinds(bridge):
    assert by_label(complete(bridge, "whil"))["while"]["kind"] == 13
    assert by_label(complete(bridge, "value = 1\nval"))["value"]["kind"] == 4
    assert by_label(complete(bridge, "import Helpers\nHelpers.Thing.si", modules=MODULES))["size"]["kind"] == 4
    path_items = [item for item in complete(bridge, 'open("/tm')["completions"]]
    assert path_items and all(item["kind"] == 17 for item in path_items)


def test_kind_table_is_read_when_used(bridge, monkeypatch):
    monkeypatch.setattr(sensewire, "JEDI_TO_MONACO_KIND", {"function": 99})
    items = by_label(complete(bridge, "import Helpers\nHelpers.", modules=MODULES))
    assert items["add"]["kind"] == 99 and items["Thing"]["kind"] == 4  # absent types map to 4


def test_tarnlet_stubs(bridge):
    items = by_label(complete(bridge, "import tarnlet\ntarnlet."))
    assert {"excel", "context", "Range", "register_callable"} <= set(items)
    assert items["excel"]["documentation"]


@pytest.mark.parametrize("code", [
    "import numpy as",
    "import numpy as n",
    "import numpy as  np_",
    "from os import path as",
    "from os.path import join as j",
    "   import a.b as c",
])
def test_import_alias_gives_nothing_and_writes_nothing(bridge, code, logs):
    before = sorted(os.listdir(bridge._temp_dir.name))
    assert complete(bridge, code, modules={"AliasProbe": "p = 1"}) == {"completions": [], "error": None}
    assert sorted(os.listdir(bridge._temp_dir.name)) == before
    assert "[LSP] In import alias context, returning empty completions" in logs()


def test_alias_rule_only_applies_up_to_the_cursor(bridge):
    # The cursor is inside "numpy", not after "as".
    assert complete(bridge, "import numpy as np", 1, 10)["error"] is None


def test_positions(bridge):
    assert complete(bridge, "x", 1, -1) == {
        "completions": [], "error": "column must be a non-negative integer (0-based)"}
    assert complete(bridge, "x", 0, 0) == {"completions": [], "error": "line must be a positive integer (1-based)"}
    beyond = complete(bridge, "import numpy as", 5, 0)  # no alias check; jedi's own error
    assert beyond["completions"] == [] and "line" in beyond["error"]
    # Floats are truncated toward zero.
    assert "add" in by_label(complete(bridge, "import Helpers\nHelpers.ad", 2.9, 10.5, modules=MODULES))


def test_entry_checks(bridge):
    for args, kwargs in [
        ((b"x", 1, 0), {}),
        ((None, 1, 0), {}),
        (("x", "1", 0), {}),
        (("x", True, 0), {}),
        (("x", 1, None), {}),
        (("x", float("inf"), 0), {}),
        (("x", 1, 0), {"path": 5}),
        (("x", 1, 0), {"modules": []}),
        (("x", 1, 0), {"dirty_files": "A"}),
        (("x", 1, 0), {"modules": OrderedDict()}),
    ]:
        with pytest.raises(TypeError):
            bridge.get_completions(*args, **kwargs)


def test_logs(bridge, logs):
    complete(bridge, "import Helpers\nHelpers.", modules=MODULES)
    messages = logs()
    summary = next(m for m in messages if m.startswith("[LSP] Request: get_completions "))
    assert "'code_length': 23" in summary and "'code_preview': 'import Helpers\\nHelpers.'" in summary
    assert any(m.startswith("[LSP] Jedi returned ") for m in messages)
    assert "[LSP] Response: 3 completions returned" in messages
    assert "[LSP] Sample completions: ['add', 'Thing', 'total']" in messages
    complete(bridge, "import tarnlet\ntarnlet.")
    sample = [m for m in logs() if m.startswith("[LSP] Sample completions: ")][-1]
    assert sample.endswith("]...") and sample.count(",") == 4


def test_code_preview_is_cut_at_100_characters(bridge, logs):
    code = "x" * 150
    complete(bridge, code)
    summary = next(m for m in logs() if m.startswith("[LSP] Request: get_completions "))
    assert "'code_length': 150" in summary and "'x" + "x" * 99 + "'" in summary and "x" * 101 not in summary


@pytest.mark.parametrize("code,line,column,expected", [
    ("foo.ba", 1, 6, "ba"),
    ("foo.", 1, 4, ""),
    ("x = 9abc", 1, 8, "abc"),
    ("x = _under", 1, 10, "_under"),
    ("call(arg", 1, 7, "ar"),
    ("a\nsecond", 2, 3, "sec"),
    ("caf\u00e9", 1, 4, ""),
    ("abc", 2, 1, ""),
    ("abc", 0, 1, ""),
    ("abc", 1, 99, "abc"),
])
def test_word_prefix(bridge, code, line, column, expected):
    assert bridge._get_word_prefix(code, line, column) == expected


def test_format_signature(bridge):
    import jedi

    script = jedi.Script("def foo(x, y=2) -> int:\n    pass\nfoo(")
    assert bridge._format_signature(script.get_signatures(3, 4)[0]) == "(x, y=2) -> int"

    def failing():
        raise AttributeError("no text")

    by_params = SimpleNamespace(to_string=failing, params=[SimpleNamespace(to_string=lambda: "a"),
                                                           SimpleNamespace(to_string=lambda: "b=1")])
    assert bridge._format_signature(by_params) == "(a, b=1)"
    assert bridge._format_signature(SimpleNamespace(to_string=failing)) == ""
    assert bridge._format_signature(SimpleNamespace(to_string=lambda: "no_parens")) == "no_parens"

    def other_failure():
        raise RuntimeError("boom")

    with pytest.raises(RuntimeError):
        bridge._format_signature(SimpleNamespace(to_string=other_failure))


def test_patched_word_prefix_is_honoured(bridge, monkeypatch):
    monkeypatch.setattr(bridge, "_get_word_prefix", lambda code, line, column: "_", raising=False)
    labels = set(by_label(complete(bridge, "import Helpers\nHelpers.", modules=MODULES)))
    assert "_private" in labels

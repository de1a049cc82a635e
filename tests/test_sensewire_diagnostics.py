"""Diagnostics: syntax errors, pyflakes lint and unresolved imports, with real pyflakes."""

import sys

import pytest

from tarnlet_master.python_server import sensewire

LOGGER = "tarnlet_master.python_server.sensewire"
KEYS = ["startLineNumber", "startColumn", "endLineNumber", "endColumn", "message", "severity"]


def diagnose(bridge, code, module_name=None):
    result = bridge.get_diagnostics(code, module_name)
    assert list(result) == ["diagnostics", "error"] and result["error"] is None
    for item in result["diagnostics"]:
        assert list(item) == KEYS
    return result["diagnostics"]


def test_syntax_error_is_the_only_diagnostic(bridge, logs):
    (item,) = diagnose(bridge, "import os\nimport no_such_module_xyz\ndef f(:\n    pass\n")
    assert item["severity"] == 8
    assert item["startLineNumber"] == item["endLineNumber"] == 3
    assert item["endColumn"] == item["startColumn"] + 1
    assert item["message"] == "invalid syntax"
    assert f"[LSP] Syntax error at line 3, col {item['startColumn']}: invalid syntax" in logs()


def test_lint_ranges(bridge):
    items = diagnose(bridge, "import os\nprint(undefined_thing)\n")
    unused = next(i for i in items if i["message"] == "'os' imported but unused")
    assert (unused["startLineNumber"], unused["startColumn"], unused["endColumn"]) == (1, 1, 3)
    assert unused["severity"] == 4
    undefined = next(i for i in items if i["message"] == "undefined name 'undefined_thing'")
    assert (undefined["startLineNumber"], undefined["startColumn"], undefined["endColumn"]) == (2, 7, 8)


def test_unresolved_import_spans_the_statement(bridge):
    code = "x = 1\n  \nif x:\n    import os, no_such_module_xyz\n    os, no_such_module_xyz\n"
    errors = [i for i in diagnose(bridge, code) if i["severity"] == 8]
    assert errors == [{
        "startLineNumber": 4, "startColumn": 5, "endLineNumber": 4, "endColumn": 34,
        "message": "import 'no_such_module_xyz' could not be resolved", "severity": 8}]


def test_multiline_from_import(bridge):
    code = "from no_such_pkg_xyz import (\n    a,\n    b,\n)\na, b\n"
    (error,) = [i for i in diagnose(bridge, code) if i["severity"] == 8]
    assert (error["startLineNumber"], error["startColumn"], error["endLineNumber"], error["endColumn"]) == (1, 1, 4, 2)
    assert error["message"] == "import 'no_such_pkg_xyz' could not be resolved"


def test_relative_imports(bridge):
    items = diagnose(bridge, "from . import sibling\nsibling\n")
    assert not [i for i in items if i["severity"] == 8]
    # The level is ignored: a relative module name is looked up as if absolute.
    items = diagnose(bridge, "from .os import path\nfrom .no_such_rel_xyz import q\npath, q\n")
    assert [i["message"] for i in items if i["severity"] == 8] == ["import 'no_such_rel_xyz' could not be resolved"]


def test_workbook_module_in_the_workspace_resolves(bridge):
    code = "import WorkbookHelpers_xyz\nWorkbookHelpers_xyz\n"
    assert [i["severity"] for i in diagnose(bridge, code)] == [8]
    bridge.sync_modules({"WorkbookHelpers_xyz": "value = 1\n"})
    assert diagnose(bridge, code) == []
    bridge.delete_module("WorkbookHelpers_xyz")
    assert [i["severity"] for i in diagnose(bridge, code)] == [8]


def test_errors_first_then_warnings_in_order_found(bridge):
    code = "import os\nimport missing_one_xyz\nimport sys\nimport missing_two_xyz\nprint(nope)\n"
    items = diagnose(bridge, code)
    assert [i["severity"] for i in items] == [8, 8, 4, 4, 4, 4, 4]
    assert [i["message"] for i in items[:2]] == [
        "import 'missing_one_xyz' could not be resolved", "import 'missing_two_xyz' could not be resolved"]
    assert [i["startLineNumber"] for i in items[2:]] == [1, 2, 3, 4, 5]


def test_without_pyflakes_only_syntax_and_imports(bridge, monkeypatch):
    monkeypatch.setattr(sensewire, "PYFLAKES_AVAILABLE", False)
    items = diagnose(bridge, "import os\nimport missing_one_xyz\nprint(nope)\n")
    assert [i["message"] for i in items] == ["import 'missing_one_xyz' could not be resolved"]


def test_empty_source(bridge, logs):
    assert diagnose(bridge, "") == []
    assert "[LSP] Request: get_diagnostics, code_length=0" in logs()


def test_module_name_shapes_the_file_name(bridge, monkeypatch):
    seen = []
    original = bridge._run_pyflakes

    def recording(code, filename):
        seen.append(filename)
        return original(code, filename)

    monkeypatch.setattr(bridge, "_run_pyflakes", recording, raising=False)
    diagnose(bridge, "x = 1\n", "Sheet1")
    diagnose(bridge, "x = 1\n")
    diagnose(bridge, "x = 1\n", "")
    assert seen == ["<Sheet1>", "<editor>", "<editor>"]


def test_parse_pyflakes_message(bridge):
    assert bridge._parse_pyflakes_message("<m>:3:5: 'os' imported but unused", 4) == {
        "startLineNumber": 3, "startColumn": 5, "endLineNumber": 3, "endColumn": 7,
        "message": "'os' imported but unused", "severity": 4}
    no_column = bridge._parse_pyflakes_message("C:\\x.py:7: something odd", 8)
    assert (no_column["startLineNumber"], no_column["startColumn"], no_column["endColumn"]) == (7, 1, 2)
    assert no_column["message"] == "something odd"
    assert bridge._parse_pyflakes_message("not a lint line", 4) is None
    assert bridge._parse_pyflakes_message("", 4) is None


def test_can_resolve_import(bridge):
    assert bridge._can_resolve_import("os") is True
    assert bridge._can_resolve_import("json.decoder") is True
    assert bridge._can_resolve_import("no_such_module_xyz") is False
    assert bridge._can_resolve_import("no_such_pkg_xyz.child") is False
    assert bridge._can_resolve_import("") is False


def test_failures_of_the_checks_keep_what_was_found(bridge, monkeypatch, logs):
    def broken(name):
        raise RuntimeError("resolver broke")

    monkeypatch.setattr(bridge, "_can_resolve_import", broken, raising=False)
    items = diagnose(bridge, "import os\n")
    assert [i["message"] for i in items] == ["'os' imported but unused"]
    assert "[LSP] Import check failed: resolver broke" in logs()


def test_whole_check_failure_is_reported(bridge, logs):
    # ast.parse refuses NUL bytes: a ValueError on 3.10/3.11, a SyntaxError later.
    result = bridge.get_diagnostics("x = 1\x00\n")
    if result["error"] is None:
        assert [i["severity"] for i in result["diagnostics"]] == [8]
    else:
        assert result["diagnostics"] == [] and "null" in result["error"]
        assert any(m.startswith("[LSP] Error in get_diagnostics: ") for m in logs())


def test_entry_checks(bridge):
    with pytest.raises(TypeError):
        bridge.get_diagnostics(None)
    with pytest.raises(TypeError):
        bridge.get_diagnostics("x = 1", 5)


NESTED = '''
import miss_a
def f():
    import miss_b
    try:
        import miss_c
    except ImportError:
        from miss_d import x
    finally:
        import miss_e
class C:
    import miss_f
    def g(self):
        match self:
            case 1:
                import miss_g
with open("x") as fh:
    for i in range(3):
        import miss_h
    else:
        from miss_i import y
while False:
    import miss_j
from miss_k import (
    z)
'''


def test_import_check_visits_in_breadth_first_order(bridge):
    import ast

    expected = []
    for node in ast.walk(ast.parse(NESTED)):
        if isinstance(node, ast.Import):
            expected += [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            expected.append(node.module)
    found = [d["message"].split("'")[1] for d in bridge._check_unresolved_imports(NESTED)]
    assert found == expected and len(found) == 11
    via_request = [d["message"].split("'")[1] for d in diagnose(bridge, NESTED) if d["severity"] == 8]
    assert via_request == expected


@pytest.fixture
def side_packages(tmp_path, monkeypatch):
    """A directory on sys.path with packages whose code leaves a mark when it runs."""
    marks = tmp_path / "marks"
    marks.mkdir()
    root = tmp_path / "site"

    def write(relative, text=""):
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")

    def runs(name):
        return f"open({str(marks / name)!r}, 'w').close()\nprint('RAN {name}')\n"

    write("side_pkg/__init__.py", runs("side_pkg"))
    write("side_pkg/sub.py", runs("side_pkg.sub"))
    write("side_pkg/inner/__init__.py", runs("side_pkg.inner"))
    write("side_pkg/inner/leaf.py", runs("side_pkg.inner.leaf"))
    write("side_plain.py", runs("side_plain"))
    write("side_ns/part.py", runs("side_ns.part"))  # a namespace package: no __init__
    monkeypatch.syspath_prepend(str(root))
    yield lambda: sorted(p.name for p in marks.iterdir())
    for name in [n for n in sys.modules if n.split(".")[0] in ("side_pkg", "side_plain", "side_ns")]:
        del sys.modules[name]


def test_imports_resolve_without_running_any_module(bridge, side_packages, capfd):
    code = ("import side_pkg.sub\nimport side_pkg.inner.leaf\nfrom side_pkg.inner import leaf\n"
            "import side_ns.part\nimport side_plain\nimport side_pkg.nope\nimport side_plain.child\n"
            "from side_pkg.sub import thing\nimport side_ns.nope\n")
    unresolved = [d["message"] for d in diagnose(bridge, code) if d["severity"] == 8]
    assert unresolved == ["import 'side_pkg.nope' could not be resolved",
                          "import 'side_plain.child' could not be resolved",
                          "import 'side_ns.nope' could not be resolved"]
    assert side_packages() == []
    assert "RAN" not in capfd.readouterr().out
    assert not [n for n in sys.modules if n.split(".")[0] in ("side_pkg", "side_plain", "side_ns")]


def test_a_loaded_package_lends_its_path(bridge, side_packages):
    import side_pkg  # noqa: F401  (runs it once, on purpose)

    assert side_packages() == ["side_pkg"]
    assert bridge._can_resolve_import("side_pkg.inner.leaf") is True
    assert bridge._can_resolve_import("side_pkg.gone") is False
    assert side_packages() == ["side_pkg"]


def test_a_submodule_of_a_plain_module_prints_nothing(bridge, capfd):
    # `this` prints the Zen of Python when it is imported.
    saved = sys.modules.pop("this", None)
    try:
        items = diagnose(bridge, "import this.x\n")
        assert [d["message"] for d in items if d["severity"] == 8] == ["import 'this.x' could not be resolved"]
        assert "this" not in sys.modules
        assert "Zen" not in capfd.readouterr().out
    finally:
        if saved is not None:
            sys.modules["this"] = saved


def test_dotted_names_of_the_standard_library_resolve_as_before(bridge):
    assert bridge._can_resolve_import("xml.dom.minidom") is True
    assert bridge._can_resolve_import("email.mime.text") is True
    assert bridge._can_resolve_import("os.path") is True
    assert bridge._can_resolve_import("json.nope") is False
    assert bridge._can_resolve_import("a..b") is False
    assert bridge._can_resolve_import("\ud800.x") is False
    assert bridge._can_resolve_import("a\x00b") is False

"""Tab in the console (the kernel's analysis and the live namespace) and :hover as text."""


import pytest

from tarnlet_master.devhost import console_complete as cc
from tarnlet_master.devhost.console import markdown_as_text
import console_pty as cp


@pytest.mark.parametrize("text, owner, prefix, evaluable", [
    ("my_uni", "", "my_uni", True),
    ("x = box.dyn", "box.", "dyn", True),
    ("a.b.c", "a.b.", "c", True),
    ("obj.", "obj.", "", True),
    ("f().res", "", "res", False),
    ("'text'.up", "", "up", False),
    ("print(", "", "", True),
    ("données.cl", "données.", "cl", True),
])
def test_word_before_the_cursor(text, owner, prefix, evaluable):
    word = cc.word_before(text)
    assert (word.prefix, word.evaluable) == (prefix, evaluable)
    if evaluable:
        assert word.owner == owner


def test_namespace_expression_runs_where_the_console_names_live():
    # The expression must see names of the caller's locals, as the kernel's console code has them.
    scope = {"my_unique_name": 1, "other": 2}
    expression = cc.namespace_expression(cc.word_before("my_u"))
    assert eval(expression, {"__builtins__": __builtins__}, scope) == ["my_unique_name"]

    class Box:
        pass

    box = Box()
    box.dynamic_attr = 1
    expression = cc.namespace_expression(cc.word_before("box.dyn"))
    assert eval(expression, {"__builtins__": __builtins__}, {"box": box}) == ["dynamic_attr"]
    assert cc.namespace_expression(cc.word_before("f().x")) is None   # never calls anything


def test_merge_keeps_prefix_matches_and_hides_private_names_until_asked():
    word = cc.word_before("obj.ge")
    assert cc.merge(word, ["get", "Get", "_get", "gets"], ["get", "geometry", 7]) == \
        ["obj.geometry", "obj.get", "obj.gets"]
    assert cc.merge(cc.word_before("obj._g"), ["_get", "__ge__"], []) == ["obj._get"]
    assert "while" in cc.merge(cc.word_before("whi"), [], [])            # keywords at top level only
    assert cc.merge(cc.word_before("x.whi"), [], []) == []


def test_analysis_request_puts_the_cursor_on_the_last_line_after_recent_cells():
    request = cc.analysis_request(["import json", "", "a = 1\nb = 2"], ["def f():"], "    json.du", 11)
    lines = request["code"].split("\n")
    assert lines[request["line"] - 1] == "    json.du"
    assert request["column"] == 11
    assert lines[:3] == ["import json", "a = 1", "b = 2"]
    many = [f"v{i} = {i}" for i in range(cc.HISTORY_CELLS + 10)]
    request = cc.analysis_request(many, [], "v", 1)
    assert "v0 = 0" not in request["code"] and f"v{cc.HISTORY_CELLS + 9} = " in request["code"]


def test_hover_markdown_becomes_plain_text():
    markdown = "```python\nprices.total(address)\n```\n\n---\n\nSum of the numbers.\n\nMore."
    assert markdown_as_text(markdown) == "prices.total(address)\n\nSum of the numbers.\n\nMore."


@pytest.mark.timeout(120)
def test_tab_completes_from_the_namespace_and_the_analysis(tmp_path):
    mods = tmp_path / "mods"
    mods.mkdir()
    (mods / "tools.py").write_text('def double(x):\n    """Twice x, as a number."""\n    return 2 * x\n')
    console = cp.ConsolePty(tmp_path, "--load", str(mods))
    try:
        console.run("my_unique_variable = 5")
        console.send("my_uni\t")
        console.expect_text("que_variable")
        assert "5" in console.run("")
        # An attribute only the running namespace knows.
        console.run("Box = type('Box', (), {})")
        console.run("b = Box(); setattr(b, 'dyn' + 'amic_attr', 7)")
        console.send("b.dyn\t")
        console.expect_text("amic_attr")
        assert "7" in console.run("")
        # A module the namespace has not imported yet: only the analysis of the line knows it.
        console.send("import textwrap; textwrap.deden\t")
        console.expect_text("t")
        assert "<function dedent" in console.run("")
        # Tab at the start of a line indents.
        console.send("def three():\r")
        console.expect_text("... ")
        console.send("\treturn 3\r\r")
        console.expect_prompt()
        assert "3" in console.run("three()")
        # Commands and their targets.
        console.send(":regi\t")
        console.expect_text("stry")
        assert "(no saved objects)" in console.run("")
        console.send(":call tools.dou\t")
        console.expect_text("ble")
        assert "= 8" in console.run(" 4")
        out = console.run(":hover tools 1 5")
        assert "Twice x, as a number." in out
        assert "```" not in out and "---" not in out
    finally:
        console.close()

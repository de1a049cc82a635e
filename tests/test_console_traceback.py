"""Tracebacks of typed code name the cell and show the typed line; frozen import frames go."""

import pytest

from tarnlet_master.devhost.console_traceback import Cells, kernel_pieces, rewrite_traceback
import console_pty as cp


def frames(*lines):
    return "\n".join(["Traceback (most recent call last):", *lines, "ValueError: boom"])


def test_pieces_follow_the_kernels_split_of_typed_code():
    assert kernel_pieces("1 + 2") == [("<kernel>", 1, "1 + 2")]
    assert kernel_pieces("x = 5") == [("<string>", 1, "x = 5")]
    assert kernel_pieces("x = 5; x * 2") == [("<string>", 1, "x = 5"), ("<kernel>", 1, "x * 2")]
    assert kernel_pieces("a = 1\nb = 2; c = 3\nd()") == [("<string>", 1, "a = 1\nb = 2"),
                                                         ("<string>", 2, "c = 3\nd()")]
    assert kernel_pieces("print(1);print(2)") == [("<string>", 1, "print(1);print(2)")]
    assert kernel_pieces("x = 1; ") == [("<string>", 1, "x = 1; ")]


def test_frames_of_the_current_and_earlier_cells_get_their_lines():
    cells = Cells()
    cells.add("x = 1")
    cells.add("def f():\n    y = 2\n    raise ValueError('boom')\n")
    current = cells.add("import os\nf()")
    text = frames('  File "<string>", line 2, in <module>', '  File "<string>", line 3, in f')
    assert rewrite_traceback(text, cells, current).split("\n")[1:5] == [
        "  Cell In[3], line 2, in <module>", "    f()",
        "  Cell In[2], line 3, in f", "    raise ValueError('boom')"]


def test_the_tail_after_a_semicolon_maps_to_its_line_in_the_cell():
    cells = Cells()
    current = cells.add("a = 1\nb = 2; int('x')\n")
    # The tail "int('x')" is its own expression, compiled as "<kernel>" with its own line 1.
    out = rewrite_traceback(frames('  File "<kernel>", line 1, in <module>'), cells, current)
    assert "  Cell In[1], line 2, in <module>\n    b = 2; int('x')" in out
    current = cells.add("a = 1; b = 2\nc = 3\nint('x')")
    out = rewrite_traceback(frames('  File "<string>", line 3, in <module>'), cells, current)
    assert "Cell In[2], line 3, in <module>\n    int('x')" in out   # past the head: the tail's third line


def test_frames_that_cannot_be_told_are_left_as_they_are():
    cells = Cells()
    current = cells.add("g()")
    text = frames('  File "<kernel>", line 1, in <module>', '  File "<string>", line 4, in g',
                  '  File "/lib/x.py", line 9, in h', '    h_line()')
    out = rewrite_traceback(text, cells, current)
    assert '  File "<string>", line 4, in g' in out           # no cell defines g
    assert '  File "/lib/x.py", line 9, in h\n    h_line()' in out
    # A frame that already shows its line is not given a second one.
    text = frames('  File "<kernel>", line 1, in <module>', "    g()")
    assert rewrite_traceback(text, cells, current).count("g()") == 1
    # After a restart the earlier cells' functions are gone.
    cells.add("def k():\n    raise ValueError('boom')")
    cells.forget()
    later = cells.add("k()")
    out = rewrite_traceback(frames('  File "<kernel>", line 1, in <module>', '  File "<string>", line 2, in k'),
                            cells, later)
    assert '  File "<string>", line 2, in k' in out


def test_frozen_import_frames_are_dropped_and_syntax_errors_keep_their_caret():
    cells = Cells()
    current = cells.add("import bad")
    text = frames('  File "<string>", line 1, in <module>',
                  '  File "<frozen importlib._bootstrap>", line 1176, in _find_and_load',
                  '  File "<frozen importlib._bootstrap_external>", line 940, in exec_module',
                  '  File "<virtual:bad>", line 2, in <module>', "    raise ValueError('boom')")
    out = rewrite_traceback(text, cells, current)
    assert "frozen" not in out
    assert out.split("\n")[1:5] == ["  Cell In[1], line 1, in <module>", "    import bad",
                                    '  File "<virtual:bad>", line 2, in <module>', "    raise ValueError('boom')"]
    current = cells.add("x = = 1")
    text = '  File "<string>", line 1\n    x = = 1\n        ^\nSyntaxError: invalid syntax'
    assert rewrite_traceback(text, cells, current) == "  Cell In[2], line 1\n    x = = 1\n        ^\n" \
                                                      "SyntaxError: invalid syntax"


@pytest.mark.timeout(120)
def test_console_shows_typed_lines_in_tracebacks(tmp_path):
    mods = tmp_path / "mods"
    mods.mkdir()
    (mods / "bad.py").write_text("x = 1\nraise ValueError('at import')\n")
    console = cp.ConsolePty(tmp_path, "--load", str(mods))
    try:
        console.send("def f():\r    return 1 / 0\r\r")
        console.expect_prompt()
        out = console.run("f()")
        assert "Cell In[2], line 1, in <module>\n    f()\n  Cell In[1], line 2, in f\n    return 1 / 0\n" in out
        assert "ZeroDivisionError: division by zero" in out
        out = console.run("import bad")
        assert "Cell In[3], line 1, in <module>\n    import bad" in out
        assert "<frozen importlib" not in out
        assert "raise ValueError('at import')" in out
    finally:
        console.close()

import builtins
import io
import math
import sys
import threading
import uuid

import pytest

from tarnlet_master.python_server import kernel


@pytest.fixture
def ex():
    return kernel.CodeExecutor()


def run(ex, code, **kw):
    result = ex.execute(code, **kw)
    assert list(result) == ["success", "stdout", "stderr", "error", "result"]
    return result


class TestNamespace:
    def test_initial_namespace_holds_the_user_module(self, ex):
        tarnlet = sys.modules["tarnlet"]
        assert list(ex.globals) == ["__builtins__", "tarnlet", "excel", "context"]
        assert ex.globals["__builtins__"] is builtins
        assert ex.globals["tarnlet"] is tarnlet
        assert ex.globals["excel"] is tarnlet.excel and ex.globals["context"] is tarnlet.context

    def test_one_namespace_for_globals_and_locals(self, ex):
        assert ex.globals is ex.locals

    def test_console_functions_see_console_names(self, ex):
        assert run(ex, "import math")["success"]
        assert run(ex, "def f():\n    return math.pi")["success"]
        assert run(ex, "f()")["result"] == math.pi
        # a comprehension and a class body also see the console's names
        assert run(ex, "k = 3")["success"]
        assert run(ex, "[k * i for i in range(3)]")["result"] == [0, 3, 6]

    def test_reset_forgets_user_names_and_keeps_the_user_module(self, ex):
        run(ex, "defined = 1")
        old = ex.globals
        ex.reset_namespace()
        assert ex.globals is ex.locals and ex.globals is not old
        missing = run(ex, "defined")
        assert not missing["success"] and missing["error"]["type"] == "NameError"
        assert run(ex, "(tarnlet, excel, context)")["success"]

    def test_each_executor_has_its_own_namespace(self):
        a, b = kernel.CodeExecutor(), kernel.CodeExecutor()
        run(a, "only_in_a = 1")
        assert run(b, "only_in_a")["error"]["type"] == "NameError"


class TestConsoleRule:
    @pytest.mark.parametrize("code, expected", [
        ("1 + 2", 3),
        ("x = 5", None),
        ("x = 5; x * 2", 10),
        ("a = 1; b = 2; a + b", None),
        ("", None),
        ("   ", None),
        ("x = 5;  x * 3", 15),
        ('x = 1; s = "p; q"; x', None),
    ])
    def test_expression_values(self, ex, code, expected):
        result = run(ex, code)
        assert result["success"], result["error"]
        assert result["result"] == expected

    def test_split_runs_both_halves_and_no_blank_runs_whole(self, ex):
        run(ex, "a = 1; b = 2; a + b")
        assert run(ex, "(a, b)")["result"] == (1, 2)
        result = run(ex, "print(1);print(2)")
        assert result["stdout"] == "1\n2\n" and result["result"] is None

    def test_result_is_the_object_itself(self, ex):
        run(ex, "items = [1, 2]")
        assert run(ex, "items")["result"] is ex.globals["items"]

    @pytest.mark.parametrize("code, name, value", [
        ('s = "a; b"', "s", "a; b"),
        ("t = ('x; y',)", "t", ("x; y",)),
        ("d = {'k': 'v; w'}; d['k']", "d", {"k": "v; w"}),
        ("n = len([1,\n 2]); m = n + 1", "m", 3),
    ])
    def test_separator_inside_strings_and_brackets(self, ex, code, name, value):
        result = run(ex, code)
        assert result["success"], result["error"]
        assert ex.globals[name] == value

    def test_separator_inside_a_compound_statement_keeps_its_meaning(self, ex):
        result = run(ex, "flag = False\nif flag: a = 1; b = 2")
        assert result["success"]
        assert "a" not in ex.globals and "b" not in ex.globals

    def test_separator_inside_a_function_body(self, ex):
        result = run(ex, "def g():\n    v = 1; return v\n")
        assert result["success"], result["error"]
        assert run(ex, "g()")["result"] == 1

    def test_invalid_code_runs_nothing(self, ex):
        result = run(ex, "x = 1; y = (")
        assert not result["success"] and result["error"]["type"] == "SyntaxError"
        assert "x" not in ex.globals

    def test_statements_report_string_frames_and_expressions_kernel_frames(self, ex):
        statement = run(ex, "x = 1\n1 / 0")
        expression = run(ex, "1 / 0")
        assert 'File "<string>", line 2' in statement["error"]["traceback"]
        assert 'File "<kernel>", line 1' in expression["error"]["traceback"]

    def test_runtime_syntax_error_of_a_whole_expression_is_an_error(self, ex):
        result = run(ex, "eval('(')")
        assert not result["success"] and result["error"]["type"] == "SyntaxError"


class TestOutputAndErrors:
    def test_output_before_an_error_is_kept(self, ex):
        result = run(ex, "print('before')\nimport sys\nprint('warn', file=sys.stderr)\n1/0")
        assert not result["success"]
        assert result["stdout"] == "before\n" and result["stderr"] == "warn\n"
        error = result["error"]
        assert list(error) == ["type", "message", "traceback"]
        assert error["type"] == "ZeroDivisionError" and error["message"] == "division by zero"
        assert error["traceback"].startswith("Traceback (most recent call last):\n")
        assert error["traceback"].endswith("ZeroDivisionError: division by zero\n")

    def test_callbacks_stream_each_write(self, ex):
        out, err = [], []
        result = run(ex, "import sys\nprint('hi')\nsys.stderr.write('oops')", stdout_callback=out.append,
                     stderr_callback=err.append)
        assert out == ["hi", "\n"] and err == ["oops"]
        assert result["stdout"] == "hi\n" and result["stderr"] == "oops"

    def test_streams_are_restored_after_success_error_and_system_exit(self, ex):
        before = (sys.stdout, sys.stderr)
        run(ex, "print('ok')")
        assert (sys.stdout, sys.stderr) == before
        run(ex, "1/0")
        assert (sys.stdout, sys.stderr) == before
        # Console code's SystemExit is its error, not the end of the kernel.
        result = ex.execute("raise SystemExit(3)")
        assert not result["success"] and result["error"]["type"] == "SystemExit"
        assert (sys.stdout, sys.stderr) == before

    def test_non_string_code_is_an_error_result(self, ex):
        result = run(ex, 5)
        assert not result["success"] and result["error"]["type"] == "TypeError"

    def test_concurrent_executions_each_get_their_own_result(self, ex):
        # Both runs swap the process-wide streams, so the order of restoring is not guarded:
        # put the test's own streams back afterwards.
        saved = (sys.stdout, sys.stderr)
        results = {}

        def worker(n):
            results[n] = ex.execute(f"total{n} = sum(range({n * 10})); total{n}")

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(1, 5)]
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=10)
        finally:
            sys.stdout, sys.stderr = saved
        assert {n: r["result"] for n, r in results.items()} == {n: sum(range(n * 10)) for n in range(1, 5)}


class TestOutputRouting:
    """Without a kernel the process's streams are whatever they are; a run's capture is
    still its thread's alone."""

    def test_overlapping_runs_capture_only_their_own_thread(self, ex, monkeypatch):
        monkeypatch.setattr(sys, "stdout", console := io.StringIO())
        before = sys.stdout
        gate = threading.Barrier(4, timeout=10)
        ex.globals["gate"] = gate
        results, streamed = {}, {n: [] for n in range(4)}

        def worker(n):
            code = f"gate.wait()\nfor i in range(200):\n    print('w{n}', i)\n"
            results[n] = ex.execute(code, stdout_callback=streamed[n].append)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        print("no capture here")  # this thread runs nothing: the stream it finds takes it
        for t in threads:
            t.join(timeout=20)
        for n in range(4):
            expected = "".join(f"w{n} {i}\n" for i in range(200))
            assert results[n]["stdout"] == expected and "".join(streamed[n]) == expected
        assert sys.stdout is before and console.getvalue() == "no capture here\n"

    def test_a_thread_started_by_the_run_writes_to_the_stream_it_finds(self, ex, monkeypatch):
        monkeypatch.setattr(sys, "stdout", console := io.StringIO())
        code = ("import threading\n"
                "t = threading.Thread(target=print, args=('from the thread',))\n"
                "t.start(); t.join()\n"
                "print('from the run')\n")
        result = run(ex, code)
        assert result["stdout"] == "from the run\n"
        assert console.getvalue() == "from the thread\n"

    def test_user_redirection_and_nested_runs(self, ex, monkeypatch):
        monkeypatch.setattr(sys, "stdout", io.StringIO())
        ex.globals["ex"] = ex
        code = ("import contextlib, io\n"
                "buf = io.StringIO()\n"
                "with contextlib.redirect_stdout(buf):\n"
                "    print('in buf')\n"
                "inner = ex.execute(\"print('inner')\")\n"
                "print('outer', repr(buf.getvalue()), repr(inner['stdout']))\n")
        result = run(ex, code)
        assert result["stdout"] == "outer 'in buf\\n' 'inner\\n'\n"

    def test_a_stream_the_code_puts_in_place_stays(self, ex, monkeypatch):
        monkeypatch.setattr(sys, "stdout", io.StringIO())
        result = run(ex, "import io, sys\nprint('captured')\nsys.stdout = kept = io.StringIO()\nprint('kept')")
        assert result["stdout"] == "captured\n"
        assert sys.stdout is ex.globals["kept"] and sys.stdout.getvalue() == "kept\n"

    def test_text_survives_as_written(self, ex):
        out = []
        result = run(ex, "import sys\nsys.stdout.write('é😀\\udc80'); sys.stderr.write('\\ud83d\\ude00')",
                     stdout_callback=out.append)
        assert result["stdout"] == "é😀\udc80" and out == ["é😀\udc80"]
        assert result["stderr"] == "\ud83d\ude00"


class TestTracebackText:
    def test_chained_exceptions_are_included(self):
        try:
            try:
                raise KeyError("inner")
            except KeyError:
                raise ValueError("outer")
        except ValueError as e:
            text = kernel.extract_tracebak_string(e)
        assert "KeyError: 'inner'" in text
        assert "During handling of the above exception, another exception occurred:" in text
        assert text.endswith("ValueError: outer\n")

class TestErrorLocation:
    def test_last_virtual_frame_wins(self):
        text = ('Traceback (most recent call last):\n'
                '  File "<virtual:main>", line 3, in <module>\n'
                '  File "<virtual:util>", line 7, in helper\n'
                "  File '<virtual:main>', line 12, in inner\n"
                'ValueError: x\n')
        assert kernel._parse_error_location(text, set()) == {"module": "main", "line": 12, "file": "<virtual:main>"}

    def test_file_path_containing_a_module_name(self):
        text = ('  File "C:\\\\work\\\\budget_tools.py", line 4, in f\n'
                '  File "C:\\\\work\\\\budget_tools.py", line 9, in g\n')
        assert kernel._parse_error_location(text, {"budget_tools"}) == {
            "module": "budget_tools", "line": 4, "file": "<virtual:budget_tools>"}

    def test_dotted_names_are_found_only_by_the_path_search(self):
        text = '  File "<virtual:pkg.mod>", line 5, in f\n'
        assert kernel._parse_error_location(text, set()) == {}
        assert kernel._parse_error_location(text, {"pkg.mod"}) == {
            "module": "pkg.mod", "line": 5, "file": "<virtual:pkg.mod>"}

    def test_nothing_found(self):
        assert kernel._parse_error_location("", {"a"}) == {}
        assert kernel._parse_error_location('  File "/tmp/pkgXmod.py", line 5\n', {"pkg.mod"}) == {}  # escaped
        assert kernel._parse_error_location('  File "/usr/lib/x.py", line 1\n', {"a"}) == {}


def test_error_in_a_workbook_module_is_located(ex):
    name = f"wbexec_{uuid.uuid4().hex[:8]}"
    loader = kernel.InMemoryModuleLoader()
    sys.meta_path.insert(0, loader)
    try:
        loader.update_module(name, "def f(v):\n    return 10 / v\n")
        result = run(ex, f"import {name}\n{name}.f(0)")
        assert result["error"]["type"] == "ZeroDivisionError"
        where = kernel._parse_error_location(result["error"]["traceback"], set(loader.source_cache))
        assert where == {"module": name, "line": 2, "file": f"<virtual:{name}>"}
        assert "return 10 / v" in result["error"]["traceback"]
    finally:
        sys.meta_path.remove(loader)
        loader.delete_module(name)

import asyncio
import linecache
import queue
import sys
import threading
import time
import types

import pytest

from tarnlet_master.python_server.debugger import TarnletDebugger

CALC = '''\
def helper(v):
    w = v * 2
    return w

def main(n):
    total = 0
    for i in range(n):
        total += helper(i)
    return total

def with_outside_call(items):
    joined = outside(items)
    after = len(joined)
    return after

def spin(flag):
    count = 0
    while not flag.is_set():
        count += 1
    return count

def swallow(flag):
    caught = 0
    while not flag.is_set():
        try:
            busy()
        except Exception:
            caught += 1
    return caught

def busy():
    for _ in range(20000):
        pass

def fail(a):
    b = a + 1
    return b / 0

def gen(n):
    for i in range(n):
        yield i * 10
'''



def line_of(text):
    return next(i for i, line in enumerate(CALC.splitlines(), 1) if line.strip() == text)


HELPER_BODY = line_of("w = v * 2")
MAIN_FIRST, MAIN_FOR = line_of("total = 0"), line_of("for i in range(n):")
MAIN_CALL, MAIN_RETURN = line_of("total += helper(i)"), line_of("return total")
OUTSIDE_CALL, OUTSIDE_AFTER = line_of("joined = outside(items)"), line_of("after = len(joined)")
SPIN_INCREMENT = line_of("count += 1")
GEN_YIELD = line_of("yield i * 10")


def load_virtual(name, source):
    filename = f"<virtual:{name}>"
    linecache.cache[filename] = (len(source), None, source.splitlines(True), filename)
    module = types.ModuleType(name)
    module.__file__ = filename
    exec(compile(source, filename, "exec"), module.__dict__)
    return module


@pytest.fixture(scope="module")
def calc():
    module = load_virtual("calc", CALC)
    # A function from outside the in-memory modules, calling back into one.
    other = {}
    exec(compile("def outside(items, cb=None):\n    return ','.join(items)\n", "/lib/outside.py", "exec"), other)
    module.outside = other["outside"]
    return module


@pytest.fixture
def loop():
    lp = asyncio.new_event_loop()
    thread = threading.Thread(target=lp.run_forever, daemon=True)
    thread.start()
    yield lp
    if not lp.is_closed():
        # Let sends scheduled at the end of the test run before the loop stops.
        for _ in range(3):
            asyncio.run_coroutine_threadsafe(asyncio.sleep(0), lp).result(5)
        lp.call_soon_threadsafe(lp.stop)
        thread.join(5)
        lp.close()


class Session:
    """A debugger on a real loop, with its messages collected in a queue."""

    def __init__(self, loop, breakpoints=(), step_mode=None):
        self.messages = queue.Queue()
        self.loop_thread_ids = set()

        async def send_message(message):
            self.loop_thread_ids.add(threading.get_ident())
            self.messages.put(message)

        self.dbg = TarnletDebugger(send_message, "wb-7")
        self.dbg.loop = loop
        self.dbg.step_mode = step_mode
        self.dbg.set_breakpoints(list(breakpoints))
        self.dbg.set_in_memory_modules(["calc"])
        self.result = self.error = None
        self.thread = None

    def start(self, func, *args):
        def target():
            try:
                self.result = self.dbg.runcall(func, *args)
            except BaseException as exc:  # checked by the test
                self.error = exc
            self.trace_after = sys.gettrace()

        self.thread = threading.Thread(target=target, daemon=True)
        self.thread.start()
        return self

    def next_message(self, type_, timeout=5.0):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                pytest.fail(f"no {type_!r} message within {timeout}s")
            try:
                message = self.messages.get(timeout=remaining)
            except queue.Empty:
                continue
            if message["type"] == type_:
                return message

    def paused_at(self):
        message = self.next_message("debug_paused")
        return message["function"], message["line"]

    def join(self, timeout=5.0):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "runcall did not return"
        return self.result


class TestBreakpointsAndStepping:
    def test_breakpoint_hit_reports_location_and_locals(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": MAIN_CALL}]).start(calc.main, 3)
        paused = s.next_message("debug_paused")
        assert (paused["module"], paused["line"], paused["function"]) == ("calc", MAIN_CALL, "main")
        assert paused["workbook_id"] == "wb-7" and paused["reason"] == "breakpoint"
        assert paused["file"] == "<virtual:calc>"
        assert {"name": "n", "type": "int", "value": "3"} in paused["locals"]
        assert paused["call_stack"] == [{"module": "calc", "line": MAIN_CALL, "function": "main"}]
        async def loop_ident():
            return threading.get_ident()

        assert s.loop_thread_ids == {asyncio.run_coroutine_threadsafe(loop_ident(), loop).result(5)}
        s.dbg.set_breakpoints([])
        assert s.dbg.continue_execution() is True
        assert s.next_message("debug_resumed")["mode"] == "continue"
        assert s.join() == 0 + 2 + 4
        assert s.trace_after is None

    def test_continue_runs_to_the_next_hit(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": HELPER_BODY}]).start(calc.main, 3)
        seen = []
        for _ in range(3):
            s.next_message("debug_paused")
            seen.append(s.dbg.evaluate_expression("v")["result"])
            s.dbg.continue_execution()
        assert seen == ["0", "1", "2"]
        assert s.join() == 6

    def test_step_over_into_out(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": MAIN_CALL}]).start(calc.main, 2)
        assert s.paused_at() == ("main", MAIN_CALL)
        s.dbg.step_into()
        assert s.paused_at() == ("helper", HELPER_BODY)
        s.dbg.step_over()
        assert s.paused_at() == ("helper", HELPER_BODY + 1)
        s.dbg.step_out()
        # Back in main: the loop header is the next line that runs.
        assert s.paused_at() == ("main", MAIN_FOR)
        s.dbg.step_over()
        assert s.paused_at() == ("main", MAIN_CALL)  # the breakpoint line again
        s.dbg.step_over()  # over the call: helper is not entered
        assert s.paused_at() == ("main", MAIN_FOR)
        s.dbg.set_breakpoints([])
        s.dbg.continue_execution()
        assert s.join() == 2

    def test_step_into_skips_code_outside_in_memory_modules(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": OUTSIDE_CALL}]).start(calc.with_outside_call, ["a", "b"])
        assert s.paused_at() == ("with_outside_call", OUTSIDE_CALL)
        s.dbg.step_into()
        assert s.paused_at() == ("with_outside_call", OUTSIDE_AFTER)
        s.dbg.continue_execution()
        assert s.join() == 3

    def test_step_mode_pauses_at_entry(self, loop, calc):
        s = Session(loop, step_mode="step_into").start(calc.main, 1)
        paused = s.next_message("debug_paused")
        assert (paused["function"], paused["line"], paused["reason"]) == ("main", MAIN_FIRST, "entry")
        s.dbg.continue_execution()
        assert s.join() == 0

    def test_no_breakpoints_runs_through(self, loop, calc):
        s = Session(loop).start(calc.main, 4)
        assert s.join() == 12
        assert s.messages.empty()

    def test_conditional_breakpoint(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": HELPER_BODY, "condition": "v == 2"}]).start(calc.main, 4)
        s.next_message("debug_paused")
        assert s.dbg.evaluate_expression("v")["result"] == "2"
        s.dbg.continue_execution()
        assert s.join() == 12

    def test_breakpoint_set_while_running(self, loop, calc):
        flag = threading.Event()
        s = Session(loop).start(calc.spin, flag)
        time.sleep(0.1)
        assert not s.dbg.is_paused
        s.dbg.set_breakpoints([{"module": "calc", "line": SPIN_INCREMENT}])
        assert s.paused_at() == ("spin", SPIN_INCREMENT)
        flag.set()
        s.dbg.set_breakpoints([])
        s.dbg.continue_execution()
        assert s.join() > 0

    def test_modules_outside_the_in_memory_list_are_not_traced(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": HELPER_BODY}])
        s.dbg.set_in_memory_modules(["another"])
        s.start(calc.main, 3)
        assert s.join() == 6 and s.messages.empty()

    def test_generator_body_is_debugged_through_the_iteration(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": GEN_YIELD}])
        generator = s.dbg.runcall(calc.gen, 2)  # creating it runs no line
        s.start(lambda: list(generator))
        assert s.paused_at() == ("gen", GEN_YIELD)
        s.dbg.set_breakpoints([])
        s.dbg.continue_execution()
        assert s.join() == [0, 10]

    def test_commands_when_not_paused_do_nothing(self, calc):
        dbg = TarnletDebugger(None, "wb")
        assert not any(cmd() for cmd in (dbg.continue_execution, dbg.step_over, dbg.step_into, dbg.step_out))
        assert dbg.runcall(calc.main, 2) == 2  # no loop, no breakpoints: just runs


class TestStopAndErrors:
    def test_stop_while_paused_returns_none_quickly(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": HELPER_BODY}]).start(calc.main, 3)
        s.next_message("debug_paused")
        started = time.monotonic()
        s.dbg.stop_debugging()
        assert s.join(timeout=1.0) is None
        assert time.monotonic() - started < 1.0
        assert s.error is None and s.trace_after is None

    def test_stop_while_running(self, loop, calc):
        s = Session(loop).start(calc.spin, threading.Event())
        time.sleep(0.1)
        s.dbg.stop_debugging()
        assert s.join(timeout=1.0) is None

    def test_stop_is_honoured_even_if_user_code_catches_everything(self, loop, calc):
        flag = threading.Event()
        s = Session(loop).start(calc.swallow, flag)
        time.sleep(0.1)
        s.dbg.stop_debugging()
        time.sleep(0.1)
        flag.set()
        # swallow() ate the BdbQuit and returned normally; the run still
        # counts as stopped, and so does any later run of this session.
        assert s.join() is None and s.error is None
        assert s.dbg.runcall(calc.main, 2) is None

    def test_exception_propagates(self, loop, calc):
        s = Session(loop).start(calc.fail, 1)
        s.join()
        assert isinstance(s.error, ZeroDivisionError)
        assert s.trace_after is None

    def test_exception_after_stepping_propagates(self, loop, calc):
        s = Session(loop, step_mode="step_into").start(calc.fail, 1)
        s.paused_at()
        s.dbg.step_over()
        s.paused_at()
        s.dbg.continue_execution()
        s.join()
        assert isinstance(s.error, ZeroDivisionError)

    def test_closed_loop_ends_a_paused_session(self, calc):
        lp = asyncio.new_event_loop()
        loop_thread = threading.Thread(target=lp.run_forever, daemon=True)
        loop_thread.start()
        s = Session(lp, [{"module": "calc", "line": HELPER_BODY}]).start(calc.main, 2)
        s.next_message("debug_paused")
        # The kernel went away: nobody can resume this worker any more.
        lp.call_soon_threadsafe(lp.stop)
        loop_thread.join(5)
        lp.close()
        assert s.join(timeout=3.0) is None
        assert s.messages.empty()

    def test_sending_never_raises_without_a_usable_loop(self):
        async def send_message(message):
            raise AssertionError("must not run")

        dbg = TarnletDebugger(send_message, "wb")
        assert dbg._send({"type": "debug_resumed"}) is False
        lp = asyncio.new_event_loop()
        lp.close()
        dbg.loop = lp
        assert dbg._send({"type": "debug_resumed"}) is False


class TestEvaluate:
    def test_expression_error_and_assignment(self, loop, calc):
        s = Session(loop, [{"module": "calc", "line": MAIN_RETURN}]).start(calc.main, 3)
        s.next_message("debug_paused")
        assert s.dbg.evaluate_expression("total * 10") == {"result": "60", "value_type": "int", "error": None}
        bad = s.dbg.evaluate_expression("missing_name + 1")
        assert bad["result"] is None and bad["error"].startswith("NameError")
        assert s.dbg.evaluate_expression("1 +")["error"].startswith("SyntaxError")
        assert s.dbg.evaluate_expression("raise SystemExit(3)")["error"] == "SystemExit: 3"
        assert s.dbg.evaluate_expression("total = 1000") == {"result": "None", "value_type": "NoneType", "error": None}
        s.dbg.continue_execution()
        assert s.join() == 1000  # the assignment reached the paused frame

    @pytest.mark.parametrize("expression", ["1 + 1", "", None, 42])
    def test_not_paused_or_not_text(self, expression):
        result = TarnletDebugger(None, "wb").evaluate_expression(expression)
        assert result["result"] is None and result["error"]


class TestBreakpointForms:
    def test_aliases_and_invalid_entries(self):
        dbg = TarnletDebugger(None, "wb")
        count = dbg.set_breakpoints([
            {"module": "calc", "line": 3},
            {"file": "C:\\book\\calc.py", "lineNumber": 4},
            {"uri": "<virtual:calc>", "line": "5"},
            {"moduleName": "pkg.mod", "lines": [1, 2, 2.0]},
            {"module": "calc", "line": 3},  # duplicate
            {"module": "calc", "line": 0},
            {"module": "calc", "line": True},
            {"module": "calc", "line": 9, "enabled": False},
            {"line": 7},
            "garbage",
        ])
        assert count == 5
        assert dbg.get_breakpoints() == {"calc": [3, 4, 5], "pkg.mod": [1, 2]}
        assert dbg.set_breakpoints("not a list") == 0 and dbg.get_breakpoints() == {}

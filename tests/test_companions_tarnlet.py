import asyncio
import datetime as dt
import importlib
import json
import logging
import sys
import threading

import pytest

import tarnlet_master.python_server.tarnlet as tarnlet
from tarnlet_master import logging_config
from tarnlet_master.python_server import agent, win32_event_manager
from tarnlet_master.python_server.tarnlet import messaging, old_com
from tarnlet_master.python_server.tarnlet.workbook import (
    ExcelRequestError, Range, column_index, column_name, normalize_address, split_address)


@pytest.fixture(autouse=True)
def restore_module_state():
    saved = (messaging.loop, messaging.loop_thread, messaging.send_request_sync,
             tarnlet._kernel_instance, tarnlet.connection_args)
    yield
    (messaging.loop, messaging.loop_thread, messaging.send_request_sync,
     tarnlet._kernel_instance, tarnlet.connection_args) = saved


class FakeExcel:
    """Answers sys_request payloads from a dict of sheets, like the Business Layer."""

    def __init__(self):
        self.sheets = {"Sheet1": {}, "Data": {}}
        self.active = "Sheet1"
        self.requests = []

    def _cells(self, address):
        from tarnlet_master.python_server.tarnlet.workbook import bounds
        top, left, bottom, right = bounds(address)
        return [[(r, c) for c in range(left, right + 1)] for r in range(top, bottom + 1)]

    def __call__(self, req, timeout=30.0):
        self.requests.append(json.loads(json.dumps(req)))  # must be plain JSON
        sheet = self.sheets.get(req.get("sheet") or self.active)
        action = req["action"]
        if sheet is None and action.endswith("_range"):
            return {"status": "error", "error": f"No sheet {req.get('sheet')}"}
        if action == "get_range":
            return {"status": "ok",
                    "values": [[sheet.get(rc) for rc in row] for row in self._cells(req["address"])]}
        if action == "set_range":
            for row, vals in zip(self._cells(req["address"]), req["values"]):
                for rc, v in zip(row, vals):
                    sheet[rc] = v
            return {"status": "ok"}
        if action == "clear_range":
            for row in self._cells(req["address"]):
                for rc in row:
                    sheet.pop(rc, None)
            return {"status": "ok"}
        if action == "list_sheets":
            return {"status": "ok", "sheets": list(self.sheets)}
        if action == "get_active_sheet":
            return {"status": "ok", "sheet": self.active}
        if action == "get_selection":
            return {"status": "ok", "sheet": "Data", "address": "B2:C3"}
        return {"status": "error", "error": "unknown action"}


@pytest.fixture
def fake_excel():
    fake = FakeExcel()
    # Installed after import, as the kernel does at connect.
    messaging.send_request_sync = fake
    return fake


class TestWorkbookModel:
    def test_read_write_round_trip_with_wire_values(self, fake_excel):
        rng = tarnlet.excel.range("Data!A1:B2")
        rng.values = [[1, float("nan")], [dt.date(2024, 1, 2), None]]
        assert fake_excel.requests[-1] == {
            "action": "set_range", "sheet": "Data", "address": "A1:B2",
            "values": [[1, {"__type__": "float", "value": "nan"}],
                       [{"__type__": "date", "value": "2024-01-02"}, None]]}
        back = rng.values
        assert back[0][0] == 1 and back[0][1] != back[0][1] and back[1] == [dt.date(2024, 1, 2), None]
        assert fake_excel.requests[-1] == {"action": "get_range", "sheet": "Data", "address": "A1:B2"}

    def test_single_cell_is_an_anchor(self, fake_excel):
        tarnlet.excel.sheets["Data"]["c3"].values = [[1, 2, 3], [4, 5, 6]]
        assert fake_excel.requests[-1]["address"] == "C3:E4"
        assert tarnlet.excel.range("Data!E4").value == 6

    def test_value_fills_the_whole_range(self, fake_excel):
        tarnlet.excel.range("A1:B3").value = 0
        assert tarnlet.excel.range("A1:B3").values == [[0, 0], [0, 0], [0, 0]]
        assert fake_excel.requests[-1]["sheet"] is None  # active sheet

    def test_flat_list_is_one_row(self, fake_excel):
        tarnlet.excel.range("A1").values = [1, 2, 3]
        assert fake_excel.requests[-1]["address"] == "A1:C1"

    @pytest.mark.parametrize("values", [[[1, 2], [3]], [[1], 2], [], [[]]])
    def test_ragged_or_empty_values_are_refused_before_sending(self, fake_excel, values):
        with pytest.raises(ValueError):
            tarnlet.excel.range("A1").values = values
        assert fake_excel.requests == []

    def test_shape_mismatch_is_refused(self, fake_excel):
        with pytest.raises(ValueError, match="do not fit"):
            tarnlet.excel.range("A1:B2").values = [[1, 2, 3]]

    def test_error_reply_raises(self, fake_excel):
        with pytest.raises(ExcelRequestError, match="No sheet Missing"):
            tarnlet.excel.range("Missing!A1").values

    def test_clear_sheets_selection_active(self, fake_excel):
        tarnlet.excel.range("A1").value = 5
        tarnlet.excel.range("A1").clear()
        assert tarnlet.excel.range("A1").value is None
        assert [s.name for s in tarnlet.excel.sheets] == ["Sheet1", "Data"]
        assert "Data" in tarnlet.excel.sheets and len(tarnlet.excel.sheets) == 2
        assert tarnlet.excel.sheets[1].name == "Data"
        with pytest.raises(KeyError):
            tarnlet.excel.sheets["Nope"]
        assert tarnlet.excel.active_sheet.name == "Sheet1"
        assert tarnlet.excel.selection == Range("Data!B2:C3")
        assert tarnlet.context.workbook is tarnlet.excel.workbook

    def test_not_connected(self):
        messaging.send_request_sync = None
        with pytest.raises(messaging.NotConnectedError):
            tarnlet.excel.range("A1").values
        assert tarnlet.context.connected is False

    def test_timeout_is_passed_and_errors_propagate(self):
        seen = {}

        def slow(req, timeout=30.0):
            seen["timeout"] = timeout
            raise TimeoutError("sys_request timeout after 30.0s: x")

        messaging.send_request_sync = slow
        with pytest.raises(TimeoutError):
            tarnlet.excel.range("A1").value
        assert seen["timeout"] == messaging.DEFAULT_REQUEST_TIMEOUT


class TestAddresses:
    @pytest.mark.parametrize("text,expected", [
        ("a1", "A1"), ("$B$2", "B2"), ("C3:A1", "A1:C3"), ("A1:A1", "A1"),
        ("A:C", "A:C"), ("2:4", "2:4"), ("XFD1048576", "XFD1048576"),
    ])
    def test_normalize(self, text, expected):
        assert normalize_address(text) == expected

    @pytest.mark.parametrize("bad", ["", "A0", "1A", "A1:B2:C3", "XFE1", "A1048577", "Sheet1"])
    def test_invalid(self, bad):
        with pytest.raises(ValueError):
            normalize_address(bad)

    def test_split_quoted_sheet(self):
        assert split_address("'Bob''s data'!a1:b2") == ("Bob's data", "A1:B2")
        assert split_address("B7") == (None, "B7")

    def test_columns(self):
        for index in (1, 26, 27, 52, 702, 703, 16384):
            assert column_index(column_name(index)) == index
        assert column_name(28) == "AB"

    def test_offset_and_resize(self):
        rng = Range("Data!B2:C3")
        assert rng.offset(1, 2) == Range("Data!D3:E4")
        assert rng.resize(1, 3) == Range("Data!B2:D2")
        assert rng.shape == (2, 2) and Range("A:A").shape is None
        with pytest.raises(ValueError):
            rng.offset(-2, 0)


class TestMessaging:
    def test_registry(self):
        def f():
            pass

        def g():
            pass

        cid = messaging.register_callable(f)
        try:
            assert messaging.register_callable(f) == cid
            assert messaging.register_callable(g, cid) == cid
            assert messaging.get_callable(cid) is g
            # f lost its id; registering it again gives a new one.
            other = messaging.register_callable(f)
            assert other != cid
            assert messaging.unregister_callable(other) and not messaging.unregister_callable(other)
        finally:
            messaging.unregister_callable(cid)
        assert messaging.get_callable(cid) is None
        assert messaging.get_callable(["unhashable"]) is None
        with pytest.raises(TypeError):
            messaging.register_callable(42)

    def test_reset_clears_connection_not_callables(self):
        cid = messaging.register_callable(len)
        messaging.loop, messaging.loop_thread = object(), threading.current_thread()
        messaging.send_request_sync = lambda req, timeout=30.0: {}
        messaging.reset()
        try:
            assert (messaging.loop, messaging.loop_thread, messaging.send_request_sync) == (None, None, None)
            assert messaging.get_callable(cid) is len
        finally:
            messaging.unregister_callable(cid)

    def test_plain_tarnlet_imports_share_the_modules(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "tarnlet", tarnlet)
        assert importlib.import_module("tarnlet.messaging") is messaging
        assert importlib.import_module("tarnlet.old_com") is old_com


class FakeKernel:
    def __init__(self):
        self.calls = []
        self.workbook_id = "wb-1"

    def __getattr__(self, name):
        def method(*args):
            self.calls.append((name, args))
            return f"{name}-result"
        return method


class TestKernelHelpers:
    CALLS = [
        ("save_object", ("k", [1])), ("get_object", ("k",)), ("clear_object", ("k",)),
        ("clear_all_objects", ()), ("get_object_registry", ()),
        ("show_message_box", ("hi", "T", "Warning")), ("set_enable_events", (False,)),
    ]

    @pytest.mark.parametrize("name,args", CALLS)
    def test_forwarded_to_the_attached_kernel(self, name, args):
        kernel = FakeKernel()
        tarnlet._kernel_instance = kernel
        result = getattr(tarnlet, name)(*args)
        assert kernel.calls == [(name, args)]
        if name in ("get_object", "get_object_registry"):
            assert result == f"{name}-result"

    def test_message_box_defaults(self):
        kernel = FakeKernel()
        tarnlet._kernel_instance = kernel
        tarnlet.show_message_box("Done")
        assert kernel.calls == [("show_message_box", ("Done", "Tarnlet", "Info"))]

    @pytest.mark.parametrize("name,args", CALLS)
    def test_without_kernel(self, name, args):
        tarnlet._kernel_instance = None
        with pytest.raises(RuntimeError, match="No Tarnlet kernel is attached"):
            getattr(tarnlet, name)(*args)

    def test_context_reads_kernel_and_connection_args(self):
        tarnlet._kernel_instance = FakeKernel()
        tarnlet.connection_args = {"platform": "web"}
        assert tarnlet.context.workbook_id == "wb-1"
        assert tarnlet.context.platform == "web" and tarnlet.context.kernel_attached
        assert agent.Agent(tarnlet.excel, tarnlet.context).describe() == {
            "workbook_id": "wb-1", "platform": "web", "connected": False}


def test_off_windows_host_functions_are_harmless(monkeypatch):
    monkeypatch.setattr(sys, "platform", "linux")
    assert old_com.init_excel_host("tarnlet_id", "wb-9") is None
    assert (old_com.host_key, old_com.host_workbook_id) == ("tarnlet_id", "wb-9")
    assert tarnlet._get_win32() is None


class TestLogging:
    def test_setup_is_idempotent_and_reads_the_level(self, monkeypatch):
        root = logging.getLogger()
        level = root.level
        try:
            monkeypatch.setenv("TARNLET_LOG_LEVEL", "debug")
            first = logging_config.setup_logging_subprocess()
            monkeypatch.setenv("TARNLET_LOG_LEVEL", "bogus")
            second = logging_config.setup_logging_subprocess()
            assert first is second
            assert sum(getattr(h, "_tarnlet_subprocess_handler", False) for h in root.handlers) == 1
            assert root.level == logging.INFO
            monkeypatch.setenv("TARNLET_LOG_LEVEL", "10")
            logging_config.setup_logging_subprocess()
            assert root.level == logging.DEBUG
        finally:
            root.setLevel(level)
        assert logging_config.get_logger("x.y") is logging.getLogger("x.y")


class LoopThread:
    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        self.loop.close()


class ComKernel:
    """Answers event executions the way the kernel does: through deliver_com_response."""

    workbook_id = "wb-com"

    def __init__(self, loop):
        self._loop = loop
        self.registrar = None
        self.messages = []

    async def send_message(self, message):
        self.messages.append(message)

    async def _handle_event_execution(self, message):
        self.messages.append(message)
        value = sum(a["value"] for a in message["args"])
        self.registrar.deliver_com_response(message["request_id"], {"status": "ok", "return_value": value})


class TestComCompanions:
    def test_event_definitions_are_json(self):
        defs = win32_event_manager.get_win32_events_dictionary()
        assert "Change" in defs["Worksheet"]
        assert json.loads(json.dumps(defs)) == defs

    def test_deliver_resolves_a_waiting_request(self):
        registrar = win32_event_manager.Win32ComEventRegistrar(kernel=None)
        registrar.expect_response("r1")
        got = {}
        waiter = threading.Thread(target=lambda: got.update(registrar.wait_response("r1", 5)))
        waiter.start()
        assert registrar.deliver_com_response("r1", {"status": "ok", "return_value": 42})
        waiter.join(5)
        assert got == {"status": "ok", "return_value": 42}
        assert not registrar.deliver_com_response("r1", {"status": "nok"})  # already collected
        with pytest.raises(ValueError):
            registrar.deliver_com_response("r1", {"status": "maybe"})

    def test_timeout_and_stop_answer_nok(self):
        registrar = win32_event_manager.Win32ComEventRegistrar(kernel=None)
        registrar.expect_response("late")
        assert registrar.wait_response("late", 0.05) == {"status": "nok"}
        registrar.expect_response("pending")
        got = {}
        waiter = threading.Thread(target=lambda: got.update(registrar.wait_response("pending", 5)))
        waiter.start()
        registrar.stop()
        waiter.join(2)
        assert not waiter.is_alive() and got == {"status": "nok"}
        assert registrar.deliver_com_response("pending", {"status": "ok"}) is False

    def test_fire_event_runs_the_bound_handler_on_the_kernel_loop(self):
        lt = LoopThread()
        try:
            kernel = ComKernel(lt.loop)
            registrar = win32_event_manager.Win32ComEventRegistrar(kernel)
            kernel.registrar = registrar
            registrar.start(lambda: None)
            assert registrar.apply_config({"bindings": [
                {"object_type": "Worksheet", "event_type": "Change",
                 "module_name": "handlers", "function_name": "on_change"},
                {"object_type": "Worksheet"},  # incomplete, skipped
            ]}) == 1
            args = [{"name": "a", "value": 40}, {"name": "b", "value": 2}]
            assert registrar.fire_event("Worksheet", "Sheet1", "Change", args, timeout=5) == {
                "status": "ok", "return_value": 42}
            sent = kernel.messages[0]
            assert sent["is_com"] is True and sent["module_name"] == "handlers"
            assert registrar.fire_event("Worksheet", "Sheet1", "Calculate", timeout=1) == {"status": "nok"}
        finally:
            lt.close()

    def test_watcher_reports_tree_changes_once(self):
        class Named:
            def __init__(self, name, **kw):
                self.Name = name
                self.__dict__.update(kw)

        sheet = Named("Sheet1", ChartObjects=lambda: [Named("Chart 1")])
        app = Named("Excel", ActiveWorkbook=Named("Book.xlsx", Worksheets=[sheet]))
        lt = LoopThread()
        try:
            kernel = ComKernel(lt.loop)
            watcher = win32_event_manager.Win32ComWatcher(kernel)
            watcher._get_win32 = lambda: app
            tree = watcher.poll_once()
            watcher.poll_once()
            assert tree == {"workbook": "Book.xlsx", "sheets": [{"name": "Sheet1", "charts": ["Chart 1"]}]}
            asyncio.run_coroutine_threadsafe(asyncio.sleep(0), lt.loop).result(5)
            assert [m["type"] for m in kernel.messages] == ["win32_workbook_tree"]
            watcher.start(lambda: None)  # no Excel: the thread idles harmlessly
            assert watcher.running
            watcher.stop()
            assert not watcher.running
        finally:
            lt.close()

"""The dispatcher's housekeeping branches, its refusals of wrongly typed fields, and a property test."""

import importlib
import json
import logging
import sys
import types
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kernel_peer
import tarnlet_master.python_server.kernel as kmod
from tarnlet_master.python_server.debugger import TarnletDebugger
from tarnlet_master.python_server.win32_event_manager import Win32ComEventRegistrar

KERNEL_LOGGER = "tarnlet_master.python_server.kernel"
TIMEOUT = 10


WORKBOOK = "wb-disp"


@pytest.fixture
async def peer(peer):
    saved_modules = set(sys.modules)
    yield peer
    for name in set(sys.modules) - saved_modules:
        if name.startswith("k1"):
            del sys.modules[name]


def kernel_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]


# -- paths -------------------------------------------------------------------------------


async def test_add_remove_and_reset_path(peer):
    reply = await peer.ask({"type": "add_path", "path": "/k1-one"})
    assert list(reply) == ["type", "path", "current_paths"]
    assert reply["path"] == "/k1-one" and reply["current_paths"] == sys.path and sys.path[0] == "/k1-one"
    reply = await peer.ask({"type": "remove_path", "path": "/k1-one"})
    assert reply["type"] == "path_removed" and "/k1-one" not in reply["current_paths"]
    await peer.ask({"type": "add_path", "path": "/k1-two"})
    reply = await peer.ask({"type": "reset_path"})
    assert list(reply) == ["type", "current_paths"] and reply["current_paths"] == peer.kernel.virtual_env.original_path
    assert await peer.ask({"type": "add_path"}) == {"type": "path_added", "path": "", "current_paths": sys.path}


@pytest.fixture
def package_dir(tmp_path):
    root = tmp_path / "site"
    (root / "k1pkg").mkdir(parents=True)
    (root / "k1pkg" / "__init__.py").write_text("")
    (root / "k1pkg" / "sub.py").write_text("VALUE = 1\n")
    (root / "k1solo.py").write_text("")
    sys.path.append(str(root))
    importlib.import_module("k1pkg.sub")
    importlib.import_module("k1solo")
    sys.modules["k1pkg.virtual"] = types.ModuleType("k1pkg.virtual")  # no __file__
    elsewhere = types.ModuleType("k1other")
    elsewhere.__file__ = None
    sys.modules["k1other"] = elsewhere
    return str(root)


async def test_set_package_paths_unloads_whole_packages_deepest_first(peer, package_dir, caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    sys.path.append("/k1-B")
    reply = await peer.ask({"type": "set_package_paths", "old_paths": [package_dir], "new_paths": ["/k1-A", "/k1-B"]})
    assert reply == {"type": "package_paths_updated", "paths_added": 2, "modules_unloaded": 4, "workbook_id": "wb-disp"}
    for name in ("k1pkg", "k1pkg.sub", "k1pkg.virtual", "k1solo"):
        assert name not in sys.modules
    assert "k1other" in sys.modules
    unloaded = [line for line in kernel_lines(caplog) if line.startswith("Unloaded module: ")]
    assert sorted(unloaded[:2]) == ["Unloaded module: k1pkg.sub", "Unloaded module: k1pkg.virtual"]
    assert sorted(unloaded[2:]) == ["Unloaded module: k1pkg", "Unloaded module: k1solo"]
    assert package_dir not in sys.path
    assert sys.path[0] == "/k1-A" and sys.path[-1] == "/k1-B"  # a path already present stays in place
    assert peer.kernel.virtual_env.custom_paths == ["/k1-A", "/k1-B"]
    assert "Package paths updated: 2 paths added, 4 modules unloaded" in kernel_lines(caplog)
    project_paths = [str(p) for p in peer.kernel._sensewire._jedi_project.added_sys_path]
    assert project_paths[-2:] == ["/k1-A", "/k1-B"]


async def test_new_package_paths_go_to_the_front_in_order(peer):
    await peer.ask({"type": "set_package_paths", "new_paths": ["/k1-A", "/k1-B"]})
    assert sys.path[:2] == ["/k1-A", "/k1-B"]


async def test_set_python_paths_appends_and_gives_the_bridge_all_of_sys_path(peer, caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    sys.path.insert(0, "/k1-old")
    reply = await peer.ask({"type": "set_python_paths", "old_paths": ["/k1-old"], "new_paths": ["/k1-p", "/k1-q"]})
    assert reply == {"type": "python_paths_updated", "paths_added": 2, "workbook_id": "wb-disp"}
    assert sys.path[-2:] == ["/k1-p", "/k1-q"] and "/k1-old" not in sys.path
    assert peer.kernel.virtual_env.custom_paths == []
    project_paths = [str(p) for p in peer.kernel._sensewire._jedi_project.added_sys_path]
    assert project_paths[-len(sys.path):] == sys.path
    assert "Removed old python path from sys.path: /k1-old" in kernel_lines(caplog)
    assert "Python paths updated: 2 paths added" in kernel_lines(caplog)


async def test_unload_and_clear_paths(peer, package_dir, caplog):
    reply = await peer.ask({"type": "unload_and_clear_paths", "paths": [package_dir, "/k1-none"]})
    assert reply == {"type": "modules_unloaded", "modules_unloaded": 4, "paths_cleared": 2, "workbook_id": "wb-disp"}
    assert "k1pkg" not in sys.modules and package_dir not in sys.path
    assert "Modules unloaded: 4, paths cleared: 2" in kernel_lines(caplog)


# -- modules and namespace -------------------------------------------------------------


async def test_update_and_delete_module(peer):
    reply = await peer.ask({"type": "update_module", "module_name": "k1mem", "code": "ANSWER = 42\n"})
    assert reply == {"type": "module_updated", "module_name": "k1mem"}
    assert importlib.import_module("k1mem").ANSWER == 42
    reply = await peer.ask({"type": "delete_module", "module_name": "k1mem"})
    assert reply == {"type": "module_deleted", "module_name": "k1mem"}
    assert "k1mem" not in kmod.in_memory_loader.source_cache
    with pytest.raises(ImportError):
        importlib.import_module("k1mem")


@pytest.mark.parametrize("kind", ["update_module", "delete_module"])
async def test_module_messages_without_a_name_are_errors(peer, kind, caplog):
    before = dict(kmod.in_memory_loader.source_cache)
    reply = await peer.ask({"type": kind, "module_name": "", "code": "x = 1"})
    assert reply == {"type": "error", "message": f"{kind} requires module_name"}
    assert kmod.in_memory_loader.source_cache == before
    assert f"[Kernel] Received {kind} without module_name" in kernel_lines(caplog)


async def test_reset_namespace(peer):
    peer.kernel.executor.globals["k1_marker"] = 1
    assert await peer.ask({"type": "reset_namespace"}) == {"type": "namespace_reset"}
    assert "k1_marker" not in peer.kernel.executor.globals


# -- small branches ---------------------------------------------------------------------


async def test_com_config_goes_to_an_active_registrar_only(peer, caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    await peer.send({"type": "com_event_config_update", "com_config": {}})
    await peer.probe_next()
    assert "[Kernel] com_event_config_update received but registrar not active" in kernel_lines(caplog)
    peer.kernel._com_event_registrar = Win32ComEventRegistrar(peer.kernel)
    binding = {"object_type": "Worksheet", "object_name": "Sheet1", "event_type": "Change",
               "module_name": "k1h", "function_name": "on_change"}
    await peer.send({"type": "com_event_config_update", "com_config": {"bindings": [binding]}})
    await peer.probe_next()
    assert peer.kernel._com_event_registrar.find_binding("Worksheet", "Sheet1", "Change")["function_name"] == "on_change"


async def test_cancel_streaming_function_records_the_id(peer, caplog):
    await peer.send({"type": "cancel_streaming_function", "request_id": "s1"})
    await peer.send({"type": "cancel_streaming_function"})
    await peer.probe_next()
    assert peer.kernel._canceled_streaming_requests == {"s1", None}
    assert "[Kernel] Received cancel_streaming_function for request_id: s1" in kernel_lines(caplog)


async def test_debug_commands_without_a_debugger_send_nothing(peer, caplog):
    for kind in ("debug_continue", "debug_step_over", "debug_step_into", "debug_step_out", "debug_stop",
                 "debug_update_breakpoints"):
        await peer.send({"type": kind})
    await peer.probe_next()
    assert not hasattr(peer.kernel, "_debugger")
    assert "[Kernel] Received debug_update_breakpoints but no active debugger" in kernel_lines(caplog)
    reply = await peer.ask({"type": "debug_evaluate", "expression": "a + b", "request_id": 7})
    assert reply == {"type": "debug_evaluate_result", "workbook_id": "wb-disp", "request_id": 7,
                     "expression": "a + b", "error": "No active debug session"}


async def test_debug_commands_reach_an_active_debugger(peer, caplog):
    debugger = TarnletDebugger(peer.kernel.send_message, "wb-disp")
    peer.kernel._debugger = debugger
    assert await peer.ask({"type": "debug_continue"}) == {"type": "debug_resumed"}
    reply = await peer.ask({"type": "debug_evaluate", "expression": "1 + 1", "request_id": "e"})
    assert list(reply)[:4] == ["type", "workbook_id", "request_id", "expression"]
    result = debugger.evaluate_expression("1 + 1")
    assert "value_type" in result and "type" not in result  # copied into the reply, which keeps its type
    assert reply == {"workbook_id": "wb-disp", "request_id": "e", "expression": "1 + 1", **result,
                     "type": "debug_evaluate_result"}
    breakpoints = [{"module": "k1m", "line": 3}]
    await peer.send({"type": "debug_update_breakpoints", "breakpoints": breakpoints})
    await peer.send({"type": "debug_update_breakpoints", "breakpoints": {"k1m": 3}})
    await peer.probe_next()
    assert "[Kernel] Updated breakpoints during debug session: 1 breakpoints" in kernel_lines(caplog)
    assert "[Kernel] Invalid breakpoints data type: <class 'dict'>" in kernel_lines(caplog)
    assert await peer.ask({"type": "debug_stop"}) == {"type": "debug_terminated", "workbook_id": "wb-disp"}
    assert peer.kernel._debugger is None and debugger.stop_requested


async def test_set_hover_mode(peer, caplog):
    assert await peer.ask({"type": "set_hover_mode"}) == {
        "type": "hover_mode_updated", "mode": "compact", "workbook_id": "wb-disp"}
    assert (await peer.ask({"type": "set_hover_mode", "mode": "detailed"}))["mode"] == "detailed"
    assert peer.kernel._sensewire._hover_mode == "detailed"
    peer.kernel._sensewire = None
    await peer.send({"type": "set_hover_mode", "mode": "compact"})
    await peer.probe_next()
    assert "[Kernel] Sensewire not available for hover mode change" in kernel_lines(caplog)


async def test_object_registry_listing(peer):
    if not hasattr(peer.kernel, "get_object_registry"):
        pytest.skip("the object registry is not built into this kernel")
    peer.kernel.save_object("k1key", [1, 2])
    await peer.send({"type": "get_object_registry"})
    reply = await peer.recv("object_registry_response")
    assert list(reply) == ["type", "objects", "workbook_id"] and reply["type"] == "object_registry_response"
    assert reply["objects"] == peer.kernel.get_object_registry()


@pytest.mark.parametrize("message", [{"type": "no_such_type"}, {"request_id": "r"}, {"type": 5}, {"type": None}])
async def test_unknown_types_are_ignored_after_two_debug_lines(peer, caplog, message):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    caplog.clear()
    await peer.send(message)
    await peer.probe_next()
    shown = message.get("type")
    lines = kernel_lines(caplog)
    first = lines.index(f"[TIMING] Message received: type={shown}, request_id={message.get('request_id', 'N/A')}")
    assert lines[first + 1] == f"[Kernel] [Listener Thread] Received message type: {shown}"
    assert lines[first + 2].startswith("[TIMING] Message received: type=debug_evaluate")


async def test_execution_request_is_logged_and_started_as_a_task(peer, caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    await peer.send({"type": "execution_request", "code": "1+1", "request_id": "x1", "source": "addin"})
    reply = await peer.recv("execution_result")
    assert (reply["request_id"], reply["result"]) == ("x1", "2")
    lines = kernel_lines(caplog)
    assert "[Kernel] [Listener Thread] Received execution_request (source=addin, request_id=x1)" in lines
    assert "[Kernel] Code length: 3 chars" in lines


async def test_handle_message_rejects_what_is_not_a_dict(peer):
    with pytest.raises(TypeError):
        await peer.kernel.handle_message([{"type": "add_path"}])


# -- wrongly typed fields ------------------------------------------------------------------


@pytest.mark.parametrize("message, field", [
    ({"type": "add_path", "path": 5}, "path"),
    ({"type": "remove_path", "path": ["/x"], "request_id": "rq"}, "path"),
    ({"type": "set_package_paths", "old_paths": "x"}, "old_paths"),
    ({"type": "set_package_paths", "new_paths": None, "request_id": 3}, "new_paths"),
    ({"type": "set_package_paths", "new_paths": ["/ok", 7]}, "new_paths"),
    ({"type": "set_python_paths", "old_paths": {"a": 1}}, "old_paths"),
    ({"type": "set_python_paths", "new_paths": None}, "new_paths"),
    ({"type": "unload_and_clear_paths", "paths": "x"}, "paths"),
    ({"type": "unload_and_clear_paths", "paths": [None]}, "paths"),
    ({"type": "update_module", "module_name": 5}, "module_name"),
    ({"type": "update_module", "module_name": "k1m", "code": None, "request_id": "u"}, "code"),
    ({"type": "delete_module", "module_name": ["k1m"]}, "module_name"),
    ({"type": "com_event_config_update", "com_config": [1]}, "com_config"),
    ({"type": "cancel_streaming_function", "request_id": ["s"]}, "request_id"),
    ({"type": "debug_evaluate", "expression": 5, "request_id": "d"}, "expression"),
    ({"type": "set_hover_mode", "mode": 1}, "mode"),
    ({"type": "execution_request", "code": 5, "request_id": "c"}, "code"),
])
async def test_wrongly_typed_fields_are_answered_and_serving_goes_on(peer, message, field):
    path_before = list(sys.path)
    reply = await peer.ask(message)
    assert list(reply)[:2] == ["type", "message"] and reply["type"] == "error"
    assert f"'{field}' in {message['type']}" in reply["message"]
    assert reply.get("request_id", "absent") == message.get("request_id", "absent")
    assert sys.path == path_before
    await peer.probe_next()


# -- every message type, with random and wrongly typed fields --------------------------------

@pytest.fixture(scope="module")
def kernel_process(tmp_path_factory):
    """A kernel process started through main, connected to a synchronous websockets server."""
    log_path = tmp_path_factory.mktemp("kernel") / "kernel.log"
    with kernel_peer.kernel_process("wb-prop", log_path) as (ws, proc):
        yield ws, proc, log_path


def wait_for(ws, wanted_type, request_id=None):
    while True:
        msg = json.loads(ws.recv(timeout=TIMEOUT))
        if msg.get("type") == wanted_type and (request_id is None or msg.get("request_id") == request_id):
            return msg


# Random strings never name a real module or path, so the kernel process stays intact.
safe_text = st.text(max_size=12).map(lambda s: "k1~" + s)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-10 ** 20, 10 ** 20), st.floats(allow_nan=False),
                    safe_text, st.just("k1~" + "z" * 100000))
garbage = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=4),
                                                        st.dictionaries(safe_text, inner, max_size=4)), max_leaves=8)
paths = st.lists(safe_text.map(lambda s: "/k1-prop/" + s), max_size=3)
names = st.sampled_from(["k1prop_a", "k1prop_b", ""])
code = st.sampled_from(["1+1", "x = 1", "print('p')", "1/0", "def f(:", "import k1prop_a", "s = 'a; b'", ""])

FIELDS = {
    "execution_request": {"code": code, "request_id": garbage, "function_name": garbage, "source": garbage},
    "add_path": {"path": safe_text}, "remove_path": {"path": safe_text}, "reset_namespace": {}, "reset_path": {},
    "set_package_paths": {"old_paths": paths, "new_paths": paths},
    "set_python_paths": {"old_paths": paths, "new_paths": paths},
    "unload_and_clear_paths": {"paths": paths},
    "update_module": {"module_name": names, "code": code}, "delete_module": {"module_name": names},
    "completion_request": {"module_name": names, "code": code, "line": garbage, "column": garbage},
    "signature_help_request": {"module_name": names, "code": code, "line": garbage, "column": garbage},
    "hover_request": {"module_name": names, "code": code, "line": garbage, "column": garbage},
    "diagnostic_request": {"module_name": names, "code": code},
    "custom_function_call": {"module_name": names, "function_name": garbage, "args": garbage},
    "run_module": {"module_name": names, "function_name": garbage},
    "event_execution": {"module_name": names, "function_name": garbage, "args": garbage},
    "com_event_config_update": {"com_config": garbage},
    "python_function_call": {"callable_id": garbage, "args": garbage},
    "execute_streaming_function": {"module_name": names, "function_name": garbage, "args": garbage},
    "cancel_streaming_function": {}, "debug_continue": {}, "debug_step_over": {}, "debug_step_into": {},
    "debug_step_out": {}, "debug_stop": {}, "debug_evaluate": {"expression": garbage},
    "debug_update_breakpoints": {"breakpoints": garbage},
    "sys_response": {"payload": garbage, "requestId": garbage}, "get_object_registry": {},
    "set_hover_mode": {"mode": st.one_of(st.sampled_from(["compact", "detailed"]), garbage)},
    "chunk": {"chunk_id": st.sampled_from(["c1", "c2"]), "chunk_index": st.one_of(st.integers(-1, 3), garbage),
              "total_chunks": st.one_of(st.integers(-1, 3), garbage), "data": st.one_of(safe_text, garbage)},
}
HANDLERS = {"completion_request": "_handle_completion_request",
            "signature_help_request": "_handle_signature_help_request", "hover_request": "_handle_hover_request",
            "diagnostic_request": "_handle_diagnostic_request",
            "custom_function_call": "_handle_custom_function_call", "run_module": "_handle_run_module",
            "event_execution": "_handle_event_execution", "python_function_call": "_handle_python_function_call",
            "execute_streaming_function": "_execute_streaming_function",
            "get_object_registry": "get_object_registry"}
# Every type but "shutdown", which ends the connection by design.
TYPES = sorted(FIELDS)


def test_every_method_the_dispatcher_routes_to_exists():
    assert [name for name in HANDLERS.values() if not callable(getattr(kmod.PythonKernel, name, None))] == []


@st.composite
def messages(draw):
    kind = draw(st.sampled_from(TYPES))
    fields = {name: st.one_of(good, garbage) for name, good in FIELDS[kind].items()}
    fields["request_id"] = garbage
    message = draw(st.fixed_dictionaries({}, optional=fields))
    return {"type": kind, **message}


def test_the_process_has_every_message_type_but_shutdown():
    assert set(FIELDS) == {
        "execution_request", "add_path", "remove_path", "reset_namespace", "reset_path", "set_package_paths",
        "set_python_paths", "unload_and_clear_paths", "update_module", "delete_module", "completion_request",
        "signature_help_request", "hover_request", "diagnostic_request", "custom_function_call", "run_module",
        "event_execution", "com_event_config_update", "python_function_call", "execute_streaming_function",
        "cancel_streaming_function", "debug_continue", "debug_step_over", "debug_step_into", "debug_step_out",
        "debug_stop", "debug_evaluate", "debug_update_breakpoints", "sys_response", "get_object_registry",
        "set_hover_mode", "chunk"}


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(message=messages())
def test_the_kernel_answers_after_any_message(kernel_process, message):
    ws, proc, _ = kernel_process
    ws.send(json.dumps(message))
    tag = uuid.uuid4().hex
    ws.send(json.dumps({"type": "execution_request", "code": "1+1", "request_id": tag}))
    reply = wait_for(ws, "execution_result", tag)
    assert reply["result"] == "2"
    ws.send(json.dumps({"type": "reset_path"}))  # undoes what the message did to sys.path
    wait_for(ws, "path_reset")
    assert proc.poll() is None


def test_the_property_run_left_no_kernel_error(kernel_process):
    ws, proc, log_path = kernel_process
    ws.send(json.dumps({"type": "add_path", "path": "/k1-last"}))
    assert wait_for(ws, "path_added")["path"] == "/k1-last"
    assert proc.poll() is None
    assert "Kernel error: " not in log_path.read_text(errors="replace")

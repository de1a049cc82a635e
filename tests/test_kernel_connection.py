"""The kernel's connection: construction, connect/listen/run/disconnect, frame limits, main."""

import asyncio
import json
import logging
import os
import subprocess
import sys
import textwrap

import pytest
import websockets

import tarnlet_master.python_server.kernel as kmod
import kernel_peer as kp
from tarnlet_master.python_server import tarnlet

KERNEL_LOGGER = "tarnlet_master.python_server.kernel"
TIMEOUT = 10


WORKBOOK = "wb-conn"
Peer = kp.Peer


def kernel_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == KERNEL_LOGGER]


# -- construction ------------------------------------------------------------------


def test_constructor_attributes_in_their_initial_state():
    k = kmod.PythonKernel("wb-a", host="10.0.0.1", port="9001")
    assert k.workbook_id == "wb-a"
    assert k.server_url == "ws://10.0.0.1:9001"
    assert k.websocket is None and k._loop is None and k._socket_lock is None and k._batcher is None
    assert k.running is False
    assert k._win32_watcher is None and k._com_event_registrar is None
    assert isinstance(k.executor, kmod.CodeExecutor)
    assert isinstance(k.virtual_env, kmod.VirtualEnvironment) and k.virtual_env.workbook_id == "wb-a"
    assert isinstance(k._sensewire, kmod.Sensewire)
    assert isinstance(k.agent, kmod.Agent) and k.agent.excel is tarnlet.excel and k.agent.context is tarnlet.context
    assert k._thread_pool._max_workers == kmod.PythonKernel.WORKER_POOL_SIZE == 10
    for name in ("_object_keeper", "_response_futures", "_response_data", "_chunk_buffers"):
        assert getattr(k, name) == {}
    assert k._canceled_streaming_requests == set()
    assert not k._response_lock.locked() and not k._object_keeper_lock.locked()
    assert k._original_stdout is sys.stdout and k._original_stderr is sys.stderr
    assert k.has_active_debugger is False
    k._debugger = object()
    assert k.has_active_debugger is True
    k._debugger = None
    assert k.has_active_debugger is False
    k._thread_pool.shutdown(wait=False)


@pytest.mark.parametrize("args", [None, {}])
def test_empty_connection_args_become_a_new_dict(args):
    k = kmod.PythonKernel("wb-b", connection_args=args)
    assert k.connection_args == {} and k.connection_args is not args
    assert k.server_url == "ws://127.0.0.1:8000"
    k._thread_pool.shutdown(wait=False)


def test_port_must_be_text_like_python_concatenation():
    with pytest.raises(TypeError):
        kmod.PythonKernel("wb-c", port=8000)


def test_loader_is_inserted_once_and_silently_after(caplog):
    caplog.set_level(logging.DEBUG, logger=KERNEL_LOGGER)
    sys.meta_path.remove(kmod.in_memory_loader)
    kmod.PythonKernel("wb-d")._thread_pool.shutdown(wait=False)
    assert sys.meta_path[0] is kmod.in_memory_loader
    assert kernel_lines(caplog).count("[Kernel] Registered InMemoryModuleLoader in sys.meta_path") == 1
    caplog.clear()
    kmod.PythonKernel("wb-e")._thread_pool.shutdown(wait=False)
    assert sys.meta_path.count(kmod.in_memory_loader) == 1
    assert "[Kernel] Registered InMemoryModuleLoader in sys.meta_path" not in kernel_lines(caplog)


def test_module_constants_and_tarnlet_registration():
    assert (kmod.MAX_MESSAGE_SIZE, kmod.CHUNK_SIZE, kmod.CHUNK_HEADER_TYPE) == (1048576, 65536, "chunk")
    assert kmod.DEBUG_MESSAGE_SEND_TIMEOUT == 5.0
    assert sys.modules["tarnlet"] is kmod.tarnlet is tarnlet
    assert kmod.logger.name == KERNEL_LOGGER


async def test_send_before_connect_is_a_logged_drop(caplog):
    k = kmod.PythonKernel("wb-f")
    await k.send_message({"request_id": 1})
    k.websocket = object()
    await k.send_message({"type": "x"})
    assert kernel_lines(caplog)[-2:] == [
        "[Kernel] Cannot send message type 'unknown': WebSocket not connected",
        "[Kernel] Cannot send message type 'x': Socket lock not initialized",
    ]
    k._thread_pool.shutdown(wait=False)


def test_connect_needs_a_running_loop():
    k = kmod.PythonKernel("wb-g")
    with pytest.raises(RuntimeError):
        k.connect().send(None)
    k._thread_pool.shutdown(wait=False)


# -- lifecycle -----------------------------------------------------------------------


async def test_connect_installs_hooks_and_peer_close_disconnects_cleanly(caplog):
    caplog.set_level(logging.INFO, logger=KERNEL_LOGGER)
    p = Peer()
    stdout, stderr = sys.stdout, sys.stderr
    async with websockets.serve(p.handler, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
        k = kmod.PythonKernel("wb-life", port=str(port))
        task = asyncio.create_task(k.run())
        ws = await p.ws()
        await p.probe_next("ready")
        assert ws.request.path == "/ws/kernel/wb-life"
        assert k.running is True and k._loop is asyncio.get_running_loop()
        assert isinstance(k._socket_lock, asyncio.Lock) and isinstance(k._batcher, kmod.MessageBatcher)
        assert tarnlet.messaging.loop is k._loop and tarnlet._kernel_instance is k
        assert tarnlet.connection_args is k.connection_args
        assert isinstance(sys.stdout, kmod.KernelStreamHook) and sys.stdout.stream_type == "stdout"
        assert isinstance(sys.stderr, kmod.KernelStreamHook) and sys.stderr.stream_type == "stderr"
        assert callable(tarnlet.messaging.send_request_sync)
        await ws.close()
        await asyncio.wait_for(task, TIMEOUT)
    assert sys.stdout is stdout and sys.stderr is stderr
    assert tarnlet._kernel_instance is None and tarnlet.messaging.send_request_sync is None
    assert tarnlet.messaging.loop is None and tarnlet.messaging.loop_thread is None
    assert k.running is False and k._batcher._running is False
    lines = kernel_lines(caplog)
    assert "Kernel connected for workbook: wb-life" in lines
    assert lines[-1] == "Kernel disconnected for workbook: wb-life"
    assert not [line for line in lines if line.startswith("Kernel error: ")]
    with pytest.raises(RuntimeError):  # the pool was shut down
        k._thread_pool.submit(int)


async def test_failed_connect_is_logged_and_disconnect_tolerates_the_missing_parts(caplog):
    async with websockets.serve(lambda ws: None, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
    k = kmod.PythonKernel("wb-down", port=str(port))  # nothing listens there any more
    await asyncio.wait_for(k.run(), TIMEOUT)
    lines = kernel_lines(caplog)
    assert [line for line in lines if line.startswith("Kernel error: ")]
    assert lines[-1] == "Kernel disconnected for workbook: wb-down"
    assert "Kernel connected for workbook: wb-down" not in lines


async def test_shutdown_message_disconnects(peer):
    await peer.send({"type": "shutdown"})
    await asyncio.wait_for(peer.task, TIMEOUT)
    await asyncio.wait_for(peer.closed.wait(), TIMEOUT)
    assert peer.kernel.running is False


async def test_desktop_platform_starts_the_com_companions():
    p = Peer()
    async with websockets.serve(p.handler, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
        k = kmod.PythonKernel("wb-com", port=str(port), connection_args={"platform": "win32"})
        task = asyncio.create_task(k.run())
        first = await p.recv()
        assert first == {"type": "win32_event_definitions", "definitions": kmod.get_win32_events_dictionary()}
        assert isinstance(k._win32_watcher, kmod.Win32ComWatcher)
        assert isinstance(k._com_event_registrar, kmod.Win32ComEventRegistrar)
        await (await p.ws()).close()
        await asyncio.wait_for(task, TIMEOUT)
    assert k._win32_watcher is None and k._com_event_registrar is None


# -- incoming frames -----------------------------------------------------------------


def padded_add_path(length, pad_char="a"):
    """An add_path message whose JSON text is exactly `length` characters."""
    base = json.dumps({"type": "add_path", "path": "/k1-size", "pad": ""})
    text = base[:-2] + pad_char * (length - len(base)) + '"}'
    assert len(text) == length
    return text


@pytest.mark.parametrize("pad_char", ["a", "\u20ac", "\U0001f600"])
async def test_frame_size_limit_counts_characters(peer, pad_char, caplog):
    await peer.send(padded_add_path(kmod.MAX_MESSAGE_SIZE, pad_char))
    assert (await peer.recv())["type"] == "path_added"
    await peer.send(padded_add_path(kmod.MAX_MESSAGE_SIZE + 1, pad_char))
    assert await peer.recv() == {"type": "error", "message": "Message too large"}
    assert "Message too large: 1048577 bytes" in kernel_lines(caplog)
    await peer.probe_next("still-serving")


@pytest.mark.parametrize("frame", ["{not json", "", "{\"type\": \"add_path\"", "{\"a\": NaNx}"])
async def test_invalid_json_is_answered_and_serving_goes_on(peer, frame):
    await peer.send(frame)
    assert await peer.recv() == {"type": "error", "message": "Invalid JSON received"}
    await peer.probe_next("after-bad-json")


async def test_binary_frames_are_read_like_text(peer):
    ws = await peer.ws()
    await ws.send(json.dumps({"type": "add_path", "path": "/k1-bin"}).encode())
    assert (await peer.recv())["path"] == "/k1-bin"
    await ws.send(b"\xff\xfe")
    assert await peer.recv() == {"type": "error", "message": "Invalid JSON received"}
    await peer.probe_next("after-binary")


@pytest.mark.parametrize("frame", ["[1, 2]", "\"text\"", "5", "null", "true", "[{\"type\": \"add_path\"}]"])
async def test_json_that_is_not_an_object_is_refused(peer, frame):
    await peer.send(frame)
    assert await peer.recv() == {"type": "error", "message": "Invalid message: expected a JSON object"}
    await peer.probe_next("after-non-object")


async def test_deeply_nested_json_does_not_end_the_kernel(peer):
    await peer.send("[" * 200000 + "]" * 200000)
    reply = await peer.recv()
    assert reply["type"] == "error"
    await peer.probe_next("after-nesting")


async def test_exception_escaping_the_dispatcher_ends_the_kernel(peer, caplog):
    peer.kernel.virtual_env = None  # add_path now fails inside its branch
    await peer.send({"type": "add_path", "path": "/k1"})
    await asyncio.wait_for(peer.task, TIMEOUT)
    assert [line for line in kernel_lines(caplog) if line.startswith("Kernel error: ")]
    await asyncio.wait_for(peer.closed.wait(), TIMEOUT)


# -- the process entry ----------------------------------------------------------------


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ))


async def test_main_serves_a_peer_from_its_own_process(tmp_path):
    p = Peer()
    log = open(tmp_path / "kernel.log", "w+b")
    async with websockets.serve(p.handler, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
        proc = await asyncio.create_subprocess_exec(
            sys.executable, "-c",
            "import asyncio, sys; from tarnlet_master.python_server.kernel import main; "
            "asyncio.run(main('wb-main', sys.argv[1], {'platform': 'web'}))", str(port),
            stderr=log)
        try:
            ws = await asyncio.wait_for(asyncio.shield(p.connection), 60)
            assert ws.request.path == "/ws/kernel/wb-main"
            await p.send({"type": "add_path", "path": "/k1-main"})
            reply = await p.recv()
            assert reply["type"] == "path_added" and reply["current_paths"][0] == "/k1-main"
            await p.send({"type": "execution_request", "code": "print('from main')", "request_id": "m1"})
            printed = ""
            while not printed.endswith("\n"):
                printed += (await p.recv("stdout"))["content"]
            assert printed == "from main\n"
            await ws.close()
            await asyncio.wait_for(proc.wait(), 30)
        finally:
            if proc.returncode is None:
                proc.kill()
                await proc.wait()
    log.seek(0)
    text = log.read().decode()
    log.close()
    assert proc.returncode == 0, text
    assert "Kernel connected for workbook: wb-main" in text
    assert "Kernel disconnected for workbook: wb-main" in text
    assert "Kernel error: " not in text


def test_json_dumps_with_orjson_is_compact_and_keeps_unicode():
    assert kmod.json_dumps({"a": "\u00e9", "b": [1, None]}) == '{"a":"\u00e9","b":[1,null]}'
    with pytest.raises(TypeError):
        kmod.json_dumps({"x": object()})


@pytest.mark.parametrize("value", [10 ** 20, -(2 ** 64), "\ud800", ["ok", {"k": 2 ** 70}]])
def test_json_dumps_falls_back_for_values_orjson_refuses(value):
    assert json.loads(kmod.json_dumps({"v": value})) == {"v": value}


async def test_echoing_a_huge_request_id_does_not_end_the_kernel(peer):
    await peer.send({"type": "update_module", "module_name": 5, "request_id": 10 ** 20})
    reply = await peer.recv()
    assert reply["type"] == "error" and reply["request_id"] == 10 ** 20
    await peer.send('{"type": "delete_module", "module_name": 1, "request_id": "\\ud800"}')
    assert (await peer.recv())["request_id"] == "\ud800"
    await peer.probe_next("after-echo")


def test_json_dumps_without_orjson_uses_the_standard_defaults():
    result = run_python("""
        import sys
        sys.modules["orjson"] = None  # import orjson now raises ImportError
        import tarnlet_master.python_server.kernel as k
        print(repr(k.json_dumps({"a": "\\u00e9", "b": [1, None]})))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr('{"a": "\\u00e9", "b": [1, null]}')

"""The kernel's connection survives what the peer or user code does to it: unusable
search paths, a host that goes away while workers wait, oversized and compressed
frames, values that JSON cannot write, a close during a batched send, stray
answers and output floods. Each test runs against a real kernel process started
through `main`, or the in-process kernel where only the process itself can show it.
"""

import asyncio
import contextlib
import json
import os
import sys
import textwrap
import time
import uuid
import zlib

import pytest
import websockets

import kernel_peer as ip

pytestmark = pytest.mark.timeout(120)

T = 20.0
MAX_MESSAGE_SIZE = 1048576

LAUNCHER = (
    "import asyncio, json, sys\n"
    "{prelude}\n"
    "from tarnlet_master.python_server.kernel import main\n"
    "asyncio.run(main(sys.argv[1], sys.argv[2], json.loads(sys.argv[3])))\n"
)


def strict_json(text):
    """json.loads that refuses the NaN/Infinity literals, as a strict peer does."""
    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")
    return json.loads(text, parse_constant=refuse)


class KernelProcess:
    """One kernel subprocess connected to a websockets server of this test."""

    def __init__(self, prelude="", env=None, pace=None, **serve_options):
        self.prelude = prelude
        self.pace = pace          # (frames, seconds): a slow reader pauses after every so many frames
        self.env = env or {}
        self.serve_options = serve_options
        self.frames = []          # raw text frames from the kernel, in order
        self.messages = []        # the same, decoded (chunks joined)
        self.invalid = []         # frames that are not strict JSON
        self.changed = asyncio.Condition()
        self.connection = None
        self.connected = asyncio.Event()
        self.closed = asyncio.Event()
        self.stderr_lines = []
        self._chunks = {}

    async def __aenter__(self):
        self.server = await websockets.serve(self._handler, "127.0.0.1", 0, **self.serve_options)
        port = self.server.sockets[0].getsockname()[1]
        self.workbook_id = f"wb-{uuid.uuid4().hex[:8]}"
        self.process = await asyncio.create_subprocess_exec(
            sys.executable, "-c", LAUNCHER.format(prelude=self.prelude), self.workbook_id, str(port),
            json.dumps({"platform": "web"}), stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.PIPE,
            env={**os.environ, **self.env})
        self._stderr_task = asyncio.create_task(self._read_stderr())
        await asyncio.wait_for(self.connected.wait(), T)
        return self

    async def __aexit__(self, *exc):
        if self.process.returncode is None:
            if self.connection is not None:
                await self.connection.close()
            try:
                await asyncio.wait_for(self.process.wait(), T)
            except asyncio.TimeoutError:
                self.process.kill()
                await self.process.wait()
        await self._stderr_task
        self.server.close()
        await self.server.wait_closed()

    async def _read_stderr(self):
        async for line in self.process.stderr:
            self.stderr_lines.append(line.decode("utf-8", "replace").rstrip("\n"))

    async def _handler(self, ws):
        self.connection = ws
        self.connected.set()
        try:
            async for frame in ws:
                self.frames.append(frame)
                if self.pace and len(self.frames) % self.pace[0] == 0:
                    await asyncio.sleep(self.pace[1])
                try:
                    message = strict_json(frame)
                    if message.get("type") == "chunk":
                        parts = self._chunks.setdefault(message["chunk_id"], {})
                        parts[message["chunk_index"]] = message["data"]
                        if len(parts) < message["total_chunks"]:
                            continue
                        message = strict_json("".join(parts[i] for i in range(len(parts))))
                except ValueError:
                    self.invalid.append(frame)
                    continue
                async with self.changed:
                    self.messages.append(message)
                    self.changed.notify_all()
        except websockets.ConnectionClosed:
            pass
        finally:
            self.closed.set()
            async with self.changed:
                self.changed.notify_all()

    def log(self):
        return "\n".join(self.stderr_lines)

    async def send(self, message):
        await self.connection.send(json.dumps(message))

    async def wait_for(self, pred, timeout=T):
        async with self.changed:
            await asyncio.wait_for(self.changed.wait_for(lambda: any(pred(m) for m in self.messages)), timeout)
        return next(m for m in self.messages if pred(m))

    async def wait_type(self, type_, timeout=T, **fields):
        return await self.wait_for(
            lambda m: m.get("type") == type_ and all(m.get(k) == v for k, v in fields.items()), timeout)

    async def execute(self, code, timeout=T):
        """The final message of an execution request: "execution_result" or "execution_error"."""
        request_id = uuid.uuid4().hex
        await self.send({"type": "execution_request", "code": textwrap.dedent(code), "request_id": request_id})
        return await self.wait_for(lambda m: m.get("request_id") == request_id
                                   and m.get("type") in ("execution_result", "execution_error"), timeout)

    async def evaluate(self, expression):
        reply = await self.execute(expression)
        assert reply["type"] == "execution_result", reply
        return reply["result"]

    async def rss_kb(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")


async def completes(kernel, code="import json\njson.", line=2, column=5):
    request_id = uuid.uuid4().hex
    await kernel.send({"type": "completion_request", "request_id": request_id, "module_name": "probe_mod",
                       "code": code, "line": line, "column": column, "path": "probe_mod.py",
                       "workbook_id": kernel.workbook_id})
    return await kernel.wait_type("completion_response", request_id=request_id)


# -- search paths ----------------------------------------------------------------------


BAD_PATHS = [("/tmp/with\x00nul", "a NUL character"), ("/tmp/half\ud800pair", "a lone surrogate")]


async def test_unusable_paths_are_refused_and_imports_keep_working():
    async with KernelProcess() as kernel:
        for n, (bad, reason) in enumerate(BAD_PATHS):
            await kernel.send({"type": "add_path", "path": bad, "request_id": f"add{n}"})
            reply = await kernel.wait_type("error", request_id=f"add{n}")
            assert reply["message"] == f"Invalid field 'path' in add_path: the path holds {reason}"

            await kernel.send({"type": "set_package_paths", "old_paths": [], "new_paths": ["/tmp/fine", bad],
                               "request_id": f"pkg{n}"})
            reply = await kernel.wait_type("error", request_id=f"pkg{n}")
            assert reply["message"] == f"Invalid field 'new_paths' in set_package_paths: entry 1 holds {reason}"
            await kernel.send({"type": "set_python_paths", "old_paths": [], "new_paths": [bad],
                               "request_id": f"py{n}"})
            reply = await kernel.wait_type("error", request_id=f"py{n}")
            assert reply["message"] == f"Invalid field 'new_paths' in set_python_paths: entry 0 holds {reason}"

            reply = await kernel.execute(f"__import__('tarnlet')._kernel_instance.virtual_env.add_path({bad!r})")
            assert reply["type"] == "execution_error" and reply["error"]["type"] == "ValueError"
        # Nothing of a refused request reached sys.path, and importing still walks it.
        assert await kernel.evaluate("[p for p in __import__('sys').path if 'fine' in p or 'half' in p"
                                     " or 'nul' in p]") == "[]"
        assert await kernel.evaluate("__import__('colorsys').__name__") == "'colorsys'"
        await kernel.send({"type": "add_path", "path": "/tmp/usable path é", "request_id": "good"})
        assert (await kernel.wait_type("path_added", path="/tmp/usable path é"))["current_paths"][0] \
            == "/tmp/usable path é"
        assert not kernel.invalid


def make_package(root, name, value):
    os.makedirs(os.path.join(root, name))
    with open(os.path.join(root, name, "__init__.py"), "w") as init:
        init.write(f"VALUE = {value!r}\n")


async def test_old_paths_match_whole_directories(tmp_path):
    gone, kept = str(tmp_path / "pkgs"), str(tmp_path / "pkgs2")
    make_package(gone, "gone_pkg", 1)
    make_package(kept, "kept_pkg", 2)
    async with KernelProcess() as kernel:
        await kernel.send({"type": "set_package_paths", "old_paths": [], "new_paths": [gone, kept]})
        await kernel.wait_type("package_paths_updated")
        assert (await kernel.execute("import gone_pkg, kept_pkg"))["type"] == "execution_result"
        # The directory written with a trailing separator is the same directory; "pkgs2"
        # shares its text prefix but is another directory.
        await kernel.send({"type": "set_package_paths", "old_paths": [gone + os.sep], "new_paths": [kept],
                           "request_id": "switch"})
        reply = await kernel.wait_for(lambda m: m.get("type") == "package_paths_updated" and m["paths_added"] == 1)
        assert reply["modules_unloaded"] == 1
        assert await kernel.evaluate("sorted(n for n in __import__('sys').modules if n.endswith('_pkg'))") \
            == "['kept_pkg']"


async def test_unloading_everything_keeps_the_kernel_and_the_standard_library():
    own = ("tarnlet", "tarnlet_master.python_server.kernel", "tarnlet_master.python_server.sensewire",
           "json", "asyncio", "websockets", "jedi")
    async with KernelProcess() as kernel:
        await kernel.send({"type": "update_module", "module_name": "wb_mod",
                           "code": "def twice(x):\n    return 2 * x\n"})
        await kernel.wait_type("module_updated")
        for n, old_paths in enumerate([[""], ["/"], [os.sep, "", "/usr", sys.prefix]]):
            await kernel.send({"type": "set_package_paths", "old_paths": old_paths, "new_paths": [],
                               "request_id": f"unload{n}"})
            await kernel.wait_for(lambda m: m.get("type") == "package_paths_updated"
                                  and len([x for x in kernel.messages if x.get("type") == m["type"]]) > n)
            await kernel.send({"type": "unload_and_clear_paths", "paths": old_paths})
            assert await kernel.evaluate(f"[n for n in {own!r} if n not in __import__('sys').modules]") == "[]"
            assert await kernel.evaluate("__import__('wb_mod').twice(21)") == "42"
            assert await kernel.evaluate("__import__('tarnlet') is __import__('sys').modules["
                                         "'tarnlet_master.python_server.tarnlet']") == "True"
            completion = await completes(kernel)
            assert completion["error"] is None
            assert "dumps" in [item["label"] for item in completion["completions"]]
    assert "Kernel error: " not in kernel.log()


# -- waits for answers when the host goes ----------------------------------------------


async def test_closing_fails_waiting_requests_and_the_process_exits(tmp_path):
    report = tmp_path / "report.txt"
    code = f"""
        import tarnlet
        seen = []
        send = tarnlet.messaging.send_request_sync
        for call in (send, send, tarnlet.messaging.request):
            try:
                call({{"action": "never answered"}}, timeout=90)
            except ConnectionError as error:
                seen.append(type(error).__name__ + ": " + str(error))
        open({str(report)!r}, "w").write("\\n".join(seen))
    """
    async with KernelProcess() as kernel:
        await kernel.send({"type": "execution_request", "code": textwrap.dedent(code), "request_id": "waits"})
        request = await kernel.wait_type("sys_request")
        request_id = request["payload"]["requestId"]
        started = time.monotonic()
        await kernel.connection.close()
        # Without failing the wait the process would stay until the 90 s time-out.
        assert await asyncio.wait_for(kernel.process.wait(), 30) == 0
        elapsed = time.monotonic() - started
    assert elapsed < 30
    waiting, later, unattached = report.read_text().splitlines()
    assert waiting == f"ConnectionError: connection closed while waiting for sys_response: {request_id}"
    assert later.startswith("ConnectionError: connection closed, sys_request not sent: ")
    # Whether disconnect has detached the kernel from the companion by then is a race;
    # either way the call fails at once with a ConnectionError.
    assert unattached == "NotConnectedError: Not connected to Excel: no kernel is attached" or unattached.startswith(
        "ConnectionError: connection closed, sys_request not sent: ")
    assert "[Kernel] Connection closed: failed 1 waiting sys_request(s)" in kernel.log()


# -- answers nobody waits for ----------------------------------------------------------


async def test_answers_nobody_waits_for_are_not_kept():
    async with KernelProcess() as kernel:
        table = "len(__import__('tarnlet')._kernel_instance._response_data)"
        await kernel.send({"type": "sys_response", "payload": {"requestId": "nobody", "value": "x" * 1000}})
        reply = await kernel.execute("""
            import tarnlet
            try:
                tarnlet.messaging.send_request_sync({"action": "slow"}, timeout=0.3)
            except TimeoutError:
                pass
        """)
        assert reply["type"] == "execution_result"
        request_id = next(m for m in kernel.messages if m.get("type") == "sys_request")["payload"]["requestId"]
        await kernel.send({"type": "sys_response", "payload": {"requestId": request_id, "value": "late"}})
        assert await kernel.evaluate(table) == "0"
        # An answer that is awaited is still delivered.
        reply_task = asyncio.create_task(kernel.execute(
            "__import__('tarnlet').messaging.send_request_sync({'action': 'fast'}, timeout=10)['value']"))
        fast = await kernel.wait_for(lambda m: m.get("type") == "sys_request" and m["payload"]["action"] == "fast")
        await kernel.send({"type": "sys_response", "payload": {"requestId": fast["payload"]["requestId"],
                                                               "value": 7}})
        assert (await reply_task)["result"] == "7"
        assert await kernel.evaluate(table) == "0"
    log = kernel.log()
    assert "[Kernel] Received sys_response for unknown request_id: nobody" in log
    assert f"[Kernel] Received sys_response for unknown request_id: {request_id}" in log


# -- every frame is JSON ----------------------------------------------------------------


SEND_ODD_VALUES = """
    import asyncio, tarnlet
    kernel, loop = tarnlet._kernel_instance, tarnlet.messaging.loop
    odd = [float("nan"), float("inf"), -float("inf"), {"k": [float("nan")]}, (1.5, float("-inf"))]
    for tag, extra in (("plain", []), ("surrogate", ["\\ud800"]), ("big", [2 ** 70]),
                       ("long", ["\\ud801" * 70000])):
        message = {"type": "odd", "tag": tag, "values": odd + extra}
        asyncio.run_coroutine_threadsafe(kernel.send_message(message), loop).result(10)
    asyncio.run_coroutine_threadsafe(kernel._batcher.enqueue({"type": "odd", "tag": "batched",
                                                             "values": odd + ["\\udfff"]}), loop).result(10)
"""


@pytest.mark.parametrize("prelude, has_orjson", [("", True),
                                                 ("sys.modules['orjson'] = None  # the json module only", False)])
async def test_non_finite_floats_go_out_as_null(prelude, has_orjson):
    async with KernelProcess(prelude=prelude) as kernel:
        assert await kernel.evaluate("hasattr(__import__('sys').modules['tarnlet_master.python_server.kernel'],"
                                     " 'orjson')") == str(has_orjson)
        reply = await kernel.execute(SEND_ODD_VALUES)
        assert reply["type"] == "execution_result", reply
        await kernel.wait_type("odd", tag="batched")
        expected = [None, None, None, {"k": [None]}, [1.5, None]]
        got = {m["tag"]: m["values"] for m in kernel.messages if m.get("type") == "odd"}
        assert got == {"plain": expected, "surrogate": expected + ["\ud800"], "big": expected + [2 ** 70],
                       "long": expected + ["\ud801" * 70000], "batched": expected + ["\udfff"]}
        assert any('"chunk"' in frame for frame in kernel.frames)
        assert not kernel.invalid


# -- a close during a batched send (in process: the torn-down state is what is checked) --


@contextlib.asynccontextmanager
async def in_process_peer():
    """The shared loopback peer, with its kernel's batcher and stream hooks in place."""
    stdout, stderr = sys.stdout, sys.stderr
    peer = await ip.start_peer("wb-inproc", connection_args={"platform": "web"}, timeout=T)
    peer.stdout, peer.stderr = stdout, stderr
    try:
        while peer.kernel._batcher is None or sys.stdout is stdout:
            await asyncio.sleep(0.01)
        yield peer
    finally:
        await ip.stop_peer(peer)


def kernel_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "tarnlet_master.python_server.kernel"]


async def test_a_close_during_a_batched_send_still_tears_everything_down(caplog):
    import tarnlet_master.python_server.tarnlet as tarnlet
    async with in_process_peer() as peer:
        kernel = peer.kernel
        # Hold the next flush back, so the message is still queued when the peer closes.
        kernel._batcher.FLUSH_INTERVAL = 3600
        await asyncio.sleep(0.05)
        await kernel._batcher.enqueue({"type": "queued", "n": 1})
        await kernel._batcher.enqueue({"type": "queued", "n": 2})
        await (await peer.ws()).close()
        await asyncio.wait_for(peer.task, T)   # run() returns: nothing escaped from disconnect
        assert sys.stdout is peer.stdout and sys.stderr is peer.stderr
        assert tarnlet._kernel_instance is None and tarnlet.messaging.send_request_sync is None
        assert kernel._thread_pool._shutdown and kernel.running is False
        assert kernel.websocket.state.name == "CLOSED"
    lines = kernel_lines(caplog)
    lost = [line for line in lines if line.startswith("[Kernel] Batch send failed, 2 message(s) lost (queued, queued)")]
    assert lost, lines
    assert any(line.startswith("[Kernel] Disconnect step failed (batcher): ") for line in lines)
    assert lines[-1] == "Kernel disconnected for workbook: wb-inproc"
    assert not any(line.startswith("Kernel error: ") for line in lines)


async def test_the_flush_loop_outlives_a_failed_send(caplog):
    async with in_process_peer() as peer:
        batcher = peer.kernel._batcher
        await batcher.enqueue({"type": "bad", "value": object()})
        await batcher.enqueue({"type": "bad", "value": 2})
        await asyncio.sleep(0.1)
        await batcher.enqueue({"type": "later"})
        assert await peer.recv("later") == {"type": "later"}
        assert not batcher._flush_task.done()
        lost = [line for line in kernel_lines(caplog) if line.startswith("[Kernel] Batch send failed, 2 message(s)")]
        assert len(lost) == 1 and "TypeError" in lost[0]


# -- oversized frames -------------------------------------------------------------------


MiB = 1 << 20
BYTE_CAP = 4 * MAX_MESSAGE_SIZE   # the most bytes MAX_MESSAGE_SIZE characters can take in UTF-8


async def memory_kb(kernel, key):
    with open(f"/proc/{kernel.process.pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {key}")


def deflated(piece, copies=1):
    """Raw deflate data for `piece` repeated: each copy is compressed on its own and ends
    with a sync flush, so the copies can simply be joined (a bomb costs nothing to make)."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = compressor.compress(piece) + compressor.flush(zlib.Z_FULL_FLUSH)
    return block * copies


def raw_frame(payload, opcode=0x1, fin=True, compressed=False):
    head1 = (0x80 if fin else 0) | (0x40 if compressed else 0) | opcode
    if len(payload) < 126:
        header = bytes([head1, len(payload)])
    elif len(payload) < 65536:
        header = bytes([head1, 126]) + len(payload).to_bytes(2, "big")
    else:
        header = bytes([head1, 127]) + len(payload).to_bytes(8, "big")
    return header + payload


async def refused_then_serving(kernel, refusals_before):
    """Waits for one more "Message too large" answer, then checks the kernel still serves."""
    await kernel.wait_for(lambda m: len([x for x in kernel.messages if x.get("message") == "Message too large"])
                          > refusals_before, timeout=60)
    assert await kernel.evaluate("1+1") == "2"
    assert kernel.process.returncode is None and not kernel.closed.is_set()


# The kernel offers permessage-deflate only when asked to; a host that accepts it then compresses.
OFFER_DEFLATE = "from tarnlet_master.python_server import kernel\nkernel.WEBSOCKET_COMPRESSION = 'deflate'"


def negotiated(kernel):
    return [type(extension).__name__ for extension in kernel.connection.protocol.extensions]


async def test_deflate_is_negotiated_only_when_the_kernel_offers_it():
    async with KernelProcess() as kernel:      # the host accepts deflate, websockets' default
        assert negotiated(kernel) == []
        assert await kernel.evaluate("1+1") == "2"
    async with KernelProcess(prelude=OFFER_DEFLATE) as kernel:
        assert negotiated(kernel) == ["PerMessageDeflate"]
        assert await kernel.evaluate("'é' * 3") == "'ééé'"


async def test_oversized_compressed_messages_are_skipped_without_holding_them():
    async with KernelProcess(prelude=OFFER_DEFLATE) as kernel:      # permessage-deflate with context takeover
        assert negotiated(kernel) == ["PerMessageDeflate"]
        assert await kernel.evaluate("1+1") == "2"
        peak_before = await memory_kb(kernel, "VmHWM")
        # 64 MiB of text, about 64 KB on the wire.
        big = '{"type": "update_module", "module_name": "m", "code": "' + "a" * (64 * MiB) + '"}'
        await kernel.connection.send(big)
        await refused_then_serving(kernel, 0)
        # Fragments each under the cap that add up to more than it.
        await kernel.connection.send(["x" * MiB for _ in range(5)])
        await refused_then_serving(kernel, 1)
        # The decoder stayed in step: a module sent after them compresses against their text.
        await kernel.connection.send(["{\"type\": \"update_module\", \"module_name\": \"after_big\", ",
                                      "\"code\": \"TEXT = '" + "a" * 2000 + "x" * 2000 + "'\"}"])
        await kernel.wait_type("module_updated", module_name="after_big")
        assert await kernel.evaluate("len(__import__('after_big').TEXT)") == "4000"
        growth = await memory_kb(kernel, "VmHWM") - peak_before
        # Held whole, the 64 MiB text alone (and its decoded copy) would cost 64-128 MB.
        assert growth < 40 * 1024, f"peak RSS grew by {growth} kB"
    log = kernel.log()
    assert f"Message too large: {len(big)} bytes" in log
    assert f"Message too large: {5 * MiB} bytes" in log
    assert "Kernel error: " not in log


async def test_a_deflate_bomb_is_inflated_piecewise_and_refused():
    from websockets.extensions.permessage_deflate import ServerPerMessageDeflateFactory
    factory = ServerPerMessageDeflateFactory(server_no_context_takeover=True)
    async with KernelProcess(prelude=OFFER_DEFLATE, compression=None, extensions=[factory]) as kernel:
        assert negotiated(kernel) == ["PerMessageDeflate"]
        assert await kernel.evaluate("1+1") == "2"
        peak_before = await memory_kb(kernel, "VmHWM")
        prefix, suffix = b'{"type": "update_module", "module_name": "bomb", "code": "', b'"}'
        payload = (deflated(prefix) + deflated(b"a" * MiB, 1024) + deflated(suffix))[:-4]
        assert len(payload) < 2 * MiB          # 1 GiB once inflated
        kernel.connection.transport.write(raw_frame(payload, compressed=True))
        await refused_then_serving(kernel, 0)
        growth = await memory_kb(kernel, "VmHWM") - peak_before
        assert growth < 40 * 1024, f"peak RSS grew by {growth} kB"
        # Under the cap a compressed frame of the same making is decoded as usual.
        small = (deflated(prefix) + deflated(b"b" * 1000) + deflated(suffix))[:-4]
        kernel.connection.transport.write(raw_frame(small, compressed=True))
        await kernel.wait_type("module_updated", module_name="bomb")
    assert f"Message too large: {1024 * MiB + len(prefix) + len(suffix)} bytes" in kernel.log()


async def test_oversized_plain_frames_are_skipped_and_small_fragments_joined():
    async with KernelProcess(compression=None) as kernel:
        assert await kernel.evaluate("1+1") == "2"
        peak_before = await memory_kb(kernel, "VmHWM")
        await kernel.connection.send("z" * (64 * MiB))
        await refused_then_serving(kernel, 0)
        # Just over the cap in bytes, just under it, and fragmented under it.
        await kernel.connection.send("é" * (BYTE_CAP // 2 + 1))
        await refused_then_serving(kernel, 1)
        await kernel.connection.send('{"type": "add_path", "path": "/tmp/' + "é" * (MAX_MESSAGE_SIZE - 40) + '"}')
        await kernel.wait_type("path_added")
        await kernel.connection.send(['{"type": "add_path", ', '"path": "/tmp/fragmented"', "}"])
        await kernel.wait_type("path_added", path="/tmp/fragmented")
        growth = await memory_kb(kernel, "VmHWM") - peak_before
        assert growth < 40 * 1024, f"peak RSS grew by {growth} kB"
        # A control frame that claims more than a control frame may carry ends the
        # connection as the protocol says, and the kernel leaves cleanly.
        kernel.connection.transport.write(raw_frame(b"p" * 200, opcode=0x9))
        assert await asyncio.wait_for(kernel.process.wait(), T) == 0
    log = kernel.log()
    assert f"Message too large: {64 * MiB} bytes" in log
    assert f"Message too large: {BYTE_CAP + 2} bytes" in log
    assert "Kernel disconnected for workbook: " in log and "Kernel error: " not in log


# -- output floods ----------------------------------------------------------------------


def stdout_lines(kernel):
    return "".join(m["content"] for m in kernel.messages if m.get("type") == "stdout").splitlines()


@pytest.mark.timeout(400)
async def test_a_print_flood_behind_a_slow_reader_keeps_the_connection():
    # The reader takes about 1000 frames a second: the kernel's keepalive ping, sent 20 s
    # after connecting, waits behind more output than the reader gets through in 20 s.
    lines = 25000
    async with KernelProcess(pace=(100, 0.1), ping_interval=None) as kernel:   # only the kernel pings
        await kernel.send({"type": "execution_request", "request_id": "flood",
                           "code": f"for i in range({lines}):\n    print(f'line {{i}}')\n"})
        async with kernel.changed:
            await asyncio.wait_for(kernel.changed.wait_for(
                lambda: kernel.closed.is_set() or len(stdout_lines(kernel)) >= lines), 300)
        assert not kernel.closed.is_set(), "the connection was lost"
        assert stdout_lines(kernel) == [f"line {i}" for i in range(lines)]
        kernel.pace = None
        assert await kernel.evaluate("1+1") == "2"
    assert "Kernel error: " not in kernel.log()

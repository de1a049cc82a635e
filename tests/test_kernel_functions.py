"""Custom function calls end to end: a real kernel, a real websockets peer, real workbook modules."""

import json
import os
import tempfile

import kernel_peer as ip

WORKBOOK = "wb-invoke"
WB = WORKBOOK

FUNCTIONS = """\
def add(a, b):
    return a + b

def nothing():
    print("hi")

def squares(n):
    for i in range(n):
        yield i * i

def fails(text):
    raise ValueError(text)
"""


async def test_value_none_and_generator_results(peer):
    mod = await peer.module(FUNCTIONS)

    msgs = await peer.call(mod, "add", [2, 3], request_id="r-add")
    assert msgs == [
        {"type": "result_output", "content": "Out: 5\n", "request_id": "r-add", "workbook_id": WB, "source": "addin"},
        {"type": "execution_result", "success": True, "result": 5, "logs": "", "request_id": "r-add",
         "module_name": mod, "function_name": "add", "workbook_id": WB, "source": "addin"},
        {"type": "function_execution_result", "request_id": "r-add", "status": "success", "result": 5, "logs": ""},
    ]
    assert list(msgs[1]) == ["type", "success", "result", "logs", "request_id", "module_name", "function_name",
                             "workbook_id", "source"]
    assert list(msgs[2]) == ["type", "request_id", "status", "result", "logs"]

    msgs = await peer.call(mod, "nothing", source="ide")
    answers = ip.without_streams(msgs)
    assert ip.types(answers) == ["execution_result", "function_execution_result"]
    assert answers[0]["result"] is None and answers[0]["source"] == "ide"
    assert ip.stream_text(msgs, "stdout") == "hi\n"
    assert all(m["source"] == "ide" for m in msgs if m["type"] == "stdout")
    assert answers[0]["logs"] == answers[1]["logs"] == "hi\n"

    msgs = ip.without_streams(await peer.call(mod, "squares", [4]))
    assert msgs[0]["content"].startswith("Out: <generator object squares")
    assert msgs[1]["result"] == msgs[2]["result"] == [0, 1, 4, 9]


async def test_raising_function_streams_the_traceback_and_reports_it(peer):
    mod = await peer.module(FUNCTIONS)
    msgs = await peer.call(mod, "fails", ["boom"], request_id="r-fail")
    stderr = ip.stream_text(msgs, "stderr")
    assert "Traceback (most recent call last)" in stderr and "ValueError: boom" in stderr
    assert f'File "<virtual:{mod}>", line 12, in fails' in stderr
    error, result = ip.without_streams(msgs)
    assert list(error) == ["type", "success", "error", "logs", "request_id", "module_name", "function_name",
                           "workbook_id", "source"]
    assert error["type"] == "execution_error" and error["success"] is False
    assert error["error"].startswith("Traceback") and error["error"].endswith("ValueError: boom\n")
    assert error["logs"] == stderr
    assert list(result) == ["type", "request_id", "status", "logs", "error"]
    assert result["status"] == "error" and result["error"] == error["error"]


async def test_missing_names_are_validation_errors(peer):
    msgs = await peer.call("", "f", request_id="r-v1")
    assert msgs == [
        {"type": "execution_error", "success": False,
         "error": {"type": "ValidationError", "message": "Missing module_name", "traceback": ""},
         "request_id": "r-v1", "module_name": "", "function_name": "f", "workbook_id": WB, "source": "addin"},
        {"type": "function_execution_result", "request_id": "r-v1", "status": "error",
         "error": {"type": "ValidationError", "message": "Missing module_name", "traceback": ""}},
    ]
    msgs = await peer.call("mod", "", request_id="r-v2")
    assert msgs[0]["error"]["message"] == "Missing function_name"


async def test_unknown_module_and_function_are_failures_of_the_call(peer):
    unknown = ip.fresh("never_sent")
    error = ip.without_streams(await peer.call(unknown, "f"))[0]
    assert error["type"] == "execution_error" and f"No module named '{unknown}'" in error["error"]

    mod = await peer.module(FUNCTIONS)
    error = ip.without_streams(await peer.call(mod, "missing"))[0]
    assert error["error"].endswith(f"AttributeError: Function 'missing' not found in module '{mod}'\n")


async def test_function_reads_a_range_through_the_excel_object(peer):
    mod = await peer.module("""\
        import tarnlet

        def total(address):
            rows = tarnlet.excel.range(address).values
            return sum(sum(row) for row in rows)
        """)
    requests = []

    def answer(payload):
        requests.append(payload)
        return {"requestId": payload["requestId"], "status": "ok", "values": [[1, 2], [3, 4]]}

    peer.answer_sys_request = answer
    msgs = await peer.call(mod, "total", ["Sheet1!A1:B2"])
    assert ip.without_streams(msgs)[-1]["result"] == 10
    assert len(requests) == 1
    assert requests[0]["action"] == "get_range" and requests[0]["sheet"] == "Sheet1"
    assert requests[0]["address"] == "A1:B2" and requests[0]["kind"] == "request"


async def test_ten_concurrent_calls_blocked_in_sync_requests(peer):
    mod = await peer.module("""\
        import tarnlet

        def scaled(row):
            return tarnlet.excel.range(f"A{row}").value * 10
        """)
    ids = [f"r-conc-{i}" for i in range(10)]
    for i, rid in enumerate(ids):
        await peer.send({"type": "custom_function_call", "module_name": mod, "function_name": "scaled",
                         "args": [i + 1], "request_id": rid})
    pending = await peer.wait_for(lambda m: m["type"] == "sys_request", count=10)
    # All ten workers are blocked now; the listener still serves other messages.
    await peer.probe()
    assert not peer.matching(lambda m: m["type"] == "function_execution_result")
    for request in reversed(pending):
        payload = request["payload"]
        row = int(payload["address"][1:])
        await peer.send({"type": "sys_response",
                         "payload": {"requestId": payload["requestId"], "status": "ok", "values": [[row]]}})
    for i, rid in enumerate(ids):
        result = await peer.wait_type("function_execution_result", request_id=rid)
        assert result["status"] == "success" and result["result"] == (i + 1) * 10


async def test_module_name_is_never_executed_as_code(peer):
    marker = os.path.join(tempfile.mkdtemp(), "pwned")
    hostile = f'os; open("{marker}", "w").close()'
    for name in (hostile, "os;print(1)", "a b", "class", "1abc", "a..b"):
        msgs = ip.without_streams(await peer.call(name, "f"))
        assert msgs[0]["type"] == "execution_error"
        assert "not found in sys.modules. Make sure the module has been synced via update_module." \
            in msgs[0]["error"]
        assert msgs[1]["status"] == "error"
    assert not os.path.exists(marker)

    # Even a module cached under such a name is only reachable by a valid name.
    await peer.update_module(hostile, "def f():\n    return 1\n")
    assert ip.without_streams(await peer.call(hostile, "f"))[0]["type"] == "execution_error"
    assert not os.path.exists(marker)

    # Dotted names of real packages still import.
    msgs = ip.without_streams(await peer.call("os.path", "join", ["a", "b"]))
    assert msgs[-1]["result"] == os.path.join("a", "b")


async def test_wrongly_typed_fields_are_answered_and_the_kernel_keeps_serving(peer):
    mod = await peer.module(FUNCTIONS)
    await peer.send({"type": "custom_function_call", "module_name": mod, "function_name": "add",
                     "args": {"a": 1}, "request_id": "r-dict-args"})
    result = await peer.wait_type("function_execution_result", request_id="r-dict-args")
    assert result["status"] == "error" and "TypeError: args must be a list, not dict" in result["error"]

    rid = {"nested": ["object"]}
    await peer.send({"type": "custom_function_call", "module_name": mod, "function_name": "add",
                     "args": [1, 2], "request_id": rid})
    result = await peer.wait_type("function_execution_result", request_id=rid)
    assert result["error"]["type"] == "ValidationError"
    assert result["error"]["message"] == "Invalid request_id: expected a string, a number or null, got dict"

    for bad in ([1], 5, {"x": 1}):
        msgs = await peer.call(bad, "add", request_id=f"r-bad-{type(bad).__name__}")
        assert msgs[0]["error"]["type"] == "ValidationError"
    msgs = await peer.call(mod, 7, request_id="r-bad-fn")
    assert msgs[0]["error"]["message"] == "Invalid function_name: expected a string, got int"

    assert ip.without_streams(await peer.call(mod, "add", [1, 1]))[-1]["result"] == 2
    assert not peer.task.done()


async def test_run_module_without_debug_is_a_custom_function_call(peer):
    mod = await peer.module(FUNCTIONS)
    await peer.send({"type": "run_module", "module_name": mod, "function_name": "add", "args": [1, 2],
                     "request_id": "r-run", "workbook_id": WB})
    result = await peer.wait_type("execution_result", request_id="r-run")
    assert result["result"] == 3 and result["source"] == "ide"


async def test_answers_go_through_a_replaced_send_path(peer, monkeypatch):
    mod = await peer.module(FUNCTIONS)
    kernel = peer.kernel
    seen = []
    own_send = kernel.send_message

    async def on_instance(message):
        seen.append(("instance", message["type"]))
        await own_send(message)

    monkeypatch.setattr(kernel, "send_message", on_instance, raising=False)
    msgs = await peer.call(mod, "add", [1, 2])
    assert ip.types(msgs) == ["result_output", "execution_result", "function_execution_result"]
    assert seen == [("instance", t) for t in ip.types(msgs)]
    monkeypatch.delattr(kernel, "send_message")

    seen.clear()
    own_direct = type(kernel)._send_message_direct

    async def on_class(self, message):
        seen.append(("class", message["type"]))
        await own_direct(self, message)

    monkeypatch.setattr(type(kernel), "_send_message_direct", on_class)
    msgs = await peer.call(mod, "fails", ["x"])
    answers = ip.types(ip.without_streams(msgs))
    assert answers == ["execution_error", "function_execution_result"]
    assert [t for _, t in seen if t in answers] == answers


def masked_text_frames(data):
    """The texts of the whole masked text frames that make up `data`."""
    texts, at = [], 0
    while at < len(data):
        assert data[at] == 0x81 and data[at + 1] & 0x80  # FIN text frame, masked
        length, at = data[at + 1] & 0x7F, at + 2
        if length >= 126:
            size = 2 if length == 126 else 8
            length, at = int.from_bytes(data[at:at + size], "big"), at + size
        mask, at = data[at:at + 4], at + 4
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(data[at:at + length]))
        assert len(payload) == length
        texts.append(payload.decode())
        at += length
    return texts


async def test_the_answers_of_a_call_are_one_write_of_three_frames(peer, monkeypatch):
    mod = await peer.module(FUNCTIONS)
    ws = peer.kernel.websocket
    writes = []
    own_write = ws.transport.write

    def recording(data):
        writes.append(bytes(data))
        own_write(data)

    monkeypatch.setattr(ws.transport, "write", recording)
    msgs = await peer.call(mod, "add", [2, 3], request_id="r-one")
    assert ip.types(msgs) == ["result_output", "execution_result", "function_execution_result"]
    # One write holds the three frames, whole and in order.
    assert len(writes) == 1
    assert [json.loads(text)["type"] for text in masked_text_frames(writes[0])] == ip.types(msgs)

    # A send replaced on the connection is called once per frame instead.
    monkeypatch.setattr(ws.transport, "write", own_write)
    sent = []
    own_send = ws.send

    async def replaced(text):
        sent.append(text)
        await own_send(text)

    monkeypatch.setattr(ws, "send", replaced, raising=False)
    msgs = await peer.call(mod, "add", [4, 5], request_id="r-each")
    assert ip.types(msgs) == ["result_output", "execution_result", "function_execution_result"]
    assert [json.loads(text)["type"] for text in sent] == ip.types(msgs)


async def test_a_call_logs_its_names_and_its_outcome(peer, monkeypatch):
    import logging

    import tarnlet_master.python_server.kernel as kmod

    mod = await peer.module(FUNCTIONS)
    heard = []

    class Recording(logging.Handler):
        def emit(self, record):
            heard.append((record.levelname, record.getMessage()))

    handler = Recording()
    kmod.logger.addHandler(handler)
    try:
        await peer.call(mod, "add", [1, 2], request_id="r-log")
        # A name that is not valid UTF-8 is logged with the lone surrogate escaped.
        await peer.call(mod, "fails\udcff", request_id="r-bad")
    finally:
        kmod.logger.removeHandler(handler)
    assert ("INFO", f"[Kernel] Received custom_function_call: {mod}.add (source=addin, request_id=r-log)") in heard
    assert ("INFO", f"[Kernel] Custom function call succeeded: {mod}.add") in heard
    assert ("INFO", f"[Kernel] Received custom_function_call: {mod}.fails\\udcff (source=addin, request_id=r-bad)") \
        in heard
    assert ("ERROR", f"[Kernel] Custom function call failed: {mod}.fails\\udcff") in heard

    # A method replaced on the logger itself is the one the kernel calls.
    replaced = []
    monkeypatch.setattr(kmod.logger, "info", lambda fmt, *args: replaced.append(fmt % args))
    await peer.call(mod, "add", [1, 2], request_id="r-patched")
    assert f"[Kernel] Custom function call succeeded: {mod}.add" in replaced

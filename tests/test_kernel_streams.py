import io
import sys
import threading

import pytest

from tarnlet_master.python_server import kernel


class TestStreamCapture:
    def test_buffers_and_streams_each_write(self):
        seen = []
        capture = kernel.StreamCapture(on_write=seen.append)
        assert isinstance(capture, io.TextIOBase)
        assert (capture.readable(), capture.writable(), capture.flush()) == (False, True, None)
        assert capture.write("") == 0 and seen == []
        print("a", file=capture)
        assert capture.write("yé") == 2
        assert seen == ["a", "\n", "yé"] and capture.getvalue() == "a\nyé"

    def test_failing_callback_is_swallowed_but_not_a_keyboard_interrupt(self):
        def boom(text):
            raise RuntimeError("callback broke")

        capture = kernel.StreamCapture(boom)
        assert capture.write("kept") == 4 and capture.getvalue() == "kept"

        def interrupt(text):
            raise KeyboardInterrupt

        capture._on_write = interrupt  # state lives in the instance dict, replaceable from Python
        with pytest.raises(KeyboardInterrupt):
            capture.write("x")

    def test_non_string_is_rejected(self):
        capture = kernel.StreamCapture()
        with pytest.raises(TypeError):
            capture.write(b"bytes")
        assert capture.getvalue() == ""


class TestKernelStreamHook:
    @pytest.fixture
    def consoles(self, monkeypatch):
        """Replaces the standard streams; called inside the test, since pytest's own capture
        puts its streams back between fixture set-up and the test."""

        def install():
            out, err = io.StringIO(), io.StringIO()
            monkeypatch.setattr(sys, "stdout", out)
            monkeypatch.setattr(sys, "stderr", err)
            return out, err

        return install

    def test_replaced_stream_is_chosen_by_stream_type(self, consoles):
        out, err = consoles()
        assert kernel.KernelStreamHook("stdout", print)._original_stream is out
        assert kernel.KernelStreamHook("stderr", print)._original_stream is err
        assert kernel.KernelStreamHook("other", print)._original_stream is err

    def test_writes_through_and_sends(self, consoles):
        out, _ = consoles()
        sent = []
        hook = kernel.KernelStreamHook("stdout", lambda kind, text: sent.append((kind, text)))
        assert isinstance(hook, io.TextIOBase) and (hook.readable(), hook.writable()) == (False, True)
        assert hook.write("") == 0 and sent == []
        print("a", file=hook)
        assert out.getvalue() == "a\n" and sent == [("stdout", "a"), ("stdout", "\n")]

    def test_failing_sender_is_reported_on_the_replaced_stream(self, consoles):
        _, err = consoles()

        def broken(kind, text):
            raise ValueError("socket gone")

        hook = kernel.KernelStreamHook("stderr", broken)
        assert hook.write("text") == 4
        assert err.getvalue() == "text[KernelStreamHook Error] socket gone\n"

    def test_failing_replaced_stream_is_ignored(self, monkeypatch):
        class Broken(io.StringIO):
            def write(self, text):
                raise OSError("console closed")

            def flush(self):
                raise OSError("console closed")

        monkeypatch.setattr(sys, "stdout", Broken())
        sent = []
        hook = kernel.KernelStreamHook("stdout", lambda kind, text: sent.append(text))
        assert hook.write("still sent") == 10
        hook.flush()
        assert sent == ["still sent"]

    def test_process_wide_hook_takes_writes_from_every_thread_in_order(self, consoles, monkeypatch):
        out, _ = consoles()
        sent = []
        monkeypatch.setattr(sys, "stdout", kernel.KernelStreamHook(
            "stdout", lambda kind, text: sent.append((threading.current_thread().name, text))))

        def worker(n):
            for i in range(50):
                print(f"{n}:{i}")

        threads = [threading.Thread(target=worker, args=(n,), name=f"w{n}") for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=10)
        for n in range(4):
            assert [text for name, text in sent if name == f"w{n}" and text != "\n"] == [f"{n}:{i}" for i in range(50)]
        assert sorted(out.getvalue().split()) == sorted(f"{n}:{i}" for n in range(4) for i in range(50))


async def test_output_that_the_loop_cannot_take_is_kept_in_logs_and_the_call_answers(peer, monkeypatch):
    """A worker's print whose message cannot be handed to the loop (a closed loop raises
    there) stays in the call's logs; the worker goes on and the call is answered."""
    import asyncio
    import threading
    real = asyncio.run_coroutine_threadsafe

    def refuse_from_workers(coro, loop):
        if threading.current_thread() is not threading.main_thread():
            raise RuntimeError("Event loop is closed")
        return real(coro, loop)

    mod = await peer.module("def chatty():\n    print('one')\n    print('two')\n    return 3\n")
    monkeypatch.setattr(asyncio, "run_coroutine_threadsafe", refuse_from_workers)
    await peer.send({"type": "custom_function_call", "module_name": mod, "function_name": "chatty", "args": [],
                     "request_id": "refused-out", "workbook_id": "wb"})
    result = await peer.wait_type("function_execution_result", request_id="refused-out")
    monkeypatch.setattr(asyncio, "run_coroutine_threadsafe", real)
    assert (result["status"], result["logs"]) == ("success", "one\ntwo\n")

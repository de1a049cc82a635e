import io
import sys
import threading

import pytest

from tarnlet_master.python_server import kernel


class TestStreamCapture:
    def test_is_a_text_stream(self):
        capture = kernel.StreamCapture()
        assert isinstance(capture, io.TextIOBase)
        assert (capture.readable(), capture.writable()) == (False, True)
        assert capture.flush() is None
        assert capture.getvalue() == ""

    def test_buffers_and_streams_each_write(self):
        seen = []
        capture = kernel.StreamCapture(on_write=seen.append)
        assert capture.write("x") == 1
        assert capture.write("yé") == 2
        assert capture.getvalue() == "xyé" and seen == ["x", "yé"]

    def test_empty_write_is_a_no_op(self):
        seen = []
        capture = kernel.StreamCapture(seen.append)
        assert capture.write("") == 0
        assert seen == [] and capture.getvalue() == ""

    def test_print_gives_two_writes(self):
        seen = []
        capture = kernel.StreamCapture(seen.append)
        print("a", file=capture)
        print("b", "c", sep="-", end="!", file=capture)
        assert seen == ["a", "\n", "b", "-", "c", "!"]

    def test_failing_callback_is_swallowed(self):
        def boom(text):
            raise RuntimeError("callback broke")

        capture = kernel.StreamCapture(boom)
        assert capture.write("kept") == 4
        assert capture.getvalue() == "kept"

    def test_keyboard_interrupt_from_callback_is_not_swallowed(self):
        def interrupt(text):
            raise KeyboardInterrupt

        capture = kernel.StreamCapture(interrupt)
        with pytest.raises(KeyboardInterrupt):
            capture.write("x")
        assert capture.getvalue() == "x"

    def test_falsy_callback_is_not_called(self):
        capture = kernel.StreamCapture(on_write=None)
        assert capture.write("z") == 1

    def test_non_string_is_rejected(self):
        capture = kernel.StreamCapture()
        with pytest.raises(TypeError):
            capture.write(b"bytes")
        assert capture.getvalue() == ""

    def test_state_lives_in_the_instance_dict(self):
        capture = kernel.StreamCapture()
        assert isinstance(capture.__dict__["_buffer"], io.StringIO)
        seen = []
        capture._on_write = seen.append  # replaceable from Python
        capture.write("q")
        assert seen == ["q"]


class TestKernelStreamHook:
    @pytest.fixture
    def consoles(self, monkeypatch):
        """Replaces the standard streams with StringIOs; call it inside the test, since pytest's own
        capture puts its streams back between fixture set-up and the test."""

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
        hook = kernel.KernelStreamHook("stdout", print)
        assert isinstance(hook, io.TextIOBase) and (hook.readable(), hook.writable()) == (False, True)

    def test_writes_through_and_sends(self, consoles):
        out, _ = consoles()
        sent = []
        hook = kernel.KernelStreamHook("stdout", lambda kind, text: sent.append((kind, text)))
        print("a", file=hook)
        assert out.getvalue() == "a\n"
        assert sent == [("stdout", "a"), ("stdout", "\n")]

    def test_empty_write_sends_nothing(self, consoles):
        _, err = consoles()
        sent = []
        hook = kernel.KernelStreamHook("stderr", lambda *a: sent.append(a))
        assert hook.write("") == 0
        assert sent == [] and err.getvalue() == ""

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

    def test_flush_reaches_the_replaced_stream(self, monkeypatch):
        flushed = []

        class Console(io.StringIO):
            def flush(self):
                flushed.append(True)

        monkeypatch.setattr(sys, "stdout", Console())
        hook = kernel.KernelStreamHook("stdout", lambda *a: None)
        hook.flush()
        assert flushed

    def test_process_wide_hook_takes_writes_from_every_thread(self, consoles, monkeypatch):
        out, _ = consoles()
        sent = []
        lock = threading.Lock()

        def send(kind, text):
            with lock:
                sent.append((kind, threading.current_thread().name, text))

        monkeypatch.setattr(sys, "stdout", kernel.KernelStreamHook("stdout", send))

        def worker(n):
            for i in range(50):
                print(f"{n}:{i}")

        threads = [threading.Thread(target=worker, args=(n,), name=f"w{n}") for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=10)
        for n in range(4):
            mine = [text for kind, name, text in sent if name == f"w{n}" and text != "\n"]
            assert mine == [f"{n}:{i}" for i in range(50)]  # each thread's writes in order
        assert len(sent) == 4 * 50 * 2
        assert sorted(out.getvalue().split()) == sorted(f"{n}:{i}" for n in range(4) for i in range(50))

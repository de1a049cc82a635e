"""The C++ coroutine bridge and the shared helpers, driven through the test-only bridge_selftest module."""
import asyncio
import collections.abc
import gc
import importlib.abc
import io
import logging
import sys

import pytest
import websockets

from tarnlet_master.python_server import bridge_selftest as bridge


async def later(value, delay=0.0):
    await asyncio.sleep(delay)
    return value


async def wait_on(future):
    return await future


async def fail(error):
    await asyncio.sleep(0)
    raise error


def rss_kib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import resource

    return pages * resource.getpagesize() // 1024


# --- results and exceptions -------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [None, 0, 1.5, "text", (1, 2), (), ((1,),), [1, [2]], {"a": (1, None)}, ValueError("as a value"), StopIteration(3)],
)
async def test_results_of_every_kind_survive_both_directions(value):
    # Through a Python delegate and straight from the C++ body (StopIteration instance).
    assert await bridge.await_value(later(value)) is value
    assert await bridge.identity(value) is value


async def test_python_exception_reaches_cpp_and_cpp_exceptions_reach_python():
    assert await bridge.await_guarded(fail(KeyError("k")), lambda: None) == ("error", "KeyError", "'k'")
    with pytest.raises(LookupError, match="custom"):
        await bridge.await_then_raise(later(1), LookupError("custom"))
    with pytest.raises(RuntimeError, match="from c\\+\\+"):
        await bridge.raise_cpp("from c++")
    # An uncaught Python error keeps its type and traceback through the C++ frame.
    with pytest.raises(ZeroDivisionError) as info:
        await bridge.await_value(fail(ZeroDivisionError("zero")))
    assert any(entry.name == "fail" for entry in info.traceback)


async def test_awaiting_a_non_awaitable_raises_type_error_at_the_await():
    with pytest.raises(TypeError, match="can't be used in 'await' expression"):
        await bridge.await_value(42)
    assert (await bridge.await_guarded(object(), lambda: None))[:2] == ("error", "TypeError")


async def test_nested_cpp_and_python_coroutines():
    async def python_layer(depth):
        if depth == 0:
            return await later("leaf", 0.001)
        return await bridge.nested(1, python_layer(depth - 1))

    result = await bridge.nested(3, python_layer(3))
    # Three C++ layers, then alternating Python/C++ layers down to the leaf.
    assert result[0] == 3 and result[1][1][1][0] == 1
    flat = repr(result)
    assert flat.count("leaf") == 1


async def test_gather_of_thousands_and_sequential_awaits():
    results = await asyncio.gather(*(bridge.await_value(later(i)) for i in range(3000)))
    assert results == list(range(3000))
    assert await bridge.await_each([later(1), later(None), later((2, 3))]) == [1, None, (2, 3)]


def test_asyncio_run_and_both_task_implementations():
    assert asyncio.run(bridge.await_value(later("ran"))) == "ran"

    async def with_pure_python_task():
        # The pure-Python Task steps coroutines through send(None), the C Task through am_send.
        task = asyncio.tasks._PyTask(bridge.nested(2, later((4, 5), 0.001)))
        return await task

    assert asyncio.run(with_pure_python_task()) == (2, (1, (4, 5)))


# --- the coroutine protocol --------------------------------------------------


def test_protocol_recognised_and_driven_by_hand():
    coro = bridge.await_value(later("x"))
    assert isinstance(coro, collections.abc.Coroutine)
    assert asyncio.iscoroutine(coro)
    assert coro.__await__() is coro and iter(coro) is coro
    with pytest.raises(TypeError, match="just-started"):
        coro.send(1)
    loop = asyncio.new_event_loop()
    try:
        # later() awaits sleep(0), which yields a bare None to the driver.
        assert coro.send(None) is None
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == "x"
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)
    finally:
        loop.close()


def test_tuple_result_through_next_is_not_unpacked():
    coro = bridge.identity((1, 2))
    with pytest.raises(StopIteration) as stop:
        next(coro)
    assert stop.value.value == (1, 2)


@pytest.mark.parametrize(
    "args",
    [(ValueError,), (ValueError, "text"), (ValueError, ValueError("text")), (ValueError("text"),)],
)
def test_throw_forms_reach_the_suspension_point(args):
    loop = asyncio.new_event_loop()
    try:
        fut = loop.create_future()
        coro = bridge.await_guarded(fut, lambda: None)
        assert coro.send(None) is fut
        with pytest.raises(StopIteration) as stop:
            coro.throw(*args)
        kind, name, _ = stop.value.value
        assert (kind, name) == ("error", "ValueError")
    finally:
        loop.close()


def test_throw_into_unstarted_coroutine_raises_without_running_it():
    calls = []
    inner = later(1)
    coro = bridge.await_guarded(inner, lambda: calls.append(1))
    with pytest.raises(KeyError):
        coro.throw(KeyError("early"))
    assert calls == []
    inner.close()


def test_close_delivers_generator_exit_at_the_suspension_point():
    loop = asyncio.new_event_loop()
    try:
        exits = []
        inner = wait_on(loop.create_future())
        coro = bridge.await_with_exit_hook(inner, lambda: exits.append("cpp"))
        coro.send(None)
        coro.close()
        assert exits == ["cpp"]
        assert inner.cr_frame is None  # the Python delegate was closed too
        coro.close()  # closing again is harmless
        with pytest.raises(RuntimeError):
            coro.send(None)
        # Unstarted coroutines close silently.
        bridge.await_value(loop.create_future()).close()
    finally:
        loop.close()


def test_dropping_a_suspended_coroutine_closes_it():
    loop = asyncio.new_event_loop()
    try:
        exits = []
        coro = bridge.await_with_exit_hook(wait_on(loop.create_future()), lambda: exits.append(1))
        coro.send(None)
        del coro
        gc.collect()
        assert exits == [1]
    finally:
        loop.close()


# --- cancellation -----------------------------------------------------------


async def test_cancellation_of_a_thousand_suspended_coroutines():
    loop = asyncio.get_running_loop()
    futures = [loop.create_future() for _ in range(1000)]
    seen = []
    tasks = [
        asyncio.create_task(bridge.nested(i % 3, bridge.await_guarded(f, lambda i=i: seen.append(i))))
        for i, f in enumerate(futures)
    ]
    await asyncio.sleep(0)
    for task in tasks:
        task.cancel()
    results = await asyncio.gather(*tasks, return_exceptions=True)
    assert all(isinstance(r, asyncio.CancelledError) for r in results)
    assert sorted(seen) == list(range(1000))
    assert all(f.cancelled() for f in futures)


async def test_cancelled_error_can_be_caught_in_cpp_and_timeout_works():
    with pytest.raises(asyncio.TimeoutError):
        await asyncio.wait_for(bridge.await_value(asyncio.sleep(10)), 0.01)
    # wait_for with a result in time
    assert await asyncio.wait_for(bridge.await_value(later(7, 0.001)), 5) == 7


# --- async for and a real WebSocket server -----------------------------------


async def test_async_for_over_an_async_generator():
    async def numbers(n):
        for i in range(n):
            await asyncio.sleep(0)
            yield i

    assert await bridge.collect_async(numbers(50)) == list(range(50))
    assert await bridge.collect_async(numbers(0)) == []

    async def broken():
        yield 1
        raise OSError("stream broke")

    with pytest.raises(OSError, match="stream broke"):
        await bridge.collect_async(broken())


async def test_websocket_client_in_cpp_against_a_real_server():
    received_by_server = []

    async def handler(ws):
        async for message in ws:
            received_by_server.append(message)
            await ws.send("echo:" + message)

    async with websockets.serve(handler, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
        uri = f"ws://127.0.0.1:{port}/ws/test"
        messages = ["a", "b" * 70000, "ü€"]
        replies = await asyncio.wait_for(bridge.websocket_exchange(uri, messages, len(messages)), 10)
    assert replies == ["echo:" + m for m in messages]
    assert received_by_server == messages


async def test_websocket_server_closing_ends_async_for():
    async def handler(ws):
        await ws.send("only")
        await ws.close()

    async with websockets.serve(handler, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
        # A normal close ends the iteration early instead of raising.
        replies = await asyncio.wait_for(bridge.websocket_exchange(f"ws://127.0.0.1:{port}/", [], 5), 10)
    assert replies == ["only"]


# --- leaks ------------------------------------------------------------------


async def test_no_leak_over_a_hundred_thousand_awaits():
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    done.set_result((1, 2))

    async def round_trips(n):
        for _ in range(n):
            await bridge.await_value(done)
            await bridge.identity(None)
        try:
            await bridge.await_guarded(fail(ValueError("x")), None)
        except Exception:
            pass

    await round_trips(10_000)
    gc.collect()
    objects_before = len(gc.get_objects())
    rss_before = rss_kib()
    await round_trips(100_000)
    gc.collect()
    assert len(gc.get_objects()) - objects_before < 1000
    assert rss_kib() - rss_before < 4096
    assert sys.getrefcount(done) < 10


# --- classes and late binding --------------------------------------------------


def test_class_builder_makes_real_python_classes():
    Greeter = bridge.make_greeter_class()
    g = Greeter("Ada")
    assert g.greet() == "Hello, Ada" and Greeter().name == "world"
    assert g.__dict__ == {"name": "Ada"} and g.length == 3
    assert Greeter.shout("hey") == "hey!" and Greeter.create().name == "class"
    assert Greeter.KIND == "greeter" and Greeter.__module__ == bridge.__name__

    class Polite(Greeter):
        def prefix(self):
            return "Good day, "

    assert Polite("Bob").greet() == "Good day, Bob"
    g.prefix = lambda: "Hi, "
    assert g.greet() == "Hi, Ada"
    assert asyncio.run(Polite("Cy").greet_later(0)) == "Good day, Cy"


def test_class_builder_with_python_bases():
    Stream = bridge.make_greeter_class([io.TextIOBase])
    s = Stream("s")
    assert isinstance(s, io.TextIOBase) and s.writable() is False
    Finder = bridge.make_greeter_class([importlib.abc.MetaPathFinder, importlib.abc.Loader])
    f = Finder("f")
    assert isinstance(f, importlib.abc.MetaPathFinder) and isinstance(f, importlib.abc.Loader)
    assert type(Finder).__name__ == "ABCMeta"
    assert f.greet() == "Hello, f" and f.__dict__ == {"name": "f"}


def test_module_globals_looked_up_from_a_reused_buffer_are_each_their_own(monkeypatch):
    # The binding passes each name from a buffer of its own that the next call reuses: the
    # names' cache must not answer one name for another, nor grow without bound.
    for i in range(5000):
        monkeypatch.setattr(bridge, f"g{i}", i, raising=False)
    assert [bridge.module_global(f"g{i}") for i in range(5000)] == list(range(5000))
    assert [bridge.module_global(name) for name in ("g1", "g2", "g1", "g22", "g2")] == [1, 2, 1, 22, 2]


def test_module_globals_and_logger_are_late_bound(monkeypatch):
    monkeypatch.setattr(bridge, "some_value", 41, raising=False)
    assert bridge.module_global("some_value") == 41
    monkeypatch.setattr(bridge, "some_value", 42, raising=False)
    assert bridge.module_global("some_value") == 42
    with pytest.raises(NameError, match="not_there"):
        bridge.module_global("not_there")

    records = []

    class Recorder:
        def info(self, text):
            records.append(("info", text))

        def error(self, text):
            raise RuntimeError("a broken logger must not break the caller")

    monkeypatch.setattr(bridge, "logger", Recorder(), raising=False)
    bridge.log("info", "hello")
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: unraisable.append(info.exc_value))
    bridge.log("error", "swallowed")  # reported as unraisable, not raised
    assert records == [("info", "hello")]
    assert [str(e) for e in unraisable] == ["a broken logger must not break the caller"]
    monkeypatch.setattr(bridge, "logger", logging.getLogger("x"), raising=False)


def test_text_of_survives_lone_surrogates_and_broken_str():
    class Broken:
        def __str__(self):
            raise ValueError("no text")

    assert bridge.text_of("a\ud800b") == "a\\ud800b"
    assert bridge.text_of(12) == "12"
    assert bridge.text_of(Broken()) == "<unprintable Broken object>"


def test_type_name_is_the_python_name_of_the_type():
    import collections

    assert bridge.type_name(collections.OrderedDict()) == "OrderedDict"
    assert bridge.type_name({}) == "dict" and bridge.type_name(None) == "NoneType"


def test_logf_formats_in_the_logger_and_hands_over_text(monkeypatch):
    records = []

    class Recorder:
        def debug(self, fmt, *args):
            records.append(fmt % args if args else fmt)  # as logging formats

    monkeypatch.setattr(bridge, "logger", Recorder(), raising=False)
    bridge.logf("debug", "n=%d", 7)
    bridge.logf("debug", "t=%s", "a\ud800")
    bridge.log("debug", "100% as it stands")
    assert records == ["n=7", "t=a\\ud800", "100% as it stands"]


def test_raise_error_in_reads_as_a_python_traceback():
    import traceback

    with pytest.raises(ValueError, match="^refused$") as caught:
        bridge.raise_error_in("check_thing", "refused")
    text = "".join(traceback.format_exception(caught.value))
    assert text.startswith("Traceback (most recent call last):")
    assert 'File "<kernel>", line 1, in check_thing' in text
    assert text.endswith("ValueError: refused\n")


async def test_attempt_turns_an_exception_into_a_value_but_not_a_cancellation():
    assert await bridge.attempt_value(later(5)) == ("ok", 5)
    status, failure = await bridge.attempt_value(fail(KeyError("k")))
    assert status == "failed" and isinstance(failure, KeyError) and failure.__traceback__ is not None
    with pytest.raises(asyncio.CancelledError):
        await bridge.attempt_value(fail(asyncio.CancelledError()))
    task = asyncio.ensure_future(bridge.attempt_value(asyncio.sleep(10)))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task

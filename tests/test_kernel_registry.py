"""The object keeper and message boxes, used by user code through the tarnlet module."""


import pytest

import tarnlet_master.python_server.kernel as kmod

import kernel_peer as ip

WORKBOOK = "wb-invoke"
WB = WORKBOOK

USER_CODE = """\
import threading
import tarnlet

def save(key, value):
    tarnlet.save_object(key, value)

def get(key):
    return tarnlet.get_object(key)

def clear(key):
    tarnlet.clear_object(key)

def clear_all():
    tarnlet.clear_all_objects()

def listing():
    return tarnlet.get_object_registry()

def refused(key):
    try:
        tarnlet.save_object(key, 1)
    except ValueError as e:
        return str(e)

def box(*args):
    tarnlet.show_message_box(*args)

def from_own_thread(key):
    t = threading.Thread(target=tarnlet.save_object, args=(key, "threaded"))
    t.start()
    t.join(5)

class Chatty:
    # Its repr reads the keeper, and so does its finaliser.
    def __repr__(self):
        seen = tarnlet.get_object("chatty")
        tarnlet.save_object("echo", seen is self)
        return "<Chatty>"

    def __del__(self):
        tarnlet.get_object("anything")

def save_chatty():
    tarnlet.save_object("chatty", Chatty())
    return len(tarnlet.get_object_registry())

def replace_chatty():
    tarnlet.save_object("chatty", 0)
    tarnlet.clear_object("chatty")
    tarnlet.save_object("chatty", Chatty())
    tarnlet.clear_all_objects()
    return "done"
"""


def updates(peer, start=0):
    return [m for m in peer.messages[start:] if m["type"] == "object_registry_update"]


async def result_of(peer, mod, function, *args):
    return ip.without_streams(await peer.call(mod, function, list(args)))[-1]["result"]


async def test_save_replace_list_and_clear(peer):
    mod = await peer.module(USER_CODE)
    await peer.call(mod, "save", ["a", [1, 2]])
    update = await peer.wait_type("object_registry_update", key="a")
    assert update == {"type": "object_registry_update", "action": "update", "key": "a", "object_type": "list",
                      "repr": "[1, 2]", "workbook_id": WB}
    assert list(update) == ["type", "action", "key", "object_type", "repr", "workbook_id"]

    mark = len(peer.messages)
    await peer.call(mod, "save", ["b", "text"])
    await peer.call(mod, "save", ["a", 3.5])
    await peer.probe()
    assert [(m["key"], m["repr"]) for m in updates(peer, mark)] == [("b", "'text'"), ("a", "3.5")]
    assert await result_of(peer, mod, "get", "a") == 3.5
    assert await result_of(peer, mod, "get", "nope") is None

    await peer.send({"type": "get_object_registry"})
    listing = await peer.wait_type("object_registry_response")
    assert listing == {"type": "object_registry_response", "workbook_id": WB, "objects": [
        {"key": "a", "type": "float", "repr": "3.5"}, {"key": "b", "type": "str", "repr": "'text'"}]}
    assert await result_of(peer, mod, "listing") == listing["objects"]

    mark = len(peer.messages)
    await peer.call(mod, "clear", ["a"])
    await peer.call(mod, "clear", ["never-saved"])
    await peer.call(mod, "clear_all")
    await peer.call(mod, "clear_all")
    await peer.probe()
    assert updates(peer, mark) == [
        {"type": "object_registry_update", "action": "delete", "key": "a", "workbook_id": WB},
        {"type": "object_registry_update", "action": "delete", "key": "never-saved", "workbook_id": WB},
        {"type": "object_registry_update", "action": "clear_all", "workbook_id": WB},
        {"type": "object_registry_update", "action": "clear_all", "workbook_id": WB},
    ]
    assert peer.kernel._object_keeper == {}


async def test_bad_keys_are_refused_and_nothing_is_sent(peer):
    mod = await peer.module(USER_CODE)
    mark = len(peer.messages)
    assert await result_of(peer, mod, "refused", "") == "ObjectKeeper key must be a non-empty string"
    assert await result_of(peer, mod, "refused", 5) == "ObjectKeeper key must be a non-empty string"
    assert await result_of(peer, mod, "get", [1]) is None
    await peer.probe()
    assert updates(peer, mark) == [] and peer.kernel._object_keeper == {}


async def test_message_box_and_calls_from_other_threads(peer):
    mod = await peer.module(USER_CODE)
    await peer.call(mod, "box", ["Done"])
    box = await peer.wait_type("show_message_box")
    assert box == {"type": "show_message_box", "message": "Done", "title": "Tarnlet", "msg_type": "Info",
                   "workbook_id": WB}
    await peer.call(mod, "box", ["Careful", "Check", "Warning"])
    assert (await peer.wait_type("show_message_box", message="Careful"))["msg_type"] == "Warning"

    await peer.call(mod, "from_own_thread", ["t"])
    assert (await peer.wait_type("object_registry_update", key="t"))["repr"] == "'threaded'"
    peer.kernel.save_object("loop", None)  # the listener's own thread
    assert (await peer.wait_type("object_registry_update", key="loop"))["object_type"] == "NoneType"


async def test_repr_and_finaliser_that_call_back_into_the_keeper(peer):
    mod = await peer.module(USER_CODE)
    # With the lock held around repr or a replaced value's release, these calls would hang.
    assert await result_of(peer, mod, "save_chatty") == 2
    assert (await peer.wait_type("object_registry_update", key="chatty"))["repr"] == "<Chatty>"
    assert (await peer.wait_type("object_registry_update", key="echo"))["repr"] == "True"
    await peer.send({"type": "get_object_registry"})
    listing = await peer.wait_type("object_registry_response")
    assert [entry["key"] for entry in listing["objects"]] == ["chatty", "echo"]
    assert await result_of(peer, mod, "replace_chatty") == "done"


def test_without_a_connection_nothing_raises():
    kernel = kmod.PythonKernel("wb-alone")
    try:
        kernel.save_object("k", {"x": 1})
        assert kernel.get_object("k") == {"x": 1}
        assert kernel.get_object_registry() == [{"key": "k", "type": "dict", "repr": "{'x': 1}"}]
        kernel.show_message_box("m")
        kernel.set_enable_events(True)
        kernel.clear_object("k")
        kernel.clear_all_objects()
        with pytest.raises(ValueError, match="^ObjectKeeper key must be a non-empty string$"):
            kernel.save_object("", 1)

        class Broken:
            def __repr__(self):
                raise RuntimeError("no repr")

        # The object is stored, then the failing repr propagates.
        with pytest.raises(RuntimeError):
            kernel.save_object("broken", Broken())
        assert isinstance(kernel.get_object("broken"), Broken)
        # The listing names the entry with a stand-in text instead of failing.
        [entry] = kernel.get_object_registry()
        assert entry["key"] == "broken" and "repr failed: no repr" in entry["repr"]
        assert not kernel._object_keeper_lock.locked()
    finally:
        kernel._thread_pool.shutdown(wait=False)
        ip.join_bridge_threads()

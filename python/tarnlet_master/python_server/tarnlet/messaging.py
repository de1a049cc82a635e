"""Link between user code and the kernel's connection to Excel.

Module attributes written by the kernel when it connects:

``loop``
    the kernel's asyncio event loop (None while no kernel is connected);
``loop_thread``
    the thread running that loop; blocking requests from it are refused,
    since only that thread can receive the answer;
``send_request_sync``
    the kernel's blocking request function,
    ``send_request_sync(req: dict, timeout: float = 30.0) -> dict``: it sends
    ``req`` (plus a fresh ``requestId`` and ``kind`` "request") as the payload
    of a "sys_request" and returns the payload of the matching
    "sys_response".  It raises TimeoutError when no answer comes in time and
    RuntimeError when called on the loop thread.  When the connection closes,
    every request still waiting for its answer fails with ConnectionError, and
    so does every later one.

:func:`reset` puts the three back to None when the kernel disconnects.

The module also keeps the registry of Python callables that were handed to
Excel (see the "callable" wire form in :mod:`tarnlet.serializer`); Excel calls
them back by id with a "python_function_call".
"""

from __future__ import annotations

import threading
import uuid
from typing import Any, Callable, Dict, Optional

loop = None
loop_thread: Optional[threading.Thread] = None
send_request_sync: Optional[Callable[..., dict]] = None

DEFAULT_REQUEST_TIMEOUT = 30.0

_registry_lock = threading.Lock()
_callables: Dict[str, Any] = {}
# id(obj) -> callable id, so handing the same function to Excel twice reuses
# its id.  Safe because the registry keeps obj alive, so id(obj) cannot be
# reused by another object while the entry exists.
_ids_by_object: Dict[int, str] = {}


class NotConnectedError(ConnectionError, RuntimeError):
    """Raised when user code needs Excel but no kernel is connected.

    A ConnectionError, as a request whose connection closed while it waited
    fails with one; still a RuntimeError for callers that catch that.
    """


def register_callable(obj: Any, callable_id: Optional[str] = None) -> str:
    """Register ``obj`` so Excel can call it; returns its id.

    Without ``callable_id`` an object that is already registered keeps its
    id, and a new one gets a random id.  An explicit ``callable_id`` replaces
    whatever was registered under it.
    """
    if not callable(obj):
        raise TypeError(f"Object of type {type(obj).__name__} is not callable")
    if callable_id is not None and (not isinstance(callable_id, str) or not callable_id):
        raise ValueError("callable_id must be a non-empty string")
    with _registry_lock:
        if callable_id is None:
            existing = _ids_by_object.get(id(obj))
            if existing is not None and _callables.get(existing) is obj:
                return existing
            callable_id = uuid.uuid4().hex
        old = _callables.get(callable_id)
        if old is not None and _ids_by_object.get(id(old)) == callable_id:
            del _ids_by_object[id(old)]
        _callables[callable_id] = obj
        _ids_by_object[id(obj)] = callable_id
    return callable_id


def unregister_callable(callable_id: str) -> bool:
    """Forget a registered callable; True when there was one."""
    with _registry_lock:
        obj = _callables.pop(callable_id, None)
        if obj is None:
            return False
        if _ids_by_object.get(id(obj)) == callable_id:
            del _ids_by_object[id(obj)]
        return True


def get_callable(callable_id: Any) -> Any:
    """The object registered under ``callable_id``, or None."""
    with _registry_lock:
        try:
            return _callables.get(callable_id)
        except TypeError:  # an unhashable id from a malformed message
            return None


def registered_callables() -> Dict[str, Any]:
    """A snapshot of the registry: id -> object."""
    with _registry_lock:
        return dict(_callables)


def clear_callables() -> None:
    """Empty the callable registry."""
    with _registry_lock:
        _callables.clear()
        _ids_by_object.clear()


def is_connected() -> bool:
    """True while a kernel has installed its request function."""
    return send_request_sync is not None


def request(req: dict, timeout: float = DEFAULT_REQUEST_TIMEOUT) -> dict:
    """Send ``req`` to Excel through the kernel and wait for the reply payload.

    The request function is looked up at call time, so a kernel that
    connects after this module was imported is used.
    """
    sender = send_request_sync
    if sender is None:
        raise NotConnectedError("Not connected to Excel: no kernel is attached")
    return sender(req, timeout=timeout)


def reset() -> None:
    """Forget the kernel's loop, loop thread and request function.

    Registered callables are kept: they belong to the user's code, not to
    one connection.
    """
    global loop, loop_thread, send_request_sync
    loop = None
    loop_thread = None
    send_request_sync = None

"""Link to the kernel and the registry of callables handed to Excel."""

import asyncio
import threading
from typing import Any, Callable, Dict, Optional

loop: Optional[asyncio.AbstractEventLoop]
"""The kernel's event loop while connected, else None."""

loop_thread: Optional[threading.Thread]
"""The thread running the kernel's event loop, else None."""

send_request_sync: Optional[Callable[..., dict]]
"""``send_request_sync(req, timeout=30.0) -> dict``: one blocking request to Excel."""

DEFAULT_REQUEST_TIMEOUT: float

class NotConnectedError(ConnectionError, RuntimeError):
    """Excel was needed but no kernel is connected."""

def register_callable(obj: Any, callable_id: Optional[str] = None) -> str:
    """Register ``obj`` so that Excel can call it; returns its id."""

def unregister_callable(callable_id: str) -> bool:
    """Forget a registered callable; True when there was one."""

def get_callable(callable_id: Any) -> Any:
    """The object registered under ``callable_id``, or None."""

def registered_callables() -> Dict[str, Any]:
    """A snapshot of the registry: id -> object."""

def clear_callables() -> None:
    """Empty the callable registry."""

def is_connected() -> bool:
    """True while a kernel can forward requests to Excel."""

def request(req: dict, timeout: float = ...) -> dict:
    """Send one request to Excel and return the reply payload."""

def reset() -> None:
    """Forget the kernel's loop and request function."""

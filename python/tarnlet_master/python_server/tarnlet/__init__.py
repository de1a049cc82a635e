"""The ``tarnlet`` module of workbook code.

Inside the kernel this package is importable as plain ``tarnlet``.  It gives
user code:

* ``excel`` - the workbook's sheets and ranges (:mod:`tarnlet.workbook`);
* ``context`` - where the code runs (workbook id, platform, connection);
* ``Serializer`` and ``ExcelError`` - the wire format of cell values;
* ``messaging`` - the link to the kernel and the callable registry;
* the object registry (``save_object``, ``get_object``, ``clear_object``,
  ``clear_all_objects``, ``get_object_registry``), ``show_message_box`` and
  ``set_enable_events``, which go to the kernel that runs the code.

The kernel writes ``connection_args`` and ``_kernel_instance`` when it
connects (``_kernel_instance`` is None again after it disconnects) and the
attributes of :mod:`tarnlet.messaging`.
"""

from __future__ import annotations

import sys
from typing import Any, List, Optional

from . import messaging, old_com, serializer, workbook
from .messaging import register_callable
from .serializer import EXCEL_ERROR_CODES, ExcelError, Serializer
from .workbook import Excel, ExcelRequestError, Range, Sheet, Sheets, Workbook

connection_args: dict = {}
_kernel_instance: Any = None


class KernelNotAttachedError(RuntimeError):
    """A kernel service was used while no kernel runs this code."""


def _kernel() -> Any:
    kernel = _kernel_instance
    if kernel is None:
        raise KernelNotAttachedError(
            "No Tarnlet kernel is attached: this function only works in code run by the kernel"
        )
    return kernel


def save_object(key: str, value: Any) -> None:
    """Keep ``value`` in the kernel under ``key`` (a non-empty string)."""
    _kernel().save_object(key, value)


def get_object(key: str) -> Optional[Any]:
    """The object saved under ``key``, or None."""
    return _kernel().get_object(key)


def clear_object(key: str) -> None:
    """Forget the object saved under ``key``."""
    _kernel().clear_object(key)


def clear_all_objects() -> None:
    """Forget every saved object."""
    _kernel().clear_all_objects()


def get_object_registry() -> List[dict]:
    """One ``{"key", "type", "repr"}`` entry per saved object."""
    return _kernel().get_object_registry()


def show_message_box(message: str, title: str = "Tarnlet", type: str = "Info") -> None:
    """Ask Excel to show a message box; ``type`` is "Info", "Warning" or "Error".

    Returns at once, without waiting for the user.
    """
    _kernel().show_message_box(message, title, type)


def set_enable_events(enable: bool) -> None:
    """Switch the add-in's handling of Excel events on or off."""
    _kernel().set_enable_events(enable)


def _get_win32() -> Any:
    """The running Excel application over COM, or None (not Windows, no pywin32,
    no Excel).  The kernel hands this function to its COM companions."""
    if sys.platform != "win32":
        return None
    app = old_com.get_excel_application()
    if app is not None:
        return app
    try:
        import win32com.client  # type: ignore[import-not-found]

        return win32com.client.GetActiveObject("Excel.Application")
    except Exception:
        return None


class Context:
    """Where the running code lives (``tarnlet.context``)."""

    @property
    def workbook_id(self) -> Optional[str]:
        kernel = _kernel_instance
        if kernel is not None:
            return getattr(kernel, "workbook_id", None)
        return old_com.host_workbook_id

    @property
    def connection_args(self) -> dict:
        return connection_args

    @property
    def platform(self) -> Optional[str]:
        """"win32", "web", ... as given by the Business Layer, or None."""
        args = connection_args
        return args.get("platform") if isinstance(args, dict) else None

    @property
    def kernel_attached(self) -> bool:
        return _kernel_instance is not None

    @property
    def connected(self) -> bool:
        """True when requests to Excel can be made."""
        return messaging.is_connected()

    @property
    def excel(self) -> Excel:
        return excel

    @property
    def workbook(self) -> Workbook:
        return excel.workbook

    def __repr__(self) -> str:
        return f"<Context workbook_id={self.workbook_id!r} platform={self.platform!r}>"


excel = Excel()
context = Context()


# The kernel registers this package as sys.modules["tarnlet"].  Without the
# entries below, "import tarnlet.messaging" in user code would load a second
# copy of the submodule, one the kernel never connects.
if __name__ != "tarnlet":
    for _name, _module in (("messaging", messaging), ("serializer", serializer),
                           ("workbook", workbook), ("old_com", old_com)):
        sys.modules.setdefault("tarnlet." + _name, _module)
    del _name, _module

__all__ = [
    "EXCEL_ERROR_CODES", "Context", "Excel", "ExcelError", "ExcelRequestError",
    "KernelNotAttachedError", "Range", "Serializer", "Sheet", "Sheets", "Workbook",
    "clear_all_objects", "clear_object", "connection_args", "context", "excel",
    "get_object", "get_object_registry", "messaging", "old_com", "register_callable",
    "save_object", "set_enable_events", "show_message_box",
]

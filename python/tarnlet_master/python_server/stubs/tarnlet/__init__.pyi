"""Tarnlet: Python for this Excel workbook.

``excel`` reaches the workbook's sheets and ranges, ``context`` tells where
the code runs, and the functions below keep objects alive in the kernel and
talk to the Excel add-in.
"""

from typing import Any, List, Optional

from . import messaging as messaging
from . import old_com as old_com
from .messaging import register_callable as register_callable
from .serializer import EXCEL_ERROR_CODES as EXCEL_ERROR_CODES
from .serializer import ExcelError as ExcelError
from .serializer import Serializer as Serializer
from .workbook import Excel as Excel
from .workbook import ExcelRequestError as ExcelRequestError
from .workbook import Range as Range
from .workbook import Sheet as Sheet
from .workbook import Sheets as Sheets
from .workbook import Workbook as Workbook

connection_args: dict
"""Start-up options of the kernel, e.g. {"platform": "win32"}."""

excel: Excel
"""The workbook's sheets and ranges: ``excel.range("Sheet1!A1:B2").values``."""

context: Context
"""Where the running code lives: workbook id, platform, connection state."""

class KernelNotAttachedError(RuntimeError):
    """A kernel service was used while no kernel runs this code."""

class Context:
    """Where the running code lives (``tarnlet.context``)."""
    @property
    def workbook_id(self) -> Optional[str]:
        """Id of the workbook this kernel serves."""
    @property
    def connection_args(self) -> dict:
        """Start-up options of the kernel."""
    @property
    def platform(self) -> Optional[str]:
        """"win32" for desktop Excel, "web" for Excel on the web, or None."""
    @property
    def kernel_attached(self) -> bool:
        """True when the code runs inside a kernel."""
    @property
    def connected(self) -> bool:
        """True when requests to Excel can be made."""
    @property
    def excel(self) -> Excel:
        """The same object as ``tarnlet.excel``."""
    @property
    def workbook(self) -> Workbook:
        """The workbook this kernel serves."""

def save_object(key: str, value: Any) -> None:
    """Keep ``value`` in the kernel under ``key`` (a non-empty string).

    The object stays alive between calls and shows up in the IDE's object list.
    """

def get_object(key: str) -> Optional[Any]:
    """The object saved under ``key``, or None."""

def clear_object(key: str) -> None:
    """Forget the object saved under ``key``."""

def clear_all_objects() -> None:
    """Forget every saved object."""

def get_object_registry() -> List[dict]:
    """One ``{"key", "type", "repr"}`` entry per saved object, oldest first."""

def show_message_box(message: str, title: str = "Tarnlet", type: str = "Info") -> None:
    """Show a message box in Excel; ``type`` is "Info", "Warning" or "Error".

    Returns at once, without waiting for the user.
    """

def set_enable_events(enable: bool) -> None:
    """Switch the add-in's handling of Excel events on or off."""

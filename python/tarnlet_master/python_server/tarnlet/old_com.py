"""Desktop Excel host set-up over COM (Windows only).

``init_excel_host(key, workbook_id)`` is called once when the kernel process
starts on desktop Windows.  It attaches to the running Excel application and
remembers which workbook this process serves (``key`` names the custom
property that tags the workbook, ``workbook_id`` its value).  Everywhere else,
or when pywin32 or Excel is missing, it only records the two values and
returns None: the kernel then works through the Business Layer alone.
"""

from __future__ import annotations

import sys
from typing import Any, Optional

from tarnlet_master.logging_config import get_logger

logger = get_logger(__name__)

host_key: Optional[str] = None
host_workbook_id: Optional[str] = None
excel_application: Any = None


def _attach_excel() -> Any:
    try:
        import win32com.client  # type: ignore[import-not-found]
    except ImportError:
        logger.info("[COM] pywin32 not available, no COM host")
        return None
    try:
        return win32com.client.GetActiveObject("Excel.Application")
    except Exception as exc:  # Excel not running, COM not initialised, ...
        logger.warning("[COM] Could not attach to Excel over COM: %s", exc)
        return None


def init_excel_host(key: str, workbook_id: str) -> Any:
    """Remember the host workbook and attach to Excel on Windows.

    Returns the COM application object, or None when there is none.
    """
    global host_key, host_workbook_id, excel_application
    host_key = key
    host_workbook_id = workbook_id
    excel_application = _attach_excel() if sys.platform == "win32" else None
    return excel_application


def get_excel_application() -> Any:
    """The COM application attached by :func:`init_excel_host`, or None."""
    return excel_application

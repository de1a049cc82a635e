"""Desktop Excel host over COM (Windows only)."""

from typing import Any, Optional

host_key: Optional[str]
host_workbook_id: Optional[str]

def init_excel_host(key: str, workbook_id: str) -> Any:
    """Attach to the running Excel on Windows; None elsewhere."""

def get_excel_application() -> Any:
    """The attached Excel application, or None."""

"""Wire format of cell values exchanged with Excel."""

from typing import Any, Tuple

EXCEL_ERROR_CODES: Tuple[str, ...]
"""The Excel error codes: "#N/A", "#DIV/0!", "#VALUE!", ..."""

class ExcelError:
    """An Excel error value; return one to show that error in the cell."""
    code: str
    def __init__(self, code: str) -> None:
        """``code`` is one of EXCEL_ERROR_CODES, e.g. "#N/A"."""

class Serializer:
    """Conversion between Python values and their JSON wire form."""
    @staticmethod
    def to_wire(value: Any) -> Any:
        """The JSON-encodable wire form of ``value``."""
    @staticmethod
    def from_wire(item: Any) -> Any:
        """The Python value of one wire item."""

"""The workbook's sheets and ranges; every access is a request to Excel."""

from typing import Any, Iterator, List, Optional, Tuple

class ExcelRequestError(RuntimeError):
    """Excel refused or failed a request."""

def column_index(letters: str) -> int:
    """1-based index of a column name: "A" -> 1, "AA" -> 27."""

def column_name(index: int) -> str:
    """Column name of a 1-based index: 1 -> "A"."""

class Range:
    """A rectangular block of cells."""
    address: str
    sheet: Optional[str]
    def __init__(self, address: str, sheet: Optional[str] = None) -> None:
        """``address`` like "A1:B2" or "Sheet1!A1"; no sheet means the active one."""
    @property
    def shape(self) -> Optional[Tuple[int, int]]:
        """(rows, columns), or None for whole rows or columns."""
    @property
    def values(self) -> List[list]:
        """The cell values as a list of rows; assign a list of rows to write."""
    @values.setter
    def values(self, values: Any) -> None: ...
    @property
    def value(self) -> Any:
        """The top-left cell's value; assigning fills the whole range."""
    @value.setter
    def value(self, value: Any) -> None: ...
    def clear(self) -> None:
        """Empty the cells."""
    def offset(self, rows: int = 0, columns: int = 0) -> Range:
        """The same-sized range moved by ``rows`` and ``columns``."""
    def resize(self, rows: int, columns: int) -> Range:
        """A range of ``rows`` x ``columns`` with the same top-left cell."""

class Sheet:
    """One worksheet."""
    name: str
    def __init__(self, name: str) -> None: ...
    def range(self, address: str) -> Range:
        """A range on this sheet."""
    def __getitem__(self, address: str) -> Range:
        """``sheet["A1:B2"]`` is ``sheet.range("A1:B2")``."""
    def cells(self, row: int, column: int) -> Range:
        """The cell at a 1-based row and column."""

class Sheets:
    """The workbook's worksheets."""
    def names(self) -> List[str]:
        """The sheet names, in workbook order."""
    def __iter__(self) -> Iterator[Sheet]: ...
    def __len__(self) -> int: ...
    def __contains__(self, name: object) -> bool: ...
    def __getitem__(self, key: Any) -> Sheet:
        """A sheet by name or by 0-based position."""

class Workbook:
    """The workbook this kernel serves."""
    sheets: Sheets
    @property
    def active_sheet(self) -> Sheet:
        """The sheet shown in Excel."""
    @property
    def selection(self) -> Range:
        """The selected range."""
    def sheet(self, name: str) -> Sheet:
        """A sheet by name."""
    def range(self, address: str) -> Range:
        """A range by address; "Sheet1!A1" names the sheet."""

class Excel:
    """Entry point into Excel (``tarnlet.excel``)."""
    workbook: Workbook
    @property
    def sheets(self) -> Sheets:
        """The workbook's worksheets."""
    @property
    def active_sheet(self) -> Sheet:
        """The sheet shown in Excel."""
    @property
    def selection(self) -> Range:
        """The selected range."""
    def range(self, address: str) -> Range:
        """A range by address, e.g. ``excel.range("Sheet1!A1:B2")``."""

"""Small object model of the workbook seen from user code.

``tarnlet.excel`` is an :class:`Excel` object; from it user code reaches the
workbook, its sheets and ranges::

    excel.range("Sheet1!A1:B2").values        # [[1, 2], [3, 4]]
    excel.sheets["Data"]["C3"].value = 42
    excel.active_sheet.range("A1").values = [[1, 2], [3, 4]]   # writes A1:B2

Nothing is cached: every read and write is one synchronous request to Excel
through ``messaging.send_request_sync``, looked up when the request is made
(the kernel installs it when it connects).  Cell values travel in the wire
format of :mod:`tarnlet.serializer`.

Requests (the ``payload`` of a "sys_request"; the kernel adds ``requestId``
and ``kind``) and the reply payloads they expect:

=========================================================  =========================================
request                                                    reply
=========================================================  =========================================
``{"action": "get_range", "sheet": S, "address": A}``      ``{"status": "ok", "values": [[cell, ...], ...]}``
``{"action": "set_range", "sheet": S, "address": A,        ``{"status": "ok"}``
"values": [[cell, ...], ...]}``
``{"action": "clear_range", "sheet": S, "address": A}``    ``{"status": "ok"}``
``{"action": "list_sheets"}``                              ``{"status": "ok", "sheets": [name, ...]}``
``{"action": "get_active_sheet"}``                         ``{"status": "ok", "sheet": name}``
``{"action": "get_selection"}``                            ``{"status": "ok", "sheet": name, "address": A}``
=========================================================  =========================================

``S`` is a sheet name, or None for the active sheet.  ``A`` is an A1-style
address without sheet and without ``$`` ("B2", "A1:C3", "A:A", "2:2").
``values`` is always a list of rows, also for a single cell.  A failure is
answered with ``{"status": "error", "error": text}`` and raised to user code
as :class:`ExcelRequestError`.
"""

from __future__ import annotations

import re
from typing import Any, Iterator, List, Optional, Tuple

from . import messaging
from .serializer import Serializer

MAX_ROWS = 1048576
MAX_COLUMNS = 16384

_CELL_RE = re.compile(r"^([A-Z]{1,3})([0-9]+)$")
_COLS_RE = re.compile(r"^([A-Z]{1,3}):([A-Z]{1,3})$")
_ROWS_RE = re.compile(r"^([0-9]+):([0-9]+)$")


class ExcelRequestError(RuntimeError):
    """Excel refused or failed a request."""


# ---------------------------------------------------------------- addresses

def column_index(letters: str) -> int:
    """1-based index of a column name: "A" -> 1, "AA" -> 27."""
    if not letters or not letters.isalpha():
        raise ValueError(f"Invalid column name: {letters!r}")
    index = 0
    for ch in letters.upper():
        index = index * 26 + (ord(ch) - ord("A") + 1)
    if index > MAX_COLUMNS:
        raise ValueError(f"Column out of range: {letters!r}")
    return index


def column_name(index: int) -> str:
    """Column name of a 1-based index: 1 -> "A", 28 -> "AB"."""
    if not isinstance(index, int) or not 1 <= index <= MAX_COLUMNS:
        raise ValueError(f"Column index out of range: {index!r}")
    letters = ""
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


def _cell(text: str) -> Tuple[int, int]:
    match = _CELL_RE.match(text)
    if not match:
        raise ValueError(f"Invalid cell address: {text!r}")
    row = int(match.group(2))
    if not 1 <= row <= MAX_ROWS:
        raise ValueError(f"Row out of range: {text!r}")
    return row, column_index(match.group(1))


def split_address(address: str) -> Tuple[Optional[str], str]:
    """Split "Sheet1!A1:B2" or "'My sheet'!A1" into (sheet or None, address)."""
    if not isinstance(address, str):
        raise TypeError("address must be a string")
    if "!" in address:
        sheet, _, rest = address.rpartition("!")
        if len(sheet) >= 2 and sheet[0] == sheet[-1] == "'":
            sheet = sheet[1:-1].replace("''", "'")
        if not sheet:
            raise ValueError(f"Invalid address: {address!r}")
        return sheet, normalize_address(rest)
    return None, normalize_address(address)


def normalize_address(address: str) -> str:
    """Upper-case the address, drop ``$`` and check that it is A1-style."""
    text = address.replace("$", "").strip().upper()
    if _COLS_RE.match(text) or _ROWS_RE.match(text):
        return text
    parts = text.split(":")
    if len(parts) not in (1, 2):
        raise ValueError(f"Invalid range address: {address!r}")
    cells = [_cell(p) for p in parts]
    if len(cells) == 2:
        (r1, c1), (r2, c2) = cells
        top, bottom = sorted((r1, r2))
        left, right = sorted((c1, c2))
        return _format(top, left, bottom, right)
    return text


def _format(top: int, left: int, bottom: int, right: int) -> str:
    if not (1 <= top <= bottom <= MAX_ROWS):
        raise ValueError(f"Rows out of range: {top}..{bottom}")
    first = f"{column_name(left)}{top}"
    if (top, left) == (bottom, right):
        return first
    return f"{first}:{column_name(right)}{bottom}"


def bounds(address: str) -> Optional[Tuple[int, int, int, int]]:
    """(top, left, bottom, right) of a cell-based address, else None."""
    parts = address.split(":")
    try:
        cells = [_cell(p) for p in parts]
    except ValueError:
        return None
    (top, left), (bottom, right) = cells[0], cells[-1]
    return top, left, bottom, right


def _as_rows(values: Any) -> List[list]:
    """Scalars become [[v]], a flat sequence one row, rows stay rows."""
    if isinstance(values, (list, tuple)):
        if not values:
            return []
        if all(isinstance(row, (list, tuple)) for row in values):
            return [list(row) for row in values]
        if any(isinstance(row, (list, tuple)) for row in values):
            raise ValueError("Mix of rows and cells in range values")
        return [list(values)]
    return [[values]]


# ------------------------------------------------------------------ requests

def _call(req: dict) -> dict:
    reply = messaging.request(req)
    if not isinstance(reply, dict):
        raise ExcelRequestError(f"Invalid reply to {req.get('action')}: {reply!r}")
    status = reply.get("status", "ok")
    if status != "ok" or reply.get("error"):
        raise ExcelRequestError(str(reply.get("error") or f"{req.get('action')} failed"))
    return reply


class Range:
    """A rectangular block of cells on one sheet (None: the active sheet)."""

    def __init__(self, address: str, sheet: Optional[str] = None):
        parsed_sheet, self.address = split_address(address)
        self.sheet = parsed_sheet if parsed_sheet is not None else sheet

    def __repr__(self) -> str:
        where = f"{self.sheet}!" if self.sheet else ""
        return f"<Range {where}{self.address}>"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Range) and (other.sheet, other.address) == (self.sheet, self.address)

    def __hash__(self) -> int:
        return hash((self.sheet, self.address))

    @property
    def shape(self) -> Optional[Tuple[int, int]]:
        """(rows, columns), or None for whole rows or columns."""
        b = bounds(self.address)
        if b is None:
            return None
        top, left, bottom, right = b
        return bottom - top + 1, right - left + 1

    @property
    def values(self) -> List[list]:
        """The cell values as a list of rows."""
        reply = _call({"action": "get_range", "sheet": self.sheet, "address": self.address})
        return _as_rows(Serializer.from_wire(reply.get("values", [])))

    @values.setter
    def values(self, values: Any) -> None:
        rows = _as_rows(values)
        if not rows:
            raise ValueError("No values to write")
        width = len(rows[0])
        if width == 0 or any(len(row) != width for row in rows):
            raise ValueError("Range rows must all have the same, non-zero length")
        address = self.address
        shape = self.shape
        if shape == (1, 1):
            # A single cell is an anchor: the block spreads down and right.
            top, left, _, _ = bounds(address)
            address = _format(top, left, top + len(rows) - 1, left + width - 1)
        elif shape is not None and shape != (len(rows), width):
            raise ValueError(
                f"Values of shape {len(rows)}x{width} do not fit range {self.address} "
                f"of shape {shape[0]}x{shape[1]}"
            )
        _call({"action": "set_range", "sheet": self.sheet, "address": address,
               "values": Serializer.to_wire(rows)})

    @property
    def value(self) -> Any:
        """The value of the top-left cell."""
        rows = self.values
        return rows[0][0] if rows and rows[0] else None

    @value.setter
    def value(self, value: Any) -> None:
        shape = self.shape
        if shape is None:
            raise ValueError("Cannot fill whole rows or columns with one value")
        rows, cols = shape
        self.values = [[value] * cols for _ in range(rows)]

    def clear(self) -> None:
        """Empty the cells."""
        _call({"action": "clear_range", "sheet": self.sheet, "address": self.address})

    def offset(self, rows: int = 0, columns: int = 0) -> "Range":
        """The same-sized range moved by ``rows`` and ``columns``."""
        top, left, bottom, right = self._bounds()
        return Range(_format(top + rows, left + columns, bottom + rows, right + columns), self.sheet)

    def resize(self, rows: int, columns: int) -> "Range":
        """A range of ``rows`` x ``columns`` with the same top-left cell."""
        if rows < 1 or columns < 1:
            raise ValueError("A range has at least one row and one column")
        top, left, _, _ = self._bounds()
        return Range(_format(top, left, top + rows - 1, left + columns - 1), self.sheet)

    def _bounds(self) -> Tuple[int, int, int, int]:
        b = bounds(self.address)
        if b is None:
            raise ValueError(f"Range {self.address} is not made of cells")
        return b


class Sheet:
    """One worksheet, by name."""

    def __init__(self, name: str):
        self.name = name

    def __repr__(self) -> str:
        return f"<Sheet {self.name!r}>"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Sheet) and other.name == self.name

    def __hash__(self) -> int:
        return hash(("Sheet", self.name))

    def range(self, address: str) -> Range:
        sheet, addr = split_address(address)
        if sheet is not None and sheet != self.name:
            raise ValueError(f"Address {address!r} is not on sheet {self.name!r}")
        return Range(addr, self.name)

    __getitem__ = range

    def cells(self, row: int, column: int) -> Range:
        """The cell at a 1-based row and column."""
        return Range(f"{column_name(column)}{row}", self.name)


class Sheets:
    """The worksheets of the workbook, read from Excel on each use."""

    def names(self) -> List[str]:
        return list(_call({"action": "list_sheets"}).get("sheets", []))

    def __iter__(self) -> Iterator[Sheet]:
        return iter([Sheet(n) for n in self.names()])

    def __len__(self) -> int:
        return len(self.names())

    def __contains__(self, name: object) -> bool:
        if isinstance(name, Sheet):
            name = name.name
        return name in self.names()

    def __getitem__(self, key: Any) -> Sheet:
        names = self.names()
        if isinstance(key, int):
            return Sheet(names[key])
        if key not in names:
            raise KeyError(key)
        return Sheet(key)


class Workbook:
    """The workbook this kernel serves."""

    def __init__(self):
        self.sheets = Sheets()

    def __repr__(self) -> str:
        return "<Workbook>"

    @property
    def active_sheet(self) -> Sheet:
        return Sheet(_call({"action": "get_active_sheet"})["sheet"])

    @property
    def selection(self) -> Range:
        reply = _call({"action": "get_selection"})
        return Range(reply["address"], reply.get("sheet"))

    def sheet(self, name: str) -> Sheet:
        return self.sheets[name]

    def range(self, address: str) -> Range:
        """A range by address; "Sheet1!A1" names the sheet, "A1" means the active one."""
        return Range(address)


class Excel:
    """Entry point of user code into Excel (``tarnlet.excel``)."""

    def __init__(self):
        self.workbook = Workbook()

    def __repr__(self) -> str:
        return f"<Excel connected={messaging.is_connected()}>"

    @property
    def sheets(self) -> Sheets:
        return self.workbook.sheets

    @property
    def active_sheet(self) -> Sheet:
        return self.workbook.active_sheet

    @property
    def selection(self) -> Range:
        return self.workbook.selection

    def range(self, address: str) -> Range:
        return self.workbook.range(address)

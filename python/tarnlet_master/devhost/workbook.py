"""An in-memory workbook that answers the kernel's "sys_request" payloads.

User code reads and writes ranges through ``tarnlet.excel``; the companion
turns each access into one request payload ("action" get_range, set_range,
clear_range, list_sheets, get_active_sheet, get_selection).  This workbook
answers them the way Excel would, holding cell values in their wire form.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Tuple

from tarnlet_master.python_server.tarnlet.workbook import (
    MAX_COLUMNS,
    MAX_ROWS,
    bounds,
    column_index,
    normalize_address,
)

Cell = Tuple[int, int]


class WorkbookError(Exception):
    """A request the workbook refuses; its text goes back as the reply's "error"."""


class InMemoryWorkbook:
    """Sheets of cells (row, column -> wire value), an active sheet and a selection."""

    def __init__(self, sheets: Iterable[str] = ("Sheet1",)):
        self.sheets: Dict[str, Dict[Cell, Any]] = {name: {} for name in sheets}
        if not self.sheets:
            raise ValueError("A workbook has at least one sheet")
        self.active_sheet = next(iter(self.sheets))
        self.selection = (self.active_sheet, "A1")
        self.requests: List[dict] = []

    # ------------------------------------------------------------ host side

    def add_sheet(self, name: str) -> None:
        self.sheets.setdefault(name, {})

    def set_values(self, sheet: str, address: str, rows: List[list]) -> None:
        """Write rows of wire values with the top-left cell of ``address`` as anchor."""
        self.add_sheet(sheet)
        top, left, _, _ = self._block(sheet, normalize_address(address))
        cells = self.sheets[sheet]
        for r, row in enumerate(rows):
            for c, value in enumerate(row):
                self._put(cells, (top + r, left + c), value)

    def get_values(self, sheet: str, address: str) -> List[list]:
        top, left, bottom, right = self._block(sheet, normalize_address(address))
        cells = self.sheets[sheet]
        return [[cells.get((r, c)) for c in range(left, right + 1)] for r in range(top, bottom + 1)]

    # -------------------------------------------------------- request side

    def handle(self, payload: dict) -> dict:
        """The reply payload (without requestId) for one request payload."""
        self.requests.append(payload)
        action = payload.get("action")
        handler = getattr(self, f"_do_{action}", None) if isinstance(action, str) else None
        if handler is None:
            return {"status": "error", "error": f"Unknown action: {action!r}"}
        try:
            return handler(payload)
        except WorkbookError as error:
            return {"status": "error", "error": str(error)}
        except (TypeError, ValueError) as error:
            return {"status": "error", "error": f"Invalid {action} request: {error}"}

    def _do_get_range(self, payload: dict) -> dict:
        sheet = self._sheet(payload.get("sheet"))
        return {"status": "ok", "values": self.get_values(sheet, self._address(payload))}

    def _do_set_range(self, payload: dict) -> dict:
        sheet = self._sheet(payload.get("sheet"))
        address = self._address(payload)
        rows = payload.get("values")
        if not isinstance(rows, list) or not rows or not all(isinstance(row, list) for row in rows):
            raise WorkbookError("set_range needs values as a non-empty list of rows")
        top, left, bottom, right = self._block(sheet, address)
        if (bottom - top + 1, right - left + 1) != (len(rows), max(len(row) for row in rows)):
            raise WorkbookError(f"Values do not fit range {address}")
        self.set_values(sheet, address, rows)
        return {"status": "ok"}

    def _do_clear_range(self, payload: dict) -> dict:
        sheet = self._sheet(payload.get("sheet"))
        top, left, bottom, right = self._block(sheet, self._address(payload))
        cells = self.sheets[sheet]
        for cell in [cell for cell in cells if top <= cell[0] <= bottom and left <= cell[1] <= right]:
            del cells[cell]
        return {"status": "ok"}

    def _do_list_sheets(self, payload: dict) -> dict:
        return {"status": "ok", "sheets": list(self.sheets)}

    def _do_get_active_sheet(self, payload: dict) -> dict:
        return {"status": "ok", "sheet": self.active_sheet}

    def _do_get_selection(self, payload: dict) -> dict:
        sheet, address = self.selection
        return {"status": "ok", "sheet": sheet, "address": address}

    # ------------------------------------------------------------- helpers

    def _sheet(self, name: Optional[str]) -> str:
        if name is None:
            return self.active_sheet
        if name not in self.sheets:
            raise WorkbookError(f"No sheet named {name!r}")
        return name

    @staticmethod
    def _address(payload: dict) -> str:
        address = payload.get("address")
        if not isinstance(address, str):
            raise WorkbookError("The request has no address")
        return normalize_address(address)

    def _block(self, sheet: str, address: str) -> Tuple[int, int, int, int]:
        """(top, left, bottom, right) of an address; whole rows/columns end at the used cells."""
        cell_bounds = bounds(address)
        if cell_bounds is not None:
            return cell_bounds
        first, _, last = address.partition(":")
        cells = self.sheets.get(sheet, {})
        if first.isdigit():
            top, bottom = sorted((int(first), int(last)))
            used = [c for (r, c) in cells if top <= r <= bottom]
            return top, 1, bottom, max(used, default=1)
        left, right = sorted((column_index(first), column_index(last)))
        used = [r for (r, c) in cells if left <= c <= right]
        return 1, left, max(used, default=1), right

    @staticmethod
    def _put(cells: Dict[Cell, Any], cell: Cell, value: Any) -> None:
        if not (1 <= cell[0] <= MAX_ROWS and 1 <= cell[1] <= MAX_COLUMNS):
            raise WorkbookError(f"Cell out of range: {cell}")
        if value is None:
            cells.pop(cell, None)
        else:
            cells[cell] = value

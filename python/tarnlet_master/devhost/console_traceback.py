"""Tracebacks of code typed at the console, with the lines that were typed.

The kernel runs typed code with ``exec`` on its text, so its frames are
named "<string>" (statements) or "<kernel>" (a trailing expression), and no
source line appears under them.  The console remembers every piece of code
it sent, numbered like Jupyter's cells (In[1], In[2], ...), and rewrites
those frames as "Cell In[n], line m" followed by the line.  A frame of a
function defined in an earlier cell is found by the function's name and
line.  The frames of importlib's frozen bootstrap are dropped, as plain
Python drops them from the tracebacks of failed imports.
"""

from __future__ import annotations

import ast
import re
from typing import Dict, List, NamedTuple, Optional, Tuple

FRAME = re.compile(r'^(?P<indent>\s*)File "(?P<file><string>|<kernel>)", line (?P<line>\d+)(?:, in (?P<name>.+))?$')
FROZEN_FRAME = re.compile(r'^\s*File "<frozen importlib\._bootstrap(?:_external)?>", line \d+')
SOURCE_INDENT = "    "

_SCOPE_NAMES = {ast.Lambda: "<lambda>", ast.ListComp: "<listcomp>", ast.SetComp: "<setcomp>",
                ast.DictComp: "<dictcomp>", ast.GeneratorExp: "<genexpr>"}


class Piece(NamedTuple):
    """A part of a cell as the kernel compiled it: under ``file``, its line 1 being the cell's line ``first``."""

    file: str
    first: int
    text: str


def _is_expression(text: str) -> bool:
    try:
        compile(text, "<kernel>", "eval")
    except (SyntaxError, ValueError, OverflowError):
        return False
    return True


def kernel_pieces(code: str) -> List[Piece]:
    """How the kernel splits typed code: one expression, or statements, or statements "; " a tail."""
    if _is_expression(code):
        return [Piece("<kernel>", 1, code)]
    head, separator, tail = code.partition("; ")
    if not separator or not tail:
        return [Piece("<string>", 1, code)]
    tail_first = head.count("\n") + 1
    tail_file = "<kernel>" if _is_expression(tail) else "<string>"
    return [Piece("<string>", 1, head), Piece(tail_file, tail_first, tail)]


def _scopes(text: str) -> List[Tuple[str, int, int]]:
    """(frame name, first line, last line) of each function, class, lambda and comprehension."""
    try:
        tree = ast.parse(text)
    except (SyntaxError, ValueError, OverflowError, RecursionError):
        return []
    found = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            name = node.name
        else:
            name = _SCOPE_NAMES.get(type(node))
            if name is None:
                continue
        found.append((name, node.lineno, getattr(node, "end_lineno", None) or node.lineno))
    return found


class Cells:
    """The code sent so far, by cell number."""

    def __init__(self) -> None:
        self.count = 0
        self.sources: Dict[int, str] = {}
        self._pieces: Dict[int, List[Piece]] = {}
        self._scopes: Dict[Tuple[int, int], List[Tuple[str, int, int]]] = {}

    def add(self, code: str) -> int:
        """Remember the code of a new cell; returns its number."""
        self.count += 1
        number = self.count
        self.sources[number] = code
        pieces = kernel_pieces(code)
        self._pieces[number] = pieces
        for index, piece in enumerate(pieces):
            self._scopes[(number, index)] = _scopes(piece.text)
        return number

    def forget(self) -> None:
        """A fresh kernel: no earlier cell's functions exist any more (numbering goes on)."""
        self.sources.clear()
        self._pieces.clear()
        self._scopes.clear()

    def line(self, number: int, line: int) -> str:
        lines = self.sources.get(number, "").splitlines()
        return lines[line - 1] if 0 < line <= len(lines) else ""

    def locate(self, file: str, line: int, name: Optional[str], current: Optional[int]) -> Optional[Tuple[int, int]]:
        """(cell, line in the cell) of a frame, or None when no cell can be told for sure."""
        if name is None or name == "<module>":
            return self._locate_top_level(file, line, current)
        order = sorted(self._pieces, reverse=True)
        if current in self._pieces:
            order.remove(current)
            order.insert(0, current)
        for number in order:
            for index, piece in enumerate(self._pieces[number]):
                if piece.file != file:
                    continue
                for scope, first, last in self._scopes[(number, index)]:
                    if scope == name and first <= line <= last:
                        return number, piece.first + line - 1
        return None

    def _locate_top_level(self, file: str, line: int, current: Optional[int]) -> Optional[Tuple[int, int]]:
        pieces = [p for p in self._pieces.get(current, []) if p.file == file]
        if not pieces:
            return None
        if len(pieces) > 1:
            # Head and tail both run as statements: a line past the head's end is the tail's.
            head_lines = pieces[0].text.count("\n") + 1
            piece = pieces[0] if line <= head_lines else pieces[1]
        else:
            piece = pieces[0]
        return current, piece.first + line - 1


def rewrite_traceback(text: str, cells: Cells, current: Optional[int]) -> str:
    """``text`` with typed code's frames shown as cells with their lines, frozen import frames dropped."""
    lines = text.split("\n")
    out: List[str] = []
    index = 0
    while index < len(lines):
        line = lines[index]
        index += 1
        if FROZEN_FRAME.match(line):
            while index < len(lines) and _is_frame_detail(lines[index]):
                index += 1
            continue
        match = FRAME.match(line)
        where = None
        if match:
            where = cells.locate(match["file"], int(match["line"]), match["name"], current)
        if where is None:
            out.append(line)
            continue
        number, cell_line = where
        suffix = f", in {match['name']}" if match["name"] else ""
        out.append(f"{match['indent']}Cell In[{number}], line {cell_line}{suffix}")
        has_source = index < len(lines) and _is_frame_detail(lines[index])
        source = cells.line(number, cell_line).strip()
        if match["name"] and source and not has_source:
            out.append(f"{match['indent']}  {source}")
    return "\n".join(out)


def _is_frame_detail(line: str) -> bool:
    """A source or caret line under a frame (deeper indented, not the next frame)."""
    return line.startswith(SOURCE_INDENT) and not line.lstrip().startswith("File ")

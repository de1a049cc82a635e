"""The demo workbook: its modules, its cells, and positions in the modules.

The demo and the end-to-end tests both use it, so they show and check the
same session.
"""

from __future__ import annotations

from typing import Tuple

from .workbook import InMemoryWorkbook

WORKBOOK_ID = "demo-workbook"

PRICES = '''\
"""Worksheet functions of the demo workbook."""
import tarnlet


def total(address):
    """Sum of the numbers in a range of the workbook, e.g. =TOTAL("Prices!B2:B4")."""
    rows = tarnlet.excel.range(address).values
    return sum(value for row in rows for value in row if isinstance(value, (int, float)))


def label(name, price):
    print(f"labelling {name}")
    return f"{name}: {price:.2f}"


def countdown(start):
    """A streaming function: one value per yield."""
    for value in range(start, 0, -1):
        yield value


def on_change(target):
    """Event handler for a changed cell; writes a note beside it."""
    print("changed:", target["value"])
    tarnlet.excel.range("Prices!D1").value = "changed " + target["value"]
    return "noted"


def discount(rate):
    """Hands Excel a callable that it can call back later."""
    def apply(price):
        return round(price * (1 - rate), 2)
    return apply
'''

# Kept in the workbook's module store only: the kernel asks for it when a
# streaming call needs it ("request_module_sync").
TICKER = '''\
def ticks(n):
    for i in range(n):
        yield {"tick": i}
'''

DEBUG_TARGET = '''\
def scaled(values, factor):
    result = []
    for value in values:
        result.append(value * factor)
    return result
'''

BROKEN = '''\
import os


def report(items):
    return len(itemz)
'''

MODULES = {"prices": PRICES, "debug_target": DEBUG_TARGET, "broken": BROKEN}
STORE_ONLY = {"ticker": TICKER}

PRICE_ROWS = [["Item", "Price"], ["tea", 3.5], ["cake", 4.25], ["jam", 2.0]]
PRICE_TOTAL = 9.75

# An edit in progress in the editor, for the language requests.
EDITED_MODULE = "prices"
EDITED_TEXT = PRICES + '''

def summary():
    tarnlet.excel.ra
    total(
'''


def make_workbook() -> InMemoryWorkbook:
    workbook = InMemoryWorkbook(sheets=("Prices", "Notes"))
    workbook.set_values("Prices", "A1", PRICE_ROWS)
    return workbook


def position(text: str, needle: str, offset: int = 0) -> Tuple[int, int]:
    """(1-based line, 0-based column) just after ``needle`` (plus ``offset``) in ``text``."""
    index = text.index(needle) + len(needle) + offset
    before = text[:index]
    return before.count("\n") + 1, index - (before.rfind("\n") + 1)


def line_of(text: str, needle: str) -> int:
    return text[: text.index(needle)].count("\n") + 1

"""Wire format of cell values.

Arguments and results of workbook functions travel between Excel and the
kernel inside JSON messages.  :class:`Serializer` converts one Python value to
its *wire form* (a JSON-encodable value) and back.

Wire format
-----------

Plain JSON values stand for themselves; everything JSON cannot carry is a
*tagged object*, a JSON object whose key ``"__type__"`` names the kind:

==========================  ===================================================
Python value                wire form
==========================  ===================================================
``None``                    ``null``
``bool``                    ``true`` / ``false``
``int``                     JSON number (any size)
finite ``float``            JSON number
NaN, +inf, -inf             ``{"__type__": "float", "value": "nan"}``,
                            ``"inf"`` or ``"-inf"`` (JSON has no such numbers)
``str``                     JSON string
``datetime.datetime``       ``{"__type__": "datetime", "value": ISO 8601}``;
                            an aware datetime keeps its UTC offset
``datetime.date``           ``{"__type__": "date", "value": "YYYY-MM-DD"}``
``datetime.time``           ``{"__type__": "time", "value": "HH:MM:SS[.ffffff]"}``
:class:`ExcelError`         ``{"__type__": "error", "value": "#N/A"}`` (any of
                            :data:`EXCEL_ERROR_CODES`)
list, tuple, set, range     JSON array of wire values; a 2-D range is an array
                            of rows, each row an array of cells
dict with str keys          JSON object of wire values, unless a key is
                            ``"__type__"`` or not a string; then
                            ``{"__type__": "dict", "items": [[k, v], ...]}``
``bytes``                   ``{"__type__": "bytes", "value": base64 text}``
``decimal.Decimal``         number, as a float
a callable                  ``{"__type__": "callable", "id": ID, "name": NAME}``;
                            the callable is registered in
                            :mod:`tarnlet.messaging` under ``ID`` so Excel can
                            call it back ("python_function_call")
array-likes (``tolist()``)  the wire form of ``value.tolist()`` (numpy arrays
                            and scalars)
anything else               ``{"__type__": "object", "type": class name,
                            "repr": repr(value)}``
==========================  ===================================================

Decoding (:meth:`Serializer.from_wire`) reverses the table.  Tuples and sets
come back as lists, a Decimal as a float, an ``"object"`` as its ``repr`` text
(the object itself never left the kernel), and a ``"callable"`` as the
registered object; an unknown callable id raises ``LookupError``.  A JSON
object without ``"__type__"`` decodes to a dict of decoded values, so an
event argument item ``{"name": n, "value": v}`` reaches a handler as
``{"name": n, "value": <decoded v>}``.  A tagged object with an unknown tag is
refused with ``ValueError``.
"""

from __future__ import annotations

import base64
import datetime as _dt
import decimal
import math
from typing import Any

from . import messaging

TYPE_KEY = "__type__"

EXCEL_ERROR_CODES = (
    "#NULL!",
    "#DIV/0!",
    "#VALUE!",
    "#REF!",
    "#NAME?",
    "#NUM!",
    "#N/A",
    "#GETTING_DATA",
    "#SPILL!",
    "#CALC!",
    "#FIELD!",
    "#BLOCKED!",
    "#CONNECT!",
    "#BUSY!",
    "#UNKNOWN!",
)

# Deeply nested data would otherwise end in a RecursionError far from the
# cause; Excel values are at most a 2-D range of cells anyway.
MAX_DEPTH = 100


class ExcelError:
    """An Excel error value such as ``#N/A`` or ``#DIV/0!``.

    Returning one from a workbook function shows that error in the cell.
    """

    __slots__ = ("code",)

    def __init__(self, code: str):
        if code not in EXCEL_ERROR_CODES:
            raise ValueError(f"Unknown Excel error code: {code!r}")
        self.code = code

    def __eq__(self, other: object) -> bool:
        return isinstance(other, ExcelError) and other.code == self.code

    def __hash__(self) -> int:
        return hash(("ExcelError", self.code))

    def __repr__(self) -> str:
        return f"ExcelError({self.code!r})"

    def __str__(self) -> str:
        return self.code


_NONFINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def _float_to_wire(value: float) -> Any:
    if math.isfinite(value):
        return value
    if math.isnan(value):
        text = "nan"
    else:
        text = "inf" if value > 0 else "-inf"
    return {TYPE_KEY: "float", "value": text}


class Serializer:
    """Conversion between Python values and the wire format described above."""

    @staticmethod
    def to_wire(value: Any) -> Any:
        """The JSON-encodable wire form of ``value``."""
        return _to_wire(value, 0)

    @staticmethod
    def from_wire(item: Any) -> Any:
        """The Python value of one wire item."""
        return _from_wire(item, 0)


def _check_depth(depth: int) -> None:
    if depth > MAX_DEPTH:
        raise ValueError(f"Value nested deeper than {MAX_DEPTH} levels")


def _to_wire(value: Any, depth: int) -> Any:
    _check_depth(depth)
    # bool before int: bool is a subclass of int and must stay a bool.
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return _float_to_wire(float(value))
    if isinstance(value, decimal.Decimal):
        return _float_to_wire(float(value))
    # datetime before date: datetime is a subclass of date.
    if isinstance(value, _dt.datetime):
        return {TYPE_KEY: "datetime", "value": value.isoformat()}
    if isinstance(value, _dt.date):
        return {TYPE_KEY: "date", "value": value.isoformat()}
    if isinstance(value, _dt.time):
        return {TYPE_KEY: "time", "value": value.isoformat()}
    if isinstance(value, ExcelError):
        return {TYPE_KEY: "error", "value": value.code}
    if isinstance(value, (list, tuple, range)):
        return [_to_wire(v, depth + 1) for v in value]
    if isinstance(value, (set, frozenset)):
        return [_to_wire(v, depth + 1) for v in value]
    if isinstance(value, dict):
        if all(isinstance(k, str) for k in value) and TYPE_KEY not in value:
            return {k: _to_wire(v, depth + 1) for k, v in value.items()}
        return {
            TYPE_KEY: "dict",
            "items": [[_to_wire(k, depth + 1), _to_wire(v, depth + 1)] for k, v in value.items()],
        }
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {TYPE_KEY: "bytes", "value": base64.b64encode(bytes(value)).decode("ascii")}
    tolist = getattr(value, "tolist", None)
    if callable(tolist) and not isinstance(value, type):
        try:
            converted = tolist()
        except Exception:
            converted = value
        if converted is not value:
            return _to_wire(converted, depth + 1)
    if callable(value):
        callable_id = messaging.register_callable(value)
        name = getattr(value, "__qualname__", None) or getattr(value, "__name__", None) or type(value).__name__
        return {TYPE_KEY: "callable", "id": callable_id, "name": str(name)}
    try:
        text = repr(value)
    except Exception as exc:  # a broken __repr__ must not break the result
        text = f"<{type(value).__name__} object (repr failed: {exc})>"
    return {TYPE_KEY: "object", "type": type(value).__name__, "repr": text}


def _tagged_value(item: dict, tag: str) -> Any:
    if "value" not in item:
        raise ValueError(f"Wire item of type {tag!r} has no 'value'")
    return item["value"]


def _from_wire(item: Any, depth: int) -> Any:
    _check_depth(depth)
    if item is None or isinstance(item, (bool, int, float, str)):
        return item
    if isinstance(item, (list, tuple)):
        return [_from_wire(v, depth + 1) for v in item]
    if not isinstance(item, dict):
        raise TypeError(f"Not a wire value: {type(item).__name__}")
    if TYPE_KEY not in item:
        return {k: _from_wire(v, depth + 1) for k, v in item.items()}

    tag = item[TYPE_KEY]
    if tag == "float":
        text = _tagged_value(item, tag)
        if text not in _NONFINITE:
            raise ValueError(f"Invalid non-finite float: {text!r}")
        return _NONFINITE[text]
    if tag == "datetime":
        return _dt.datetime.fromisoformat(str(_tagged_value(item, tag)))
    if tag == "date":
        return _dt.date.fromisoformat(str(_tagged_value(item, tag)))
    if tag == "time":
        return _dt.time.fromisoformat(str(_tagged_value(item, tag)))
    if tag == "error":
        return ExcelError(_tagged_value(item, tag))
    if tag == "dict":
        items = item.get("items")
        if not isinstance(items, list):
            raise ValueError("Wire dict needs a list of [key, value] pairs in 'items'")
        result = {}
        for pair in items:
            if not isinstance(pair, (list, tuple)) or len(pair) != 2:
                raise ValueError("Wire dict item is not a [key, value] pair")
            key = _from_wire(pair[0], depth + 1)
            if isinstance(key, list):
                key = tuple(key)  # lists are not hashable; tuples round-trip as lists
            result[key] = _from_wire(pair[1], depth + 1)
        return result
    if tag == "bytes":
        return base64.b64decode(str(_tagged_value(item, tag)), validate=True)
    if tag == "callable":
        callable_id = item.get("id")
        obj = messaging.get_callable(callable_id) if isinstance(callable_id, str) else None
        if obj is None:
            raise LookupError(f"Callable '{callable_id}' not found in registry")
        return obj
    if tag == "object":
        return item.get("repr")
    raise ValueError(f"Unknown wire type: {tag!r}")

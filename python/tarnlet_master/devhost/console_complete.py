"""Tab completion for the console: what the kernel's analysis and its live namespace offer.

Two sources are merged for the word before the cursor:

* the kernel's own "completion_request" on the code typed so far (the
  recent cells, then the lines of the statement being typed), so imports
  and workbook modules are known the way the editor knows them;
* the names that exist in the console's namespace, asked of the kernel
  as an expression: the top-level names (with builtins and keywords), or
  ``dir()`` of a dotted chain of plain names, as Python's own prompt does.
"""

from __future__ import annotations

import keyword
import re
from typing import Iterable, List, NamedTuple, Optional, Sequence

HISTORY_CELLS = 50          # recent cells given to the analysis as context
WORD_DELIMS = " \t\n`~!@#$%^&*()-=+[{]}\\|;:'\",<>/?"   # "." stays inside a word

_TAIL = re.compile(r"((?:[^\W\d]\w*\.)*)([^\W\d]\w*)?$")


class Word(NamedTuple):
    """The dotted word before the cursor: ``owner`` ("a.b." or "") and the ``prefix`` being typed."""

    owner: str
    prefix: str
    evaluable: bool     # the owner is a chain of plain names that may be looked up


def word_before(text: str) -> Word:
    match = _TAIL.search(text)
    owner, prefix = match.group(1), match.group(2) or ""
    before = text[: match.start()]
    # "f().x" or "'a'.up": the owner is not a plain name chain, only the analysis can tell.
    evaluable = not before.endswith((".", ")", "]", "'", '"', "}"))
    return Word(owner, prefix, evaluable)


def namespace_expression(word: Word) -> Optional[str]:
    """An expression that the kernel evaluates into the matching names, or None."""
    if not word.evaluable:
        return None
    if word.owner:
        target = word.owner[:-1]
        return f"sorted(n for n in dir({target}) if n.startswith({word.prefix!r}))"
    # dir() and globals() are taken in the console's own scope, outside the generator.
    return (f"sorted(n for n in {{*dir(), *globals(), *dir(__builtins__)}} "
            f"if n.startswith({word.prefix!r}))")


def analysis_request(cells: Sequence[str], block: Sequence[str], line: str, cursor: int) -> dict:
    """code, line and column for a "completion_request" on what has been typed."""
    context = [c for c in cells[-HISTORY_CELLS:] if c.strip()]
    before = "\n".join(context).split("\n") if context else []
    lines = before + list(block) + [line]
    return {"code": "\n".join(lines), "line": len(lines), "column": cursor}


def merge(word: Word, analysed: Iterable[str], names: Iterable[str]) -> List[str]:
    """The completions of ``word``, in the form readline puts in place of the whole word."""
    show_private = word.prefix.startswith("_")
    found = set()
    for name in list(analysed) + list(names):
        if not isinstance(name, str) or not name.startswith(word.prefix):
            continue
        if name.startswith("_") and not show_private:
            continue
        found.add(name)
    if not word.owner:
        found.update(k for k in keyword.kwlist if k.startswith(word.prefix) and word.prefix)
    return [word.owner + name for name in sorted(found)]

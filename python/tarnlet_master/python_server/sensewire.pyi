"""The language bridge: completions, hover, signature help and diagnostics
for the workbook's modules, over jedi and pyflakes."""

import logging
import re
import tempfile
from types import ModuleType
from typing import Any, Final

from tarnlet_master.logging_config import get_logger as get_logger
from tarnlet_master.logging_config import setup_logging_subprocess as setup_logging_subprocess

# jedi and pyflakes ship no type information: they are typed as the modules they are.
jedi: ModuleType
pyflakes_api: ModuleType | None
pyflakes_reporter: ModuleType | None
PYFLAKES_AVAILABLE: Final[bool]

# Imported only to report whether pylsp is there; None without it.
uris: ModuleType | None
Config: type[Any] | None
Workspace: type[Any] | None
Document: type[Any] | None
PYLSP_AVAILABLE: Final[bool]

logger: logging.Logger

JEDI_TO_MONACO_KIND: Final[dict[str, int]]
"""jedi's completion type to the editor's completion kind."""
IMPORT_ALIAS_PATTERN: Final[re.Pattern[str]]
"""A line that ends inside the alias of an import (no completions there)."""
MONACO_MARKER_SEVERITY_ERROR: Final[int]
MONACO_MARKER_SEVERITY_WARNING: Final[int]
PYFLAKES_MESSAGE_PATTERN: Final[re.Pattern[str]]
"""One pyflakes line: file, line, optional column, message."""

class Sensewire:
    """Mirrors the workbook's modules into a temporary workspace and analyses them.

    ``line`` is 1-based and ``column`` 0-based; a fractional number is truncated.
    Every request returns a dict whose ``error`` is None or the failure text.
    """

    _workspace_path: str | None
    _temp_dir: tempfile.TemporaryDirectory[str] | None
    _python_server_path: str
    _stubs_path: str
    _jedi_project: Any
    _hover_mode: str
    def __init__(self) -> None: ...
    def preload_tarnlet_module(self) -> None: ...
    def preload_tarnlet_module_async(self) -> None: ...
    def cleanup(self) -> None:
        """Remove the workspace directory."""
    def set_hover_mode(self, mode: str) -> None:
        """"compact" or "detailed"."""
    def update_sys_paths(self, new_paths: list[str]) -> None: ...
    def sync_modules(self, modules: dict[str, str], dirty_files: dict[str, str] | None = None) -> None:
        """Write saved sources, then unsaved editor texts, into the workspace."""
    def delete_module(self, module_name: str) -> None: ...
    def set_workspace(self, workspace_path: str) -> None: ...
    def _is_module_name(self, path: str) -> bool: ...

    # Completions.
    def get_completions(
        self,
        code: str,
        line: float,
        column: float,
        path: str | None = None,
        modules: dict[str, str] | None = None,
        dirty_files: dict[str, str] | None = None,
    ) -> dict[str, Any]:
        """``{"completions": [...], "error": ...}``."""
    def _get_word_prefix(self, code: str, line: float, column: float) -> str: ...
    def _format_signature(self, signature: Any) -> str: ...

    # Hover and signature help.
    def get_hover(
        self,
        code: str,
        line: float,
        column: float,
        path: str | None = None,
        modules: dict[str, str] | None = None,
        dirty_files: dict[str, str] | None = None,
    ) -> dict[str, Any]:
        """``{"contents": None or {"kind": "markdown", "value": ...}, "error": ...}``."""
    def get_signature_help(
        self,
        code: str,
        line: float,
        column: float,
        path: str | None = None,
        modules: dict[str, str] | None = None,
        dirty_files: dict[str, str] | None = None,
    ) -> dict[str, Any]:
        """``{"signatures", "activeSignature", "activeParameter", "error"}``."""
    def _format_compact_hover(self, definition: Any) -> str | None: ...
    def _get_type_description(self, definition: Any, fallback_type: str) -> str: ...

    # Diagnostics.
    def get_diagnostics(self, code: str, module_name: str | None = None) -> dict[str, Any]:
        """``{"diagnostics": [...], "error": ...}``, errors first."""
    def _run_pyflakes(self, code: str, filename: str) -> list[dict[str, Any]]: ...
    def _parse_pyflakes_message(self, message: str, severity: int) -> dict[str, Any] | None: ...
    def _check_unresolved_imports(self, code: str, module_name: str | None = None) -> list[dict[str, Any]]: ...
    def _can_resolve_import(self, module_name: str) -> bool: ...

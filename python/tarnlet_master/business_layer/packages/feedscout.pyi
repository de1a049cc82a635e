"""The package-index client of the Business Layer's package manager: versions,
extras and dependencies on the configured indexes, and the installed distributions."""

import importlib.metadata
import logging
from types import ModuleType
from typing import Any, Final, Protocol, type_check_only

import aiohttp as _aiohttp
import packaging.requirements
import packaging.specifiers
import packaging.version
import unearth

# Optional imports: None (and the flag False) when the package is missing.
aiohttp: ModuleType | None
PackageFinder: type[unearth.PackageFinder] | None
UNEARTH_AVAILABLE: Final[bool]
SpecifierSet: type[packaging.specifiers.SpecifierSet] | None
Version: type[packaging.version.Version] | None
Requirement: type[packaging.requirements.Requirement] | None
PACKAGING_AVAILABLE: Final[bool]

logger: logging.Logger
# Seconds a query may take in all, on every path; replaceable at run time.
QUERY_TIMEOUT: int | float

@type_check_only
class _SettingsManager(Protocol):
    """What the client needs of the Business Layer's settings."""

    def get(self, key: str, default: Any = ..., /) -> Any: ...

class _dummy_metadata(dict[str, str]):
    """Metadata of a standard-library module: a name, a version, no requirements."""

    def get_all(self, *args: Any, **kwargs: Any) -> list[str]: ...

class _dummy_dist:
    """Stands in for a distribution of a standard-library module."""

    metadata: dict[str, str]
    def __init__(self, name: str, version: str) -> None: ...

class Feedscout:
    """Asks the primary index, then (when enabled) the secondary ones, for package facts.

    Owns one HTTP session, made on first use; ``close()`` ends it.
    """

    settings_manager: _SettingsManager | None
    _session: _aiohttp.ClientSession | None
    _metadata_cache: dict[tuple[str, str], list[dict[str, Any]]]
    _distributions_cache: dict[str, importlib.metadata.Distribution | _dummy_dist] | None
    def __init__(self, settings_manager: _SettingsManager | None) -> None: ...
    async def _get_session(self) -> _aiohttp.ClientSession: ...
    async def close(self) -> None: ...

    # Settings and index URLs.
    def _get_pip_settings(self) -> dict[str, Any]:
        """``index_urls``, ``use_secondary_urls`` and ``retries``."""
    def _get_pip_api_list(self) -> list[dict[str, str]]: ...
    @staticmethod
    def _normalize_url(url: str) -> str: ...
    def _get_api_pattern_for_index(self, index_url: str) -> str | None: ...
    @staticmethod
    def _normalize_name(name: str) -> str: ...

    # Which index has a package.
    async def find_repo_for_package(self, package_name: str) -> str | None: ...
    async def find_repo_for_package_version(self, package_name: str, version: str) -> str | None: ...
    async def _package_exists_in_index(self, package_name: str, index_url: str) -> bool: ...
    async def _package_version_exists_in_index(self, package_name: str, version: str, index_url: str) -> bool: ...
    def _package_version_exists_via_unearth(self, package_name: str, version: str, index_url: str) -> bool: ...

    # Versions, extras, dependencies.
    async def get_versions(self, package_name: str, index_url: str | None = None) -> list[str]:
        """Newest first."""
    async def get_extras(self, package_name: str, version: str, index_url: str | None = None) -> list[str]:
        """Sorted by name."""
    async def get_dependencies(
        self, package_name: str, version: str, index_url: str | None = None
    ) -> list[dict[str, Any]]:
        """One ``{"name", "version_spec", "extras", "markers"}`` record per requirement."""
    async def _get_versions_from_index(self, package_name: str, index_url: str) -> list[str]: ...
    async def _get_extras_from_index(self, package_name: str, version: str, index_url: str) -> set[str]: ...
    async def _get_dependencies_from_index(
        self, package_name: str, version: str, index_url: str
    ) -> list[dict[str, Any]]: ...
    def _get_versions_via_unearth(self, package_name: str, index_url: str) -> list[str]: ...
    def _get_extras_via_unearth(self, package_name: str, version: str, index_url: str) -> set[str]: ...
    def _get_dependencies_via_unearth(
        self, package_name: str, version: str, index_url: str
    ) -> list[dict[str, Any]]: ...
    def _parse_requirement(self, req: str) -> dict[str, Any] | None: ...

    # Installed distributions.
    def _get_current_distributions(self) -> dict[str, importlib.metadata.Distribution | _dummy_dist]: ...
    def clear_distributions_cache(self) -> None: ...
    def check_specifier_in_dist(
        self, package_name: str, version_spec: str, extras: list[str] | None = None
    ) -> str | None:
        """The installed version when it satisfies the requirement, else None."""

"""Installed distributions, standard-library placeholders and specifier checks."""

import importlib.metadata
import logging
import sys

import pytest
from packaging.specifiers import SpecifierSet
from packaging.version import Version

from tarnlet_master.business_layer.packages import feedscout

LOGGER = feedscout.__name__
PY_VERSION = sys.version.split()[0]


@pytest.fixture
def site_dir(tmp_path, monkeypatch):
    """A directory on sys.path into which the test "installs" distributions."""
    monkeypatch.syspath_prepend(str(tmp_path))
    importlib.invalidate_caches()

    def install(name, version, requires=()):
        info = tmp_path / f"{name}-{version}.dist-info"
        info.mkdir()
        lines = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
        lines += [f"Requires-Dist: {r}" for r in requires]
        (info / "METADATA").write_text("\n".join(lines) + "\n")
        importlib.invalidate_caches()

    return install


@pytest.fixture
def debug_logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


def test_table_is_built_once_and_rebuilt_after_clearing(site_dir):
    client = feedscout.Feedscout(None)
    table = client._get_current_distributions()
    assert client._get_current_distributions() is table
    assert "aiohttp" in table and isinstance(table["aiohttp"], importlib.metadata.Distribution)
    assert client.check_specifier_in_dist("Fresh_Pkg", "") is None

    site_dir("Fresh_Pkg", "1.2")
    assert client.check_specifier_in_dist("Fresh_Pkg", "") is None  # the table is kept
    client.clear_distributions_cache()
    assert client._distributions_cache is None
    assert client.check_specifier_in_dist("fresh-pkg", ">=1") == "1.2"
    assert client._distributions_cache is not table


def test_names_are_compared_normalised(site_dir):
    site_dir("Foo_Bar", "2.0")
    client = feedscout.Feedscout(None)
    for name in ("foo-bar", "FOO.BAR", "foo__bar", "Foo_Bar"):
        assert client.check_specifier_in_dist(name, "") == "2.0"


def test_version_specifiers(site_dir, debug_logs):
    site_dir("specpkg", "1.5")
    site_dir("prepkg", "2.0rc1")
    client = feedscout.Feedscout(None)
    assert client.check_specifier_in_dist("specpkg", ">=1.0,<2") == "1.5"
    assert client.check_specifier_in_dist("specpkg", "==1.5.0") == "1.5"
    assert client.check_specifier_in_dist("specpkg", ">1.5") is None
    # pre-releases follow SpecifierSet's own default, which differs between packaging releases
    default = Version("2.0rc1") in SpecifierSet(">=1.0")
    assert client.check_specifier_in_dist("prepkg", ">=1.0") == ("2.0rc1" if default else None)
    assert client.check_specifier_in_dist("prepkg", "<2.0") is None
    assert client.check_specifier_in_dist("prepkg", ">=2.0rc1") == "2.0rc1"
    assert client.check_specifier_in_dist("not-installed-anywhere", "") is None
    assert messages(debug_logs) == []

    assert client.check_specifier_in_dist("specpkg", "=>1.0") is None
    logged = messages(debug_logs)
    assert len(logged) == 1 and logged[0].startswith("Error checking version spec for specpkg: ")
    assert debug_logs.records[-1].levelno == logging.DEBUG


def test_invalid_installed_version_is_none(site_dir, debug_logs):
    site_dir("oddversion", "not.a.version!")
    client = feedscout.Feedscout(None)
    assert client.check_specifier_in_dist("oddversion", "") == "not.a.version!"  # no spec: not parsed
    assert client.check_specifier_in_dist("oddversion", ">=1") is None
    assert messages(debug_logs)[0].startswith("Error checking version spec for oddversion: ")


def test_extras_are_case_insensitive(site_dir):
    site_dir(
        "extrapkg",
        "3.0",
        ["pyopenssl ; extra == 'security'", 'pysocks ; extra == "SOCKS"', "plain>=1", "docs; extra=='docs'"],
    )
    client = feedscout.Feedscout(None)
    assert client.check_specifier_in_dist("extrapkg", "", ["Security"]) == "3.0"
    assert client.check_specifier_in_dist("extrapkg", ">=3", ["security", "socks"]) == "3.0"
    assert client.check_specifier_in_dist("extrapkg", "", []) == "3.0"
    assert client.check_specifier_in_dist("extrapkg", "", ["missing"]) is None
    assert client.check_specifier_in_dist("extrapkg", "", ["docs"]) is None  # no "extra ==" text
    assert client.check_specifier_in_dist("extrapkg", "<3", ["security"]) is None


def test_standard_library_placeholders():
    client = feedscout.Feedscout(None)
    assert client.check_specifier_in_dist("json", ">=3.0", None) == PY_VERSION
    assert client.check_specifier_in_dist("json", "<3") is None
    assert client.check_specifier_in_dist("asyncio", "", ["anything"]) is None
    table = client._get_current_distributions()
    placeholder = table["json"]
    assert isinstance(placeholder, feedscout._dummy_dist)
    assert isinstance(placeholder.metadata, feedscout._dummy_metadata) and isinstance(placeholder.metadata, dict)
    assert placeholder.metadata == {"Name": "json", "Version": PY_VERSION}
    assert placeholder.metadata.get_all("Requires-Dist") == []
    assert placeholder.metadata.get_all("Requires-Dist", failobj=None) == []
    assert set(map(client._normalize_name, sys.stdlib_module_names)) <= set(table)


def test_installed_distribution_wins_over_placeholder(site_dir):
    site_dir("Json", "9.9")  # a distribution named like a standard-library module
    client = feedscout.Feedscout(None)
    assert client.check_specifier_in_dist("json", "") == "9.9"


def test_without_packaging_nothing_is_checked(debug_logs, monkeypatch):
    monkeypatch.setattr(feedscout, "PACKAGING_AVAILABLE", False)
    client = feedscout.Feedscout(None)
    assert client.check_specifier_in_dist("json", "") is None
    assert messages(debug_logs) == ["packaging library not available, cannot check distributions"]
    assert client._distributions_cache is None  # not even built


def test_entries_put_into_the_table_are_read_through_their_metadata():
    class Metadata(dict):
        def get_all(self, name):
            return {"Requires-Dist": ["x ; extra == 'fast'"], "Provides-Extra": ["Low_Latency"]}.get(name)

    class Dist:
        __slots__ = ("metadata",)  # not weakly referenceable either

        def __init__(self, version):
            self.metadata = Metadata(Name="handmade", Version=version)

    client = feedscout.Feedscout(None)
    client._distributions_cache = {"handmade": Dist("4.0"), "noversion": Dist("")}
    assert client.check_specifier_in_dist("HandMade", ">=4", ["FAST"]) == "4.0"
    assert client.check_specifier_in_dist("handmade", "", ["slow"]) is None
    assert client.check_specifier_in_dist("handmade", "", ["low.latency", "fast"]) == "4.0"  # declared only
    client._distributions_cache["handmade"].metadata["Version"] = "5.0"
    assert client.check_specifier_in_dist("handmade", ">4") == "5.0"
    assert client.check_specifier_in_dist("noversion", "") is None


def test_none_and_odd_arguments_are_answered_not_raised(site_dir, debug_logs):
    site_dir("plainpkg", "1.0", ["x ; extra == 'fast'"])
    client = feedscout.Feedscout(None)
    assert client.check_specifier_in_dist("plainpkg", None) == "1.0"
    assert client.check_specifier_in_dist("plainpkg", None, ["fast"]) == "1.0"
    assert client.check_specifier_in_dist("json", None, None) == PY_VERSION
    for name in (None, 5, "\udc80"):
        assert client.check_specifier_in_dist(name, "") is None
    assert client.check_specifier_in_dist("plainpkg", "", [None]) is None
    assert client.check_specifier_in_dist("plainpkg", 3) is None  # a specifier that is no text: one debug line
    assert [m for m in messages(debug_logs) if m.startswith("Error checking version spec for plainpkg: ")]


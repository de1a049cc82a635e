"""Feedscout's settings readers, URL and name helpers, requirement parsing, and the default index."""

import collections.abc
import logging
import os
import subprocess
import sys
import textwrap

import pytest

from tarnlet_master.business_layer.packages import feedscout

LOGGER = feedscout.__name__


class Settings:
    def __init__(self, values):
        self.values = values

    def get(self, key, default):
        return self.values.get(key, default)


def test_attributes_and_coroutines():
    manager = Settings({})
    client = feedscout.Feedscout(manager)
    assert client.settings_manager is manager
    assert client._session is None and client._metadata_cache == {} and client._distributions_cache is None
    assert vars(client) == {
        "settings_manager": manager,
        "_session": None,
        "_metadata_cache": {},
        "_distributions_cache": None,
    }
    calls = [
        client._get_session(),
        client.close(),
        client.find_repo_for_package("x"),
        client.find_repo_for_package_version("x", "1"),
        client._package_exists_in_index("x", "http://127.0.0.1:1/"),
        client._package_version_exists_in_index("x", "1", "http://127.0.0.1:1/"),
        client.get_versions("x"),
        client.get_extras("x", "1"),
        client.get_dependencies("x", "1", index_url="http://127.0.0.1:1/"),
        client._get_versions_from_index("x", "http://127.0.0.1:1/"),
        client._get_extras_from_index("x", "1", "http://127.0.0.1:1/"),
        client._get_dependencies_from_index("x", "1", "http://127.0.0.1:1/"),
    ]
    for call in calls:
        assert isinstance(call, collections.abc.Coroutine)
        call.close()  # never started: nothing ran


def test_defaults_with_and_without_settings_manager():
    default_entry = {"url": feedscout._DEFAULT_INDEX_URL, "primary": True}
    assert feedscout.Feedscout(None)._get_pip_settings() == {
        "index_urls": [default_entry],
        "use_secondary_urls": False,
        "retries": 3,
    }
    # an empty settings manager is falsy here only if it says so; this one is truthy and empty
    assert feedscout.Feedscout(Settings({}))._get_pip_settings() == {
        "index_urls": [default_entry],
        "use_secondary_urls": False,
        "retries": 3,
    }
    configured = Settings(
        {
            "package_management.pip.index_urls": [{"url": "http://a/simple/"}],
            "package_management.pip.use_secondary_urls": True,
            "package_management.pip.retries": 7,
            "package_management.pip_api": [],
        }
    )
    client = feedscout.Feedscout(configured)
    assert client._get_pip_settings() == {
        "index_urls": [{"url": "http://a/simple/"}],
        "use_secondary_urls": True,
        "retries": 7,
    }
    assert client._get_pip_api_list() == []
    assert client._get_api_pattern_for_index(feedscout._DEFAULT_INDEX_URL) is None
    # each call hands out a fresh default list
    first = feedscout.Feedscout(None)._get_pip_api_list()
    first.clear()
    assert len(feedscout.Feedscout(None)._get_pip_api_list()) == 1


def test_default_index_comes_from_pip():
    from pip._internal.models.index import PyPI

    simple = PyPI.simple_url.rstrip("/")
    assert feedscout._DEFAULT_INDEX_URL == simple + "/"
    entry = feedscout.Feedscout(None)._get_pip_api_list()[0]
    assert entry == {
        "index_url": simple,
        "api_pattern": PyPI.pypi_url.rstrip("/") + "/{package_name}/{version}/json",
    }
    # the default index (trailing slash) matches the default API entry (none)
    pattern = feedscout.Feedscout(None)._get_api_pattern_for_index(feedscout._DEFAULT_INDEX_URL)
    assert pattern == entry["api_pattern"]


def run_isolated(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60, env=env
    )


def test_without_pip_there_is_no_default_index_and_one_log_line():
    result = run_isolated(
        """
        import sys
        sys.modules["pip"] = None  # import pip now fails
        from tarnlet_master.business_layer.packages import feedscout
        client = feedscout.Feedscout(None)
        print(feedscout._DEFAULT_INDEX_URL, client._get_pip_settings()["index_urls"], client._get_pip_api_list())
        client._get_pip_settings(); client._get_pip_api_list()
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "None [] []"
    assert result.stderr.count("there is no default package index") == 1


def test_default_follows_the_installed_pip_description():
    result = run_isolated(
        """
        import sys, types
        index = types.ModuleType("pip._internal.models.index")
        index.PyPI = types.SimpleNamespace(simple_url="http://127.0.0.1:1/simple", pypi_url="http://127.0.0.1:1/pypi/")
        sys.modules["pip._internal.models.index"] = index
        from tarnlet_master.business_layer.packages import feedscout
        client = feedscout.Feedscout(None)
        print(client._get_pip_settings()["index_urls"][0]["url"])
        print(client._get_pip_api_list()[0]["api_pattern"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [
        "http://127.0.0.1:1/simple/",
        "http://127.0.0.1:1/pypi/{package_name}/{version}/json",
    ]


@pytest.mark.parametrize(
    "url, expected",
    [
        ("http://x/simple/", "http://x/simple"),
        ("http://x/simple\\/\\//", "http://x/simple"),
        ("http://x/simple", "http://x/simple"),
        ("///", ""),
        ("", ""),
        ("http://x/a/b", "http://x/a/b"),
    ],
)
def test_normalize_url(url, expected):
    assert feedscout.Feedscout(None)._normalize_url(url) == expected


@pytest.mark.parametrize(
    "name, expected",
    [
        ("Foo__Bar.baz", "foo-bar-baz"),
        ("foo-_.-bar", "foo-bar"),
        ("A", "a"),
        ("-lead.trail_", "-lead-trail-"),
        ("Ärger_Paket", "ärger-paket"),
    ],
)
def test_normalize_name(name, expected):
    assert feedscout.Feedscout(None)._normalize_name(name) == expected


def test_api_pattern_matches_across_trailing_slashes():
    client = feedscout.Feedscout(
        Settings(
            {
                "package_management.pip_api": [
                    "not a mapping",
                    {"api_pattern": "http://none/{package_name}/{version}"},  # index_url missing: ""
                    {"index_url": "http://a/simple\\\\//", "api_pattern": "first"},
                    {"index_url": "http://a/simple", "api_pattern": "second"},
                    {"index_url": "http://b/simple/"},
                ]
            }
        )
    )
    assert client._get_api_pattern_for_index("http://a/simple") == "first"
    assert client._get_api_pattern_for_index("http://a/simple/") == "first"
    assert client._get_api_pattern_for_index("http://b/simple") is None  # entry without a pattern
    assert client._get_api_pattern_for_index("http://c/simple/") is None
    assert client._get_api_pattern_for_index("/") == "http://none/{package_name}/{version}"


@pytest.mark.parametrize(
    "req, expected",
    [
        (
            "requests[security, socks] >=2.0 ; python_version < '3.8'",
            {"name": "requests", "version_spec": ">=2.0", "extras": ["security", "socks"], "markers": "python_version < '3.8'"},
        ),
        ("numpy", {"name": "numpy", "version_spec": "", "extras": [], "markers": ""}),
        ("a.b_c-d (>=1,<2)", {"name": "a.b_c-d", "version_spec": ">=1,<2", "extras": [], "markers": ""}),
        ("x[a,,b]==1", {"name": "x", "version_spec": "==1", "extras": ["a", "", "b"], "markers": ""}),
        ("x ; a ; b", {"name": "x", "version_spec": "", "extras": [], "markers": "a ; b"}),
        ("x[] >1", {"name": "x", "version_spec": ">1", "extras": [], "markers": ""}),
        ("  spaced  ==1  ;  ", {"name": "spaced", "version_spec": "==1", "extras": [], "markers": ""}),
        ("x (==1.0)", {"name": "x", "version_spec": "==1.0", "extras": [], "markers": ""}),
        ("x ( >=1 , <2 )", {"name": "x", "version_spec": ">=1 , <2", "extras": [], "markers": ""}),
        ("x [b,a] >=1", {"name": "x", "version_spec": ">=1", "extras": ["a", "b"], "markers": ""}),
        ("x >=1, <2", {"name": "x", "version_spec": ">=1, <2", "extras": [], "markers": ""}),  # as written
        ("x @ https://h/x-1.0.whl", {"name": "x", "version_spec": "@ https://h/x-1.0.whl", "extras": [], "markers": ""}),
    ],
)
def test_parse_requirement(req, expected):
    record = feedscout.Feedscout(None)._parse_requirement(req)
    assert record == expected
    assert list(record) == ["name", "version_spec", "extras", "markers"]


@pytest.mark.parametrize("req", ["", ">=1.0", "[extra] x", " ; python_version > '3'", None, 5, ["x"]])
def test_unparsable_requirement_warns(req, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert feedscout.Feedscout(None)._parse_requirement(req) is None
    messages = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    text = req.split(";")[0].strip() if isinstance(req, str) else str(req)
    assert messages == ["Could not parse requirement: " + text]
    assert caplog.records[-1].levelno == logging.WARNING


@pytest.mark.parametrize(
    "req, version_spec",
    [("a (>=1)", ">=1"), ("a(<2,>=1)", "<2,>=1"), ("a ()", ""), ("a >=1 (x)", ">=1 (x)"), ("a[] >1", "[] >1")],
)
def test_requirements_without_packaging_are_read_as_text(req, version_spec, monkeypatch):
    monkeypatch.setattr(feedscout, "Requirement", None)
    assert feedscout.Feedscout(None)._parse_requirement(req)["version_spec"] == version_spec

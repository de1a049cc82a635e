"""Feedscout against a real local package index (aiohttp's web server on 127.0.0.1).

The server plays several indexes under path prefixes ("/primary", "/secondary"); each has a
JSON API ("/pypi/{name}/json", "/pypi/{name}/{version}/json") and "simple" pages whose wheel
links announce their metadata files, so both the JSON path and the unearth path run for real.
An index without a pip_api entry is queried through unearth.
"""

import asyncio
import collections
import concurrent.futures
import hashlib
import importlib
import importlib.metadata
import io
import json
import logging
import os
import socket
import sys
import tarfile
import threading
import uuid
import zipfile

import pytest
from aiohttp import web

from tarnlet_master.business_layer.packages import feedscout

LOGGER = feedscout.__name__
DRIP_INTERVAL = 0.5  # seconds between the bytes of a page that trickles in
SLOW_STEP = 1.5  # seconds each of two "slowpair" answers takes: each within a 2 s limit, not both

ALPHA_2_REQUIRES = [
    "requests[security, socks] >=2.0 ; python_version < '3.8'",
    "pytest ; extra == 'test'",
    "sphinx; extra=='docs'",  # no space before "==": not an extra by the rule
    'coverage>=5 ; extra == "Cov"',
]

# index -> package -> version -> (requires_dist, how the simple page offers it[, details])
# offer: "metadata" (wheel + PEP 658 file), "wheel" (wheel only), "sdist", "bad-metadata"
# (announced metadata file whose hash does not match), None (JSON API only).
# details: "files" (yanked flag per file; default one file, not yanked), "provides"
# (Provides-Extra), "metadata_version", "dynamic" (Dynamic fields).
INDEXES = {
    "primary": {
        "alpha": {
            "1.0": (["six"], "metadata"),
            "2.0": (ALPHA_2_REQUIRES, "metadata"),
            "10.0": ([], "metadata"),
            "nonsense": ([], None),
        },
        "nullreq": {"1.0": (None, "metadata")},
        "gamma": {"3.1": (["attrs>=20", "tomli ; extra == 'toml'"], "wheel")},
        "delta": {"0.5": (["idna ; extra == 'idn'"], "sdist")},
        "epsilon": {"1.0": (["real-dep ; extra == 'real'"], "bad-metadata")},
        "omega": {
            "1.0": ([], "metadata"),
            "1.1": ([], "metadata", {"files": [True]}),
            "1.2": ([], "metadata", {"files": []}),
            "1.3": ([], "metadata", {"files": [True, False]}),
            "1.4": ([], "metadata", {"files": [True, True]}),
            "2.0b1": ([], "metadata"),
        },
        "extrakit": {
            "1.0": (
                [
                    "dep-a ; extra == 'Cool_Stuff'",
                    'dep-b ; extra == "a" or extra == "B"',
                    "dep-c ; python_version >= '3' and extra == 'Mixed.Case'",
                    "dep-d>=2",
                ],
                "metadata",
                {"provides": ["security", "Cool_Stuff", "a", "B", "Mixed.Case", "ssl", "Only.Declared_Here"]},
            ),
        },
        # extras named only in markers, as metadata without Provides-Extra has them
        "orkit": {
            "1.0": (
                [
                    'dep-a ; extra == "one" or extra == "Two_Parts"',
                    "dep-b ; (python_version >= '3' and extra == 'Mixed.Case') or extra == 'third'",
                    "dep-c",
                ],
                "metadata",
            ),
        },
        "oldstyle": {
            "1.0": (
                ["botocore (<1.45.0,>=1.44.18)", "packaging (>=20)", "urllib3 [socks] (>=1.25) ; extra == 'net'"],
                "metadata",
            ),
            "1!2.0+local": (["epoch-dep"], None),
        },
        "legacy": {"0.10.1": ([], "sdist", {"metadata_version": "1.0"})},
        "legacy11": {"0.2": ([], "sdist", {"metadata_version": "1.1"})},
        "known12": {"0.3": (["listed"], "sdist", {"metadata_version": "1.2"})},
        "dynamic": {"2.0": (["listed"], "sdist", {"metadata_version": "2.2", "dynamic": ["Requires-Dist"]})},
        "static": {"2.0": (["listed"], "sdist", {"metadata_version": "2.2", "dynamic": ["Summary"]})},
        "needs": {"1.0": (["shadowed (>=1,<2)", "json", "absent-dep>=1"], "metadata")},
        "drip": {"1.0": (["late"], "metadata")},
        "dripfile": {"1.0": (["late"], "wheel")},
        "slowpair": {"1.0": (["late"], "metadata")},
    },
    "secondary": {
        "alpha": {"99.0": (["from-secondary"], "metadata")},
        "beta": {"0.1": (["zeta ; extra == 'z'"], "metadata"), "0.2": ([], "metadata")},
    },
}


def details_of(entry):
    return entry[2] if len(entry) > 2 else {}


def metadata_text(name, version, requires, details=None):
    details = details or {}
    lines = [f"Metadata-Version: {details.get('metadata_version', '2.1')}", f"Name: {name}", f"Version: {version}"]
    lines += [f"Dynamic: {field}" for field in details.get("dynamic", [])]
    lines += [f"Requires-Dist: {r}" for r in requires or []]
    lines += [f"Provides-Extra: {e}" for e in details.get("provides", [])]
    return ("\n".join(lines) + "\n").encode()


def file_names(name, version, entry):
    """(file name, yanked) of each file of a release; the first is the plain wheel or sdist."""
    suffix = ".tar.gz" if entry[1] == "sdist" else "-py3-none-any.whl"
    flags = details_of(entry).get("files", [False])
    names = []
    for build, yanked in enumerate(flags):
        tag = f"-{build}" if build else ""  # a build tag keeps the wheels' names apart
        names.append((f"{name}-{version}{tag}{suffix}", yanked))
    return names


def wheel_bytes(name, version, metadata):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as wheel:
        wheel.writestr(f"{name}/__init__.py", "")
        wheel.writestr(f"{name}-{version}.dist-info/METADATA", metadata)
        wheel.writestr(f"{name}-{version}.dist-info/WHEEL", "Wheel-Version: 1.0\nTag: py3-none-any\n")
        wheel.writestr(f"{name}-{version}.dist-info/RECORD", "")
    return buffer.getvalue()


def sdist_bytes(name, version, metadata):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as sdist:
        info = tarfile.TarInfo(f"{name}-{version}/PKG-INFO")
        info.size = len(metadata)
        sdist.addfile(info, io.BytesIO(metadata))
    return buffer.getvalue()


class Index:
    """The aiohttp application and what it was asked."""

    def __init__(self):
        self.hits = collections.Counter()
        self.raw_paths = collections.Counter()  # as sent, before the server decodes them
        self.release_slow = asyncio.Event()
        self.drip_started = asyncio.Event()
        self.drip_stopped = asyncio.Event()
        self.odd_releases = {}  # what the "odd" index answers for every package
        self.files = {}  # (index, filename) -> bytes
        self.pages = {}  # (index, name) -> html
        for index, packages in INDEXES.items():
            for name, versions in packages.items():
                self.pages[(index, name)] = self._page(index, name, versions)

    def _page(self, index, name, versions):
        anchors = []
        for version, entry in versions.items():
            requires, offer = entry[:2]
            if offer is None:
                continue
            metadata = metadata_text(name, version, requires, details_of(entry))
            for filename, yanked in file_names(name, version, entry):
                if offer == "sdist":
                    self.files[(index, filename)] = sdist_bytes(name, version, metadata)
                else:
                    self.files[(index, filename)] = wheel_bytes(name, version, metadata)
                attrs = ' data-yanked=""' if yanked else ""
                if offer in ("metadata", "bad-metadata"):
                    served = metadata if offer == "metadata" else metadata_text(name, version, ["wrong-dep"])
                    self.files[(index, filename + ".metadata")] = served
                    attrs += f' data-dist-info-metadata="sha256={hashlib.sha256(metadata).hexdigest()}"'
                anchors.append(f'<a href="/{index}/files/{filename}"{attrs}>{filename}</a>')
        return "<!DOCTYPE html><html><body>" + "\n".join(anchors) + "</body></html>"

    async def _drip(self, request, content_type):
        """Headers at once, then one byte every DRIP_INTERVAL seconds for a long while."""
        self.drip_started.set()
        response = web.StreamResponse(headers={"Content-Type": content_type})
        try:
            await response.prepare(request)
            for _ in range(200):
                await response.write(b" ")
                await asyncio.sleep(DRIP_INTERVAL)
            await response.write_eof()
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            self.drip_stopped.set()
        return response

    async def _special(self, name):
        if name == "broken":
            return web.Response(status=500, text="boom")
        if name == "slow":
            try:
                await asyncio.wait_for(self.release_slow.wait(), 12)
            except asyncio.TimeoutError:
                pass
            return web.json_response({"releases": {"1.0": []}})
        return None

    async def package_json(self, request):
        index, name = request.match_info["index"], request.match_info["name"]
        self.hits[request.path] += 1
        if index == "odd":
            return web.json_response({"releases": self.odd_releases})
        special = await self._special(name)
        if special is not None:
            return special
        if name == "drip":
            return await self._drip(request, "application/json")
        versions = INDEXES.get(index, {}).get(name)
        if versions is None:
            return web.json_response({"message": "Not Found"}, status=404)
        releases = {
            version: [{"filename": f, "yanked": y} for f, y in file_names(name, version, entry)]
            for version, entry in versions.items()
        }
        return web.json_response({"info": {"name": name}, "releases": releases})

    async def version_json(self, request):
        index, name, version = (request.match_info[k] for k in ("index", "name", "version"))
        self.hits[request.path] += 1
        special = await self._special(name)
        if special is not None:
            return special
        if name == "drip":
            return await self._drip(request, "application/json")
        entry = INDEXES.get(index, {}).get(name, {}).get(version)
        if entry is None:
            return web.json_response({"message": "Not Found"}, status=404)
        info = {"name": name, "version": version, "requires_dist": entry[0]}
        info["provides_extra"] = details_of(entry).get("provides")
        return web.json_response({"info": info})

    async def simple(self, request):
        index, name = request.match_info["index"], request.match_info["name"]
        self.hits[request.path] += 1
        if name == "slowpair":
            await asyncio.sleep(SLOW_STEP)
        if name == "broken":
            return web.Response(status=500, text="boom")
        if name == "drip":
            return await self._drip(request, "text/html")
        page = self.pages.get((index, name))
        if page is None:
            return web.Response(status=404, text="no such project")
        return web.Response(text=page, content_type="text/html")

    async def file(self, request):
        index, filename = request.match_info["index"], request.match_info["filename"]
        self.hits[request.path] += 1
        if filename.startswith("dripfile-"):
            return await self._drip(request, "application/octet-stream")
        if filename.startswith("slowpair-"):
            await asyncio.sleep(SLOW_STEP)
        body = self.files.get((index, filename))
        if body is None:
            return web.Response(status=404)
        return web.Response(body=body, content_type="application/octet-stream")

    @web.middleware
    async def record_raw_path(self, request, handler):
        self.raw_paths[request.raw_path] += 1
        return await handler(request)

    def app(self):
        app = web.Application(middlewares=[self.record_raw_path])
        app.router.add_get("/{index}/pypi/{name}/json", self.package_json)
        app.router.add_get("/{index}/pypi/{name}/{version}/json", self.version_json)
        app.router.add_get("/{index}/simple/{name}/", self.simple)
        app.router.add_get("/{index}/files/{filename}", self.file)
        return app


class Settings:
    """The Business Layer's settings manager, reduced to get(key, default); records the keys read."""

    def __init__(self, values):
        self.values = values
        self.read = []

    def get(self, key, default):
        self.read.append(key)
        return self.values.get(key, default)


@pytest.fixture(autouse=True)
def loopback_only(monkeypatch):
    """Nothing in these tests may resolve a host other than the loopback server."""
    real = socket.getaddrinfo

    def guarded(host, *args, **kwargs):
        if host not in ("127.0.0.1", "localhost", "::1", b"127.0.0.1"):
            raise OSError(f"test refused to resolve {host!r}")
        return real(host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", guarded)


@pytest.fixture
async def index():
    served = Index()
    runner = web.AppRunner(served.app(), shutdown_timeout=1)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = runner.addresses[0][1]
    served.base = f"http://127.0.0.1:{port}"
    yield served
    served.release_slow.set()
    await runner.cleanup()


@pytest.fixture
def debug_logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


def simple_url(index, name):
    return f"{index.base}/{name}/simple/"


def api_entry(index, name, slashes=""):
    return {"index_url": f"{index.base}/{name}/simple" + slashes, "api_pattern": f"{index.base}/{name}/pypi/{{package_name}}/{{version}}/json"}


def scout(index, *, json_api=("primary", "secondary"), secondary=True, use_secondary=True):
    urls = [{"url": simple_url(index, "primary"), "primary": True}]
    if secondary:
        urls.append({"url": simple_url(index, "secondary")})
    settings = Settings(
        {
            "package_management.pip.index_urls": urls,
            "package_management.pip.use_secondary_urls": use_secondary,
            "package_management.pip_api": [api_entry(index, name) for name in json_api],
        }
    )
    return feedscout.Feedscout(settings)


def lines(caplog, level=None):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and (level is None or r.levelno == level)]


@pytest.fixture
async def closing():
    made = []
    yield made.append
    for client in made:
        await client.close()


# --- finding the index that has a package ---


@pytest.mark.parametrize("json_api", [("primary", "secondary"), ()], ids=["json", "unearth"])
async def test_find_repo_walks_primary_then_secondaries(index, closing, json_api):
    on = scout(index, json_api=json_api)
    off = scout(index, json_api=json_api, use_secondary=False)
    closing(on)
    closing(off)
    primary, secondary = simple_url(index, "primary"), simple_url(index, "secondary")

    assert await on.find_repo_for_package("alpha") == primary
    assert await on.find_repo_for_package("beta") == secondary
    assert await on.find_repo_for_package("missing") is None
    assert await on.find_repo_for_package_version("alpha", "99.0") == secondary
    assert await on.find_repo_for_package_version("alpha", "2.0") == primary
    assert await on.find_repo_for_package_version("alpha", "3.0") is None

    index.hits.clear()
    assert await off.find_repo_for_package("beta") is None
    assert await off.find_repo_for_package_version("alpha", "99.0") is None
    assert not [path for path in index.hits if path.startswith("/secondary/")]


async def test_existence_checks_fail_quietly(index, closing, debug_logs):
    client = scout(index)
    closing(client)
    primary = simple_url(index, "primary")
    assert await client._package_exists_in_index("broken", primary) is False
    assert await client._package_version_exists_in_index("broken", "1.0", primary) is False
    assert not lines(debug_logs, logging.ERROR)  # a non-200 status is "not there", not an error

    dead = "http://127.0.0.1:9/simple/"  # nothing listens on the discard port
    client.settings_manager.values["package_management.pip_api"].append(
        {"index_url": dead, "api_pattern": "http://127.0.0.1:9/pypi/{package_name}/{version}/json"}
    )
    assert await client._package_exists_in_index("alpha", dead) is False
    assert await client._package_version_exists_in_index("alpha", "1.0", dead) is False
    debug = lines(debug_logs, logging.DEBUG)
    assert any(line.startswith(f"API check failed for alpha at {dead}: ") for line in debug)
    assert any(line.startswith(f"API check failed for alpha==1.0 at {dead}: ") for line in debug)

    # unearth against an index that answers 500: no candidates, no error line
    assert await scout(index, json_api=())._package_exists_in_index("broken", primary) is False


async def test_default_index_is_used_without_settings_manager(index, closing, monkeypatch):
    # The defaults normally describe the public index; point them at the local one.
    monkeypatch.setattr(feedscout, "_DEFAULT_INDEX_URL", simple_url(index, "primary"))
    monkeypatch.setattr(feedscout, "_DEFAULT_API_INDEX_URL", f"{index.base}/primary/simple")
    monkeypatch.setattr(feedscout, "_DEFAULT_API_PATTERN", f"{index.base}/primary/pypi/{{package_name}}/{{version}}/json")
    client = feedscout.Feedscout(None)
    closing(client)
    assert await client.find_repo_for_package("alpha") == simple_url(index, "primary")
    assert index.hits["/primary/pypi/alpha/json"] == 1
    assert not [path for path in index.hits if "/simple/" in path]  # JSON API, not unearth
    assert await client.get_versions("alpha") == ["10.0", "2.0", "1.0"]


# --- versions ---


@pytest.mark.parametrize("json_api", [("primary",), ()], ids=["json", "unearth"])
async def test_versions_newest_first_invalid_dropped(index, closing, json_api):
    client = scout(index, json_api=json_api)
    closing(client)
    assert await client.get_versions("alpha", simple_url(index, "primary")) == ["10.0", "2.0", "1.0"]


async def test_versions_without_packaging_sort_as_text(index, closing, monkeypatch):
    monkeypatch.setattr(feedscout, "PACKAGING_AVAILABLE", False)
    client = scout(index)
    closing(client)
    assert await client.get_versions("alpha") == ["nonsense", "2.0", "10.0", "1.0"]


async def test_versions_search_strategy_and_log_lines(index, closing, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    client = scout(index)
    closing(client)
    # the primary has alpha: the secondary's 99.0 is never mixed in
    assert await client.get_versions("alpha") == ["10.0", "2.0", "1.0"]
    assert lines(caplog, logging.INFO) == ["Querying primary index for alpha versions", "Found 3 versions in primary index"]
    caplog.clear()

    assert await client.get_versions("beta") == ["0.2", "0.1"]
    assert lines(caplog, logging.INFO) == [
        "Querying primary index for beta versions",
        "No results in primary, trying 1 secondary indexes",
        "Querying secondary index: " + simple_url(index, "secondary"),
        "Found 2 versions in secondary index",
    ]
    caplog.clear()

    assert await client.get_versions("missing") == []
    assert lines(caplog, logging.WARNING) == ["No versions found for missing in any index"]

    off = scout(index, use_secondary=False)
    closing(off)
    assert await off.get_versions("beta") == []


async def test_explicit_index_url_ignores_settings(index, closing):
    client = scout(index)
    closing(client)
    assert await client.get_versions("beta", simple_url(index, "secondary")) == ["0.2", "0.1"]
    assert "package_management.pip.index_urls" not in client.settings_manager.read


async def test_404_is_debug_and_500_is_one_error(index, closing, debug_logs):
    client = scout(index)
    closing(client)
    primary = simple_url(index, "primary")
    assert await client._get_versions_from_index("missing", primary) == []
    assert lines(debug_logs, logging.DEBUG) == [f"Package missing not found at {primary}"]
    assert not lines(debug_logs, logging.ERROR)
    debug_logs.clear()

    assert await client._get_versions_from_index("broken", primary) == []
    assert await client._get_extras_from_index("broken", "1.0", primary) == set()
    assert await client._get_dependencies_from_index("broken", "1.0", primary) == []
    assert lines(debug_logs, logging.ERROR) == [
        f"API returned status 500 for {index.base}/primary/pypi/broken/json",
        f"API returned status 500 for {index.base}/primary/pypi/broken/1.0/json",
        f"API returned status 500 for {index.base}/primary/pypi/broken/1.0/json",
    ]


async def test_unreachable_index_and_missing_unearth(index, closing, debug_logs, monkeypatch):
    client = scout(index)
    closing(client)
    dead = "http://127.0.0.1:9/simple"
    client.settings_manager.values["package_management.pip_api"].append(
        {"index_url": dead, "api_pattern": "http://127.0.0.1:9/pypi/{package_name}/{version}/json"}
    )
    assert await client.get_versions("alpha", dead) == []
    errors = lines(debug_logs, logging.ERROR)
    assert len(errors) == 1 and errors[0].startswith(f"Failed to query {dead} for alpha: ")

    monkeypatch.setattr(feedscout, "UNEARTH_AVAILABLE", False)
    no_api = "http://127.0.0.1:9/other/"
    assert await client.get_versions("alpha", no_api) == []
    assert await client.get_extras("alpha", "1.0", no_api) == []
    assert await client.get_dependencies("alpha", "1.0", no_api) == []
    assert await client.find_repo_for_package_version("alpha", "1.0") is not None  # JSON still works
    assert await client._package_exists_in_index("alpha", no_api) is False
    assert lines(debug_logs, logging.DEBUG).count(f"No API pattern and unearth not available for {no_api}") == 4


async def test_cancellation_is_not_swallowed(index, closing):
    client = scout(index)
    closing(client)
    task = asyncio.ensure_future(client.get_versions("slow", simple_url(index, "primary")))
    await asyncio.sleep(0.3)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await asyncio.wait_for(task, 5)


@pytest.mark.timeout(40)
async def test_slow_index_times_out_after_ten_seconds(index, closing, debug_logs):
    client = scout(index)
    closing(client)
    primary = simple_url(index, "primary")
    assert await client._get_versions_from_index("slow", primary) == []
    assert lines(debug_logs, logging.ERROR) == [f"Timeout querying {primary} for slow"]


# --- extras and dependencies ---


@pytest.mark.parametrize("json_api", [("primary",), ()], ids=["json", "unearth"])
async def test_extras_by_the_extra_rule(index, closing, json_api):
    client = scout(index, json_api=json_api)
    closing(client)
    # "Cov" in its normalised form; "docs" lacks the "extra ==" text; sorted as strings
    assert await client.get_extras("alpha", "2.0") == ["cov", "test"]
    assert await client.get_extras("nullreq", "1.0") == []
    assert await client.get_extras("beta", "0.1") == ["z"]


async def test_extras_and_dependencies_from_downloaded_distributions(index, closing):
    client = scout(index, json_api=())
    closing(client)
    assert await client.get_extras("gamma", "3.1") == ["toml"]
    assert index.hits["/primary/files/gamma-3.1-py3-none-any.whl"] == 1
    assert await client.get_extras("delta", "0.5") == ["idn"]
    assert await client.get_dependencies("delta", "0.5") == [
        {"name": "idna", "version_spec": "", "extras": [], "markers": "extra == 'idn'"}
    ]
    # a metadata file that does not match its announced hash is not believed
    assert await client.get_extras("epsilon", "1.0") == ["real"]
    assert index.hits["/primary/files/epsilon-1.0-py3-none-any.whl.metadata"] == 1
    assert index.hits["/primary/files/epsilon-1.0-py3-none-any.whl"] == 1


@pytest.mark.parametrize("json_api", [("primary",), ()], ids=["json", "unearth"])
async def test_dependencies_records(index, closing, debug_logs, json_api):
    client = scout(index, json_api=json_api)
    closing(client)
    records = await client.get_dependencies("alpha", "2.0")
    assert records == [
        {"name": "requests", "version_spec": ">=2.0", "extras": ["security", "socks"], "markers": "python_version < '3.8'"},
        {"name": "pytest", "version_spec": "", "extras": [], "markers": "extra == 'test'"},
        {"name": "sphinx", "version_spec": "", "extras": [], "markers": "extra=='docs'"},
        {"name": "coverage", "version_spec": ">=5", "extras": [], "markers": 'extra == "Cov"'},
    ]
    assert [list(r) for r in records] == [["name", "version_spec", "extras", "markers"]] * 4
    assert await client.get_dependencies("nullreq", "1.0") == []
    assert not lines(debug_logs, logging.ERROR)
    assert "No dependencies found for nullreq in any index" in lines(debug_logs, logging.DEBUG)


async def test_dependency_cache_keeps_unearth_results_only(index, closing):
    via_unearth = scout(index, json_api=())
    closing(via_unearth)
    first = await via_unearth.get_dependencies("Alpha", "1.0")
    assert first == [{"name": "six", "version_spec": "", "extras": [], "markers": ""}]
    assert ("alpha", "1.0") in via_unearth._metadata_cache
    pages = index.hits["/primary/simple/alpha/"]
    assert await via_unearth.get_dependencies("alpha", "1.0") == first
    assert index.hits["/primary/simple/alpha/"] == pages  # answered from the cache

    via_json = scout(index)
    closing(via_json)
    for _ in range(2):
        assert await via_json.get_dependencies("alpha", "1.0") == first
    assert index.hits["/primary/pypi/alpha/1.0/json"] == 2
    assert via_json._metadata_cache == {}


async def test_unearth_miss_on_primary_does_not_hide_secondary(index, closing):
    client = scout(index, json_api=())
    closing(client)
    assert await client.get_dependencies("beta", "0.1") == [
        {"name": "zeta", "version_spec": "", "extras": [], "markers": "extra == 'z'"}
    ]
    assert await client.get_dependencies("alpha", "99.0") == [
        {"name": "from-secondary", "version_spec": "", "extras": [], "markers": ""}
    ]


async def test_extras_and_dependencies_log_lines(index, closing, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    client = scout(index)
    closing(client)
    await client.get_extras("beta", "0.1")
    await client.get_dependencies("alpha", "2.0")
    await client.get_extras("missing", "1.0")
    assert lines(caplog, logging.INFO) == [
        "Querying primary index for extras: beta",
        "No extras in primary, trying 1 secondary indexes",
        "Querying secondary index: " + simple_url(index, "secondary"),
        "Found 1 extras in secondary index",
        "Querying primary index for dependencies: alpha",
        "Found 4 dependencies in primary index",
        "Querying primary index for extras: missing",
        "No extras in primary, trying 1 secondary indexes",
        "Querying secondary index: " + simple_url(index, "secondary"),
        "No extras found for missing in any index",
    ]


# --- the session ---


async def test_session_is_shared_closed_and_replaced(index, closing):
    client = scout(index)
    closing(client)
    assert client._session is None
    await client.get_versions("alpha")
    session = client._session
    await client.get_versions("beta")
    assert client._session is session and not session.closed
    await client.close()
    assert session.closed
    await client.close()  # closing twice is harmless
    assert await client.get_versions("alpha") == ["10.0", "2.0", "1.0"]
    assert client._session is not session


async def test_without_aiohttp_queries_fail_into_empty_results(index, debug_logs, monkeypatch):
    monkeypatch.setattr(feedscout, "aiohttp", None)
    client = scout(index)
    with pytest.raises(RuntimeError, match="^aiohttp not installed, cannot query package indexes$"):
        await client._get_session()
    primary = simple_url(index, "primary")
    assert await client.find_repo_for_package("alpha") is None
    assert await client.get_versions("alpha", primary) == []
    assert (
        f"API check failed for alpha at {primary}: aiohttp not installed, cannot query package indexes"
        in lines(debug_logs, logging.DEBUG)
    )
    assert lines(debug_logs, logging.ERROR) == [
        f"Failed to query {primary} for alpha: aiohttp not installed, cannot query package indexes"
    ]


# --- what may go into a request ---

BAD_NAMES = [
    "beta/../alpha",  # another package's page on the same index
    "../secondary/pypi/beta",
    "%2e%2e/alpha",
    "alpha?x=1",
    "alpha#frag",
    "-alpha",
    "alpha.",
    "al pha",
    "alpha\x00",
    "\udc80lpha",
    "ålpha",
    "",
    None,
    7,
]
BAD_VERSIONS = ["../../alpha/2.0", "2.0/../1.0", "1.0%2f..", "1.0 ", " 1.0", "1.*", "", "\udcff", None, 2.0]
# Written with a version's characters only, but not versions: "nonsense" is even a release key
# of alpha's JSON document, so only the version rule keeps it from being asked for.
BAD_VERSIONS += ["nonsense", "1.0-", "1..0", "1.0+", "1!", "1.0-foo-bar"]


def name_calls(client, url, name):
    """Every query that takes a package name but no version, with its empty answer."""
    return [
        (lambda: client.get_versions(name), []),
        (lambda: client.find_repo_for_package(name), None),
        (lambda: client._get_versions_from_index(name, url), []),
        (lambda: client._package_exists_in_index(name, url), False),
    ]


def version_calls(client, url, name, version):
    """Every query that takes a package name and a version, with its empty answer."""
    return [
        (lambda: client.get_extras(name, version), []),
        (lambda: client.get_dependencies(name, version), []),
        (lambda: client.find_repo_for_package_version(name, version), None),
        (lambda: client._get_extras_from_index(name, version, url), set()),
        (lambda: client._get_dependencies_from_index(name, version, url), []),
        (lambda: client._package_version_exists_in_index(name, version, url), False),
    ]


def warnings_of(caplog):
    return lines(caplog, logging.WARNING)


@pytest.mark.parametrize("json_api", [("primary", "secondary"), ()], ids=["json", "unearth"])
@pytest.mark.parametrize("name", BAD_NAMES, ids=repr)
async def test_bad_names_are_refused_before_any_request(index, closing, caplog, json_api, name):
    caplog.set_level(logging.INFO, logger=LOGGER)
    client = scout(index, json_api=json_api)
    closing(client)
    primary = simple_url(index, "primary")
    for call, empty in name_calls(client, primary, name) + version_calls(client, primary, name, "1.0"):
        caplog.clear()
        assert await call() == empty
        assert warnings_of(caplog) == [f"Refusing package name {name!r}: not a valid distribution name"]
    assert not index.hits


@pytest.mark.parametrize("json_api", [("primary", "secondary"), ()], ids=["json", "unearth"])
@pytest.mark.parametrize("version", BAD_VERSIONS, ids=repr)
async def test_bad_versions_are_refused_before_any_request(index, closing, caplog, json_api, version):
    caplog.set_level(logging.INFO, logger=LOGGER)
    client = scout(index, json_api=json_api)
    closing(client)
    for call, empty in version_calls(client, simple_url(index, "primary"), "alpha", version):
        caplog.clear()
        assert await call() == empty
        assert warnings_of(caplog) == [f"Refusing version {version!r} of alpha: not a valid version"]
    assert not index.hits


async def test_blocking_finder_helpers_refuse_too(index, closing, caplog):
    client = scout(index, json_api=())
    closing(client)
    primary = simple_url(index, "primary")
    assert client._get_versions_via_unearth("beta/../alpha", primary) == []
    assert client._get_extras_via_unearth("alpha", "../2.0", primary) == set()
    assert client._get_dependencies_via_unearth("/alpha", "2.0", primary) == []
    assert client._package_exists_via_unearth("beta/../alpha", primary) is False
    assert client._package_version_exists_via_unearth("alpha", "2.0/..", primary) is False
    assert len(warnings_of(caplog)) == 5
    assert not index.hits


# Run apart: an audit hook, which sees every file the finder opens in any thread, cannot be
# removed again.
DISK_PROBE = """
import asyncio, json, logging, sys
root, index_url = sys.argv[1], sys.argv[2]
opened = []

def watch(event, args):
    if event == "open" and isinstance(args[0], str) and args[0].startswith(root):
        opened.append(args[0])

sys.addaudithook(watch)
warnings = []

class Collect(logging.Handler):
    def emit(self, record):
        if record.levelno == logging.WARNING:
            warnings.append(record.getMessage())

from tarnlet_master.business_layer.packages import feedscout
feedscout.logger.addHandler(Collect())
feedscout.logger.setLevel(logging.WARNING)

class Settings:
    def get(self, key, default):
        values = {"package_management.pip.index_urls": [{"url": index_url, "primary": True}],
                  "package_management.pip_api": []}
        return values.get(key, default)

async def main():
    client = feedscout.Feedscout(Settings())
    try:
        return [
            await client.get_versions(root),
            await client.get_extras(root, "6.6"),
            await client.get_dependencies(root, "6.6"),
            await client.find_repo_for_package(root),
            await client.find_repo_for_package_version(root, "6.6"),
            client._get_versions_via_unearth(root, index_url),
            blocking_check(client, root, index_url),
        ]
    finally:
        await client.close()

def blocking_check(client, name, index_url):
    try:
        return client._package_exists_via_unearth(name, index_url)
    except Exception as error:  # its errors are its caller's
        return repr(error)

answers = asyncio.run(main())
print(json.dumps({"answers": answers, "opened": opened, "warnings": len(warnings)}))
"""


async def test_absolute_path_name_does_not_read_the_disk(index, tmp_path_factory):
    # A directory laid out as a one-page index: the finder would read its index.html. Its path
    # must be one that name normalisation leaves alone, or the finder would look elsewhere.
    root = tmp_path_factory.getbasetemp() / f"diskindex{uuid.uuid4().hex}"
    assert feedscout.Feedscout._normalize_name(str(root)) == str(root).lower() == str(root)
    root.mkdir()
    (root / "index.html").write_text('<a href="alpha-6.6-py3-none-any.whl">alpha-6.6-py3-none-any.whl</a>')
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    probe = await asyncio.create_subprocess_exec(
        sys.executable, "-c", DISK_PROBE, str(root), simple_url(index, "primary"),
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, env=env,
    )
    out, err = await asyncio.wait_for(probe.communicate(), 60)
    assert probe.returncode == 0, err.decode()
    seen = json.loads(out.decode().strip().splitlines()[-1])
    assert seen["opened"] == []
    assert seen["answers"] == [[], [], [], None, None, [], False]
    assert seen["warnings"] == 7
    assert not index.hits


@pytest.mark.parametrize("name", ["a", "Z9", "zope.interface", "typing_extensions", "x.y-z_1", "Mixed-Case.Name"])
async def test_every_distribution_name_is_asked_for(index, closing, caplog, name):
    client = scout(index, secondary=False)
    closing(client)
    assert await client.get_versions(name) == []  # not on the index: a quiet 404
    assert await client.get_extras(name, "1.0.post2.dev3") == []
    assert not [line for line in warnings_of(caplog) if line.startswith("Refusing")]
    assert index.hits[f"/primary/pypi/{name}/json"] == 1
    assert index.hits[f"/primary/pypi/{name}/1.0.post2.dev3/json"] == 1


async def test_versions_with_epoch_and_local_part_are_encoded(index, closing, caplog):
    client = scout(index)
    closing(client)
    assert await client.get_dependencies("oldstyle", "1!2.0+local") == [
        {"name": "epoch-dep", "version_spec": "", "extras": [], "markers": ""}
    ]
    assert await client.find_repo_for_package_version("oldstyle", "1!2.0+local") == simple_url(index, "primary")
    assert not warnings_of(caplog)
    # the index reads the version back as written; "+" travels encoded, so no server can take
    # it for a blank ("!" is legal in a path, and the HTTP client writes it back plainly)
    assert index.hits["/primary/pypi/oldstyle/1!2.0+local/json"] == 2
    assert [path for path in index.raw_paths if "oldstyle" in path] == ["/primary/pypi/oldstyle/1!2.0%2Blocal/json"]


# --- one time limit for every query path ---


@pytest.fixture
def short_limit(monkeypatch):
    monkeypatch.setattr(feedscout, "QUERY_TIMEOUT", 2)
    return 2


def drip_queries(client, index):
    primary = simple_url(index, "primary")
    return {
        "json versions": (lambda: client.get_versions("drip", primary), [], f"Timeout querying {primary} for drip"),
        "finder versions": (lambda: client.get_versions("drip", primary), [], f"Timeout querying {primary} for drip"),
        "finder download": (
            lambda: client.get_dependencies("dripfile", "1.0", primary),
            [],
            f"Timeout querying {primary} for dripfile",
        ),
        "finder existence": (
            lambda: client._package_exists_in_index("drip", primary),
            False,
            f"Unearth check failed for drip at {primary}: no complete answer within 2 s",
        ),
        "finder version existence": (
            lambda: client._package_version_exists_in_index("drip", "1.0", primary),
            False,
            f"Unearth check failed for drip==1.0 at {primary}: no complete answer within 2 s",
        ),
    }


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    "which", ["json versions", "finder versions", "finder download", "finder existence", "finder version existence"]
)
async def test_a_trickling_index_is_cut_off_at_the_limit(index, closing, debug_logs, short_limit, which):
    client = scout(index, json_api=("primary",) if which.startswith("json") else ())
    closing(client)
    call, empty, line = drip_queries(client, index)[which]
    loop = asyncio.get_running_loop()
    started = loop.time()
    assert await call() == empty
    elapsed = loop.time() - started
    assert index.drip_started.is_set()
    # the page would take 100 s; the answer comes at the limit (bound generous for a busy machine)
    assert elapsed < short_limit + 8
    assert line in lines(debug_logs)
    # the worker thread gives up on the page too, and says nothing more once it has
    await asyncio.wait_for(index.drip_stopped.wait(), 15)
    await loop.shutdown_default_executor()
    assert lines(debug_logs, logging.ERROR) == ([line] if line.startswith("Timeout") else [])


class BusyFinder:
    """A finder busy outside any HTTP request (a huge page being parsed, an archive being
    unpacked) until released: only the awaiting side can keep the query to its limit."""

    release = threading.Event()

    def __init__(self, *args, **kwargs):
        pass

    def find_all_packages(self, *args, **kwargs):
        self.release.wait(30)
        return []

    def find_best_match(self, *args, **kwargs):
        self.release.wait(30)
        return None


@pytest.mark.timeout(60)
@pytest.mark.parametrize("which", ["versions", "dependencies", "existence", "version existence"])
async def test_a_busy_finder_is_not_waited_for_past_the_limit(
    index, closing, debug_logs, short_limit, monkeypatch, which
):
    monkeypatch.setattr(feedscout, "PackageFinder", BusyFinder)
    BusyFinder.release.clear()
    primary = simple_url(index, "primary")
    client = scout(index, json_api=())
    closing(client)
    call, empty, line = {
        "versions": (client.get_versions("alpha", primary), [], f"Timeout querying {primary} for alpha"),
        "dependencies": (client.get_dependencies("alpha", "1.0", primary), [], f"Timeout querying {primary} for alpha"),
        "existence": (
            client._package_exists_in_index("alpha", primary),
            False,
            f"Unearth check failed for alpha at {primary}: no complete answer within 2 s",
        ),
        "version existence": (
            client._package_version_exists_in_index("alpha", "1.0", primary),
            False,
            f"Unearth check failed for alpha==1.0 at {primary}: no complete answer within 2 s",
        ),
    }[which]
    loop = asyncio.get_running_loop()
    started = loop.time()
    try:
        assert await call == empty
        assert loop.time() - started < short_limit + 8
    finally:
        BusyFinder.release.set()
    assert line in lines(debug_logs)


@pytest.mark.timeout(60)
async def test_the_limit_covers_the_whole_query_not_each_request(index, closing, debug_logs, monkeypatch):
    # The page and the metadata file each answer within 2 s, but not both together.
    primary = simple_url(index, "primary")
    client = scout(index, json_api=(), secondary=False)
    closing(client)
    monkeypatch.setattr(feedscout, "QUERY_TIMEOUT", 2)
    loop = asyncio.get_running_loop()
    loop.set_default_executor(concurrent.futures.ThreadPoolExecutor(max_workers=1))
    started = loop.time()
    assert await client.get_dependencies("slowpair", "1.0") == []
    assert loop.time() - started < 2 * SLOW_STEP + 1
    await loop.run_in_executor(None, lambda: None)  # after the abandoned worker has finished
    assert lines(debug_logs, logging.ERROR) == [f"Timeout querying {primary} for slowpair"]
    # out of time, the worker does not go on to download the distribution instead
    assert not [line for line in lines(debug_logs) if line.startswith("Metadata file unusable")]
    assert index.hits["/primary/files/slowpair-1.0-py3-none-any.whl"] == 0
    assert client._metadata_cache == {}

    # with time for both, the same query answers
    monkeypatch.setattr(feedscout, "QUERY_TIMEOUT", 4 * SLOW_STEP)
    assert await client.get_dependencies("slowpair", "1.0") == [
        {"name": "late", "version_spec": "", "extras": [], "markers": ""}
    ]


# --- extras ---


@pytest.mark.parametrize("json_api", [("primary",), ()], ids=["json", "unearth"])
async def test_extras_declared_and_named_in_markers_normalised(index, closing, json_api):
    client = scout(index, json_api=json_api)
    closing(client)
    # "security", "ssl" and "only-declared-here" add no requirement
    assert await client.get_extras("extrakit", "1.0") == [
        "a", "b", "cool-stuff", "mixed-case", "only-declared-here", "security", "ssl"
    ]
    # without Provides-Extra the markers alone name them: every extra of an "or", nested too
    assert await client.get_extras("orkit", "1.0") == ["mixed-case", "one", "third", "two-parts"]


def install_from_index(index, site, name, version):
    """Unpack the index's wheel of name==version into `site` as an installed distribution."""
    body = index.files[("primary", f"{name}-{version}-py3-none-any.whl")]
    with zipfile.ZipFile(io.BytesIO(body)) as wheel:
        wheel.extractall(site)
    importlib.invalidate_caches()


async def test_installed_extras_match_what_the_index_answers(index, closing, tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    install_from_index(index, tmp_path, "extrakit", "1.0")
    install_from_index(index, tmp_path, "orkit", "1.0")
    client = scout(index)
    closing(client)
    for name in ("extrakit", "orkit"):
        for extra in await client.get_extras(name, "1.0"):
            assert client.check_specifier_in_dist(name, "==1.0", [extra]) == "1.0"
    for spelled in (["COOL.STUFF"], ["cool_stuff", "Mixed-Case"], ["B", "a", "SSL"], ["only_declared.here"]):
        assert client.check_specifier_in_dist("extrakit", "", spelled) == "1.0"
    for spelled in (["Two.Parts", "THIRD"], ["mixed_case"], ["ONE"]):
        assert client.check_specifier_in_dist("orkit", "", spelled) == "1.0"
    assert client.check_specifier_in_dist("extrakit", "", ["security", "socks"]) is None
    assert client.check_specifier_in_dist("orkit", "", ["two"]) is None


# --- requirements written the old way ---


@pytest.mark.parametrize("json_api", [("primary",), ()], ids=["json", "unearth"])
@pytest.mark.parametrize("with_packaging", [True, False], ids=["packaging", "textual"])
async def test_parenthesised_specifiers_become_usable(index, closing, monkeypatch, json_api, with_packaging):
    if not with_packaging:
        monkeypatch.setattr(feedscout, "Requirement", None)
    client = scout(index, json_api=json_api)
    closing(client)
    records = await client.get_dependencies("oldstyle", "1.0")
    assert [(r["name"], r["version_spec"]) for r in records] == [
        ("botocore", "<1.45.0,>=1.44.18"),
        ("packaging", ">=20"),
        ("urllib3", ">=1.25") if with_packaging else ("urllib3", "[socks] (>=1.25)"),
    ]
    if with_packaging:
        assert records[2]["extras"] == ["socks"] and records[2]["markers"] == "extra == 'net'"
    # the version specifier goes on to the installed check, which can now answer
    installed = importlib.metadata.version("packaging")
    assert client.check_specifier_in_dist("packaging", records[1]["version_spec"]) == installed
    assert client.check_specifier_in_dist("packaging", records[0]["version_spec"]) is None


@pytest.mark.parametrize("json_api", [("primary",), ()], ids=["json", "unearth"])
async def test_dependencies_checked_against_what_is_installed(index, closing, tmp_path, monkeypatch, json_api):
    # Two copies of one distribution: the one imports would use comes first on sys.path.
    for site, version in (("later", "2.5"), ("earlier", "1.5")):
        info = tmp_path / site / f"shadowed-{version}.dist-info"
        info.mkdir(parents=True)
        (info / "METADATA").write_bytes(metadata_text("shadowed", version, []))
        monkeypatch.syspath_prepend(str(tmp_path / site))
    importlib.invalidate_caches()
    client = scout(index, json_api=json_api)
    closing(client)
    records = await client.get_dependencies("needs", "1.0")
    # a caller passing on "no specifier" as None
    satisfied = {r["name"]: client.check_specifier_in_dist(r["name"], r["version_spec"] or None, r["extras"]) for r in records}
    assert satisfied == {"shadowed": "1.5", "json": sys.version.split()[0], "absent-dep": None}


# --- source distributions that cannot state their dependencies ---


async def test_unknown_dependencies_are_said_and_not_cached(index, closing, caplog):
    client = scout(index, json_api=(), secondary=False)
    closing(client)
    assert await client.get_dependencies("legacy", "0.10.1") == []
    assert await client.get_dependencies("legacy11", "0.2") == []
    assert warnings_of(caplog) == [
        "Dependencies of legacy==0.10.1 are unknown: its metadata (Metadata-Version 1.0) predates Requires-Dist",
        "Dependencies of legacy11==0.2 are unknown: its metadata (Metadata-Version 1.1) predates Requires-Dist",
    ]
    caplog.clear()
    listed = [{"name": "listed", "version_spec": "", "extras": [], "markers": ""}]
    assert await client.get_dependencies("known12", "0.3") == listed  # 1.2 is where Requires-Dist begins
    assert not warnings_of(caplog)
    assert client._metadata_cache == {("known12", "0.3"): listed}
    client._metadata_cache.clear()
    assert await client.get_dependencies("dynamic", "2.0") == listed
    assert warnings_of(caplog) == ["Dependencies of dynamic==2.0 are unknown: its metadata declares them dynamic"]
    assert client._metadata_cache == {}
    pages = index.hits["/primary/simple/dynamic/"]
    await client.get_dependencies("dynamic", "2.0")
    assert index.hits["/primary/simple/dynamic/"] == pages + 1  # asked again, not answered from a cache

    # another field declared dynamic says nothing about the dependencies
    caplog.clear()
    assert await client.get_dependencies("static", "2.0") == listed
    assert not warnings_of(caplog)
    assert client._metadata_cache == {("static", "2.0"): listed}


# --- releases nobody can install ---


@pytest.mark.parametrize("json_api", [("primary",), ()], ids=["json", "unearth"])
async def test_releases_without_installable_files_are_left_out(index, closing, json_api):
    client = scout(index, json_api=json_api)
    closing(client)
    # 1.1 and 1.4: every file yanked; 1.2: no files; 1.3 keeps one file; the pre-release stays
    assert await client.get_versions("omega") == ["2.0b1", "1.3", "1.0"]


async def test_release_lists_in_unexpected_forms(index, closing):
    index.odd_releases = {
        "1.0": None,
        "2.0": "not a list",
        "3.0": [{"yanked": True}, "not a file"],
        "4.0": [{"yanked": "for a reason"}],
        "5.0": [{"yanked": False}, {"yanked": True}],
        "6.0": [{}],
    }

    client = feedscout.Feedscout(
        Settings(
            {
                "package_management.pip.index_urls": [{"url": f"{index.base}/odd/simple/", "primary": True}],
                "package_management.pip_api": [api_entry(index, "odd")],
            }
        )
    )
    closing(client)
    assert await client.get_versions("anything") == ["6.0", "5.0", "3.0", "2.0"]

"""Feedscout against a real local package index (aiohttp's web server on 127.0.0.1).

The server plays several indexes under path prefixes ("/primary", "/secondary"); each has a
JSON API ("/pypi/{name}/json", "/pypi/{name}/{version}/json") and "simple" pages whose wheel
links announce their metadata files, so both the JSON path and the unearth path run for real.
An index without a pip_api entry is queried through unearth.
"""

import asyncio
import collections
import hashlib
import io
import logging
import socket
import tarfile
import zipfile

import pytest
from aiohttp import web

from tarnlet_master.business_layer.packages import feedscout

LOGGER = feedscout.__name__

ALPHA_2_REQUIRES = [
    "requests[security, socks] >=2.0 ; python_version < '3.8'",
    "pytest ; extra == 'test'",
    "sphinx; extra=='docs'",  # no space before "==": not an extra by the rule
    'coverage>=5 ; extra == "Cov"',
]

# index -> package -> version -> (requires_dist, how the simple page offers it)
# offer: "metadata" (wheel + PEP 658 file), "wheel" (wheel only), "sdist", "bad-metadata"
# (announced metadata file whose hash does not match), None (JSON API only).
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
    },
    "secondary": {
        "alpha": {"99.0": (["from-secondary"], "metadata")},
        "beta": {"0.1": (["zeta ; extra == 'z'"], "metadata"), "0.2": ([], "metadata")},
    },
}


def metadata_text(name, version, requires):
    lines = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
    lines += [f"Requires-Dist: {r}" for r in requires or []]
    return ("\n".join(lines) + "\n").encode()


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
        self.release_slow = asyncio.Event()
        self.files = {}  # (index, filename) -> bytes
        self.pages = {}  # (index, name) -> html
        for index, packages in INDEXES.items():
            for name, versions in packages.items():
                self.pages[(index, name)] = self._page(index, name, versions)

    def _page(self, index, name, versions):
        anchors = []
        for version, (requires, offer) in versions.items():
            if offer is None:
                continue
            metadata = metadata_text(name, version, requires)
            if offer == "sdist":
                filename = f"{name}-{version}.tar.gz"
                self.files[(index, filename)] = sdist_bytes(name, version, metadata)
            else:
                filename = f"{name}-{version}-py3-none-any.whl"
                self.files[(index, filename)] = wheel_bytes(name, version, metadata)
            attrs = ""
            if offer in ("metadata", "bad-metadata"):
                served = metadata if offer == "metadata" else metadata_text(name, version, ["wrong-dep"])
                self.files[(index, filename + ".metadata")] = served
                attrs = f' data-dist-info-metadata="sha256={hashlib.sha256(metadata).hexdigest()}"'
            anchors.append(f'<a href="/{index}/files/{filename}"{attrs}>{filename}</a>')
        return "<!DOCTYPE html><html><body>" + "\n".join(anchors) + "</body></html>"

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
        special = await self._special(name)
        if special is not None:
            return special
        versions = INDEXES.get(index, {}).get(name)
        if versions is None:
            return web.json_response({"message": "Not Found"}, status=404)
        return web.json_response({"info": {"name": name}, "releases": {v: [] for v in versions}})

    async def version_json(self, request):
        index, name, version = (request.match_info[k] for k in ("index", "name", "version"))
        self.hits[request.path] += 1
        special = await self._special(name)
        if special is not None:
            return special
        entry = INDEXES.get(index, {}).get(name, {}).get(version)
        if entry is None:
            return web.json_response({"message": "Not Found"}, status=404)
        return web.json_response({"info": {"name": name, "version": version, "requires_dist": entry[0]}})

    async def simple(self, request):
        index, name = request.match_info["index"], request.match_info["name"]
        self.hits[request.path] += 1
        if name == "broken":
            return web.Response(status=500, text="boom")
        page = self.pages.get((index, name))
        if page is None:
            return web.Response(status=404, text="no such project")
        return web.Response(text=page, content_type="text/html")

    async def file(self, request):
        index, filename = request.match_info["index"], request.match_info["filename"]
        self.hits[request.path] += 1
        body = self.files.get((index, filename))
        if body is None:
            return web.Response(status=404)
        return web.Response(body=body, content_type="application/octet-stream")

    def app(self):
        app = web.Application()
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
    # "Cov" keeps its case; "docs" lacks the "extra ==" text; sorted as strings
    assert await client.get_extras("alpha", "2.0") == ["Cov", "test"]
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

"""Feedscout in an interpreter where aiohttp, unearth or packaging cannot be imported.

Each case runs in a fresh subprocess whose import system refuses the named packages before
the module is imported, so the module's own import-time checks run.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

PROLOGUE = """
import asyncio, importlib.abc, json, logging, sys

BLOCKED = set(sys.argv[1].split(","))

class Refuse(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in BLOCKED:
            raise ImportError(f"{name} is blocked in this test")
        return None

sys.meta_path.insert(0, Refuse())
for loaded in [m for m in sys.modules if m.split(".")[0] in BLOCKED]:
    del sys.modules[loaded]

records = []
class Collect(logging.Handler):
    def emit(self, record):
        records.append([record.levelname, record.getMessage()])

from tarnlet_master.business_layer.packages import feedscout
feedscout.logger.addHandler(Collect())
feedscout.logger.setLevel(logging.DEBUG)
"""


def run(blocked, body):
    code = PROLOGUE + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run(
        [sys.executable, "-c", code, ",".join(blocked)], capture_output=True, text=True, timeout=60, env=env
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


FLAGS = """
print(json.dumps({
    "aiohttp": feedscout.aiohttp is not None,
    "PackageFinder": feedscout.PackageFinder is not None,
    "UNEARTH_AVAILABLE": feedscout.UNEARTH_AVAILABLE,
    "SpecifierSet": feedscout.SpecifierSet is not None,
    "Version": feedscout.Version is not None,
    "PACKAGING_AVAILABLE": feedscout.PACKAGING_AVAILABLE,
}))
"""


@pytest.mark.parametrize(
    "blocked, expected",
    [
        ((), dict(aiohttp=True, unearth=True, packaging=True)),
        (("aiohttp",), dict(aiohttp=False, unearth=True, packaging=True)),
        (("unearth",), dict(aiohttp=True, unearth=False, packaging=True)),
        (("packaging",), dict(aiohttp=True, unearth=False, packaging=False)),  # unearth needs packaging
        (("aiohttp", "unearth", "packaging"), dict(aiohttp=False, unearth=False, packaging=False)),
    ],
)
def test_availability_flags(blocked, expected):
    flags = run(blocked, FLAGS)
    assert flags == {
        "aiohttp": expected["aiohttp"],
        "PackageFinder": expected["unearth"],
        "UNEARTH_AVAILABLE": expected["unearth"],
        "SpecifierSet": expected["packaging"],
        "Version": expected["packaging"],
        "PACKAGING_AVAILABLE": expected["packaging"],
    }


def test_client_without_any_optional_dependency():
    result = run(
        ("aiohttp", "unearth", "packaging"),
        """
        settings = {
            "package_management.pip.index_urls": [
                {"url": "http://127.0.0.1:1/simple/", "primary": True},
                {"url": "http://127.0.0.1:1/other/"},
            ],
            "package_management.pip.use_secondary_urls": True,
            "package_management.pip_api": [
                {"index_url": "http://127.0.0.1:1/simple", "api_pattern": "http://127.0.0.1:1/pypi/{package_name}/{version}/json"}
            ],
        }
        class Manager:
            def get(self, key, default):
                return settings.get(key, default)

        async def main():
            client = feedscout.Feedscout(Manager())
            out = {}
            try:
                await client._get_session()
            except RuntimeError as e:
                out["session"] = str(e)
            out["repo"] = await client.find_repo_for_package("x")
            out["repo_version"] = await client.find_repo_for_package_version("x", "1.0")
            out["versions"] = await client.get_versions("x")
            out["extras"] = await client.get_extras("x", "1.0")
            out["dependencies"] = await client.get_dependencies("x", "1.0")
            out["check"] = client.check_specifier_in_dist("json", "")
            out["parsed"] = client._parse_requirement("a[b]>=1; c")
            out["old_style"] = client._parse_requirement("a (>=1)")
            out["requirement"] = feedscout.Requirement is not None
            out["refused"] = [await client.get_versions("a/../b"), await client.get_extras("x", "1.0/../2")]
            await client.close()
            return out

        out = asyncio.run(main())
        out["records"] = records
        print(json.dumps(out))
        """,
    )
    aiohttp_missing = "aiohttp not installed, cannot query package indexes"
    assert result["session"] == aiohttp_missing
    assert result["repo"] is None and result["repo_version"] is None
    assert result["versions"] == [] and result["extras"] == [] and result["dependencies"] == []
    assert result["check"] is None
    assert result["parsed"] == {"name": "a", "version_spec": ">=1", "extras": ["b"], "markers": "c"}
    assert result["old_style"]["version_spec"] == ">=1" and result["requirement"] is False
    assert result["refused"] == [[], []]
    records = result["records"]
    assert ["DEBUG", f"API check failed for x at http://127.0.0.1:1/simple/: {aiohttp_missing}"] in records
    assert ["DEBUG", f"API check failed for x==1.0 at http://127.0.0.1:1/simple/: {aiohttp_missing}"] in records
    assert ["DEBUG", "No API pattern and unearth not available for http://127.0.0.1:1/other/"] in records
    assert ["ERROR", f"Failed to query http://127.0.0.1:1/simple/ for x: {aiohttp_missing}"] in records
    assert ["WARNING", "No versions found for x in any index"] in records
    # without packaging a version is checked by its characters alone
    assert ["WARNING", "Refusing package name 'a/../b': not a valid distribution name"] in records
    assert ["WARNING", "Refusing version '1.0/../2' of x: not a valid version"] in records
    assert ["DEBUG", "packaging library not available, cannot check distributions"] in records

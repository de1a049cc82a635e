"""Hand check of Feedscout against pip on the public package index.

For each package: the versions (finder path and JSON path) against `pip index versions --pre`,
and the extras and dependencies of the newest version against the metadata in pip's
`install --dry-run --report`. pip runs isolated (no local configuration, no local wheels) and
against the same index. Needs network access; not a test.

    PYTHONPATH=build/NAME/tree python dev/compare_with_pip.py [--json-out FILE] [PACKAGE ...]
"""

import argparse
import asyncio
import json
import logging
import subprocess
import sys
import tempfile
import urllib.request

from packaging.requirements import InvalidRequirement, Requirement
from packaging.utils import canonicalize_name
from packaging.version import Version

from tarnlet_master.business_layer.packages import feedscout

INDEX = "https://pypi.org/simple/"
NEXT_PYTHON = f"{sys.version_info.major}.{sys.version_info.minor + 1}"
PACKAGES = [
    "requests", "flask", "django", "numpy", "pandas", "setuptools", "boto3", "sqlalchemy", "pydantic", "urllib3"
]
CERT = "/etc/ssl/certs/ca-certificates.crt"
PIP = [sys.executable, "-m", "pip", "--isolated", "--disable-pip-version-check", "--cert", CERT]


class Settings:
    def __init__(self, values):
        self.values = values

    def get(self, key, default):
        return self.values.get(key, default)


# The reachable public index serves the package-level JSON document but answers 404 for
# every per-version one, so version-level JSON questions go to the package-level document,
# whose "info" describes the release named in it (the one compared below).
PACKAGE_LEVEL_JSON = "https://pypi.org/pypi/{package_name}/json"


def client(path):
    values = {"package_management.pip.index_urls": [{"url": INDEX, "primary": True}]}
    if path == "finder":
        values["package_management.pip_api"] = []  # no JSON pattern: the finder answers
    elif path == "json-latest":
        values["package_management.pip_api"] = [{"index_url": INDEX, "api_pattern": PACKAGE_LEVEL_JSON}]
    return feedscout.Feedscout(Settings(values))


def latest_release(name):
    with urllib.request.urlopen(PACKAGE_LEVEL_JSON.format(package_name=name), timeout=60) as response:
        return json.load(response)["info"]["version"]


def pip_versions(name):
    cmd = PIP + ["index", "versions", "--pre", "--index-url", INDEX, name]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout
    line = next(line for line in out.splitlines() if line.startswith("Available versions:"))
    return [v.strip() for v in line.split(":", 1)[1].split(",")]


def pip_metadata(name, version):
    """The metadata pip would install for name==version; for a release this interpreter is too
    old for, the wheel pip would pick for the next Python (pip wants --target for that)."""
    cmd = PIP + ["install", "--dry-run", "--ignore-installed", "--no-deps", "--quiet", "--report", "-"]
    cmd += ["--index-url", INDEX, f"{name}=={version}"]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        with tempfile.TemporaryDirectory() as target:
            newer = ["--python-version", NEXT_PYTHON, "--only-binary=:all:", "--ignore-requires-python"]
            newer += ["--target", target]
            done = subprocess.run(cmd + newer, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)["install"][0]["metadata"]


def same_versions(ours, theirs):
    """Compared as PEP 440 versions: the index may spell one differently from pip ("0.6c1")."""
    result = compare_sets({str(Version(v)) for v in ours}, theirs)
    result["spelled_differently"] = sorted(v for v in ours if str(Version(v)) != v)
    return result


def canonical(requirement):
    try:
        return str(Requirement(requirement))
    except InvalidRequirement as e:
        return f"<invalid: {requirement!r}: {e}>"


def from_record(record):
    text = record["name"]
    if record["extras"]:
        text += "[" + ",".join(record["extras"]) + "]"
    text += record["version_spec"]
    if record["markers"]:
        text += " ; " + record["markers"]
    return canonical(text)


def compare_sets(ours, theirs):
    ours, theirs = set(ours), set(theirs)
    return {"equal": ours == theirs, "only_ours": sorted(ours - theirs), "only_pip": sorted(theirs - ours)}


async def check(name):
    row = {"package": name}
    pip_v = pip_versions(name)
    row["pip_versions"] = len(pip_v)
    for path in ("finder", "json"):
        scout = client(path)
        detail = client("json-latest") if path == "json" else scout
        try:
            versions = await scout.get_versions(name)
            row[f"{path}_versions"] = len(versions)
            row[f"{path}_versions_cmp"] = same_versions(versions, pip_v)
            row[f"{path}_order_ok"] = versions == sorted(versions, key=feedscout.Version, reverse=True)
            # the newest release on this path (the JSON path's is the one its document describes)
            latest = row[f"{path}_latest"] = versions[0] if path == "finder" else latest_release(name)
            meta = pip_metadata(name, latest)
            pip_extras = {canonicalize_name(e) for e in meta.get("provides_extra") or []}
            extras = await detail.get_extras(name, latest)
            row[f"{path}_extras"] = compare_sets(extras, pip_extras)
            row[f"{path}_extras_count"] = (len(extras), len(pip_extras))
            pip_deps = [canonical(r) for r in meta.get("requires_dist") or []]
            records = await detail.get_dependencies(name, latest)
            ours = [from_record(r) for r in records]
            row[f"{path}_deps"] = compare_sets(ours, pip_deps)
            row[f"{path}_deps_count"] = (len(ours), len(pip_deps))
            # every version_spec must be usable as a specifier set on its own
            bad_specs = []
            for r in records:
                try:
                    feedscout.SpecifierSet(r["version_spec"])
                except Exception:
                    bad_specs.append(r["version_spec"])
            row[f"{path}_bad_specs"] = bad_specs
        finally:
            await scout.close()
            await detail.close()  # closing twice is harmless
    return row


def report_differences(row):
    """Each comparison that is not equal, and version strings spelled unlike pip's, shortened."""
    for key, value in row.items():
        if isinstance(value, dict) and (not value["equal"] or value.get("spelled_differently")):
            short = {k: v[:8] + ([f"... {len(v)} in all"] if len(v) > 8 else []) for k, v in value.items() if v and k != "equal"}
            print(row["package"], key, json.dumps(short), flush=True)
        elif key.endswith("_bad_specs") and value or key.endswith("_order_ok") and not value or key == "error":
            print(row["package"], key, value, flush=True)


def cell(row, what):
    """"=" or "≠" for the finder and the JSON path, then the counts: finder/json/pip."""
    marks = "".join("=" if row[f"{path}_{what}"]["equal"] else "≠" for path in ("finder", "json"))
    finder, pip = row[f"finder_{what}_count"]
    return f"{marks} ({finder}/{row[f'json_{what}_count'][0]}/{pip})"


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--json-out")
    parser.add_argument("packages", nargs="*")
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    rows = []
    for name in args.packages or PACKAGES:
        try:
            rows.append(await check(name))
        except Exception as e:  # one package's trouble should not hide the others
            rows.append({"package": name, "error": repr(e)})
        report_differences(rows[-1])
    if args.json_out:
        with open(args.json_out, "w") as out:
            json.dump(rows, out, indent=1)
    print("\n| package | latest | versions finder/json/pip | extras finder/json/pip | deps finder/json/pip |")
    print("|---|---|---|---|---|")
    for r in rows:
        if "error" in r:
            print(f"| {r['package']} | error: {r['error']} | | | |")
            continue
        v = f"{r['finder_versions']}/{r['json_versions']}/{r['pip_versions']}"
        r["latest"] = r["finder_latest"] + ("" if r["json_latest"] == r["finder_latest"] else f" / {r['json_latest']}")
        e = cell(r, "extras")
        d = cell(r, "deps")
        print(f"| {r['package']} | {r['latest']} | {v} | {e} | {d} |")


if __name__ == "__main__":
    asyncio.run(main())

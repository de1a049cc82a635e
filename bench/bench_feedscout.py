"""Feedscout benchmarks, each against a floor measured in the same run.

1. check_specifier_in_dist for every installed distribution, against packaging's
   Version(v) in SpecifierSet(s) on the same strings.
2. get_versions for 200 packages gathered concurrently against a local JSON index (served by
   aiohttp in a child process), against a bare aiohttp GET + JSON decode of the same URLs.

Run: python bench/bench_feedscout.py [--rounds N]
Prints RESULT lines (see bench/README.md).
"""

import argparse
import asyncio
import importlib.metadata
import multiprocessing
import statistics
import time

from benchlib import result
from packaging.specifiers import SpecifierSet
from packaging.version import InvalidVersion, Version

from tarnlet_master.business_layer.packages import feedscout

PACKAGES = 200


def installed_cases():
    """(name, version spec) for every installed distribution with a valid version."""
    cases = []
    for dist in importlib.metadata.distributions():
        name, version = dist.metadata["Name"], dist.metadata.get("Version")
        if not name or not version:
            continue
        try:
            Version(version)
        except InvalidVersion:
            continue
        cases.append((name, f">=0,<={version}", version))
    return cases


def bench_specifiers(rounds):
    cases = installed_cases()
    client = feedscout.Feedscout(None)
    start = time.perf_counter()
    client._get_current_distributions()
    build = time.perf_counter() - start

    ours, floor = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        found = [client.check_specifier_in_dist(name, spec) for name, spec, _ in cases]
        ours.append(time.perf_counter() - start)
        start = time.perf_counter()
        expected = [version if Version(version) in SpecifierSet(spec) else None for _, spec, version in cases]
        floor.append(time.perf_counter() - start)
        assert found == expected, "check_specifier_in_dist disagrees with packaging"
    best, best_floor = min(ours), min(floor)
    n = len(cases)
    print(f"check_specifier_in_dist: {n} installed distributions, table built in {build * 1e3:.1f} ms")
    print(f"  feedscout: {best * 1e3:8.2f} ms total, {best / n * 1e6:7.1f} us/call")
    print(f"  packaging: {best_floor * 1e3:8.2f} ms total, {best_floor / n * 1e6:7.1f} us/call (floor)")
    print(f"  ratio: {best / best_floor:.2f}x the floor's time (table built once, outside the timed loop)")
    result("feedscout.check_specifier", best / n * 1e6, "us", best_floor / n * 1e6)


def serve(port_queue):
    from aiohttp import web

    def files(version, yanked=False):
        return [{"filename": f"pkg-{version}-py3-none-any.whl", "yanked": yanked}]

    releases = {f"{major}.{minor}": files(f"{major}.{minor}") for major in range(1, 11) for minor in range(5)}
    releases.update({f"{major}.9": files(f"{major}.9", yanked=True) for major in range(1, 6)})  # left out
    releases["nonsense"] = files("nonsense")

    async def package_json(request):
        return web.json_response({"info": {"name": request.match_info["name"]}, "releases": releases})

    async def main():
        app = web.Application()
        app.router.add_get("/pypi/{name}/json", package_json)
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        site = web.TCPSite(runner, "127.0.0.1", 0)
        await site.start()
        port_queue.put(runner.addresses[0][1])
        await asyncio.sleep(3600)

    asyncio.run(main())


async def bench_versions(port, rounds):
    import aiohttp

    base = f"http://127.0.0.1:{port}"
    index_url = base + "/simple/"

    class Settings:
        def get(self, key, default):
            return {
                "package_management.pip.index_urls": [{"url": index_url, "primary": True}],
                "package_management.pip_api": [
                    {"index_url": index_url, "api_pattern": base + "/pypi/{package_name}/{version}/json"}
                ],
            }.get(key, default)

    names = [f"pkg{i}" for i in range(PACKAGES)]
    client = feedscout.Feedscout(Settings())
    session = aiohttp.ClientSession()
    timeout = aiohttp.ClientTimeout(total=10)

    async def bare(name):
        async with session.get(f"{base}/pypi/{name}/json", timeout=timeout) as response:
            return list((await response.json())["releases"])

    # warm both connection pools
    await asyncio.gather(*(client.get_versions(n) for n in names))
    await asyncio.gather(*(bare(n) for n in names))

    ours, floor = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        results = await asyncio.gather(*(client.get_versions(n) for n in names))
        ours.append(time.perf_counter() - start)
        assert all(len(r) == 50 for r in results)
        start = time.perf_counter()
        await asyncio.gather(*(bare(n) for n in names))
        floor.append(time.perf_counter() - start)
    await client.close()
    await session.close()

    best, best_floor = min(ours), min(floor)
    print(f"get_versions: {PACKAGES} packages gathered, 56 releases each, best of {rounds} rounds")
    print(f"  feedscout:  {PACKAGES / best:8.0f} requests/s ({best * 1e3:.1f} ms, median {statistics.median(ours) * 1e3:.1f} ms)")
    print(f"  bare GET:   {PACKAGES / best_floor:8.0f} requests/s ({best_floor * 1e3:.1f} ms) (floor)")
    print(f"  ratio: {best / best_floor:.2f}x the floor's time (includes checking the name, dropping yanked releases "
          "and sorting 50 versions with packaging)")
    result("feedscout.get_versions", PACKAGES / best, "requests/s", PACKAGES / best_floor)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    bench_specifiers(args.rounds)

    context = multiprocessing.get_context("spawn")
    port_queue = context.Queue()
    server = context.Process(target=serve, args=(port_queue,), daemon=True)
    server.start()
    try:
        port = port_queue.get(timeout=30)
        asyncio.run(bench_versions(port, args.rounds))
    finally:
        server.terminate()
        server.join(10)


if __name__ == "__main__":
    main()

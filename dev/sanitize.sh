#!/usr/bin/env bash
# The test suite against a copy of the modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in build/asan (a tree like dev/build.sh makes).
#
# The interpreter is not instrumented, so the runtimes are preloaded into it and, through
# the inherited environment, into every kernel subprocess. Leak detection is off for the
# suite (the programs the tests start, git among them, leak at exit and would drown it);
# a second run of the bridge tests looks for leaks and keeps only reports that pass through
# our code. The tests that measure memory growth run apart, without ASan's quarantine.
# Exits non-zero when a test fails or any sanitizer report passes through the project
# (dev/sanitizer_reports.py decides which do).
#
#   dev/sanitize.sh [PYTEST ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/asan
tree=$out/tree
logs=$out/logs
py=$(python -c 'import sys; print(sys.executable)')

mkdir -p "$tree"
cp -rsf "$root/python/tarnlet_master" "$tree/"
find "$tree" -name '__pycache__' -type l -delete 2>/dev/null || true
launcher=$(command -v ccache || true)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
# Configured every time (it takes seconds), so a tree configured before keeps up with these options.
# CMAKE_CXX_FLAGS_RELEASE is set so that no -O3 lands after the sanitizer's -O1; the bridge
# tests need the test-only module.
cmake -S . -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    -DTARNLET_SANITIZE=ON -DTARNLET_BUILD_TESTS=ON ${TARNLET_SANITIZE_CMAKE_ARGS:-} \
    ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
    -DTARNLET_OUTPUT_DIR="$tree" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
started=$(date +%s)
cmake --build "$out/cmake" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
echo "sanitized build: $(( $(date +%s) - started )) s"

preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# sanitize_site/sitecustomize.py hands UBSan its log path in every interpreter (libubsan
# ignores UBSAN_OPTIONS' log_path next to libasan). UBSan recovers, so one run finds every
# report; after one, that process's ASan reports reach only its stderr, but the run fails anyway.
ubsan_options=print_stacktrace=1
pythonpath="$root/dev/sanitize_site:$tree"
# Instrumented code runs several times slower: the tests' waits and timeouts stretch.
export TARNLET_TEST_TIMEOUT_SCALE=${TARNLET_TEST_TIMEOUT_SCALE:-3}

# These measure their process's memory growth, which ASan's quarantine (freed memory held
# back to catch later uses of it) inflates by up to its size: they run apart, without it.
bridge_memory_test=tests/test_bridge.py::test_no_leak_over_a_hundred_thousand_awaits
kernel_memory_tests=(
    tests/test_kernel_survival_transport.py::test_oversized_compressed_messages_are_skipped_without_holding_them
    tests/test_kernel_survival_transport.py::test_a_deflate_bomb_is_inflated_piecewise_and_refused
    tests/test_kernel_survival_transport.py::test_oversized_plain_frames_are_skipped_and_small_fragments_joined
)
# Under the sanitizers, after some earlier tests, this kernel sometimes does not exit within
# its wait after writing 6 MB of log at exit (alone it passes in about a second); it runs in
# the normal suite, and here until the cause is found it would fail CI by chance.
exit_flood_test=tests/test_logging_config.py::test_a_kernel_writes_every_line_to_stderr_up_to_its_exit
deselected=(--deselect "$exit_flood_test")
for t in "$bridge_memory_test" "${kernel_memory_tests[@]}"; do deselected+=(--deselect "$t"); done

rm -rf "$logs"
mkdir -p "$logs"
status=0
started=$(date +%s)
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$pythonpath" \
    ASAN_OPTIONS="detect_leaks=0:log_path=$logs/asan:strict_init_order=1" \
    UBSAN_OPTIONS="$ubsan_options:log_path=$logs/ubsan" \
    "$py" -m pytest -p no:cacheprovider "${deselected[@]}" "$@" || status=$?
echo "sanitized suite: $(( $(date +%s) - started )) s, pytest exit $status"

# Leaks are the filter's to judge (programs the tests start, git among them, leak at exit),
# so they do not change the exit code; an ASan error still aborts. The leak checker's own
# tracer now and then crashes ("LeakSanitizer has encountered a fatal error"): then the run
# is repeated, up to three times.
leaks=$logs/leaks
started=$(date +%s)
for attempt in 1 2 3; do
    rm -rf "$leaks"
    mkdir -p "$leaks"
    leak_status=0
    env LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$pythonpath" \
        ASAN_OPTIONS="detect_leaks=1:exitcode=0:abort_on_error=1:quarantine_size_mb=0:log_path=$leaks/lsan" \
        UBSAN_OPTIONS="$ubsan_options:log_path=$leaks/ubsan" \
        "$py" -m pytest -p no:cacheprovider -q tests/test_bridge.py >"$leaks/pytest.out" 2>&1 || leak_status=$?
    if [ "$leak_status" -eq 0 ] || ! grep -qs "LeakSanitizer has encountered a fatal error" "$leaks"/lsan.*; then
        break
    fi
    echo "the leak checker crashed (attempt $attempt)" >&2
done
if [ "$leak_status" -ne 0 ]; then
    tail -n 30 "$leaks/pytest.out" >&2
    cat "$leaks"/lsan.* 2>/dev/null | grep -A3 "fatal error" >&2 || true
    echo "bridge tests failed under the leak checker" >&2
    status=1
fi
echo "bridge leak run: $(( $(date +%s) - started )) s"

memory=$logs/memory
mkdir -p "$memory"
started=$(date +%s)
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$pythonpath" \
    ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=0:log_path=$memory/asan" \
    UBSAN_OPTIONS="$ubsan_options:log_path=$memory/ubsan" \
    "$py" -m pytest -p no:cacheprovider -q "${kernel_memory_tests[@]}" || {
        echo "the memory tests failed without the quarantine" >&2
        status=1
    }
echo "memory run: $(( $(date +%s) - started )) s"

shopt -s nullglob
reports=("$logs"/asan.* "$logs"/ubsan.* "$leaks"/lsan.* "$leaks"/ubsan.* "$memory"/asan.* "$memory"/ubsan.*)
if [ ${#reports[@]} -gt 0 ] && ! "$py" "$root/dev/sanitizer_reports.py" "${reports[@]}"; then
    echo "sanitizer reports pass through the project's code (logs in $logs)" >&2
    status=1
fi
exit "$status"

#!/usr/bin/env bash
# The test suite against a copy of the modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in build/asan (a tree like dev/build.sh makes).
#
# The interpreter is not instrumented, so the runtimes are preloaded into it and, through
# the inherited environment, into every kernel subprocess. Leak detection is off for the
# suite (the interpreter's own allocations at exit would drown everything); a second run of
# the bridge tests looks for leaks and keeps only reports that pass through our code.
# The bridge's RSS test runs there only: ASan's quarantine holds freed memory and grows RSS.
# Exits non-zero when a test fails or any sanitizer report passes through the project.
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
if [ ! -f "$out/cmake/build.ninja" ]; then
    # CMAKE_CXX_FLAGS_RELEASE is set so that no -O3 lands after the sanitizer's -O1.
    cmake -S . -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
        -DTARNLET_SANITIZE=ON ${TARNLET_SANITIZE_CMAKE_ARGS:-} \
        -DTARNLET_OUTPUT_DIR="$tree" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
fi
started=$(date +%s)
cmake --build "$out/cmake" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
echo "sanitized build: $(( $(date +%s) - started )) s"

preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# Only our modules are instrumented, so every UBSan report is ours: stop the process at
# the first one (libubsan ignores log_path in child processes, so a report there would
# otherwise only reach a captured stderr).
ubsan_options=print_stacktrace=1:halt_on_error=1:abort_on_error=1

# A report counts when one of its frames is in our sources or our modules.
ours='src/(common|kernel|sensewire|feedscout)/|tarnlet_master/.*\.so|/(kernel|sensewire|feedscout)\.cpython'

# Prints the reports (blank-line separated blocks) of the given files that pass through our code.
project_reports() {
    "$py" - "$ours" "$@" <<'EOF'
import re, sys
pattern = re.compile(sys.argv[1])
found = 0
for path in sys.argv[2:]:
    text = open(path, errors="replace").read()
    for block in re.split(r"\n\s*\n", text):
        if pattern.search(block) and re.search(r"ERROR|leak of|runtime error", block):
            found += 1
            print(f"--- {path}\n{block.strip()}\n")
sys.exit(1 if found else 0)
EOF
}

rm -rf "$logs"
mkdir -p "$logs"
status=0
started=$(date +%s)
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$tree" \
    ASAN_OPTIONS="detect_leaks=0:log_path=$logs/asan:strict_init_order=1" \
    UBSAN_OPTIONS="$ubsan_options:log_path=$logs/ubsan" \
    "$py" -m pytest -p no:cacheprovider \
    --deselect tests/test_bridge.py::test_no_leak_over_a_hundred_thousand_awaits "$@" || status=$?
echo "sanitized suite: $(( $(date +%s) - started )) s, pytest exit $status"

leaks=$logs/leaks
mkdir -p "$leaks"
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$tree" \
    ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=0:log_path=$leaks/lsan" \
    UBSAN_OPTIONS="$ubsan_options:log_path=$leaks/ubsan" \
    "$py" -m pytest -p no:cacheprovider -q tests/test_bridge.py >/dev/null || {
        echo "bridge tests failed under the leak checker" >&2
        status=1
    }

shopt -s nullglob
reports=("$logs"/asan* "$logs"/ubsan* "$leaks"/*)
if [ ${#reports[@]} -gt 0 ] && ! project_reports "${reports[@]}"; then
    echo "sanitizer reports pass through the project's code (logs in $logs)" >&2
    status=1
fi
exit "$status"

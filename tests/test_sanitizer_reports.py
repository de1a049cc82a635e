"""The sanitized run's filter (dev/sanitizer_reports.py): which sanitizer reports are ours.

The samples are trimmed from real GCC 12 runtime output."""

import importlib.util
import pathlib

spec = importlib.util.spec_from_file_location(
    "sanitizer_reports", pathlib.Path(__file__).parents[1] / "dev" / "sanitizer_reports.py")
sr = importlib.util.module_from_spec(spec)
spec.loader.exec_module(sr)

INTERCEPTOR = "../../../../src/libsanitizer/sanitizer_common/sanitizer_common_interceptors.inc:827"
INTERPRETER_STACK = """\
    #1 0x7ffaaf54e1bc in PyBytes_FromStringAndSize Objects/bytesobject.c:142
    #2 0x7ffaae9f1b0c in ffi_call (/lib/x86_64-linux-gnu/libffi.so.8+0x6b0c)
    #3 0x7ffaaf55861c in _PyObject_MakeTpCall Objects/call.c:214
    #4 0x5575a5c3e080 in _start (/root/.pyenv/versions/3.11.7/bin/python3.11+0x1080)"""


def asan(freed_by, allocated_by):
    return f"""\
=================================================================
==11284==ERROR: AddressSanitizer: heap-use-after-free on address 0x60200000c0d0 at pc 0x7ffab024814b
READ of size 5 at 0x60200000c0d0 thread T0
    #0 0x7ffab024814a in __interceptor_memcpy {INTERCEPTOR}
{INTERPRETER_STACK}

0x60200000c0d0 is located 0 bytes inside of 16-byte region [0x60200000c0d0,0x60200000c0e0)
freed by thread T0 here:
    #0 0x7ffab02b76a8 in __interceptor_free ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:52
    #1 0x7ffaae9fc244 in {freed_by}

previously allocated by thread T0 here:
    #0 0x7ffab02b89cf in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69
    #1 0x7ffaae9fc20b in {allocated_by}

SUMMARY: AddressSanitizer: heap-use-after-free {INTERCEPTOR} in __interceptor_memcpy
Shadow bytes around the buggy address:
=>0x0c047fff9810: fa fa 04 fa fa fa fd fa fa fa[fd]fd fa fa fa fa
==11284==ABORTING
"""


def leak(size, frame):
    return f"""\
Direct leak of {size} byte(s) in 1 object(s) allocated from:
    #0 0x7fd4fa4b89cf in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69
    #1 {frame}
    #2 0x7fd4f8950f79  (/lib/x86_64-linux-gnu/libffi.so.8+0x6f79)
"""


def ubsan(location, frame):
    return f"""\
{location}: runtime error: signed integer overflow: 3 + 2147483647 cannot be represented in type 'int'
    #0 {frame}
{INTERPRETER_STACK}
"""


OUR_MODULE = "(/x/build/asan/tree/tarnlet_master/python_server/kernel.cpython-311-x86_64-linux-gnu.so+0x51c4)"
OUR_FEEDSCOUT = "(/x/tarnlet_master/business_layer/packages/feedscout.cpython-311-x86_64-linux-gnu.so+0x10)"


def test_an_asan_report_is_ours_through_any_of_its_stacks():
    # The access is the interpreter's; only the free (or the allocation) was ours.
    assert len(sr.project_reports(asan("drop /w/src/kernel/registry.cpp:6", "PyBytes_New Objects/b.c:1"))) == 1
    assert len(sr.project_reports(asan("PyMem_Free Objects/obmalloc.c:9", "make ../../../src/common/coro.cpp:5"))) == 1
    assert len(sr.project_reports(asan("f " + OUR_MODULE, "g Objects/b.c:1"))) == 1
    # The sanitizer's own sources (src/libsanitizer/sanitizer_common/...) are not ours.
    assert sr.project_reports(asan("PyMem_Free Objects/obmalloc.c:9", "PyBytes_New Objects/b.c:1")) == []


def test_the_leaks_of_a_leak_run_count_one_by_one():
    text = ("=================================================================\n"
            "==11932==ERROR: LeakSanitizer: detected memory leaks\n\n"
            + leak(77, "0x7f in PyUnicode_New Objects/unicodeobject.c:1200") + "\n"
            + leak(33, "0x7f in bridge_leak /w/tests/native/bridge_selftest.cpp:8") + "\n"
            + leak(12, "0x7f  " + OUR_FEEDSCOUT) + "\n"
            + leak(40, "0x7f in _PyObject_GC_New Modules/gcmodule.c:2290") + "\n"
            "SUMMARY: AddressSanitizer: 162 byte(s) leaked in 4 allocation(s).\n")
    found = sr.project_reports(text)
    assert [r.split("\n")[0] for r in found] == [
        "Direct leak of 33 byte(s) in 1 object(s) allocated from:",
        "Direct leak of 12 byte(s) in 1 object(s) allocated from:"]


def test_a_ubsan_report_is_ours_by_its_location_or_its_stack():
    assert len(sr.project_reports(ubsan("src/kernel/streams.cpp:9:28", "0x7f in f Objects/x.c:1"))) == 1
    # Undefined behaviour inside a header instantiated from our code.
    assert len(sr.project_reports(ubsan("/p/pybind11/include/pybind11/cast.h:40:3",
                                        "0x7f in g /w/src/sensewire/hover.cpp:77"))) == 1
    # Another library's report ends at its blank line: what follows is not part of it.
    other = ubsan("/usr/include/c++/12/bits/stl_vector.h:1123:34", "0x7f in h libfoo/foo.cpp:3")
    assert sr.project_reports(other + "\nsrc/kernel/streams.cpp is mentioned by some unrelated output\n") == []
    assert len(sr.project_reports(other + "\n" + ubsan("src/feedscout/queries.cpp:1:2", "0x7f in q"))) == 1


def test_lookalike_paths_are_not_ours():
    for frame in ("0x7f in f /usr/src/kernels/x.cpp:1", "0x7f in f /opt/mysrc/common/x.cpp:2",
                  "0x7f in f /lib/python3/site-packages/numpy/core/kernel.cpython-311.so",
                  "0x7f in f (/x/tarnlet_master/python_server/kernel.py)"):
        assert sr.project_reports(ubsan("/usr/lib/other.c:1:2", frame)) == [], frame


def test_the_command_fails_only_for_our_reports(tmp_path, capsys):
    theirs = tmp_path / "asan.1"
    theirs.write_text(asan("PyMem_Free Objects/obmalloc.c:9", "PyBytes_New Objects/b.c:1"))
    mine = tmp_path / "ubsan.2"
    mine.write_text(ubsan("src/kernel/streams.cpp:9:28", "0x7f in f Objects/x.c:1"))
    assert sr.main([str(theirs)]) == 0
    assert capsys.readouterr().out == ""
    assert sr.main([str(theirs), str(mine)]) == 1
    out = capsys.readouterr().out
    assert out.startswith(f"--- {mine}\n") and "src/kernel/streams.cpp:9:28: runtime error" in out

"""Loaded into every interpreter of a sanitized run (dev/sanitize.sh puts this directory on
PYTHONPATH, and kernel subprocesses inherit it).

Next to a preloaded libasan, GCC's libubsan ignores the log_path of UBSAN_OPTIONS and
writes its reports to stderr, where a test's captured output would swallow them. Its own
entry point still takes the path, so it is handed over here.
"""

import ctypes
import os


def _log_path():
    for option in os.environ.get("UBSAN_OPTIONS", "").split(":"):
        name, _, value = option.partition("=")
        if name == "log_path" and value:
            return value
    return None


def _set_ubsan_report_path():
    path = _log_path()
    if not path:
        return
    for preloaded in os.environ.get("LD_PRELOAD", "").replace(":", " ").split():
        if "libubsan" in os.path.basename(preloaded):
            try:
                runtime = ctypes.CDLL(preloaded, mode=os.RTLD_NOLOAD)
                runtime.__sanitizer_set_report_path(path.encode())
            except (OSError, AttributeError):
                pass
            return


_set_ubsan_report_path()

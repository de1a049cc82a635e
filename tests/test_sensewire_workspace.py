"""The language bridge's set-up and workspace: sync, delete, import paths, hover mode,
clean-up, the warm-up thread, and the refusal of module names that leave the workspace."""

import json
import logging
import os
import subprocess
import sys
import textwrap
import threading
import time
from collections import OrderedDict

import pytest

from tarnlet_master.python_server import sensewire

LOGGER = "tarnlet_master.python_server.sensewire"


@pytest.fixture
def fresh():
    sw = sensewire.Sensewire()
    yield sw
    sw.cleanup()


def workspace(sw):
    return sw._temp_dir.name


def read(sw, name):
    with open(os.path.join(workspace(sw), name), encoding="utf-8") as f:
        return f.read()


def test_module_level_names():
    assert sensewire.PYFLAKES_AVAILABLE is True
    assert sensewire.PYLSP_AVAILABLE in (True, False)
    assert sensewire.jedi is sys.modules["jedi"]
    assert sensewire.MONACO_MARKER_SEVERITY_ERROR == 8 and sensewire.MONACO_MARKER_SEVERITY_WARNING == 4
    assert sensewire.JEDI_TO_MONACO_KIND == {
        "function": 1, "class": 5, "module": 7, "property": 8, "instance": 4,
        "param": 4, "statement": 4, "keyword": 13, "path": 17,
    }
    assert sensewire.logger.name == LOGGER
    assert isinstance(sensewire.Sensewire, type)


def test_construction_state(bridge):
    attrs = list(vars(bridge))
    assert attrs[:6] == ["_workspace_path", "_temp_dir", "_python_server_path", "_stubs_path", "_jedi_project",
                         "_hover_mode"]
    assert bridge._workspace_path is None
    assert bridge._hover_mode == "compact"
    assert bridge._python_server_path == os.path.dirname(os.path.abspath(sensewire.__file__))
    assert bridge._stubs_path == os.path.join(bridge._python_server_path, "stubs")
    assert os.path.isfile(os.path.join(bridge._stubs_path, "tarnlet", "__init__.pyi"))
    assert os.path.isdir(workspace(bridge))
    assert str(bridge._jedi_project.path) == workspace(bridge)
    assert bridge._jedi_project.added_sys_path == [bridge._stubs_path]


def test_sync_overlays_unsaved_texts_without_touching_the_callers_dicts(bridge, logs):
    saved = {"SyncA": "x = 1"}
    dirty = {"SyncA": "x = 2", "SyncB": "y = 3"}
    bridge.sync_modules(saved, dirty)
    assert read(bridge, "SyncA.py") == "x = 2"
    assert read(bridge, "SyncB.py") == "y = 3"
    assert saved == {"SyncA": "x = 1"} and dirty == {"SyncA": "x = 2", "SyncB": "y = 3"}
    path_a = os.path.join(workspace(bridge), "SyncA.py")
    assert f"[LSP] Synced module 'SyncA' to {path_a}" in logs()


def test_sync_edge_cases(bridge):
    before = sorted(os.listdir(workspace(bridge)))
    bridge.sync_modules({})
    bridge.sync_modules({}, None)
    assert sorted(os.listdir(workspace(bridge))) == before
    bridge.sync_modules({"EmptyMod": "", "pkg.sub.mod": "z = 1", "Uni": "nom = 'café ✓'\n"})
    assert read(bridge, "EmptyMod.py") == ""
    assert read(bridge, "pkg.sub.mod.py") == "z = 1"
    assert not os.path.exists(os.path.join(workspace(bridge), "pkg"))
    with open(os.path.join(workspace(bridge), "Uni.py"), "rb") as f:
        assert f.read() == "nom = 'café ✓'\n".encode("utf-8")


def test_rewrites_replace_the_whole_file(bridge):
    bridge.sync_modules({"Shrink": "long text\n" * 50})
    bridge.sync_modules({"Shrink": "short"})
    assert read(bridge, "Shrink.py") == "short"
    bridge.sync_modules({"Shrink": ""})
    assert read(bridge, "Shrink.py") == ""


def test_a_file_changed_behind_the_bridge_is_written_again(bridge):
    bridge.sync_modules({"Tamper": "a = 1"})
    path = os.path.join(workspace(bridge), "Tamper.py")
    with open(path, "w") as f:
        f.write("b = 2222")
    bridge.sync_modules({"Tamper": "a = 1"})
    assert read(bridge, "Tamper.py") == "a = 1"
    os.remove(path)
    bridge.sync_modules({"Tamper": "a = 1"})
    assert read(bridge, "Tamper.py") == "a = 1"


def test_a_changed_text_always_gets_a_later_mtime(bridge):
    # jedi keeps a parse while the file's mtime has not moved on.
    path = os.path.join(workspace(bridge), "Tick.py")
    bridge.sync_modules({"Tick": "v = 1"})
    for i in range(2, 6):
        before = os.stat(path).st_mtime_ns
        bridge.sync_modules({"Tick": f"v = {i}"})
        assert os.stat(path).st_mtime_ns > before
        assert read(bridge, "Tick.py") == f"v = {i}"


def test_one_failing_module_does_not_stop_the_others(bridge, logs):
    bridge.sync_modules({"BadText": 42, "Surrogate": "x = '\ud800'", "GoodAfter": "ok = 1"})
    assert read(bridge, "GoodAfter.py") == "ok = 1"
    messages = logs()
    assert any(m.startswith("[LSP] Failed to sync module 'BadText': ") for m in messages)
    assert any(m.startswith("[LSP] Failed to sync module 'Surrogate': ") for m in messages)


@pytest.mark.parametrize("name", ["../escaped", "../../escaped", "sub/escaped", "sub\\..\\..\\escaped"])
def test_sync_refuses_names_that_leave_the_workspace(bridge, logs, name):
    parent = os.path.dirname(workspace(bridge))
    bridge.sync_modules({name: "owned = True", "Fine": "f = 1"})
    assert read(bridge, "Fine.py") == "f = 1"
    assert not os.path.exists(os.path.join(parent, "escaped.py"))
    if "\\" not in name or os.sep == "\\":
        assert any(m.startswith(f"[LSP] Failed to sync module '{name}': ") for m in logs())
    # Whatever the platform makes of the name, nothing lands outside the workspace.
    for root, _dirs, files in os.walk(workspace(bridge)):
        assert root == workspace(bridge)


def test_sync_refuses_absolute_names(bridge, tmp_path, logs):
    target = tmp_path / "abs_target"
    bridge.sync_modules({str(target): "owned = True"})
    assert not os.path.exists(str(target) + ".py")
    assert any(m.startswith(f"[LSP] Failed to sync module '{target}': ") for m in logs())


def test_delete_refuses_names_that_leave_the_workspace(bridge, tmp_path, logs):
    victim = tmp_path / "victim.py"
    victim.write_text("keep = 1")
    relative = os.path.relpath(str(tmp_path / "victim"), workspace(bridge))
    for name in (relative, str(tmp_path / "victim")):
        bridge.delete_module(name)
        assert victim.exists()
        assert any(m.startswith(f"[LSP] Failed to delete module file '{name}': ") for m in logs())


def test_delete_module(bridge, logs):
    bridge.sync_modules({"Doomed": "d = 1", "dotted.doomed": "e = 1"})
    bridge.delete_module("Doomed")
    bridge.delete_module("dotted.doomed")
    assert not os.path.exists(os.path.join(workspace(bridge), "Doomed.py"))
    assert not os.path.exists(os.path.join(workspace(bridge), "dotted.doomed.py"))
    assert "[LSP] Deleted module file 'Doomed'" in logs()
    count = len(logs())
    bridge.delete_module("NeverSynced")
    assert len(logs()) == count
    # A module deleted and synced again with the same text is written again.
    bridge.sync_modules({"Doomed": "d = 1"})
    assert read(bridge, "Doomed.py") == "d = 1"


def test_update_sys_paths(bridge, tmp_path, logs):
    other = str(tmp_path)
    old_project = bridge._jedi_project
    bridge.update_sys_paths([other, other, bridge._stubs_path])
    assert bridge._jedi_project is not old_project
    assert bridge._jedi_project.added_sys_path == [bridge._stubs_path, bridge._python_server_path, other]
    assert str(bridge._jedi_project.path) == workspace(bridge)
    assert ("[LSP] Updated jedi project with 3 total paths (3 package paths, stubs path: "
            f"{bridge._stubs_path})") in logs()
    with pytest.raises(TypeError):
        bridge.update_sys_paths((other,))


def test_update_sys_paths_failure_keeps_the_old_project(fresh, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    class Incomparable:
        def __eq__(self, other):
            raise RuntimeError("cannot compare")

    project = fresh._jedi_project
    fresh.update_sys_paths([Incomparable()])
    assert fresh._jedi_project is project
    failures = [r for r in caplog.records if r.getMessage().startswith("[LSP] Failed to update sys paths: ")]
    assert failures and failures[0].levelno == logging.ERROR and failures[0].exc_info


def test_hover_mode(fresh, logs):
    fresh.set_hover_mode("detailed")
    assert fresh._hover_mode == "detailed"
    fresh.set_hover_mode("Compact")
    assert fresh._hover_mode == "detailed"
    assert "[LSP] Hover mode set to: detailed" in logs()
    assert "[LSP] Invalid hover mode 'Compact', keeping current: detailed" in logs()
    with pytest.raises(TypeError):
        fresh.set_hover_mode(None)


@pytest.mark.parametrize("name,expected", [
    ("Module1", True), ("my_mod", True), ("Modül", True), ("_x", True),
    ("", False), ("<editor>", False), (".hidden", False), ("a/b", False), ("a\\b", False),
    ("Module1.py", False), ("1abc", False), ("my-mod", False), ("pkg.mod", False),
])
def test_is_module_name(bridge, name, expected):
    assert bridge._is_module_name(name) is expected


def test_entry_checks(bridge):
    with pytest.raises(TypeError):
        bridge.sync_modules(["not", "a", "dict"])
    with pytest.raises(TypeError):
        bridge.sync_modules(OrderedDict(a="x = 1"))  # subclasses are refused
    with pytest.raises(TypeError):
        bridge.sync_modules({}, [])
    with pytest.raises(TypeError):
        bridge.delete_module(5)
    with pytest.raises(TypeError):
        bridge.set_workspace(None)


def test_set_workspace_only_records(fresh, logs):
    project = fresh._jedi_project
    fresh.set_workspace("/some/where")
    assert fresh._workspace_path == "/some/where"
    assert fresh._jedi_project is project
    assert "[LSP] Workspace path recorded: /some/where (using temp_dir for jedi.Project)" in logs()


def test_cleanup(fresh, logs):
    directory = workspace(fresh)
    fresh.sync_modules({"Gone": "g = 1"})
    fresh.cleanup()
    assert fresh._temp_dir is None and not os.path.exists(directory)
    assert "[LSP] Cleaned up temporary directory" in logs()
    fresh.cleanup()  # nothing left to do
    with pytest.raises(AttributeError):
        fresh.sync_modules({"Gone": "g = 1"})
    with pytest.raises(AttributeError):
        fresh.delete_module("Gone")
    result = fresh.get_completions("import Gone\nGone.", 2, 5, modules={"Gone": "g = 1"})
    assert result == {"completions": [], "error": "'NoneType' object has no attribute 'name'"}
    fresh.update_sys_paths([])
    assert fresh._jedi_project.path is None
    # The import check skips the missing workspace.
    assert fresh._can_resolve_import("os") is True


def test_requests_use_patched_methods(fresh):
    calls = []
    fresh.sync_modules = lambda modules, dirty=None: calls.append((modules, dirty))
    fresh.get_completions("x", 1, 1, modules={"M": "m = 1"}, dirty_files={"N": "n = 1"})
    assert calls == [({"M": "m = 1"}, {"N": "n = 1"})]
    fresh.get_completions("x", 1, 1)  # nothing to sync
    assert len(calls) == 1


def wait_for(predicate, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def test_preload_runs_on_its_own_daemon_thread(logs):
    seen = []

    class Recording(sensewire.Sensewire):
        def preload_tarnlet_module(self):
            seen.append(threading.current_thread())
            return super().preload_tarnlet_module()

    sw = Recording()
    try:
        assert "[LSP] Started async tarnlet module preloading" in logs()
        assert wait_for(lambda: any(m.startswith("[LSP] Preloaded tarnlet module cache") for m in logs()))
        thread = seen[0]
        assert thread.name == "LSP-tarnlet-preload" and thread.daemon
        assert thread is not threading.main_thread()
        message = next(m for m in logs() if m.startswith("[LSP] Preloaded tarnlet module cache"))
        count = int(message.split("(")[1].split()[0])
        assert count > 10  # the stubs describe the tarnlet module
    finally:
        sw.cleanup()


def test_failing_preload_only_logs(fresh, logs):
    project = fresh._jedi_project
    fresh._jedi_project = "not a project"
    assert fresh.preload_tarnlet_module() is None
    assert any(m.startswith("[LSP] Failed to preload tarnlet module: ") for m in logs())
    fresh._jedi_project = project
    assert fresh.get_completions("import tarnlet\ntarnlet.exc", 2, 11)["error"] is None


def run_recording_bridge_script(body):
    """Runs `body` in a fresh interpreter whose bridge log lines gather in `records`;
    returns the JSON its last line prints."""
    script = textwrap.dedent("""
        import json, logging, time
        from tarnlet_master.python_server import sensewire
        records = []
        handler = logging.Handler()
        handler.emit = lambda record: records.append(record.getMessage())
        sensewire.logger.addHandler(handler)
        sensewire.logger.setLevel(logging.DEBUG)
    """) + textwrap.dedent(body)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=180,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


def test_first_request_after_start_is_answered():
    # A fresh interpreter, so the warm-up is jedi's first use and still running
    # when the request arrives.
    report = run_recording_bridge_script("""
        sw = sensewire.Sensewire()
        result = sw.get_completions("import tarnlet\\ntarnlet.ex", 2, 10)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not any("preload" in m.lower() and "Started" not in m for m in records):
            time.sleep(0.05)
        print(json.dumps({"result": result, "logs": records}))
    """)
    assert report["result"]["error"] is None
    assert "excel" in [c["label"] for c in report["result"]["completions"]]
    assert not any(m.startswith("[LSP] Failed to preload") for m in report["logs"])
    assert any(m.startswith("[LSP] Preloaded tarnlet module cache") for m in report["logs"])


def test_two_bridges_in_one_process_never_use_jedi_at_once():
    # Two kernels in one process each have a bridge and a warm-up thread; jedi's state
    # is process-wide, so their requests from two threads must all be answered.
    script = textwrap.dedent("""
        import json, threading
        from tarnlet_master.python_server import sensewire
        bridges = [sensewire.Sensewire(), sensewire.Sensewire()]
        results = []
        def ask(sw):
            for _ in range(5):
                results.append(sw.get_completions("import tarnlet\\ntarnlet.ex", 2, 10))
        threads = [threading.Thread(target=ask, args=(sw,)) for sw in bridges]
        for t in threads: t.start()
        for t in threads: t.join(120)
        print(json.dumps([r["error"] for r in results]))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=180,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout.strip().splitlines()[-1]) == [None] * 10


def test_start_up_imports_no_jedi_until_its_first_use():
    # jedi is a good part of a kernel's start: a kernel made and not yet connected has not
    # imported it, and the bridge's project is built by its first reader.
    script = textwrap.dedent("""
        import json, sys
        from tarnlet_master.python_server import kernel, sensewire
        k = kernel.PythonKernel("wb-lazy", port="1")
        sw = k._sensewire
        report = {"after_start": "jedi" in sys.modules,
                  "pending": type(vars(sw)["_jedi_project"]).__name__,
                  "flags": [sensewire.PYFLAKES_AVAILABLE, sensewire.PYLSP_AVAILABLE]}
        project = sw._jedi_project
        report["project"] = [type(project).__name__, str(project.path) == sw._temp_dir.name,
                             project.added_sys_path == [sw._stubs_path], sw._jedi_project is project]
        report["names"] = [sensewire.jedi is sys.modules["jedi"], sensewire.pyflakes_api is sys.modules["pyflakes.api"],
                           sensewire.pyflakes_reporter is sys.modules["pyflakes.reporter"], sensewire.uris]
        print(json.dumps(report))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout.strip().splitlines()[-1])
    assert report["after_start"] is False
    assert report["pending"] == "_PendingJediProject"
    assert report["flags"] == [True, False]
    assert report["project"] == ["Project", True, True, True]
    assert report["names"] == [True, True, True, None]


def test_the_project_attribute_is_assigned_and_deleted_like_any_other(fresh):
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        sensewire.nothing
    fresh._jedi_project = "mine"
    assert fresh._jedi_project == "mine" and vars(fresh)["_jedi_project"] == "mine"
    del fresh._jedi_project
    with pytest.raises(AttributeError, match="_jedi_project"):
        fresh._jedi_project
    with pytest.raises(AttributeError, match="_jedi_project"):
        del fresh._jedi_project
    fresh.update_sys_paths([])
    assert fresh._jedi_project.added_sys_path == [fresh._stubs_path, fresh._python_server_path]


def test_a_warm_up_stopped_while_it_waits_for_the_kernel_never_preloads():
    # Without a kernel to release it the warm-up waits; cleanup stops it there.
    report = run_recording_bridge_script("""
        sw = sensewire.Sensewire()
        thread = sw._preload_thread
        sw.cleanup()
        thread.join(30)
        print(json.dumps({"alive": thread.is_alive(), "logs": records}))
    """)
    assert report["alive"] is False
    assert not [m for m in report["logs"] if "reload" in m and "Started" not in m]

"""The language bridge survives what a frame can carry and ends its process cleanly:
hostile text in every field, and no warm-up left running when the interpreter exits."""

import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

from tarnlet_master.python_server import sensewire

LOGGER = "tarnlet_master.python_server.sensewire"
HOSTILE_TEXTS = ["\ud800", "\udfff\ud800", "a\x00b", "\x00", "x\udc80y"]


def run_python(code, timeout=120):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ))


def test_fifty_processes_that_make_a_bridge_and_leave_all_exit_cleanly():
    code = "from tarnlet_master.python_server import sensewire; sw = sensewire.Sensewire()"
    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda _: run_python(code), range(50)))
    codes = [r.returncode for r in results]
    assert codes == [0] * 50, [r.stderr[-500:] for r in results if r.returncode][:2]
    assert not [r.stderr for r in results if "Exception in thread" in r.stderr]


def test_a_warm_up_busy_inside_jedi_is_stopped_at_exit():
    # jedi never finishes here: the exit must stop it rather than wait or crash.
    code = textwrap.dedent("""
        import threading
        import jedi
        from tarnlet_master.python_server import sensewire
        entered = threading.Event()
        class Endless:
            def __init__(self, *args, **kwargs):
                entered.set()
                while True:
                    pass
        jedi.Script = Endless
        sw = sensewire.Sensewire()
        assert entered.wait(60)
        print("leaving")
    """)
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "leaving"
    assert "Traceback" not in out.stderr


def test_cleanup_waits_for_the_warm_up():
    sw = sensewire.Sensewire()
    thread = sw._preload_thread
    sw.cleanup()
    assert not thread.is_alive()
    assert sw._temp_dir is None


@pytest.mark.parametrize("text", HOSTILE_TEXTS)
def test_hover_mode_text_of_any_kind_is_refused_by_its_warning(bridge, logs, text):
    bridge.set_hover_mode("detailed")
    bridge.set_hover_mode(text)
    assert bridge._hover_mode == "detailed"
    # Log text carries a lone surrogate as its backslash escape, so every handler can write it.
    shown = text.encode("utf-8", "backslashreplace").decode("utf-8")
    assert f"[LSP] Invalid hover mode '{shown}', keeping current: detailed" in logs()
    bridge.set_hover_mode("compact")
    assert "[LSP] Hover mode set to: compact" in logs()


@pytest.mark.parametrize("text", HOSTILE_TEXTS)
def test_module_name_test_takes_any_text(bridge, text):
    assert bridge._is_module_name(text) is False
    assert bridge._is_module_name("Ok" + text) is False


def test_word_prefix_reads_characters_not_bytes(bridge):
    assert bridge._get_word_prefix("x = \ud800ab_1", 1, 9) == "ab_1"
    assert bridge._get_word_prefix("\x00é9name", 1, 7) == "name"
    assert bridge._get_word_prefix("ab\udc80", 1, 3) == ""


REQUESTS = {
    "get_completions": ["completions", "error"],
    "get_hover": ["contents", "error"],
    "get_signature_help": ["signatures", "activeSignature", "activeParameter", "error"],
}


@pytest.mark.parametrize("method", sorted(REQUESTS))
@pytest.mark.parametrize("text", HOSTILE_TEXTS)
def test_every_text_field_of_a_request_takes_any_text(bridge, method, text):
    call = getattr(bridge, method)
    shapes = [
        dict(code=text, line=1, column=1),
        dict(code="import os\nos." + text, line=2, column=4),
        dict(code="x", line=1, column=1, path=text),
        dict(code="x", line=1, column=1, path="/tmp/" + text + ".py"),
        dict(code="x", line=1, column=1, modules={text: "y = 1"}),
        dict(code="x", line=1, column=1, modules={"SurvA": text}),
        dict(code="x", line=1, column=1, dirty_files={text: text}),
    ]
    for kwargs in shapes:
        result = call(**kwargs)
        assert list(result) == REQUESTS[method]
        assert result["error"] is None or isinstance(result["error"], str)
    # Still answering normally afterwards.
    assert bridge.get_completions("import os\nos.pat", 2, 6)["error"] is None


@pytest.mark.parametrize("text", HOSTILE_TEXTS)
def test_diagnostics_and_module_upkeep_take_any_text(bridge, logs, text):
    for code, name in ((text, None), ("import os\n" + text, text), ("import " + "m" + text, "Sheet")):
        result = bridge.get_diagnostics(code, name)
        assert list(result) == ["diagnostics", "error"]
    bridge.sync_modules({text: "x = 1"}, {text: "y = 2"})
    bridge.delete_module(text)
    bridge.update_sys_paths([text, "/tmp/" + text])
    bridge.set_workspace(text)
    assert bridge._jedi_project.added_sys_path[2:] == [text, "/tmp/" + text]
    bridge.update_sys_paths([])


def test_an_error_text_keeps_its_characters(bridge):
    class Broken:
        def __init__(self, *args, **kwargs):
            raise RuntimeError("bad \ud800 name\x00!")

    saved = sensewire.jedi
    try:
        sensewire.jedi = type("FakeJedi", (), {"Script": Broken, "Project": saved.Project})
        result = bridge.get_completions("x", 1, 1)
    finally:
        sensewire.jedi = saved
    assert result == {"completions": [], "error": "bad \ud800 name\x00!"}

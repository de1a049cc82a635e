"""The benchmarks' own arithmetic: the figures that run_all.py gathers and the goals it
reports as met, the CPU readings, and the print flood's check of every byte."""

import json
import os
import sys
import threading
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import benchlib  # noqa: E402
import bench_print_flood  # noqa: E402
import run_all  # noqa: E402


def rows_of(figures):
    """{(bench, level, name): [(value, unit, floor, ratio), ...]} -> run_all's median rows."""
    return run_all.median_rows({key: [(key[2], *(str(x) for x in row)) for row in found]
                                for key, found in figures.items()})


def goals(rows, level, model=None):
    """{goal: (ratio, met)} at one log level."""
    return {label: (ratio, met) for label, _, ratio, _, met in run_all.goal_table(rows, level, model or {})}


def test_result_lines_need_exactly_six_fields():
    assert run_all.parse_result("RESULT a.b 1.5 ms 2.0 0.75\n") == ("a.b", "1.5", "ms", "2.0", "0.75")
    for line in ("RESULT a.b 1.5 ms 2.0", "RESULT a.b 1.5 ms 2.0 0.75 extra", "RESULTS a.b 1.5 ms 2.0 0.75", ""):
        assert run_all.parse_result(line) is None


def test_figures_of_several_runs_become_their_medians():
    rows = rows_of({("invocation", "INFO", "invocation.pipelined_calls"): [
        (900, "calls/s", 2000, 0.45), (1200, "calls/s", 1000, 1.2), (1000, "calls/s", 4000, 0.25)],
        ("feedscout", "-", "feedscout.x"): [(5, "ms", "-", "-")]})
    assert ("invocation", "INFO", "invocation.pipelined_calls", "1000.000", "calls/s", "2000.000", "0.450") in rows
    assert ("feedscout", "-", "feedscout.x", "5.000", "ms", "-", "-") in rows


def test_goals_are_met_on_the_right_side_of_their_bound():
    rows = rows_of({
        ("invocation", "INFO", "invocation.pipelined_calls"): [(700, "calls/s", 1000, 0.7)],     # >= 0.7: met
        ("invocation", "INFO", "invocation.sequential_call_p50"): [(1.6, "ms", 1.0, 1.6)],       # <= 1.5: not
        ("transport", "INFO", "transport.execute_1plus1_p50"): [(900, "us", 600, 1.5)],          # <= 1.5: met
        ("print_flood", "INFO", "print_flood.seconds"): [(3.5, "s", 2.0, 1.75)],                 # value <= 3 s: not
        ("startup", "INFO", "startup.kernel_start_p50_vs_ipykernel"): [(100, "ms", 1000, 0.1)],  # <= 0.2: met
        ("invocation", "INFO", "invocation.cpu_per_call"): [(200, "us", 100, 2.0)],
    })
    info = goals(rows, "INFO", run_all.parse_model(["INFO:invocation.cpu_per_call=500"]))
    assert info["pipelined custom_function_call throughput, kernel / floor"] == ("0.70", "yes")
    assert info["sequential custom_function_call p50, kernel / floor"] == ("1.60", "no")
    assert info['sequential "1+1" execution p50, kernel / floor'] == ("1.50", "yes")
    assert info['100,000 print("line", i) end to end, every byte in order (floor: ipykernel)'] == ("3.50 s", "no")
    assert info["start, process start to connected, kernel / ipykernel"] == ("0.10", "yes")
    assert info["start, kernel / a bare websockets client process"] == ("-", "-")
    # Against the model: 200 us over the model's 500 us, not over the floor's 100.
    assert info["CPU per worksheet call, kernel / the plain-Python model"] == ("0.40", "yes")
    # Nothing was measured at WARNING: no goal there counts as met.
    assert {met for _, met in goals(rows, "WARNING").values()} == {"-"}
    lines = run_all.goal_lines(rows, ["INFO", "WARNING"], {})
    assert [line for line in lines if line.startswith("\n=== Goals")] == [
        "\n=== Goals, kernel at TARNLET_LOG_LEVEL=INFO", "\n=== Goals, kernel at TARNLET_LOG_LEVEL=WARNING"]


def test_a_model_figure_for_one_level_overrides_the_general_one():
    model = run_all.parse_model(["invocation.pipelined_calls=100", "warning:invocation.pipelined_calls=400"])
    assert model == {(None, "invocation.pipelined_calls"): 100.0, ("WARNING", "invocation.pipelined_calls"): 400.0}
    rows = rows_of({("invocation", level, "invocation.pipelined_calls"): [(200, "calls/s", 1000, 0.2)]
                    for level in ("INFO", "WARNING")})
    label = "pipelined calls, kernel / the plain-Python model"
    assert goals(rows, "INFO", model)[label] == ("2.00", "yes")
    assert goals(rows, "WARNING", model)[label] == ("0.50", "no")
    assert goals(rows, "INFO")[label] == ("-", "-")
    for bad in ("invocation.cpu_per_call", "INFO:=3", "x=abc"):
        with pytest.raises(SystemExit):
            run_all.parse_model([bad])


def burn(seconds):
    end = time.thread_time() + seconds
    while time.thread_time() < end:
        pass


def test_cpu_readings_follow_the_process_and_the_thread():
    pid = os.getpid()
    before, main_before = benchlib.process_cpu_seconds(pid), benchlib.process_cpu_seconds(pid, pid)
    worker = threading.Thread(target=burn, args=(0.3,))
    worker.start()
    worker.join()
    after, main_after = benchlib.process_cpu_seconds(pid), benchlib.process_cpu_seconds(pid, pid)
    # The worker's CPU counts for the process, not for the main thread (clock ticks of 10 ms).
    assert after - before >= 0.25
    assert main_after - main_before < 0.15
    missing = 2 ** 22 + 12345  # above the default pid_max
    assert benchlib.process_cpu_seconds(missing, missing) is None


def test_the_flood_check_refuses_lost_or_reordered_output():
    good = bench_print_flood.Gathered()
    text = bench_print_flood.expected_text(1000)
    for start in range(0, len(text), 333):
        good.add(text[start:start + 333])
    good.check("kernel", 1000)
    for pieces in ([text[:-1]], [text[100:], text[:100]], [text, "x"]):
        wrong = bench_print_flood.Gathered()
        for piece in pieces:
            wrong.add(piece)
        with pytest.raises(AssertionError):
            wrong.check("kernel", 1000)


def test_frames_are_read_as_the_business_layer_reads_them():
    kernel = bench_print_flood.TarnletKernel()
    kernel.chunks = {}
    inner = json.dumps({"type": "stdout", "content": "é" * 50, "request_id": "r"})
    pieces = [inner[i:i + 40] for i in range(0, len(inner), 40)]
    frames = [json.dumps({"type": "chunk", "chunk_id": "c", "chunk_index": i, "total_chunks": len(pieces),
                          "data": piece}) for i, piece in enumerate(pieces)]
    got = [kernel.messages(frame) for frame in reversed(frames)]  # out of order
    assert got[:-1] == [[]] * (len(frames) - 1)
    assert got[-1] == [json.loads(inner)] and kernel.chunks == {}
    batch = {"type": "batch", "messages": [{"type": "stdout", "content": "a"}, {"type": "stdout", "content": "b"}]}
    assert kernel.messages(json.dumps(batch)) == batch["messages"]

"""Resource safety: no leaked memory, file descriptors or resident growth, on success and failure.

Each check runs in a fresh child process, so pytest's own allocations and open files
do not blur the figures.
"""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vantrel_rs
from conftest import X264, lavfi

MODULE_DIR = str(Path(vantrel_rs.__file__).resolve().parent)


def x264(*extra):
    return [*X264, "-preset", "ultrafast", "-pix_fmt", "yuv420p", *extra]


@pytest.fixture(scope="module")
def inputs(videos, tmp_path_factory):
    """Paths that reach every stage of a run, and every way a run ends."""
    root = tmp_path_factory.mktemp("resources")
    cut = videos("res-cut.mp4", [*lavfi("testsrc", 0.4, size="64x48"), *lavfi("mandelbrot", 0.4, size="64x48"),
                                 "-filter_complex", "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]",
                                 *x264("-bf", "2")])
    small = videos("res-a.ts", [*lavfi("testsrc", 0.2, size="48x32"), *x264(), "-f", "mpegts"])
    large = videos("res-b.ts", [*lavfi("testsrc", 0.2, size="64x48"), *x264(), "-f", "mpegts"])
    deep = videos("res-c.ts", [*lavfi("testsrc", 0.2, size="48x32"), *X264, "-preset", "ultrafast",
                               "-pix_fmt", "yuv444p10le", "-f", "mpegts"])
    joined = root / "size-and-format-change.ts"
    joined.write_bytes(small.read_bytes() + large.read_bytes() + deep.read_bytes())
    raw = videos("res-raw.nut", [*lavfi("testsrc", 0.6, size="48x32"), "-c:v", "rawvideo", "-pix_fmt", "yuv420p"])
    cut_short = root / "cut-short.nut"  # decodes some frames, then the decoder refuses a packet
    data = raw.read_bytes()
    cut_short.write_bytes(data[:len(data) * 6 // 10])
    return {
        "success": [cut, joined, videos("res-image.png", [*lavfi("testsrc", 0.04, size="32x24"), "-frames:v", "1"])],
        "failure": [cut_short, root / "missing.mp4", root,
                    videos("res-audio.wav", ["-f", "lavfi", "-i", "sine=duration=0.2"])],
    }


# Calls both functions on every path with every option kind, swallowing RuntimeError.
CALLS = r"""
import sys, vantrel_rs

def call_all(paths, hwdec=True):
    for path in paths:
        for function in (vantrel_rs.detect_frames, vantrel_rs.detect_pass):
            for kwargs in ({}, {"native_res": True}):
                try:
                    function(path, **kwargs)
                except RuntimeError:
                    pass
    if hwdec:
        for name in ("", "vaapi", "no-such-device"):
            try:
                vantrel_rs.detect_frames(paths[0], hwdec=name)
            except RuntimeError:
                pass
"""


def run_child(code, paths, timeout, command_prefix=(), extra_env=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, *filter(None, sys.path)]), **(extra_env or {}))
    return subprocess.run([*command_prefix, sys.executable, "-c", CALLS + code, *map(str, paths)],
                          capture_output=True, text=True, errors="replace", timeout=timeout, env=env)


def test_no_definite_leak_under_valgrind(inputs):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        pytest.skip("valgrind is not installed")
    # Uninitialised-value reports are CPython's own noise; leaks and invalid
    # accesses count. PYTHONMALLOC=malloc lets valgrind see every block.
    command = [valgrind, "--quiet", "--leak-check=full", "--show-leak-kinds=definite",
               "--errors-for-leak-kinds=definite", "--undef-value-errors=no", "--error-exitcode=99"]
    child = run_child("call_all(sys.argv[1:])", inputs["success"] + inputs["failure"], timeout=300,
                      command_prefix=command, extra_env={"PYTHONMALLOC": "malloc"})
    report = "\n".join(line for line in child.stderr.splitlines() if line.startswith("=="))
    assert child.returncode == 0, report[-6000:]


def test_descriptors_are_closed_after_every_call(inputs):
    code = r"""
import json, os
def open_fds():
    return sorted(os.listdir("/proc/self/fd"))
paths = sys.argv[1:]
call_all(paths[:1])  # libraries load their lazily opened files here
before = open_fds()
for path in paths:
    call_all([path])
print(json.dumps([before, open_fds()]))
"""
    child = run_child(code, inputs["failure"] + inputs["success"], timeout=120)
    assert child.returncode == 0, child.stderr[-3000:]
    before, after = json.loads(child.stdout)
    assert after == before


def test_thousand_failing_calls_do_not_grow_resident_memory(inputs):
    code = r"""
import json, os
page = os.sysconf("SC_PAGE_SIZE")
def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * page
paths = sys.argv[1:]
def fail_once(index):
    try:
        vantrel_rs.detect_frames(paths[index % len(paths)])
    except RuntimeError:
        return
    raise SystemExit("expected a failure")
for index in range(100):
    fail_once(index)
start = resident()
for index in range(1000):
    fail_once(index)
print(json.dumps([start, resident()]))
"""
    child = run_child(code, inputs["failure"], timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    start, end = json.loads(child.stdout)
    # A leaked decoder, frame or file buffer per call would add far more than this.
    assert end - start < 1024 * 1024, f"resident memory grew by {end - start} bytes"

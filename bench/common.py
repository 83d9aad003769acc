"""What every benchmark shares: timing (a fresh process, a call in this one, callgrind's count),
markdown tables, the machine line, and where inputs and results go.

Benchmarks run from the repository root as modules: `python -m bench.speed.run`.
"""
import json
import os
import platform
import shutil
import statistics
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
INPUTS = ROOT / "bench" / "inputs"   # generated and fetched inputs (git-ignored)
OUT = ROOT / "bench" / "out"         # scratch: peers' venv, caches, smoke results (git-ignored)
FFMPEG = shutil.which("ffmpeg") or "ffmpeg"
FFPROBE = shutil.which("ffprobe") or "ffprobe"


def module_env(build):
    """The environment of a process that imports the modules (and the package) from the build tree `build`."""
    return dict(os.environ, PYTHONPATH=f"{Path(build).resolve()}{os.pathsep}{ROOT / 'python'}")


# ---------------------------------------------------------------- timing

def run_one(cmd, env=None):
    """One fresh process: wall and CPU seconds, and its peak RSS (from wait4 of exactly that process)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout, stderr = proc.stdout, proc.stderr
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    out, err = stdout.read().decode(), stderr.read().decode(errors="replace")
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))} failed ({proc.returncode}): {err[-2000:]}")
    return {"wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
            "peak_rss_mib": usage.ru_maxrss / 1024, "stdout": out.strip()}


def timed(fn):
    """Wall seconds and CPU seconds (this process and its finished children) of one call in this
    process: on a busy machine the CPU time of a single-threaded run still measures its work."""
    started, cpu = time.perf_counter(), sum(os.times()[:4])
    fn()
    return time.perf_counter() - started, sum(os.times()[:4]) - cpu


def instructions(cmd, env=None):
    """Instructions the command executes (callgrind): exact, and unaffected by other load."""
    err = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *map(str, cmd)],
                         env=env, capture_output=True, text=True, check=True).stderr
    return int(err.split("Collected :")[1].split()[0])


def summary(values):
    values = list(values)
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def spread(s, digits=2):
    """A summary as "median [min, max]"."""
    return f"{s['median']:.{digits}f} [{s['min']:.{digits}f}, {s['max']:.{digits}f}]"


# ---------------------------------------------------------------- reports

def machine():
    cpu = platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    ffv = subprocess.run([FFMPEG, "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    return {"cpu": cpu, "cores": os.cpu_count(), "load_at_start": os.getloadavg()[0],
            "python": platform.python_version(), "ffmpeg": ffv, "os": platform.platform()}


def machine_line(m):
    """The machine of a report in one line."""
    return f"{m['cpu']}, {m['cores']} cores, {m['os']}; {m['ffmpeg']}; load average {m['load_at_start']:.1f} at start"


def table(header, rows):
    """Markdown table lines; a column whose header starts with "#" is numeric (right-aligned, the "#" dropped)."""
    names = [h.lstrip("#") for h in header]
    align = ["---:" if h.startswith("#") else "---" for h in header]
    return ["| " + " | ".join(names) + " |", "|" + "|".join(align) + "|",
            *("| " + " | ".join(str(c) for c in row) + " |" for row in rows)]


def write(folder, name, report, markdown):
    """Writes `name`.json and `name`.md into `folder` and prints the markdown."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{name}.json").write_text(json.dumps(report, indent=1) + "\n")
    (folder / f"{name}.md").write_text(markdown.rstrip("\n") + "\n")
    print(markdown)

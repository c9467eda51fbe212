"""What the benchmark drivers share: the built programs, processes' CPU time and wake-ups read from /proc, the
key=value lines of the C tools, port ranges, and the min / median / max tables of repeated runs."""

import os
import statistics
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(BENCH, "..", "tests", "e2e"))
from harness import Program, cpu_seconds, free_udp_ports, task_files, wait_until_bound  # noqa: E402,F401 (path set above)

DEFAULT_BUILD = os.path.normpath(os.path.join(BENCH, "..", "build"))
HOST = "127.0.0.1"
KEY = 0x5EED


def built(build_dir, name):
    """The path of a program or library the CMake build made; stops the driver when it is missing."""
    path = os.path.join(build_dir, name)
    if not os.path.exists(path):
        sys.exit(f"{path} is missing: build first (cmake --build {build_dir})")
    return path


def start(executable, args, **env):
    """A program under measurement with its lines collected. It keeps the caller's environment (so
    TOKIO_WORKER_THREADS reaches it) with the program's log at WARN and the given variables added."""
    return Program([str(a) for a in args], env={**os.environ, "RUST_LOG": "warn", **env}, executable=executable)


def stop(program, timeout=60):
    """Ctrl+C, then waits for the end; a program that has ended already is only waited for."""
    if program.proc.poll() is None:
        program.interrupt()
    program.wait(timeout=timeout)


def wait_bound(program, base, count):
    """Waits until `program` has bound the first and the last of ports base..base+count-1."""
    for port in (base, base + count - 1):
        wait_until_bound(port, program.proc, timeout=120)


def port_range(count):
    """`count` consecutive UDP ports free now on HOST, outside the ephemeral range."""
    return free_udp_ports(count, HOST)


def voluntary_switches(pid):
    """How often the process's threads have gone to sleep of their own accord, summed over the threads."""
    total = 0
    for text in task_files(pid, "status"):
        for row in text.splitlines():
            if row.startswith("voluntary_ctxt_switches:"):
                total += int(row.split()[1])
    return total


def fields(line):
    """The key=value items of a C tool's line, as numbers; a leading word names the line under "label"."""
    items = {}
    for word in line.split():
        if "=" in word:
            key, value = word.split("=", 1)
            items[key] = float(value)
        else:
            items["label"] = word
    return items


def lines_of(program):
    return [raw.decode() for raw in list(program.stdout_lines)]


def sample(pid, program):
    """(monotonic time, CPU seconds, stdout lines so far) of a running program, taken together."""
    return time.monotonic(), cpu_seconds(pid), len(program.stdout_lines)


def spread(values, digits=2):
    """"min/median/max" of the repeats' figures."""
    if not values:
        return "-"
    return "/".join(f"{v:.{digits}f}" for v in (min(values), statistics.median(values), max(values)))


def verdict(checks):
    """"met", or "MISSED" with the names of the failed checks, from (name, held) pairs."""
    missed = [name for name, held in checks if not held]
    return "met" if not missed else "MISSED " + ",".join(missed)


def print_table(title, header, rows):
    """A titled table of text cells, each column as wide as its widest cell."""
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    print(f"== {title}")
    for row in [header, *rows]:
        print("  " + "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
    sys.stdout.flush()

#!/usr/bin/env python3
"""Client benchmarks on loopback. Each section runs its configurations --repeats times (default 3) and prints
min/median/max over the repeats with the target beside them, judged on the median. The C tools come from the
CMake build (cmake --build build), as the program does. TOKIO_WORKER_THREADS is passed on to the program.

  load      100 sessions x 1000/s (interval 1000 ms) against the server, once: the sent total within 0.1 % of
            sessions x rate x full rounds, and no loss
  scale     10000 sessions x 10/s, once: the same, with the client's peak RSS
  gaps      the gaps between departures, from kernel receive timestamps (gap_reflector), after the first 1.5 s:
            per session (pooled) at 1 x 300/s, 1 x 1500/s, 1 x 10000/s and 100 x 100/s, and of the merged
            stream at 100 x 100/s; paced_sender runs at the same time against a reflector of its own, as the
            reference of exact deadlines. Targets: median within 5 % of the nominal gap, at most 1 % of the gaps
            shorter than 10 % of it ("bursts"), p99 at most nominal + 20 % + 100 us
  cpu       CPU seconds (all threads, user + system) per round trip of the client beside paced_sender, which
            sleeps to every exact deadline, one thread per core, with the same sessions and rates against the
            same reflector: 100 x 1000/s, 10 x 10000/s and 10000 x 10/s, over the window after start-up.
            Target: client / paced_sender at most 1.0
  wakeups   voluntary context switches per second, summed over the client's threads, at -n 10 and the default
            rate (10 per 1000 ms). Target: not above today's figure (printed as the baseline)
  hotpath   heap allocations and mutex lock operations per round trip (a send and its reply) at 10 x 1000/s,
            counted by libhot_path_counter.so over the window after start-up. Target: no allocation per datagram,
            that is fewer than 0.05 per round trip (the few left belong to each session's report of an interval)
  fidelity  rtt_avg of 1 session beside ping_client (one datagram in flight, its clock read after send()
            returns), both at once against one server, at 100/s and 1000/s. Target: rtt_avg / ping at most 1.5

Usage: client_bench.py [--build DIR] [--bin PATH] [--repeats N] [--seconds N] [section ...]   (default: all)
--seconds sets every section's window (defaults: gaps, hotpath and fidelity 5 s, the others 10 s).
Exit status 1 when a target of the program is missed."""

import argparse
import json
import os
import signal
import statistics
import sys
import tempfile
import time

from bench_support import (DEFAULT_BUILD, HOST, KEY, built, cpu_seconds, fields, lines_of, port_range,
                           print_table, sample, spread, start, stop, verdict, voluntary_switches, wait_bound)
from harness import client_args, server_args  # noqa: E402 (bench_support puts the harness on the path)

INTERVAL_MS = 1000
INTERVAL_NS = INTERVAL_MS * 1_000_000
GAP_CONFIGS = ((1, 300), (1, 1500), (1, 10000), (100, 100))
GAP_SKIP_MS = 1500  # the sessions start over one interval; their first sends come after a pause
CPU_CONFIGS = ((100, 1000), (10, 10000), (10000, 10))
HOT_PATH_CONFIG = (10, 1000)
FIDELITY_RATES = (100, 1000)
WINDOWS = {"load": 10, "scale": 10, "gaps": 5, "cpu": 10, "wakeups": 10, "hotpath": 5, "fidelity": 5}
STEADY_ROUNDS = 3  # result lines before a window opens: every session has started and reported


def peak_rss_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def client(binary, base, sessions, rate=None, **env):
    """The program as a client of `sessions` sessions on ports base.. (no probe), JSON lines."""
    rate_args = ["-r", rate, "-i", INTERVAL_MS] if rate else []
    return start(binary, ["-k", KEY, "-p", base, "-n", sessions, *rate_args, "-m", "json", "--no_probe", HOST],
                 **env)


def reflector(build, sessions, rate, skip_ms=0, window_ms=0):
    """A gap_reflector on a fresh range of `sessions` ports, bound; returns (program, base port)."""
    base = port_range(sessions)
    program = start(built(build, "gap_reflector"), [HOST, base, sessions, KEY, INTERVAL_NS // rate, skip_ms,
                                                    window_ms])
    wait_bound(program, base, sessions)
    return program, base


def paced_sender(build, base, sessions, rate):
    return start(built(build, "paced_sender"), [HOST, base, sessions, rate, INTERVAL_MS, KEY, 0])


def round_trip_rate(lines):
    """Replies per second over a client's result lines, one round per interval."""
    rounds = [json.loads(line) for line in lines]
    if not rounds:
        raise RuntimeError("no result line in the window")
    return sum(r["pkts_rcvd"] - r["pkts_dups"] for r in rounds) / (len(rounds) * INTERVAL_MS / 1000)


def paced_round_trip_rate(lines):
    """Replies per second between the first and the last of paced_sender's lines."""
    first, last = fields(lines[0]), fields(lines[-1])
    return (last["received"] - first["received"]) / (last["elapsed_s"] - first["elapsed_s"])


def steady(program):
    program.wait_stdout_count(lambda _: True, STEADY_ROUNDS, timeout=120)


# load and scale

def measure(binary, sessions, rate, seconds):
    """Runs a server with one port per session and the client against it; returns the figures."""
    base = port_range(sessions)
    server = start(binary, server_args(KEY, base, sessions, interval=INTERVAL_MS))
    driven = None
    try:
        wait_bound(server, base, sessions)
        driven = start(binary, client_args(KEY, base, sessions, rate, INTERVAL_MS))
        # The sessions start over one interval; their first reports make an empty round.
        time.sleep(seconds + 2 * INTERVAL_MS / 1000)
        figures = {"client_cpu_s": cpu_seconds(driven.proc.pid), "server_cpu_s": cpu_seconds(server.proc.pid),
                   "client_peak_rss_mib": peak_rss_mib(driven.proc.pid)}
    finally:
        for program in (driven, server):
            if program:
                stop(program)
    if driven.proc.returncode != 0:
        tail = b"".join(driven.stderr_lines[-20:]).decode()
        raise RuntimeError(f"client ended with {driven.proc.returncode}: {tail}")
    rounds = [json.loads(line) for line in driven.stdout_lines]
    # A round is the next `sessions` reports, whichever sessions sent them, and every session's first report is
    # empty: after R rounds the sessions have reported R - 1 full intervals each, give or take the reports that
    # the start stagger moves across a round boundary. So the first round may carry a few sends, and the total
    # over all rounds is what R - 1 full rounds should hold.
    full = rounds[1:]
    if not full:
        raise RuntimeError("no full round")
    sent = [r["pkts_sent"] for r in full]
    total = sum(r["pkts_sent"] for r in rounds)
    expected = sessions * rate * len(full)
    figures.update({
        "sessions": sessions, "rate": rate, "full_rounds": len(full),
        "first_round_sent": rounds[0]["pkts_sent"],
        "round_sent_min": min(sent), "round_sent_max": max(sent), "round_sent": sent,
        "sent_total": total, "sent_expected": expected,
        "sent_deviation_pct": 100.0 * (total - expected) / expected,
        "skip_interval": sum(r["skip_interval"] for r in rounds),
        "pkts_lost": sum(r["pkts_lost"] for r in rounds),
        "late_pkts": sum(r["late_pkts"] for r in rounds),
    })
    return figures


def throughput(name, binary, sessions, rate, seconds):
    figures = measure(binary, sessions, rate, seconds)
    print(f"== {name}")
    for key, value in figures.items():
        print(f"  {key:22} {value:.3f}" if isinstance(value, float) else f"  {key:22} {value}")
    targets = [("sent within 0.1 %", abs(figures["sent_deviation_pct"]) <= 0.1), ("no loss", figures["pkts_lost"] == 0)]
    for label, met in targets:
        print(f"  target {label}: {'met' if met else 'MISSED'}")
    return all(met for _, met in targets)


# gaps

def gap_run(build, binary, sessions, rate, window_s):
    """The client and paced_sender at once, each against a gap_reflector of its own; returns, per sender, the
    reflector's lines by label ("senders", "session", "merged")."""
    started = []
    try:
        pairs = []
        for make_sender in (lambda base: client(binary, base, sessions, rate),
                            lambda base: paced_sender(build, base, sessions, rate)):
            program, base = reflector(build, sessions, rate, GAP_SKIP_MS, window_s * 1000)
            started.append(program)
            pairs.append((program, base, make_sender))
        for program, base, make_sender in pairs:
            started.append(make_sender(base))
        results = []
        for program, _, _ in pairs:
            program.wait(timeout=GAP_SKIP_MS / 1000 + window_s + 60)
            lines = [fields(line) for line in lines_of(program)]
            results.append({line.get("label", "senders"): line for line in lines})
        return dict(zip(("brindlemoor", "paced_sender"), results))
    finally:
        for program in reversed(started):
            stop(program)


def gap_rows(config, sender, stream, runs):
    """A table row of one stream over the repeats, and whether its targets hold at the median repeat."""
    figures = [run[stream] for run in runs]
    nominal = figures[0]["nominal_us"]

    def median_of(key):
        return statistics.median(f[key] for f in figures)

    checks = [("median", abs(median_of("median_us") - nominal) <= 0.05 * nominal),
              ("bursts", median_of("bursts_pct") <= 1.0),
              ("p99", median_of("p99_us") <= 1.2 * nominal + 100)]
    drops = sum(run["senders"]["drops"] for run in runs)
    row = [config, sender, stream, f"{nominal:.1f}", spread([f["median_us"] for f in figures], 1),
           spread([f["p1_us"] for f in figures], 1), spread([f["p99_us"] for f in figures], 1),
           spread([f["bursts_pct"] for f in figures], 2), verdict(checks) + (f" ({drops:.0f} DROPS)" if drops else "")]
    return row, all(held for _, held in checks)


def gaps(build, binary, repeats, window_s):
    rows, met = [], True
    for sessions, rate in GAP_CONFIGS:
        runs = [gap_run(build, binary, sessions, rate, window_s) for _ in range(repeats)]
        config = f"{sessions} x {rate}/s"
        for sender in ("brindlemoor", "paced_sender"):
            for stream in ("session", "merged") if sessions > 1 else ("session",):
                row, held = gap_rows(config, sender, stream, [run[sender] for run in runs])
                rows.append(row)
                met &= held or sender != "brindlemoor"
    print_table(f"gaps between departures, {repeats} runs of {window_s} s, min/median/max (paced_sender: "
                "the exact-deadline reference, run at the same time)",
                ["config", "sender", "stream", "nominal us", "median us", "p1 us", "p99 us", "bursts %", "target"],
                rows)
    return met


# cpu

def cpu_run(build, binary, which, sessions, rate, window_s):
    """CPU microseconds per round trip and round trips per second of one sender in its steady state."""
    server, base = reflector(build, sessions, rate)
    sender = None
    try:
        sender = client(binary, base, sessions, rate) if which == "brindlemoor" else \
            paced_sender(build, base, sessions, rate)
        steady(sender)
        t0, cpu0, n0 = sample(sender.proc.pid, sender)
        time.sleep(window_s)
        t1, cpu1, n1 = sample(sender.proc.pid, sender)
        lines = lines_of(sender)
        replies = round_trip_rate(lines[n0:n1]) if which == "brindlemoor" else \
            paced_round_trip_rate(lines[n0 - 1:n1])
    finally:
        if sender:
            stop(sender)
        stop(server)
    return (cpu1 - cpu0) / (t1 - t0) / replies * 1e6, replies


def cpu(build, binary, repeats, window_s):
    rows, met = [], True
    for sessions, rate in CPU_CONFIGS:
        runs = []
        for _ in range(repeats):
            runs.append({which: cpu_run(build, binary, which, sessions, rate, window_s)
                         for which in ("brindlemoor", "paced_sender")})
        program = [run["brindlemoor"][0] for run in runs]
        paced = [run["paced_sender"][0] for run in runs]
        ratios = [p / q for p, q in zip(program, paced)]
        held = statistics.median(ratios) <= 1.0
        met &= held
        rows.append([f"{sessions} x {rate}/s", spread(program, 3), spread(paced, 3), spread(ratios, 2),
                     spread([run["brindlemoor"][1] for run in runs], 0), verdict([("ratio", held)])])
    print_table(f"client CPU per round trip, {repeats} runs of {window_s} s each, min/median/max",
                ["config", "brindlemoor us", "paced_sender us", "ratio", "round trips/s", "target <= 1.0"], rows)
    return met


# wakeups

def wakeup_run(build, binary, window_s):
    """Voluntary context switches per second and per round trip of a client at -n 10 and the default rate."""
    sessions = 10
    server, base = reflector(build, sessions, 10)
    sender = None
    try:
        sender = client(binary, base, sessions)
        steady(sender)
        t0, switches0, n0 = time.monotonic(), voluntary_switches(sender.proc.pid), len(sender.stdout_lines)
        time.sleep(window_s)
        t1, switches1, n1 = time.monotonic(), voluntary_switches(sender.proc.pid), len(sender.stdout_lines)
        replies = round_trip_rate(lines_of(sender)[n0:n1])
    finally:
        if sender:
            stop(sender)
        stop(server)
    per_second = (switches1 - switches0) / (t1 - t0)
    return per_second, per_second / replies


def wakeups(build, binary, repeats, window_s):
    runs = [wakeup_run(build, binary, window_s) for _ in range(repeats)]
    print_table(f"client wake-ups at -n 10 -r 10 -i 1000, {repeats} runs of {window_s} s, min/median/max",
                ["config", "voluntary switches/s", "per round trip", "target"],
                [["10 x 10/s", spread([r[0] for r in runs], 1), spread([r[1] for r in runs], 2),
                  "not above today's"]])
    return True


# hotpath

def hot_path_run(build, binary, window_s, counts_path):
    """Heap allocations and mutex locks per round trip, counted between SIGUSR1 and SIGUSR2 in steady state."""
    sessions, rate = HOT_PATH_CONFIG
    server, base = reflector(build, sessions, rate)
    sender = None
    try:
        sender = client(binary, base, sessions, rate, LD_PRELOAD=built(build, "libhot_path_counter.so"),
                        HOT_PATH_COUNTS=counts_path)
        steady(sender)
        n0 = len(sender.stdout_lines)
        os.kill(sender.proc.pid, signal.SIGUSR1)
        t0 = time.monotonic()
        time.sleep(window_s)
        os.kill(sender.proc.pid, signal.SIGUSR2)
        t1 = time.monotonic()
        n1 = len(sender.stdout_lines)
        counts = None
        for _ in range(100):
            if os.path.exists(counts_path) and os.path.getsize(counts_path):
                counts = fields(open(counts_path).read())
                break
            time.sleep(0.05)
        if counts is None:
            raise RuntimeError("libhot_path_counter.so wrote no counts")
        round_trips = round_trip_rate(lines_of(sender)[n0:n1]) * (t1 - t0)
    finally:
        if sender:
            stop(sender)
        stop(server)
        if os.path.exists(counts_path):
            os.unlink(counts_path)
    return counts["allocations"] / round_trips, counts["mutex_locks"] / round_trips


def hot_path(build, binary, repeats, window_s):
    with tempfile.TemporaryDirectory() as work:
        runs = [hot_path_run(build, binary, window_s, os.path.join(work, "counts")) for _ in range(repeats)]
    allocations = [r[0] for r in runs]
    held = statistics.median(allocations) < 0.05
    sessions, rate = HOT_PATH_CONFIG
    print_table(f"client hot path per round trip (a send and its reply), {repeats} runs of {window_s} s, "
                "min/median/max",
                ["config", "allocations", "mutex locks", "target: none per datagram"],
                [[f"{sessions} x {rate}/s", spread(allocations, 3), spread([r[1] for r in runs], 2),
                  verdict([("allocations", held)])]])
    return held


# fidelity

def fidelity_run(build, binary, rate, window_s):
    """rtt_avg in microseconds of a 1-session client and of ping_client, both at once against one server."""
    base = port_range(2)
    server = start(binary, server_args(KEY, base, 2, interval=INTERVAL_MS))
    started = [server]
    try:
        wait_bound(server, base, 2)
        skip_ms = 1000
        ping = start(built(build, "ping_client"), [HOST, base + 1, KEY, rate, skip_ms, window_s])
        started.append(ping)
        driven = client(binary, base, 1, rate)
        started.append(driven)
        ping.wait(timeout=skip_ms / 1000 + window_s + 60)
        ping_figures = fields(lines_of(ping)[-1])
    finally:
        for program in reversed(started):
            stop(program)
    # Rounds from the second on: the first holds the session's start, as the ping's skipped second does.
    rounds = [json.loads(line) for line in lines_of(driven)][2:]
    replies = sum(r["pkts_rcvd"] - r["pkts_dups"] for r in rounds)
    if not replies or not ping_figures["received"]:
        raise RuntimeError("no round trips measured")
    rtt = sum(r["rtt_avg"] * (r["pkts_rcvd"] - r["pkts_dups"]) for r in rounds) / replies / 1000
    return rtt, ping_figures["rtt_avg_us"]


def fidelity(build, binary, repeats, window_s):
    rows, met = [], True
    for rate in FIDELITY_RATES:
        runs = [fidelity_run(build, binary, rate, window_s) for _ in range(repeats)]
        ratios = [program / ping for program, ping in runs]
        held = statistics.median(ratios) <= 1.5
        met &= held
        rows.append([f"1 x {rate}/s", spread([r[0] for r in runs], 1), spread([r[1] for r in runs], 1),
                     spread(ratios, 2), verdict([("ratio", held)])])
    print_table(f"RTT fidelity, {repeats} runs of {window_s} s, min/median/max",
                ["config", "brindlemoor rtt_avg us", "ping_client rtt_avg us", "ratio", "target <= 1.5"], rows)
    return met


SECTIONS = {
    "load": lambda a, w: throughput("load", a.bin, 100, 1000, w),
    "scale": lambda a, w: throughput("scale", a.bin, 10000, 10, w),
    "gaps": lambda a, w: gaps(a.build, a.bin, a.repeats, w),
    "cpu": lambda a, w: cpu(a.build, a.bin, a.repeats, w),
    "wakeups": lambda a, w: wakeups(a.build, a.bin, a.repeats, w),
    "hotpath": lambda a, w: hot_path(a.build, a.bin, a.repeats, w),
    "fidelity": lambda a, w: fidelity(a.build, a.bin, a.repeats, w),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=DEFAULT_BUILD, help="the CMake build directory with the C tools")
    parser.add_argument("--bin", help="the program (default: brindlemoor in the build directory)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seconds", type=int, help="every section's window")
    parser.add_argument("sections", nargs="*", metavar="section", help=", ".join(SECTIONS) + " (default: all)")
    args = parser.parse_args()
    unknown = [name for name in args.sections if name not in SECTIONS]
    if unknown:
        parser.error(f"unknown section {unknown[0]!r}")
    args.sections = args.sections or list(SECTIONS)
    args.bin = args.bin or built(args.build, "brindlemoor")
    met = True
    for name in args.sections:
        met &= SECTIONS[name](args, args.seconds or WINDOWS[name])
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())

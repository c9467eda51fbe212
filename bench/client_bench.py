#!/usr/bin/env python3
"""Client benchmarks on loopback: the project's own server and client, the client's JSON lines parsed.

  load      100 sessions x rate 1000 at interval 1000 ms for 10 s
  scale     10000 sessions x rate 10 at interval 1000 ms for 10 s, with the client's peak RSS
  fidelity  rtt_avg of 1 session x rate 100 beside the round trip that sockperf's ping-pong measures

Usage: client_bench.py [--bin PATH] [--seconds N] [load|scale|fidelity ...]   (default: all three)
Targets: the sent total within 0.1 % of sessions x rate x full rounds, no loss on loopback, and an rtt_avg of at
most 1.5 x sockperf's round trip. TOKIO_WORKER_THREADS is passed on to both programs."""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Program, client_args, free_udp_ports, server_args, wait_until_bound  # noqa: E402

KEY = 0x5EED
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def peak_rss_mib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def start(binary, args):
    """The program under measurement; unlike the tests, it keeps the caller's environment (TOKIO_WORKER_THREADS)."""
    return Program(args, env={**os.environ, "RUST_LOG": "warn"}, executable=binary)


def measure(binary, sessions, rate, seconds, interval=1000):
    """Runs a server with one port per session and the client against it; returns the figures."""
    base = free_udp_ports(sessions)
    server = start(binary, server_args(KEY, base, sessions, interval=interval))
    client = None
    try:
        for port in (base, base + sessions - 1):
            wait_until_bound(port, server.proc, timeout=120)
        client = start(binary, client_args(KEY, base, sessions, rate, interval))
        # The sessions start over one interval; their first reports make an empty round.
        time.sleep(seconds + 2 * interval / 1000)
        figures = {"client_cpu_s": cpu_seconds(client.proc.pid), "server_cpu_s": cpu_seconds(server.proc.pid),
                   "client_peak_rss_mib": peak_rss_mib(client.proc.pid)}
    finally:
        for program in (client, server):
            if program:
                program.interrupt()
                program.wait(timeout=60)
    if client.proc.returncode != 0:
        tail = b"".join(client.stderr_lines[-20:]).decode()
        raise RuntimeError(f"client ended with {client.proc.returncode}: {tail}")
    rounds = [json.loads(line) for line in client.stdout_lines]
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
    rcvd = sum(r["pkts_rcvd"] - r["pkts_dups"] for r in full)
    figures.update({
        "sessions": sessions, "rate": rate, "full_rounds": len(full),
        "first_round_sent": rounds[0]["pkts_sent"],
        "round_sent_min": min(sent), "round_sent_max": max(sent), "round_sent": sent,
        "sent_total": total, "sent_expected": expected,
        "sent_deviation_pct": 100.0 * (total - expected) / expected,
        "skip_interval": sum(r["skip_interval"] for r in rounds),
        "pkts_lost": sum(r["pkts_lost"] for r in rounds),
        "late_pkts": sum(r["late_pkts"] for r in rounds),
        # Weighted by the replies of each round, as the rounds' own averages are.
        "rtt_avg_us": sum(r["rtt_avg"] * (r["pkts_rcvd"] - r["pkts_dups"]) for r in full) / max(rcvd, 1) / 1000,
    })
    return figures


def sockperf_rtt_us(seconds, mps):
    """Twice the one-way latency that sockperf's UDP ping-pong reports on loopback at `mps` messages/s."""
    port = free_udp_ports(1)
    server = subprocess.Popen(["sockperf", "server", "-i", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until_bound(port, server)
        out = subprocess.run(["sockperf", "ping-pong", "-i", "127.0.0.1", "-p", str(port), "-t", str(seconds),
                              f"--mps={mps}"], capture_output=True, text=True, timeout=seconds + 60).stdout
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(timeout=30)
    latency = re.search(r"Summary: Latency is ([\d.]+) usec", out)
    if not latency:
        raise RuntimeError(f"no latency in sockperf's output: {out}")
    return 2 * float(latency.group(1))


def print_figures(name, figures, targets):
    print(f"== {name}")
    for key, value in figures.items():
        print(f"  {key:22} {value:.3f}" if isinstance(value, float) else f"  {key:22} {value}")
    for label, met in targets:
        print(f"  target {label}: {'met' if met else 'MISSED'}")
    return all(met for _, met in targets)


def throughput(name, binary, sessions, rate, seconds):
    figures = measure(binary, sessions, rate, seconds)
    return print_figures(name, figures, [
        ("sent within 0.1 %", abs(figures["sent_deviation_pct"]) <= 0.1),
        ("no loss", figures["pkts_lost"] == 0),
    ])


def fidelity(binary, seconds):
    figures = measure(binary, 1, 100, seconds)
    figures["sockperf_rtt_us"] = sockperf_rtt_us(seconds, 100)
    figures["rtt_ratio"] = figures["rtt_avg_us"] / figures["sockperf_rtt_us"]
    return print_figures("fidelity", figures, [("rtt_avg <= 1.5 x sockperf", figures["rtt_ratio"] <= 1.5)])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                                                      "brindlemoor"))
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("which", nargs="*", default=["load", "scale", "fidelity"])
    args = parser.parse_args()
    met = True
    for which in args.which:
        if which == "load":
            met &= throughput("load", args.bin, 100, 1000, args.seconds)
        elif which == "scale":
            met &= throughput("scale", args.bin, 10000, 10, args.seconds)
        elif which == "fidelity":
            met &= fidelity(args.bin, args.seconds)
        else:
            parser.error(f"unknown benchmark {which!r}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())

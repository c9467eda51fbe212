#!/usr/bin/env python3
"""Server benchmarks on loopback, the server beside minimal_echo (one thread per port in a blocking
recvfrom/sendto loop that does the server's per-datagram work) under the same load. Two loads:
  flood  udp_flood on --ports ports: each of its sender threads keeps 32 datagrams in flight to one port, so
         the sockets seldom run empty
  paced  paced_sender, 100 sessions x 1000/s on 100 ports: each datagram finds its socket empty, as from
         clients at a constant rate
Each section runs --repeats rounds, one load per program each, and prints min/median/max over the rounds with
the target beside them, judged on the median. As root it runs in a network namespace of its own, so that the
kernel's UDP counters see only its traffic.

  cpu       under the flood: echoes per second and CPU seconds (all threads, user + system) per million
            echoes, and the server / minimal_echo ratio. Target: at most 1.05. Each server round also checks
            the accounting: every datagram the kernel delivered reached the server's counts or the flood, and
            every datagram the server counted was echoed (checked in a namespace of its own only)
  syscalls  under both loads: system calls per echo, counted in the kernel by perf (raw_syscalls:sys_enter
            over the process's threads; unlike strace it neither stops nor slows the process), with the calls
            that make them up; divided by the echoes the server counted, or for minimal_echo those the load
            got back, in rounds of their own. Target: at most 3 per echo for the server
  hotpath   under both loads: heap allocations and mutex lock operations per echo of the server, counted by
            libhot_path_counter.so from just before to just after the load

Usage: server_bench.py [--build DIR] [--bin PATH] [--repeats N] [--seconds N] [--ports N] [--threads N]
                       [section ...]   (default: all; 4 flood ports, 2 sender threads per port, 5 s loads)
Exit status 1 when a target of the server is missed or its accounting does not hold."""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from bench_support import (DEFAULT_BUILD, HOST, KEY, built, cpu_seconds, fields, lines_of, port_range,
                           print_table, spread, start, stop, verdict, wait_bound)

IN_OWN_NAMESPACE = "BENCH_IN_NETNS"
SYSCALLS = ("recvfrom", "recvmsg", "recvmmsg", "sendto", "sendmsg", "sendmmsg", "epoll_wait", "epoll_pwait",
            "epoll_pwait2", "epoll_ctl", "futex", "read", "write")
TRACEPOINTS = "/sys/kernel/tracing/events/syscalls"


def enter_own_network_namespace():
    """Runs this driver again in a new network namespace with loopback up, when root and the tools allow."""
    if os.environ.get(IN_OWN_NAMESPACE) or os.geteuid() != 0 or not (shutil.which("unshare") and shutil.which("ip")):
        return
    os.environ[IN_OWN_NAMESPACE] = "1"
    os.execvp("unshare", ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0" "$@"', sys.executable,
                          os.path.abspath(__file__), *sys.argv[1:]])


def udp_counters():
    """The kernel's UDP counters by name (/proc/net/snmp)."""
    rows = [line.split() for line in open("/proc/net/snmp") if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], map(int, rows[1][1:])))


PACED_SESSIONS, PACED_RATE = 100, 1000
PROGRAMS = ("brindlemoor", "minimal_echo")
LOADS = ("flood", "paced")


class Bench:
    def __init__(self, args):
        self.args = args

    def ports(self, load):
        return self.args.ports if load == "flood" else PACED_SESSIONS

    def echo_server(self, which, base, ports, **env):
        """The server (JSON lines every 250 ms, no log) or minimal_echo on the ports base.., bound."""
        if which == "brindlemoor":
            program = start(self.args.bin, ["-s", "-k", KEY, "-p", base, "-n", ports, "-i", 250, "-m", "json", HOST],
                            **{"RUST_LOG": "off", **env})
        else:
            program = start(built(self.args.build, "minimal_echo"), [HOST, base, ports, KEY], **env)
        wait_bound(program, base, ports)
        return program

    def run_load(self, load, base, perf_prefix=()):
        """One load on the ports from `base` for --seconds, after `perf_prefix`; returns the figures of the
        tool's last line, among them the echoes it got back as "received"."""
        seconds = str(self.args.seconds)
        if load == "flood":
            command = [built(self.args.build, "udp_flood"), HOST, str(base), str(self.args.ports), str(KEY),
                       str(self.args.threads), seconds]
        else:
            command = [built(self.args.build, "paced_sender"), HOST, str(base), str(PACED_SESSIONS),
                       str(PACED_RATE), "1000", str(KEY), seconds]
        done = subprocess.run([*perf_prefix, *command], capture_output=True, text=True, check=True,
                              timeout=self.args.seconds + 60)
        return fields(done.stdout.strip().splitlines()[-1])

    @staticmethod
    def server_counts(program):
        """pkts_rcvd and pkts_sent summed over the server's lines, after it has ended."""
        records = [json.loads(line) for line in lines_of(program)]
        return sum(r["pkts_rcvd"] for r in records), sum(r["pkts_sent"] for r in records)

    def round(self, which, load, measure, **env):
        """Runs one echo program on the ports of `load` with `measure(program, base)` around the load; stops the
        program (the server two ticks after the load, so that its lines hold everything it counted) and returns
        what `measure` returned with the server's counts, or None for minimal_echo."""
        ports = self.ports(load)
        base = port_range(ports)
        program = self.echo_server(which, base, ports, **env)
        try:
            figures = measure(program, base)
            if which == "brindlemoor":
                time.sleep(0.6)
        finally:
            stop(program)
        return figures, self.server_counts(program) if which == "brindlemoor" else None

    # cpu

    def cpu_round(self, which):
        def measure(program, base):
            before, cpu_before = udp_counters(), cpu_seconds(program.proc.pid)
            flood = self.run_load("flood", base)
            cpu = cpu_seconds(program.proc.pid) - cpu_before
            after = udp_counters()
            delivered = after["InDatagrams"] - before["InDatagrams"]
            return flood, cpu, delivered, after["RcvbufErrors"] - before["RcvbufErrors"]

        (flood, cpu, delivered, dropped), counts = self.round(which, "flood", measure)
        echoes = flood["received"]
        figures = {"echoes_per_s": echoes / flood["seconds"], "cpu_s_per_million": cpu / (echoes / 1e6)}
        if counts:
            rcvd, sent = counts
            figures["accounted"] = rcvd + echoes == delivered and sent == rcvd
            print(f"  server round: flood sent {flood['sent']:.0f}, got {echoes:.0f} echoes; server counted "
                  f"pkts_rcvd {rcvd}, pkts_sent {sent}; kernel delivered {delivered} (server + flood), dropped "
                  f"{dropped}")
        return figures

    def cpu(self):
        runs = [{which: self.cpu_round(which) for which in PROGRAMS}
                for _ in range(self.args.repeats)]
        server = [r["brindlemoor"]["cpu_s_per_million"] for r in runs]
        minimal = [r["minimal_echo"]["cpu_s_per_million"] for r in runs]
        ratios = [s / m for s, m in zip(server, minimal)]
        held = statistics.median(ratios) <= 1.05
        checked = bool(os.environ.get(IN_OWN_NAMESPACE))
        accounted = all(r["brindlemoor"]["accounted"] for r in runs) if checked else True
        rows = [["brindlemoor", spread([r["brindlemoor"]["echoes_per_s"] for r in runs], 0), spread(server, 3),
                 spread(ratios, 2), verdict([("ratio", held)])],
                ["minimal_echo", spread([r["minimal_echo"]["echoes_per_s"] for r in runs], 0), spread(minimal, 3),
                 "", ""]]
        print_table(f"server CPU per echo under the flood, {self.args.repeats} rounds of {self.args.seconds} s each, "
                    "min/median/max", ["program", "echoes/s", "CPU s per million", "ratio", "target <= 1.05"], rows)
        print("  accounting: " + ("not checked (not in a network namespace of its own)" if not checked else
                                  "every delivered datagram was counted and echoed" if accounted else
                                  "MISMATCH (pkts_rcvd + echoes received != kernel deliveries, or "
                                  "pkts_sent != pkts_rcvd)"))
        return held and accounted

    # syscalls

    def syscall_round(self, which, load, events, work):
        def measure(program, base):
            output = os.path.join(work, "perf.csv")
            figures = self.run_load(load, base, ["perf", "stat", "-x", ",", "-o", output, "-e", ",".join(events),
                                                 "-p", str(program.proc.pid), "--"])
            counts = {}
            for line in open(output):
                cells = line.strip().split(",")
                if len(cells) > 2 and cells[2] in events:
                    counts[cells[2]] = int(cells[0]) if cells[0].isdigit() else 0
            return figures, counts

        (figures, counts), server = self.round(which, load, measure)
        echoes = server[1] if server else figures["received"]
        return {name: count / echoes for name, count in counts.items()}

    def syscalls(self):
        names = [name for name in SYSCALLS if os.path.isdir(f"{TRACEPOINTS}/sys_enter_{name}")]
        events = ["raw_syscalls:sys_enter", *(f"syscalls:sys_enter_{name}" for name in names)]
        rows, met = [], True
        with tempfile.TemporaryDirectory() as work:
            for load in LOADS:
                runs = [{which: self.syscall_round(which, load, events, work) for which in PROGRAMS}
                        for _ in range(self.args.repeats)]
                for which in PROGRAMS:
                    totals = [r[which]["raw_syscalls:sys_enter"] for r in runs]
                    parts = {name: statistics.median(r[which][f"syscalls:sys_enter_{name}"] for r in runs)
                             for name in names}
                    other = statistics.median(totals) - sum(parts.values())
                    made_of = " ".join(f"{name} {share:.2f}" for name, share in [*parts.items(), ("other", other)]
                                       if share >= 0.005)
                    target = ""
                    if which == "brindlemoor":
                        held = statistics.median(totals) <= 3
                        met &= held
                        target = verdict([("syscalls", held)])
                    rows.append([load, which, spread(totals, 2), made_of, target])
        print_table(f"server system calls per echo, {self.args.repeats} rounds of {self.args.seconds} s each, "
                    "min/median/max (made of: medians)", ["load", "program", "per echo", "made of", "target <= 3"],
                    rows)
        return met

    # hotpath

    def hot_path_round(self, load, counts_path):
        def measure(program, base):
            os.kill(program.proc.pid, signal.SIGUSR1)
            self.run_load(load, base)
            os.kill(program.proc.pid, signal.SIGUSR2)
            for _ in range(100):
                if os.path.exists(counts_path) and os.path.getsize(counts_path):
                    return fields(open(counts_path).read())
                time.sleep(0.05)
            raise RuntimeError("libhot_path_counter.so wrote no counts")

        counts, (_, echoes) = self.round("brindlemoor", load, measure,
                                         LD_PRELOAD=built(self.args.build, "libhot_path_counter.so"),
                                         HOT_PATH_COUNTS=counts_path)
        os.unlink(counts_path)
        return counts["allocations"] / echoes, counts["mutex_locks"] / echoes

    def hot_path(self):
        rows = []
        with tempfile.TemporaryDirectory() as work:
            for load in LOADS:
                runs = [self.hot_path_round(load, os.path.join(work, "counts")) for _ in range(self.args.repeats)]
                rows.append([load, spread([r[0] for r in runs], 3), spread([r[1] for r in runs], 2)])
        print_table(f"server hot path per echo, {self.args.repeats} rounds of {self.args.seconds} s each, "
                    "min/median/max", ["load", "allocations", "mutex locks"], rows)
        return True


SECTIONS = {"cpu": Bench.cpu, "syscalls": Bench.syscalls, "hotpath": Bench.hot_path}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=DEFAULT_BUILD, help="the CMake build directory with the C tools")
    parser.add_argument("--bin", help="the program (default: brindlemoor in the build directory)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=5, help="the length of one flood")
    parser.add_argument("--ports", type=int, default=4)
    parser.add_argument("--threads", type=int, help="sender threads of the flood (default: 2 per port)")
    parser.add_argument("sections", nargs="*", metavar="section", help=", ".join(SECTIONS) + " (default: all)")
    args = parser.parse_args()
    unknown = [name for name in args.sections if name not in SECTIONS]
    if unknown:
        parser.error(f"unknown section {unknown[0]!r}")
    enter_own_network_namespace()
    args.bin = args.bin or built(args.build, "brindlemoor")
    args.threads = args.threads or 2 * args.ports
    print(f"loopback {HOST}; flood: {args.ports} ports, {args.threads} sender threads; paced: {PACED_SESSIONS} "
          f"sessions x {PACED_RATE}/s")
    bench = Bench(args)
    met = True
    for name in args.sections or SECTIONS:
        met &= SECTIONS[name](bench)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())

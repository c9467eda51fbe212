"""Helpers for the end-to-end tests: run the real binary, read its streams, speak the datagram protocol."""

import ctypes
import fcntl
import json
import os
import queue
import random
import re
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

# A background job of a non-interactive shell starts with SIGINT ignored, and the program would inherit that.
# A handler of our own is reset to the default action in every child, so the program starts as from a terminal.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

PACKET = struct.Struct(">QQQHH")
TIMEOUT = 30.0  # generous: the machine may be loaded
# Ports a test process keeps for itself; a test takes at most this many consecutive ports.
PORT_REGION = 1000
# Starts of a server on ports found free, before a test gives up.
START_ATTEMPTS = 5
# The time of day that starts a text result line, and the timestamp and blank that start a text log line.
TIME = r"\d\d:\d\d:\d\d\.\d{3}"
NO_COUNTERS = "WE HAVE NO COUNTERS"  # a server tick before any port has its counters
LOG_PREFIX = r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z "
# The leading items of a client text round (and of its summary) in every text mode.
CLIENT_TEXT_ROUND = re.compile("^" + TIME + r" rtt_avg: \S+ rtt_hi: \S+ rtt_lo: \S+ sent: \d+ rcvd: \d+")
# Items of a client or server text line: "label: value"; "decode error" is the one label with a blank.
TEXT_ITEM = re.compile(r" (decode error|[a-z_]+): (\S+)")
# The client's per-number figures under their JSON names, with the labels of the text line.
CLIENT_FIGURES = {"pkts_sent": "sent", "pkts_rcvd": "rcvd", "pkts_lost": "lost", "pkts_dups": "dups",
                  "pkts_reordered": "reords"}
# Items of a verbose client line that are no fault; a late timer on a loaded machine may skip an interval.
NOT_FAULTS = ("rtt_avg", "rtt_hi", "rtt_lo", "sent", "rcvd", "err_skipped_interval")
# The counts of a server JSON line, in the order the line has them.
SERVER_COUNTS = ("pkts_rcvd", "pkts_sent", "invalid_key", "decode_error", "recv_error", "send_error",
                 "icmp_port_unreachable", "icmp_host_unreachable", "icmp_network_unreachable")


# Processes

def binary():
    return os.environ["BRINDLEMOOR_BIN"]


def clean_env(**overrides):
    """The process environment without the variables the program reads, plus the given ones (None removes)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("RUST_LOG", "NO_COLOR", "TOKIO_WORKER_THREADS", "CLICOLOR_FORCE", "CLICOLOR")}
    env["TZ"] = "UTC"
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run(args, env=None, timeout=TIMEOUT):
    """Runs the binary to its end; returns (status, stdout bytes, stderr bytes)."""
    done = subprocess.run([binary(), *args], env=env or clean_env(), capture_output=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def run_with_stdout_closed(args, env=None, timeout=TIMEOUT):
    """Runs the binary to its end with nobody reading its standard output; returns (status, stderr bytes)."""
    with subprocess.Popen([binary(), *args], env=env or clean_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        proc.stdout.close()
        try:
            _, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise
    return proc.returncode, err


def assert_run_ends(test, args, status, log_pattern, log_filter="info"):
    """Runs the binary under `log_filter` and under "off": both end with `status` without standard output; the
    log matches `log_pattern` under the first and is empty under the second."""
    for rust_log in (log_filter, "off"):
        with test.subTest(rust_log=rust_log):
            ended, out, err = run(args, env=clean_env(RUST_LOG=rust_log, NO_COLOR="1"))
            test.assertEqual(ended, status)
            test.assertEqual(out, b"")
            if rust_log == "off":
                test.assertEqual(err, b"")
            else:
                test.assertRegex(err.decode(), log_pattern)


class Program:
    """A running instance whose standard output and error are collected line by line. The tests run the binary
    under test in a clean environment; `executable` and `env` run another build (or a program that runs it) or
    keep other variables, and `preexec_fn` runs in the child before the program starts."""

    def __init__(self, args, env=None, executable=None, preexec_fn=None):
        self.proc = subprocess.Popen([executable or binary(), *args], env=env or clean_env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        self.stdout_lines = []
        self.stderr_lines = []
        self._events = queue.Queue()
        self._readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.stdout_lines), daemon=True),
                         threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr_lines), daemon=True)]
        for reader in self._readers:
            reader.start()

    def _read(self, stream, lines):
        for raw in iter(stream.readline, b""):
            lines.append(raw)
            self._events.put(None)
        self._events.put(None)

    def _wait_lines(self, lines, predicate, count, after, timeout):
        """Waits until `count` of `lines` from index `after` on match; returns them. Fails when the time is up,
        or when the process has ended and its last lines have been read without enough matches."""
        deadline = time.monotonic() + timeout
        while True:
            # Looked at before the lines are, so that a line read just before the end is not missed.
            ended = self.proc.poll() is not None and not any(reader.is_alive() for reader in self._readers)
            matching = [line for line in (raw.decode("utf-8", "replace") for raw in list(lines)[after:])
                        if predicate(line)]
            if len(matching) >= count:
                return matching[:count]
            left = deadline - time.monotonic()
            if left <= 0 or ended:
                stream = "stdout" if lines is self.stdout_lines else "stderr"
                raise AssertionError(f"{len(matching)} of {count} {stream} lines matched; "
                                     f"stdout={self.stdout()!r} stderr={self.stderr()!r}")
            try:
                self._events.get(timeout=min(left, 0.5))
            except queue.Empty:
                pass

    def wait_stdout(self, predicate, timeout=TIMEOUT):
        """Waits for a stdout line that matches; returns the first."""
        return self._wait_lines(self.stdout_lines, predicate, 1, 0, timeout)[0]

    def wait_stderr(self, predicate, timeout=TIMEOUT):
        """Waits for a stderr line that matches; returns the first."""
        return self._wait_lines(self.stderr_lines, predicate, 1, 0, timeout)[0]

    def wait_stdout_count(self, predicate, count, timeout=TIMEOUT, after=0):
        """Waits until `count` stdout lines from line index `after` on match; returns them."""
        return self._wait_lines(self.stdout_lines, predicate, count, after, timeout)

    def interrupt(self):
        self.proc.send_signal(signal.SIGINT)

    def catches_sigint(self):
        """True once the process has its own SIGINT handler; before that, SIGINT ends it by the default action."""
        try:
            with open(f"/proc/{self.proc.pid}/status") as status:
                for row in status:
                    if row.startswith("SigCgt:"):
                        return bool(int(row.split()[1], 16) & (1 << (signal.SIGINT - 1)))
        except FileNotFoundError:
            pass
        return False

    def wait(self, timeout=TIMEOUT):
        status = self.proc.wait(timeout=timeout)
        for reader in self._readers:
            reader.join(timeout=timeout)
        if not any(reader.is_alive() for reader in self._readers):
            self.proc.stdout.close()
            self.proc.stderr.close()
        return status

    def stop(self):
        """Ends the process whatever state it is in (test clean-up)."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.wait()

    def stdout(self):
        return b"".join(self.stdout_lines).decode("utf-8", "replace")

    def stderr(self):
        return b"".join(self.stderr_lines).decode("utf-8", "replace")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def server_args(key, base, count=1, interval=100, mode="json", extra=(), listen="127.0.0.1"):
    """A server command line; `listen` None leaves the listen address to the program."""
    return ["-s", "-k", str(key), "-p", str(base), "-n", str(count), "-i", str(interval), "-m", mode, *extra,
            *([listen] if listen is not None else [])]


def client_args(key, port, sessions=1, rate=5, interval=200, mode="json", no_probe=False, extra=()):
    """A client command line aimed at 127.0.0.1."""
    return ["-k", str(key), "-p", str(port), "-n", str(sessions), "-r", str(rate), "-i", str(interval),
            "-m", mode, *(["--no_probe"] if no_probe else []), *extra, "127.0.0.1"]


def start_bound(args, ports, env):
    """Starts the program and waits until it has bound each of `ports`; stops it when it does not (it ended, or
    the time is up) and raises PortsTaken or AssertionError."""
    program = Program(args, env=env)
    try:
        for port in ports:
            wait_until_bound(port, program.proc)
    except (AssertionError, PortsTaken):
        program.stop()
        raise
    return program


def start_server(key, base=None, count=1, rust_log="warn", **kwargs):
    """A running server that has bound all its ports; `kwargs` go to server_args. Without a `base` the ports are
    found here, and a range that another program takes before the server binds it is given up for another one.
    The server's first port is `program.base`."""
    env = clean_env(RUST_LOG=rust_log, NO_COLOR="1")
    for attempt in range(START_ATTEMPTS):
        first = free_udp_ports(count) if base is None else base
        try:
            program = start_bound(server_args(key, first, count, **kwargs), range(first, first + count), env)
        except PortsTaken:
            if base is not None or attempt == START_ATTEMPTS - 1:
                raise
            continue
        program.base = first
        return program
    raise AssertionError("unreachable")


def start_client(key, port, rust_log="info", **kwargs):
    """A running client; `kwargs` go to client_args."""
    return Program(client_args(key, port, **kwargs), env=clean_env(RUST_LOG=rust_log, NO_COLOR="1"))


# Ports and waits

def private_network():
    """The command prefix that runs a program in a network namespace of its own, whose ports are all free (its
    loopback interface is down, but binding 0.0.0.0 works); None when this process may not create one."""
    try:
        made = subprocess.run(["unshare", "-n", "true"], capture_output=True, timeout=TIMEOUT)
    except FileNotFoundError:
        return None
    return ["unshare", "-n"] if made.returncode == 0 else None


def enter_private_network():
    """Moves this process, and every program it starts from now on, into a network namespace of its own with its
    loopback interface up: its ports and its netfilter rules are its own. False when it may not (not root)."""
    clone_newnet = 0x40000000
    if ctypes.CDLL(None, use_errno=True).unshare(clone_newnet) != 0:
        return False
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, capture_output=True, timeout=TIMEOUT)
    return True


def udp_sockets_in_network_of(pid):
    """How many UDP sockets are bound in the network namespace of process `pid`."""
    count = 0
    for family in ("udp", "udp6"):
        with open(f"/proc/{pid}/net/{family}") as table:
            count += len(table.readlines()) - 1
    return count


def ports_free(base, count, host="127.0.0.1"):
    """True when UDP ports `base` to `base + count - 1` can all be bound on `host` now."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    held = []
    try:
        for port in range(base, base + count):
            s = socket.socket(family, socket.SOCK_DGRAM)
            held.append(s)
            s.bind((host, port))
        return True
    except OSError:
        return False
    finally:
        for s in held:
            s.close()


def _test_port_span():
    """The ports the tests take theirs from: 10000-32000 without the kernel's ephemeral range, where the sockets
    that clients bind to port 0 (in this test or in one running beside it) get their ports."""
    low, high = 10000, 32000
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as ephemeral:
            first, last = map(int, ephemeral.read().split())
    except (OSError, ValueError):
        return low, high
    below, above = (low, min(high, first)), (max(low, last + 1), high)
    span = max(below, above, key=lambda s: s[1] - s[0])
    if span[1] - span[0] >= PORT_REGION:
        return span
    # The ephemeral range covers 10000-32000: take the widest stretch outside it anywhere.
    return max((1024, first), (last + 1, 65536), key=lambda s: s[1] - s[0])


class _PortRegion:
    """A stretch of PORT_REGION ports that this process alone hands out: each test process locks a region of its
    own (the lock goes with the process), so tests running side by side never pick the same ports, and within
    the process the ports are handed out in turn."""

    def __init__(self):
        self._guard = threading.Lock()
        self._lock = None
        self.first = self.end = self._next = 0

    def _claim(self):
        low, high = _test_port_span()
        slots = (high - low) // PORT_REGION
        directory = os.path.join(tempfile.gettempdir(), "brindlemoor-test-ports")
        os.makedirs(directory, exist_ok=True)
        deadline = time.monotonic() + TIMEOUT
        while True:
            start = random.randrange(slots)
            for k in range(slots):
                slot = (start + k) % slots
                # A bare descriptor: it stays open, and locked, until the process ends.
                lock = os.open(os.path.join(directory, f"{low + slot * PORT_REGION}.lock"), os.O_CREAT | os.O_RDWR)
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    os.close(lock)
                    continue
                self._lock = lock
                self.first = self._next = low + slot * PORT_REGION
                self.end = self.first + PORT_REGION
                return
            if time.monotonic() > deadline:
                raise RuntimeError("every test port region is held by another test process")
            time.sleep(0.1)

    def take(self, count, host):
        if count > PORT_REGION:
            # More than a region holds (benchmarks): any stretch of the span that is free now.
            low, high = _test_port_span()
            for _ in range(200):
                base = random.randrange(low, high - count)
                if ports_free(base, count, host):
                    return base
            raise RuntimeError(f"no {count} free consecutive ports in {low}-{high - 1}")
        with self._guard:
            if self._lock is None:
                self._claim()
            for _ in range(PORT_REGION):
                if self._next + count > self.end:
                    self._next = self.first
                base = self._next
                self._next += count
                if ports_free(base, count, host):
                    return base
        raise RuntimeError(f"no {count} free consecutive ports in {self.first}-{self.end - 1}")


_port_region = _PortRegion()


def free_udp_ports(count, host="127.0.0.1"):
    """Finds `count` consecutive UDP ports that are free on `host` now and that no other test process takes;
    returns the first."""
    return _port_region.take(count, host)


class PortsTaken(Exception):
    """The program ended before it had bound its ports: another program took one of them first."""


def udp_socket_inodes(port):
    """{inode: "udp" or "udp6"} of the sockets of this machine that are bound to UDP `port` (from /proc)."""
    inodes = {}
    for family in ("udp", "udp6"):
        with open(f"/proc/net/{family}") as table:
            for row in table.readlines()[1:]:
                fields = row.split()
                if int(fields[1].rsplit(":", 1)[1], 16) == port:
                    inodes[fields[9]] = family
    return inodes


def socket_inodes_of(pid):
    """The inodes of the sockets that process `pid` holds open."""
    inodes = set()
    directory = f"/proc/{pid}/fd"
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return inodes
    for name in names:
        try:
            target = os.readlink(os.path.join(directory, name))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    return inodes


def task_files(pid, name):
    """The texts of file `name` of each of the process's threads (/proc/PID/task/TID/NAME)."""
    task_dir = f"/proc/{pid}/task"
    for tid in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{tid}/{name}") as f:
                yield f.read()
        except FileNotFoundError:  # a thread that has just ended
            pass


def cpu_seconds(pid):
    """User plus system time of all the process's threads, in seconds, to the nanosecond (schedstat)."""
    return sum(int(text.split()[0]) for text in task_files(pid, "schedstat")) / 1e9


def wait_until_bound(port, process, timeout=TIMEOUT):
    """Waits, without touching the port, until `process` (a subprocess.Popen) has a socket bound to UDP `port`;
    returns its family ("udp" or "udp6"). Raises PortsTaken when the process ends first, AssertionError when the
    time is up."""
    deadline = time.monotonic() + timeout
    while True:
        bound = udp_socket_inodes(port)
        if bound:
            owned = bound.keys() & socket_inodes_of(process.pid)
            if owned:
                return bound[owned.pop()]
        if process.poll() is not None:
            raise PortsTaken(f"the process ended with status {process.returncode} before it had bound UDP port {port}")
        if time.monotonic() > deadline:
            raise AssertionError(f"the program has bound nothing to UDP port {port}")
        time.sleep(0.02)


def server_record(line):
    """The counts of one JSON-mode server line; None for the line of a tick that came before any port had its
    counters (the aggregator may take a tick before the first port's counters reach it)."""
    text = line.decode() if isinstance(line, bytes) else line
    return None if text.rstrip("\n") == NO_COUNTERS else json.loads(text)


def wait_sums(program, predicate, names, timeout=TIMEOUT):
    """Sums the counts `names` of a JSON-mode program's result lines until `predicate(sums)` holds, the time is up
    or the program has ended; returns the last sums."""
    deadline = time.monotonic() + timeout
    while True:
        sums = dict.fromkeys(names, 0)
        for record in filter(None, map(server_record, list(program.stdout_lines))):
            for name in names:
                sums[name] += record[name]
        if predicate(sums) or time.monotonic() > deadline or program.proc.poll() is not None:
            return sums
        time.sleep(0.05)


def wait_server_sums(program, predicate, timeout=TIMEOUT):
    """wait_sums over the counts of a server's lines."""
    return wait_sums(program, predicate, SERVER_COUNTS, timeout)


# Parsing

def text_items(line):
    """The items of a text result line as {label: value text}."""
    return dict(TEXT_ITEM.findall(line))


def fault_counters(line, allowed=()):
    """The items of a verbose client line that count faults, without those named in `allowed`."""
    return {label: value for label, value in text_items(line).items() if label not in NOT_FAULTS + allowed}


def client_figures(line):
    """The per-number figures of a client result line, JSON or text, under the JSON names; an item that a text
    line leaves out is 0."""
    if line.startswith("{"):
        record = json.loads(line)
        return {name: record[name] for name in CLIENT_FIGURES}
    items = text_items(line)
    if "sent" not in items or "rcvd" not in items:
        raise ValueError(f"not a client result line: {line!r}")
    return {name: int(items.get(label, 0)) for name, label in CLIENT_FIGURES.items()}


def unaccounted(figures):
    """Numbers filed as sent that are neither answered once nor lost; 0 when every one is accounted for."""
    return figures["pkts_sent"] - (figures["pkts_rcvd"] - figures["pkts_dups"]) - figures["pkts_lost"]


def text_rounds_and_summary(stdout):
    """Splits a text-mode client run's output that ends with its summary into (round lines, summary line)."""
    lines = stdout.splitlines()
    if len(lines) < 2 or lines[-2] != "Client summary:":
        raise AssertionError(f"the output does not end with a summary: {lines!r}")
    return lines[:-2], lines[-1]


def conservation_failures(stdout):
    """Checks a client run's standard output: each round line, the sum of the round lines and a text summary
    account for every number filed (sent = (rcvd - dups) + lost), and the summary equals the sum of the round
    lines. Returns what does not hold, as texts."""
    lines = stdout.splitlines()
    summary = None
    if "Client summary:" in lines:
        if lines.index("Client summary:") != len(lines) - 2:
            return [f"the summary is not the last two lines: {lines!r}"]
        summary = client_figures(lines[-1])
        lines = lines[:-2]
    failures = []
    total = dict.fromkeys(CLIENT_FIGURES, 0)
    for line in lines:
        figures = client_figures(line)
        if unaccounted(figures):
            failures.append(f"round does not account for every number: {line!r}")
        for name in CLIENT_FIGURES:
            total[name] += figures[name]
    if unaccounted(total):
        failures.append(f"the rounds' sums do not account for every number: {total!r}")
    if summary is not None and summary != total:
        failures.append(f"summary {summary!r} is not the sum of the rounds {total!r}")
    return failures


def every_datagram_ended_once(sums):
    """A datagram the server received ends as exactly one of wrong length, wrong key or echo."""
    return sums["pkts_rcvd"] == sums["decode_error"] + sums["invalid_key"] + sums["pkts_sent"]


# UDP peers

def packet(seq, key, payload, port_lo=0, port_hi=0):
    return PACKET.pack(seq, key, payload, port_lo, port_hi)


def unpack(data):
    return PACKET.unpack(data)


def send_from_forged_port(data, source_port, port, host="127.0.0.1"):
    """Sends `data` as a UDP datagram to `host`:`port` whose source is `host`:`source_port`, a port this process
    does not hold, through a raw IPv4 socket. Raises PermissionError without CAP_NET_RAW."""
    # UDP checksum 0: none (IPv4); the kernel fills in the IP header's checksum, length and id.
    udp = struct.pack(">HHHH", source_port, port, 8 + len(data), 0) + data
    address = socket.inet_aton(host)
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, socket.IPPROTO_UDP, 0, address, address)
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw:
        raw.sendto(ip + udp, (host, 0))


class UdpPeer:
    """A UDP socket on loopback for driving or imitating a peer of the program."""

    def __init__(self, host="127.0.0.1", port=0):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.sock.bind((host, port))
        self.host = host

    @property
    def port(self):
        return self.sock.getsockname()[1]

    def send(self, data, port, host=None):
        self.sock.sendto(data, (host or self.host, port))

    def recv(self, timeout=TIMEOUT, size=2048):
        """Returns (data, (host, port)) or raises socket.timeout."""
        self.sock.settimeout(timeout)
        return self.sock.recvfrom(size)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

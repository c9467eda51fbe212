"""Helpers for the end-to-end tests: run the real binary, read its streams, speak the datagram protocol."""

import json
import os
import queue
import random
import re
import signal
import socket
import struct
import subprocess
import threading
import time

# A background job of a non-interactive shell starts with SIGINT ignored, and the program would inherit that.
# A handler of our own is reset to the default action in every child, so the program starts as from a terminal.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

PACKET = struct.Struct(">QQQHH")
TIMEOUT = 30.0  # generous: the machine may be loaded
# Items of a client or server text line: "label: value"; "decode error" is the one label with a blank.
TEXT_ITEM = re.compile(r" (decode error|[a-z_]+): (\S+)")
# The client's per-number figures under their JSON names, with the labels of the text line.
CLIENT_FIGURES = {"pkts_sent": "sent", "pkts_rcvd": "rcvd", "pkts_lost": "lost", "pkts_dups": "dups",
                  "pkts_reordered": "reords"}


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


class Program:
    """A running instance whose standard output and error are collected line by line."""

    def __init__(self, args, env=None):
        self.proc = subprocess.Popen([binary(), *args], env=env or clean_env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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

    def _wait_for(self, lines, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            for raw in list(lines):
                if predicate(raw.decode("utf-8", "replace")):
                    return raw.decode("utf-8", "replace")
            left = deadline - time.monotonic()
            if left <= 0 or (self.proc.poll() is not None and all(not r.is_alive() for r in self._readers)):
                raise AssertionError(f"no {what} line matched; stdout={self.stdout()!r} stderr={self.stderr()!r}")
            try:
                self._events.get(timeout=min(left, 0.5))
            except queue.Empty:
                pass

    def wait_stdout(self, predicate, timeout=TIMEOUT):
        return self._wait_for(self.stdout_lines, predicate, timeout, "stdout")

    def wait_stderr(self, predicate, timeout=TIMEOUT):
        return self._wait_for(self.stderr_lines, predicate, timeout, "stderr")

    def wait_stdout_count(self, predicate, count, timeout=TIMEOUT, after=0):
        """Waits until `count` stdout lines from line index `after` on match; returns them."""
        deadline = time.monotonic() + timeout
        while True:
            matching = [raw.decode("utf-8", "replace") for raw in list(self.stdout_lines)[after:]
                        if predicate(raw.decode("utf-8", "replace"))]
            if len(matching) >= count:
                return matching[:count]
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError(f"{len(matching)} of {count} stdout lines; stderr={self.stderr()!r}")
            try:
                self._events.get(timeout=0.5)
            except queue.Empty:
                pass

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


def text_items(line):
    """The items of a text result line as {label: value text}."""
    return dict(TEXT_ITEM.findall(line))


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


def start_bound(args, ports, env):
    """Starts the program and waits until each of `ports` is bound; stops it when one never is."""
    program = Program(args, env=env)
    try:
        for port in ports:
            wait_until_bound(port)
    except AssertionError:
        program.stop()
        raise
    return program


def free_udp_ports(count, host="127.0.0.1"):
    """Finds `count` consecutive UDP ports that are free on `host` now; returns the first."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    for _ in range(200):
        base = random.randrange(20000, 60000 - count)
        held = []
        try:
            for port in range(base, base + count):
                s = socket.socket(family, socket.SOCK_DGRAM)
                held.append(s)
                s.bind((host, port))
            return base
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no free port range")


def udp_bound_family(port):
    """"udp" or "udp6" when some socket of this machine is bound to UDP `port`, else None (read from /proc)."""
    for family in ("udp", "udp6"):
        with open(f"/proc/net/{family}") as table:
            for row in table.readlines()[1:]:
                local = row.split()[1]
                if int(local.rsplit(":", 1)[1], 16) == port:
                    return family
    return None


def wait_until_bound(port, timeout=TIMEOUT):
    """Waits, without touching the port, until a socket is bound to UDP `port`; returns its family."""
    deadline = time.monotonic() + timeout
    while True:
        family = udp_bound_family(port)
        if family:
            return family
        if time.monotonic() > deadline:
            raise AssertionError(f"nothing bound to UDP port {port}")
        time.sleep(0.02)


def packet(seq, key, payload, port_lo=0, port_hi=0):
    return PACKET.pack(seq, key, payload, port_lo, port_hi)


def unpack(data):
    return PACKET.unpack(data)


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

    def recv_none(self, wait=0.3):
        """True when nothing arrives within `wait` seconds (used only after a positive control)."""
        self.sock.settimeout(wait)
        try:
            self.sock.recvfrom(2048)
            return False
        except socket.timeout:
            return True

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

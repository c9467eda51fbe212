"""Standard streams that misbehave: a standard output or standard error pipe that nobody reads, one that its opener
made non-blocking, and standard descriptors closed at the start. The measurement goes on, Ctrl+C ends the run at
once with status 0, and no line is lost or cut while the reader merely lags. (A standard output closed under the
reader is tested with each mode.)"""

import contextlib
import fcntl
import json
import os
import signal
import subprocess
import termios
import threading
import time
import unittest

from harness import (TIMEOUT, UdpPeer, binary, clean_env, client_args, free_udp_ports, packet, server_args,
                     server_record, start_server, wait_until_bound)

KEY = 0x5EED5EED5EED5EED
# The pipes of these tests hold one page, so that they fill at once.
PIPE_BYTES = 4096
# A tag this long makes every result line a large one, so that the program's own buffer fills within a second.
LONG_TAG = "t" * 2000
# Ctrl+C must end a run within a second; the margin is for a loaded machine.
EXIT_SECONDS = 3.0


def small_pipe(non_blocking_writes=False):
    """A pipe of PIPE_BYTES; returns (read end, write end). `non_blocking_writes` sets O_NONBLOCK on the write end,
    as a parent that opened the pipe that way would hand it over."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    if non_blocking_writes:
        fcntl.fcntl(write_end, fcntl.F_SETFL, fcntl.fcntl(write_end, fcntl.F_GETFL) | os.O_NONBLOCK)
    return read_end, write_end


def bytes_in_pipe(read_end):
    return int.from_bytes(fcntl.ioctl(read_end, termios.FIONREAD, b"\0\0\0\0"), "little")


# System call numbers of write(2) and of the poll a writer waits in, by machine.
WAIT_SYSCALLS = {"x86_64": ({1}, {7, 271}), "aarch64": ({64}, {73})}[os.uname().machine]


def writer_waits(proc, descriptor):
    """Whether a thread of the program waits for room: in write(2) on `descriptor` or in poll(2) (only the
    standard stream writers poll)."""
    writes, polls = WAIT_SYSCALLS
    for thread in os.listdir(f"/proc/{proc.pid}/task"):
        try:
            with open(f"/proc/{proc.pid}/task/{thread}/syscall") as source:
                fields = source.read().split()
        except OSError:
            continue  # the thread has ended
        if fields and fields[0].isdigit() and (
                (int(fields[0]) in writes and int(fields[1], 16) == descriptor) or int(fields[0]) in polls):
            return True
    return False


def wait_pipe_full(read_end, proc, descriptor):
    """Waits until the program's writer of `descriptor` waits for room in the pipe twice in a row, the pipe's
    content unchanged in between; fails if the program ends first. (How full the pipe looks says little: a
    one-page pipe refuses a batch that does not fit in what is left of its page.)"""
    deadline = time.monotonic() + TIMEOUT
    seen = None
    while True:
        if proc.poll() is not None or time.monotonic() > deadline:
            raise AssertionError(f"the pipe did not fill; status {proc.poll()}")
        now = bytes_in_pipe(read_end) if writer_waits(proc, descriptor) else None
        if now is not None and now == seen:
            return
        seen = now
        time.sleep(0.05)


@contextlib.contextmanager
def launched(args, env, stdout, stderr, wrapper=()):
    """Runs the program (under `wrapper`, a command that runs the rest of its command line) with the given
    descriptors (or subprocess constants) for its output streams; kills it if it is still running at the end."""
    proc = subprocess.Popen([*wrapper, binary(), *args], env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=stderr)
    for stream in (stdout, stderr):
        if isinstance(stream, int) and stream >= 0:
            os.close(stream)  # the child has its copy
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def read_all(read_end):
    with os.fdopen(read_end, "rb") as reader:
        return reader.read()


def read_lines_into(lines, read_end):
    with os.fdopen(read_end, "rb") as reader:
        for line in reader:
            lines.append(line)


def interrupt_and_time(test, proc):
    """Sends SIGINT and asserts that the program ends soon with status 0; returns its standard error if piped."""
    started = time.monotonic()
    proc.send_signal(signal.SIGINT)
    try:
        status = proc.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise AssertionError("SIGINT did not end the run")
    elapsed = time.monotonic() - started
    test.assertEqual(status, 0)
    test.assertLess(elapsed, EXIT_SECONDS)
    if proc.stderr is None:
        return ""
    with proc.stderr:
        return proc.stderr.read().decode()


def assert_every_port_echoes(test, base, count):
    with UdpPeer() as peer:
        for port in range(base, base + count):
            peer.send(packet(port, KEY, 7), port)
            data, source = peer.recv(timeout=10.0)
            test.assertEqual((source[1], data[:24]), (port, packet(port, KEY, 7)[:24]))


def assert_whole_lines(test, data):
    test.assertTrue(data == b"" or data.endswith(b"\n"), data[-200:])


def flood_wrong_keys(base, count, total):
    """Sends `total` datagrams with a wrong key over the ports, each port's share followed by an echo that shows
    it has handled them all (so the socket's receive buffer never overflows)."""
    with UdpPeer() as peer:
        sent = 0
        while sent < total:
            for port in range(base, base + count):
                for _ in range(min(50, total - sent)):
                    peer.send(packet(sent, KEY ^ 1, 0), port)
                    sent += 1
                peer.send(packet(0, KEY, 0), port)
                peer.recv(timeout=TIMEOUT)


class NobodyReads(unittest.TestCase):
    """Nobody reads the pipe: the measurement goes on and Ctrl+C works. Two workers put several ports on the
    aggregator's worker."""

    ENV = dict(NO_COLOR="1", TOKIO_WORKER_THREADS="2")

    def test_server_with_a_stalled_standard_output_echoes_on_every_port(self):
        base = free_udp_ports(16)
        read_end, write_end = small_pipe()
        with launched(server_args(KEY, base, 16, interval=6, mode="verbose", extra=["-t", LONG_TAG]),
                      clean_env(RUST_LOG="info", **self.ENV), write_end, subprocess.PIPE) as proc:
            for port in range(base, base + 16):
                wait_until_bound(port, proc)
            wait_pipe_full(read_end, proc, 1)
            time.sleep(1.0)  # some hundred lines more: the program's buffer is full too
            assert_every_port_echoes(self, base, 16)
            err = interrupt_and_time(self, proc)
        self.assertIn("CTRL+C, exiting", err)
        assert_whole_lines(self, read_all(read_end))

    def test_client_with_a_stalled_standard_output_takes_ctrl_c(self):
        with start_server(KEY, count=2, rust_log="off") as server:
            base = server.base
            read_end, write_end = small_pipe()
            with launched(client_args(KEY, base, sessions=2, rate=2, interval=10, mode="verbose",
                                      extra=["-t", LONG_TAG]),
                          clean_env(RUST_LOG="info", **self.ENV), write_end, subprocess.PIPE) as proc:
                wait_pipe_full(read_end, proc, 1)
                time.sleep(1.0)
                err = interrupt_and_time(self, proc)
            self.assertIn("CTRL+C, exiting", err)
            assert_whole_lines(self, read_all(read_end))
            server.interrupt()
            server.wait()

    def test_server_with_a_stalled_standard_error_echoes_on_every_port(self):
        base = free_udp_ports(16)
        read_end, write_end = small_pipe()
        with launched(server_args(KEY, base, 16, interval=6), clean_env(RUST_LOG="debug", **self.ENV),
                      subprocess.DEVNULL, write_end) as proc:
            for port in range(base, base + 16):
                wait_until_bound(port, proc)
            # A debug line for each datagram with a wrong key, far more than the pipe and the log queue hold.
            flood_wrong_keys(base, 16, 4000)
            wait_pipe_full(read_end, proc, 2)
            assert_every_port_echoes(self, base, 16)
            interrupt_and_time(self, proc)
        os.close(read_end)


class SlowReaders(unittest.TestCase):
    def test_dropped_log_lines_are_counted_once_the_reader_is_back(self):
        base = free_udp_ports(2)
        read_end, write_end = small_pipe()
        with launched(server_args(KEY, base, 2, interval=1000), clean_env(RUST_LOG="debug", NO_COLOR="1"),
                      subprocess.DEVNULL, write_end) as proc:
            wait_until_bound(base, proc)
            wait_until_bound(base + 1, proc)
            flood_wrong_keys(base, 2, 3000)
            lines = []
            reader = threading.Thread(target=read_lines_into, args=(lines, read_end), daemon=True)
            reader.start()
            deadline = time.monotonic() + TIMEOUT
            while not any(b"log lines dropped" in line for line in list(lines)) and time.monotonic() < deadline:
                time.sleep(0.05)
            interrupt_and_time(self, proc)
            reader.join(timeout=TIMEOUT)
        events = [json.loads(line) for line in lines]  # every line whole
        reports = [event for event in events if "log lines dropped" in event.get("message", "")]
        self.assertEqual(len(reports), 1, reports)
        self.assertEqual((reports[0]["level"], reports[0]["target"]), ("WARN", "brindlemoor"))
        dropped = int(reports[0]["message"].split(": ")[1].split()[0])
        written = sum(1 for event in events if "invalid key" in event.get("message", ""))
        # Every line is written or counted as dropped; the one that ends the run is written.
        self.assertGreater(dropped, 0)
        self.assertEqual(written + dropped, 3000)
        self.assertEqual(events[-1]["message"], "CTRL+C, exiting")

    def test_non_blocking_standard_output_loses_no_line(self):
        base = free_udp_ports(1)
        read_end, write_end = small_pipe(non_blocking_writes=True)
        with launched(server_args(KEY, base, 1, interval=6), clean_env(RUST_LOG="warn"), write_end,
                      subprocess.PIPE) as proc:
            wait_until_bound(base, proc)
            wait_pipe_full(read_end, proc, 1)
            time.sleep(0.5)  # dozens of lines meet the full pipe: each write says "try again"
            assert_every_port_echoes(self, base, 1)
            # The writer waits until the pipe takes data again; no line may be given up.
            sums = {"pkts_rcvd": 0, "pkts_sent": 0}
            with os.fdopen(read_end, "rb") as reader:
                for raw in reader:
                    record = server_record(raw)
                    if record is None:
                        continue
                    for name in sums:
                        sums[name] += record[name]
                    if sums == {"pkts_rcvd": 1, "pkts_sent": 1}:
                        break
                self.assertEqual(sums, {"pkts_rcvd": 1, "pkts_sent": 1})
                self.assertEqual(interrupt_and_time(self, proc), "")


class ClosedAtStart(unittest.TestCase):
    def test_closed_standard_descriptors_become_dev_null(self):
        for closed in ("1", "012"):
            with self.subTest(closed=closed):
                base = free_udp_ports(1)
                redirections = " ".join({"0": "<&-", "1": ">&-", "2": "2>&-"}[d] for d in closed)
                err = subprocess.DEVNULL if "2" in closed else subprocess.PIPE
                with launched(server_args(KEY, base, 1, interval=10), clean_env(RUST_LOG="info"), subprocess.PIPE,
                              err, wrapper=["sh", "-c", f'exec "$@" {redirections}', "sh"]) as proc:
                    wait_until_bound(base, proc)
                    for descriptor in closed:
                        self.assertEqual(os.readlink(f"/proc/{proc.pid}/fd/{descriptor}"), "/dev/null")
                    time.sleep(0.3)  # thirty intervals of result lines into /dev/null
                    assert_every_port_echoes(self, base, 1)
                    err_text = interrupt_and_time(self, proc)
                with proc.stdout:
                    self.assertEqual(proc.stdout.read(), b"")
                if "2" not in closed:
                    self.assertIn("CTRL+C, exiting", err_text)
                    self.assertNotIn("ERROR", err_text)


if __name__ == "__main__":
    unittest.main()

"""Fault runs end to end: the server killed and restarted under a running client, a server with another key,
garbage flooding the server while a client measures through it, and Ctrl+C at random moments of both modes.
Every client run is checked to account for each number it sent."""

import collections
import concurrent.futures
import functools
import json
import random
import re
import signal
import socket
import threading
import time
import unittest

import harness
from harness import (CLIENT_TEXT_ROUND, NO_COUNTERS, PACKET, SERVER_COUNTS, TIME, TIMEOUT, Program, clean_env,
                     client_figures, conservation_failures, every_datagram_ended_once, fault_counters, free_udp_ports,
                     packet, server_args, start_server, text_items, text_rounds_and_summary, unpack,
                     wait_server_sums)

KEY = 0x0123456789ABCDEF
SERVER_TEXT_LINE = re.compile("^" + TIME + r" pkts_rcvd: \d+ pkts_sent: \d+")
start_client = functools.partial(harness.start_client, KEY, sessions=2)


def is_round(line):
    return line.startswith("{") or CLIENT_TEXT_ROUND.match(line) is not None


def answered_in_full(line):
    figures = client_figures(line)
    return figures["pkts_sent"] > 0 and figures["pkts_rcvd"] == figures["pkts_sent"] and figures["pkts_lost"] == 0


def lost_in_full(line):
    figures = client_figures(line)
    return figures["pkts_sent"] > 0 and figures["pkts_rcvd"] == 0 and figures["pkts_lost"] == figures["pkts_sent"]


def port_unreachable(line):
    if line.startswith("{"):
        return json.loads(line)["icmp_port_unreachable"]
    return int(text_items(line).get("icmp_port_unreachable", 0))


class ServerRestart(unittest.TestCase):
    def test_client_counts_the_outage_and_recovers_once_the_server_is_back(self):
        for mode, no_probe in (("json", True), ("standard", False)):
            with self.subTest(mode=mode, no_probe=no_probe):
                server = start_server(KEY, count=2)
                base = server.base
                self.addCleanup(server.stop)
                with start_client(base, mode=mode, no_probe=no_probe) as client:
                    client.wait_stdout_count(answered_in_full, 3)
                    server.stop()  # SIGKILL
                    killed_at = len(client.stdout_lines)
                    # wait_stdout_count fails if the client ends: it has to go on through the outage.
                    outage = client.wait_stdout_count(lost_in_full, 2, after=killed_at)
                    self.assertGreater(sum(map(port_unreachable, outage)), 0, outage)
                    server = start_server(KEY, base, 2)
                    self.addCleanup(server.stop)
                    client.wait_stdout_count(answered_in_full, 3, after=len(client.stdout_lines))
                    client.interrupt()
                    self.assertEqual(client.wait(), 0, client.stderr())
                self.assertEqual(conservation_failures(client.stdout()), [])
                self.assertEqual(client.stdout().count("Client summary:"), 0 if mode == "json" else 1)


class WrongKey(unittest.TestCase):
    """A server with another key answers nothing, so the client sees only silence."""

    def start_silent_server(self):
        server = start_server(KEY + 1, count=2)
        self.addCleanup(server.stop)
        return server

    def assert_server_refused_everything(self, server, at_least):
        sums = wait_server_sums(server, lambda s: s["invalid_key"] >= at_least and every_datagram_ended_once(s))
        self.assertGreaterEqual(sums["invalid_key"], at_least, sums)
        self.assertEqual((sums["pkts_rcvd"], sums["pkts_sent"]), (sums["invalid_key"], 0), sums)

    def test_probe_goes_on_forever(self):
        server = self.start_silent_server()
        with start_client(server.base) as client:
            client.wait_stderr(lambda _: client.stderr().count("Probe sent 28 bytes") >= 3)
            self.assertIsNone(client.proc.poll())
            client.interrupt()
            self.assertEqual(client.wait(), 0)
        self.assertEqual(client.stdout(), "")
        self.assertNotIn("Probe response", client.stderr())
        self.assertNotRegex(client.stderr(), "invalid key|Invalid key")
        self.assert_server_refused_everything(server, 3)

    def test_without_probe_every_send_is_lost_and_nothing_else_counted(self):
        server = self.start_silent_server()
        with start_client(server.base, mode="verbose", no_probe=True) as client:
            client.wait_stdout_count(is_round, 3)
            client.interrupt()
            self.assertEqual(client.wait(), 0)
        rounds, summary = text_rounds_and_summary(client.stdout())
        for line in rounds + [summary]:
            self.assertTrue(lost_in_full(line), line)
            self.assertEqual(set(fault_counters(line, allowed=("lost",)).values()), {"0"}, line)
        self.assertEqual(conservation_failures(client.stdout()), [])
        self.assert_server_refused_everything(server, sum(client_figures(line)["pkts_sent"] for line in rounds))


class Flooder:
    """Sends random datagrams at the server's ports from a thread of its own: every length from 0 to 1500, random
    bytes, 28-byte datagrams with wrong keys, keyed ones that carry a port range as an echo does, and a few valid
    ones whose echoes it collects. Paced so that a server that keeps up loses nothing; bounded in count and time."""

    MAX_DATAGRAMS = 30000
    MAX_SECONDS = 60.0

    def __init__(self, base, count, seed):
        self.ports = range(base, base + count)
        self.random = random.Random(seed)
        self.payload = self.random.getrandbits(64)
        self.sent = {"short": 0, "long": 0, "wrong_key": 0, "port_range": 0, "valid": 0}
        self.valid_by_port = collections.Counter()
        self.echoes = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.setblocking(False)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _datagram(self, port):
        draw = self.random.random()
        if draw < 0.05:
            self.sent["valid"] += 1
            self.valid_by_port[port] += 1
            return packet(self.sent["valid"], KEY, self.payload)
        if draw < 0.10:
            self.sent["port_range"] += 1
            return packet(self.random.getrandbits(64), KEY, self.payload, self.random.randrange(1, 2**16),
                          self.random.getrandbits(16))
        if draw < 0.35:
            self.sent["wrong_key"] += 1
            wrong = KEY ^ self.random.randrange(1, 2**64)
            return packet(self.random.getrandbits(64), wrong, self.random.getrandbits(64),
                          self.random.getrandbits(16), self.random.getrandbits(16))
        if draw < 0.65:
            self.sent["short"] += 1
            return self.random.randbytes(self.random.randrange(0, PACKET.size))
        self.sent["long"] += 1
        return self.random.randbytes(self.random.randint(PACKET.size + 1, 1500))

    def _drain(self):
        while True:
            try:
                self.echoes.append(self.sock.recvfrom(2048))
            except BlockingIOError:
                return

    def _run(self):
        deadline = time.monotonic() + self.MAX_SECONDS
        total = 0
        while not self._stop.is_set() and total < self.MAX_DATAGRAMS and time.monotonic() < deadline:
            for _ in range(10):
                port = self.random.choice(self.ports)
                self.sock.sendto(self._datagram(port), ("127.0.0.1", port))
                total += 1
            self._drain()
            time.sleep(0.01)  # pacing only: at most 1000 datagrams a second

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=TIMEOUT)

    def collect_echoes(self, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while len(self.echoes) < self.sent["valid"] and time.monotonic() < deadline:
            self._drain()
            time.sleep(0.02)
        return self.echoes

    def close(self):
        self.sock.close()


class GarbageFlood(unittest.TestCase):
    def test_measurement_through_a_flood_stays_exact_and_the_server_counts_each_kind(self):
        seed = random.randrange(2**32)
        # The default filter: every bad datagram writes an ERROR line, as in a real run.
        server = start_server(KEY, count=2, rust_log=None)
        base = server.base
        self.addCleanup(server.stop)
        flooder = Flooder(base, 2, seed)
        self.addCleanup(flooder.close)
        flooder.start()
        try:
            with start_client(base, mode="verbose", rate=6, interval=300) as client:
                client.wait_stdout_count(is_round, 6)
                client.interrupt()
                self.assertEqual(client.wait(), 0)
        finally:
            flooder.stop()
        context = f"seed {seed}"
        rounds, summary = text_rounds_and_summary(client.stdout())
        for line in rounds + [summary]:
            self.assertTrue(answered_in_full(line), (line, context))
            self.assertEqual(set(fault_counters(line).values()), {"0"}, (line, context))
        self.assertEqual(conservation_failures(client.stdout()), [], context)

        # Each valid datagram of the flood is echoed to its sender from the port it went to; none reach the client.
        echoes = flooder.collect_echoes()
        for data, _ in echoes:
            self.assertEqual(unpack(data)[1:], (KEY, flooder.payload, base, base + 1), context)
        self.assertEqual(collections.Counter(source[1] for _, source in echoes), flooder.valid_by_port, context)

        # Nothing is in flight any more: the sums over the run must balance exactly.
        client_sent = sum(client_figures(line)["pkts_sent"] for line in rounds)
        expected_kinds = {"decode_error": flooder.sent["short"], "recv_error": flooder.sent["long"],
                          "invalid_key": flooder.sent["wrong_key"] + flooder.sent["port_range"]}
        sums = wait_server_sums(server, lambda s: every_datagram_ended_once(s) and
                                all(s[name] == n for name, n in expected_kinds.items()) and
                                s["pkts_sent"] >= flooder.sent["valid"] + client_sent)
        self.assertEqual({name: sums[name] for name in expected_kinds}, expected_kinds, (sums, context))
        self.assertTrue(every_datagram_ended_once(sums), (sums, context))
        self.assertGreaterEqual(sums["pkts_sent"], flooder.sent["valid"] + client_sent, (sums, context))
        self.assertEqual(sums["send_error"], 0, sums)
        # A line's increase never wraps: the counters only grow.
        for raw in server.stdout_lines:
            record = json.loads(raw)
            self.assertTrue(all(record[name] < 2**63 for name in SERVER_COUNTS), record)
        server.interrupt()
        self.assertEqual(server.wait(), 0)
        self.assertTrue(all(raw.startswith(b"{") for raw in server.stdout_lines))


class CtrlCAtRandomMoments(unittest.TestCase):
    """SIGINT at moments drawn over the start-up and the first seconds of many runs of both modes."""

    RUNS = 32
    PARALLEL = 4

    def interrupt_at(self, program, delay):
        """Sends SIGINT `delay` seconds after the start; returns (exit status, whether the handler was in place)."""
        time.sleep(delay)  # the moment itself is what is drawn; nothing waits on the program here
        handled = program.catches_sigint()
        program.interrupt()
        return program.wait(), handled

    def check_status(self, status, handled, program, context):
        if handled:
            self.assertEqual(status, 0, (context, program.stderr()))
            self.assertIn("CTRL+C, exiting", program.stderr(), context)
        else:
            # Before the program has taken over SIGINT, the default action ends it, with nothing written.
            self.assertIn(status, (0, -signal.SIGINT), (context, program.stderr()))
            if status != 0:
                self.assertEqual(program.stdout(), "", context)
        self.assertTrue(all(raw.endswith(b"\n") for raw in program.stdout_lines), (context, program.stdout()))

    def client_run(self, server_base, mode, no_probe, delay):
        context = f"client mode={mode} no_probe={no_probe} delay={delay:.3f}"
        program = start_client(server_base, mode=mode, no_probe=no_probe, interval=150, rate=5)
        with program:
            status, handled = self.interrupt_at(program, delay)
        self.check_status(status, handled, program, context)
        lines = program.stdout().splitlines()
        self.assertEqual(conservation_failures(program.stdout()), [], context)
        if mode == "json":
            for line in lines:
                self.assertIsInstance(json.loads(line), dict, context)
            return
        rounds = lines[:-2] if "Client summary:" in lines else lines
        for line in rounds:
            self.assertRegex(line, CLIENT_TEXT_ROUND, context)
        # The summary comes exactly when a round that sent something was completed (and printed) before.
        self.assertEqual("Client summary:" in lines, bool(rounds), (context, lines))

    def server_run(self, mode, delay):
        context = f"server mode={mode} delay={delay:.3f}"
        base = free_udp_ports(3)
        # Started without waiting for its ports: the interrupt may come during the start-up.
        with Program(server_args(KEY, base, 3, mode=mode), env=clean_env(RUST_LOG="debug", NO_COLOR="1")) as program:
            status, handled = self.interrupt_at(program, delay)
        self.check_status(status, handled, program, context)
        lines = program.stdout().splitlines()
        messages = [line.split(": ", 1)[-1] for line in program.stderr().splitlines()]
        ended_at = messages.index("CTRL+C, exiting") if "CTRL+C, exiting" in messages else 0
        registered = "Bouncer counters received" in messages[:ended_at]
        if mode != "json" and registered:
            self.assertEqual(lines[-2:-1], ["Server summary:"], (context, lines))
            self.assertRegex(lines[-1], SERVER_TEXT_LINE, context)
            lines = lines[:-2]
        self.assertNotIn("Server summary:", lines, context)
        for line in lines:
            if line == NO_COUNTERS:
                continue
            if mode == "json":
                self.assertIsInstance(json.loads(line), dict, context)
            else:
                self.assertRegex(line, SERVER_TEXT_LINE, context)

    def test_every_run_ends_with_status_0_its_summary_and_whole_lines(self):
        seed = random.randrange(2**32)
        draw = random.Random(seed)
        server = start_server(KEY, count=2, rust_log="off")
        server_base = server.base
        self.addCleanup(server.stop)
        runs = []
        for index in range(self.RUNS):
            # A third of the moments fall into the first 50 ms, where the program is still starting.
            delay = draw.uniform(0.0, 0.05) if draw.random() < 1 / 3 else draw.uniform(0.05, 2.0)
            mode = ("standard", "verbose", "json")[(index // 2) % 3]
            if index % 2:
                runs.append((self.client_run, (server_base, mode, draw.random() < 0.5, delay)))
            else:
                runs.append((self.server_run, (mode, delay)))
        with concurrent.futures.ThreadPoolExecutor(self.PARALLEL) as pool:
            futures = [pool.submit(run, *args) for run, args in runs]
            for index, future in enumerate(futures):
                with self.subTest(run=index, seed=seed):
                    future.result()


if __name__ == "__main__":
    unittest.main()

"""ICMP errors that the kernel itself sends, in a network namespace of this test's own: netfilter rejects the
datagrams of some ports with each unreachable type, clients go away before the server's echo reaches them, and a
raw socket writes a stream of errors at one session. Netfilter's rule counters are the independent count that the
program's totals must equal."""

import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import time
import unittest

import harness
from harness import TIMEOUT, UdpPeer, conservation_failures, cpu_seconds, packet, start_server, wait_server_sums

KEY = 0x0DDBA11
# Every port of the namespace is free: the tests take fixed ones.
BASE = 20000
# The three unreachable types: netfilter's names for the rejection and for the ICMP message, the counter that
# counts them, and the words and error text of their DEBUG lines.
UNREACHABLE = (
    ("icmp-port-unreachable", "port-unreachable", "icmp_port_unreachable", "port unreachable", "Connection refused"),
    ("icmp-host-unreachable", "host-unreachable", "icmp_host_unreachable", "host unreachable", "No route to host"),
    ("icmp-net-unreachable", "network-unreachable", "icmp_network_unreachable", "network unreachable",
     "Network is unreachable"),
)
ICMP_COUNTERS = tuple(row[2] for row in UNREACHABLE)
# The client's counts that the tests sum over its JSON result lines.
CLIENT_COUNTS = ("pkts_sent", "pkts_rcvd", "pkts_lost", "send_error", "recv_error", *ICMP_COUNTERS)


def setUpModule():
    if os.geteuid() != 0:
        raise unittest.SkipTest("a network namespace and netfilter rules of the test's own need root")
    if not (shutil.which("iptables-legacy") and shutil.which("ip6tables-legacy")):
        raise unittest.SkipTest("iptables-legacy is missing (Debian package iptables)")
    if not harness.enter_private_network():
        raise unittest.SkipTest("this process may not make a network namespace of its own")


class Netfilter:
    """The namespace's netfilter rules, each named by a comment so that its packet counter can be read; the rules
    go when the test ends."""

    TOOLS = {4: "iptables-legacy", 6: "ip6tables-legacy"}

    def __init__(self, test):
        for family in self.TOOLS:
            self._run(family, "-F")
        test.addCleanup(lambda: [self._run(family, "-F") for family in self.TOOLS])

    def _run(self, family, *args):
        return subprocess.run([self.TOOLS[family], *args], check=True, capture_output=True, text=True,
                              timeout=TIMEOUT).stdout

    def add(self, name, chain, *rule, family=4, first=False):
        self._run(family, "-I" if first else "-A", chain, *rule, "-m", "comment", "--comment", name)

    def packets(self, name, family=4):
        for line in self._run(family, "-L", "-v", "-n", "-x").splitlines():
            if f"/* {name} */" in line:
                return int(line.split()[0])
        raise AssertionError(f"no rule named {name}")


def messages(program, level):
    """The messages of a JSON-mode program's log lines of `level` (lines of fields only have none)."""
    records = (json.loads(line) for line in program.stderr().splitlines() if line.startswith("{"))
    return [record["message"] for record in records if record["level"] == level and "message" in record]


def wait_stopped(pid, timeout=TIMEOUT):
    """Waits until every thread of process `pid` has stopped (each stops for a SIGSTOP when it next runs)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if all(stat.rsplit(")", 1)[1].split()[0] == "T" for stat in harness.task_files(pid, "stat")):
            return
        time.sleep(0.01)
    raise AssertionError(f"process {pid} did not stop")


def sent_something(line):
    return json.loads(line)["pkts_sent"] > 0


def session_port(pid, server_port, timeout=TIMEOUT):
    """The local port of the socket of process `pid` that is connected to 127.0.0.1:`server_port`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        inodes = harness.socket_inodes_of(pid)
        with open("/proc/net/udp") as table:
            for row in table.readlines()[1:]:
                fields = row.split()
                if fields[9] in inodes and int(fields[2].rsplit(":", 1)[1], 16) == server_port:
                    return int(fields[1].rsplit(":", 1)[1], 16)
        time.sleep(0.02)
    raise AssertionError(f"process {pid} has no socket connected to port {server_port}")


def checksum(data):
    total = sum(struct.unpack(f">{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def host_unreachable(source_port, destination_port, host="127.0.0.1"):
    """An ICMP host unreachable for a 28-byte UDP datagram from `host`:`source_port` to `host`:`destination_port`:
    what a router would send back for it."""
    address = socket.inet_aton(host)
    udp = struct.pack(">HHHH", source_port, destination_port, 8 + 28, 0) + bytes(28)
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, socket.IPPROTO_UDP, 0, address, address)
    body = struct.pack(">4s", bytes(4)) + ip + udp
    return struct.pack(">BBH", 3, 1, checksum(struct.pack(">BBH", 3, 1, 0) + body)) + body


class SessionErrors(unittest.TestCase):
    def test_each_unreachable_type_counts_what_the_kernel_sent_beside_a_session_that_is_answered(self):
        netfilter = Netfilter(self)
        for offset, (reject, icmp_type, _, _, _) in enumerate(UNREACHABLE):
            netfilter.add(reject, "INPUT", "-p", "udp", "--dport", str(BASE + offset), "-j", "REJECT",
                          "--reject-with", reject)
            # What reaches the sockets: the errors that the rejections made.
            netfilter.add(icmp_type, "INPUT", "-p", "icmp", "--icmp-type", icmp_type)
        # The fourth session's port is served.
        server = start_server(KEY, BASE, 4)
        self.addCleanup(server.stop)
        client = harness.start_client(KEY, BASE, rust_log="debug", sessions=4, rate=20, interval=200, no_probe=True)
        self.addCleanup(client.stop)
        client.wait_stdout_count(sent_something, 5)
        # From here no datagram reaches the rejecting rules (a send refused on its way out fails with "Operation not
        # permitted"), so their counts stand still, and once the sessions have reported, the totals must equal them.
        netfilter.add("held", "OUTPUT", "-p", "udp", "--dport", f"{BASE}:{BASE + 2}", "-j", "DROP", first=True)
        client.wait_stdout_count(sent_something, 2, after=len(client.stdout_lines))
        expected = {counter: netfilter.packets(icmp_type) for _, icmp_type, counter, _, _ in UNREACHABLE}
        totals = harness.wait_sums(client, lambda t: all(t[name] == n for name, n in expected.items()), CLIENT_COUNTS)
        client.interrupt()
        self.assertEqual(client.wait(), 0, client.stderr())

        self.assertEqual({name: totals[name] for name in expected}, expected)
        self.assertTrue(all(expected.values()), expected)
        self.assertEqual(totals["recv_error"], 0, totals)
        self.assertGreater(totals["pkts_rcvd"], 0, totals)
        self.assertEqual(conservation_failures(client.stdout()), [])
        logged = messages(client, "DEBUG")
        for reject, _, counter, words, text in UNREACHABLE:
            line = re.compile(rf"Launcher id \d+ {words} on recv\(\): {text}")
            self.assertEqual(sum(map(bool, map(line.fullmatch, logged))), expected[counter], reject)
        # A send never fails for an error that came back for an earlier datagram.
        self.assertFalse([message for message in logged if "unreachable on send" in message])
        sums = wait_server_sums(server, lambda _: True)
        self.assertEqual([sums[name] for name in ICMP_COUNTERS], [0, 0, 0], sums)


class DepartedClients(unittest.TestCase):
    # More than the server's receive buffer holds: the echoes of those it holds come back refused while it is
    # full, so the kernel has no room to queue some of their errors.
    CLIENTS = 300

    def test_echoes_to_clients_that_have_gone_count_as_port_unreachable(self):
        # (listen address, the clients' address, their family): IPv4, IPv6, and IPv4 clients of an IPv6 socket.
        cases = (("127.0.0.1", "127.0.0.1", 4), ("::1", "::1", 6), ("::", "127.0.0.1", 4))
        for index, (listen, client_host, family) in enumerate(cases):
            with self.subTest(listen=listen):
                netfilter = Netfilter(self)
                icmp = ("-p", "icmp", "--icmp-type") if family == 4 else ("-p", "ipv6-icmp", "--icmpv6-type")
                netfilter.add("refused", "INPUT", *icmp, "port-unreachable", family=family)
                port = BASE + 10 + index
                server = start_server(KEY, port, 1, listen=listen, rust_log="debug")
                self.addCleanup(server.stop)
                # Held while the clients come and go, the server answers each of them only after it has gone.
                server.proc.send_signal(signal.SIGSTOP)
                wait_stopped(server.proc.pid)
                for seq in range(self.CLIENTS):
                    with UdpPeer(client_host) as client:
                        client.send(packet(seq, KEY, 7), port)
                server.proc.send_signal(signal.SIGCONT)

                def settled(sums):
                    refused = netfilter.packets("refused", family)
                    return refused > 0 and sums["icmp_port_unreachable"] == refused == sums["pkts_sent"]

                sums = wait_server_sums(server, settled)
                refused = netfilter.packets("refused", family)
                self.assertEqual(sums["icmp_port_unreachable"], refused, sums)
                # Every datagram the server took was answered, and every answer refused.
                self.assertEqual(sums["pkts_rcvd"], sums["pkts_sent"], sums)
                self.assertEqual(refused, sums["pkts_sent"], sums)
                self.assertGreater(refused, self.CLIENTS // 2, sums)
                others = ("send_error", "recv_error", "icmp_host_unreachable", "icmp_network_unreachable")
                self.assertEqual([sums[name] for name in others], [0] * len(others), sums)
                line = re.compile(r"Bouncer id \d+ port unreachable on recv_from\(\): Connection refused")
                self.assertEqual(sum(map(bool, map(line.fullmatch, messages(server, "DEBUG")))), refused)
                server.interrupt()
                self.assertEqual(server.wait(), 0)


class ErrorStream(unittest.TestCase):
    ERRORS_PER_SECOND = 10_000
    SECONDS = 3.0
    BATCH = 20

    def write_errors(self, source_port, destination_port):
        """Writes host unreachables for the session's datagrams at ERRORS_PER_SECOND for SECONDS; returns how
        many."""
        error = host_unreachable(source_port, destination_port)
        written = 0
        with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP) as raw:
            start = time.monotonic()
            while (now := time.monotonic()) - start < self.SECONDS:
                due = int((now - start) * self.ERRORS_PER_SECOND)
                while written < due:
                    raw.sendto(error, ("127.0.0.1", 0))
                    written += 1
                time.sleep(self.BATCH / self.ERRORS_PER_SECOND)
        return written

    def test_ten_thousand_errors_a_second_on_a_session_cost_little_and_its_replies_still_count(self):
        netfilter = Netfilter(self)
        netfilter.add("written", "INPUT", "-p", "icmp", "--icmp-type", "host-unreachable")
        port = BASE + 20
        server = start_server(KEY, port, 1)
        self.addCleanup(server.stop)
        client = harness.start_client(KEY, port, rust_log="warn", rate=50, interval=100, no_probe=True)
        self.addCleanup(client.stop)
        client.wait_stdout_count(sent_something, 3)
        pid = client.proc.pid
        source_port = session_port(pid, port)

        cpu_before, started = cpu_seconds(pid), time.monotonic()
        written = self.write_errors(source_port, port)
        flood_cpu, flood_seconds = cpu_seconds(pid) - cpu_before, time.monotonic() - started
        rounds_at_end = len(client.stdout_lines)
        time.sleep(1.0)
        idle_cpu = cpu_seconds(pid) - cpu_before - flood_cpu
        delivered = netfilter.packets("written")
        totals = harness.wait_sums(client, lambda t: t["icmp_host_unreachable"] >= delivered, CLIENT_COUNTS)
        client.wait_stdout_count(sent_something, 2, after=rounds_at_end)
        client.interrupt()
        self.assertEqual(client.wait(), 0, client.stderr())

        self.assertGreaterEqual(written / flood_seconds, self.ERRORS_PER_SECOND * 0.9)
        self.assertEqual(delivered, written)
        # Each error once; the kernel may drop one only when the socket's receive buffer is full.
        self.assertLessEqual(totals["icmp_host_unreachable"], delivered)
        self.assertGreaterEqual(totals["icmp_host_unreachable"], delivered * 0.95, totals)
        # A worker that spun on a pending error would use a whole processor, during the stream and after it.
        self.assertLess(flood_cpu, 0.6 * flood_seconds, (flood_cpu, flood_seconds))
        self.assertLess(idle_cpu, 0.2, idle_cpu)
        # The session's own datagrams went on being answered through the stream.
        self.assertEqual(conservation_failures(client.stdout()), [])
        self.assertGreater(totals["pkts_rcvd"], 0, totals)
        self.assertLessEqual(totals["pkts_lost"], totals["pkts_sent"] * 0.02, totals)
        self.assertEqual(totals["recv_error"] + totals["send_error"], 0, totals)


class ProbeErrors(unittest.TestCase):
    PROBES = 4

    def test_a_probe_to_a_rejecting_port_logs_each_error_and_probes_on_once_a_second(self):
        netfilter = Netfilter(self)
        clients = []
        for offset, (reject, _, _, _, text) in enumerate(UNREACHABLE):
            port = BASE + 30 + offset
            netfilter.add(reject, "INPUT", "-p", "udp", "--dport", str(port), "-j", "REJECT", "--reject-with", reject)
            client = harness.start_client(KEY, port, mode="standard")
            self.addCleanup(client.stop)
            clients.append((reject, text, client))
        for reject, text, client in clients:
            def every_probe_refused(_, client=client, text=text):
                log = client.stderr()
                errors = log.count(f"Probe receive error: {text}\n")
                return errors >= self.PROBES and errors == log.count("Probe sent 28 bytes")

            client.wait_stderr(every_probe_refused)
        cpus = [cpu_seconds(client.proc.pid) for _, _, client in clients]
        for _, _, client in clients:
            client.interrupt()
        for (reject, text, client), cpu in zip(clients, cpus):
            self.assertEqual(client.wait(), 0)
            log = client.stderr()
            sent = [line for line in log.splitlines() if "Probe sent 28 bytes" in line]
            times = [time.mktime(time.strptime(line[:19], "%Y-%m-%dT%H:%M:%S")) + float(line[19:26])
                     for line in sent]
            # One error per probe, logged once. Ctrl+C may come between the last probe's send and its line, or
            # between that line and its error's.
            self.assertIn(netfilter.packets(reject) - len(sent), (0, 1), log)
            self.assertIn(len(sent) - log.count(f"Probe receive error: {text}\n"), (0, 1), log)
            self.assertNotIn("Probe error", log)
            # Once a second: a probe that went on at once after each error would have sent hundreds.
            gaps = [b - a for a, b in zip(times, times[1:])]
            self.assertTrue(all(gap > 0.5 for gap in gaps), gaps)
            self.assertLess(cpu, 0.5, cpu)
            self.assertEqual(client.stdout(), "")

if __name__ == "__main__":
    unittest.main()

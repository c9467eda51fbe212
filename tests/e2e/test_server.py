"""Server mode end to end: echo, counting and log lines of bad datagrams, result lines, Ctrl+C, ends and failures."""

import contextlib
import functools
import json
import re
import resource
import socket
import time
import unittest

import harness
from harness import (LOG_PREFIX, SERVER_COUNTS, TIME, Program, UdpPeer, assert_run_ends, clean_env, free_udp_ports,
                     packet, ports_free, run, run_with_stdout_closed, unpack, wait_server_sums, wait_until_bound)

KEY = 0x8877665544332211
server_args = functools.partial(harness.server_args, KEY)
start_server = functools.partial(harness.start_server, KEY, rust_log="debug")


def ipv6_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def echo_round_trip(peer, port, seq=1, host=None):
    """Sends a valid datagram and returns its echo; as a port works in order, everything sent to that port
    before has been handled once this returns."""
    sent = packet(seq, KEY, 0xABCDEF0123456789)
    peer.send(sent, port, host)
    data, source = peer.recv()
    return sent, data, source


def wait_log(program, level, message_pattern, target="brindlemoor::bouncer"):
    """Waits for a JSON log event (the log format of JSON mode) whose message matches."""
    def matches(line):
        event = json.loads(line)
        return (event["level"], event["target"]) == (level, target) and \
            re.fullmatch(message_pattern, event.get("message", "")) is not None
    return json.loads(program.wait_stderr(matches))


class Echo(unittest.TestCase):
    def test_valid_datagrams_come_back_from_the_receiving_port_with_the_servers_range(self):
        with start_server(count=3) as server, UdpPeer() as peer:
            base = server.base
            for port, seq in ((base, 1), (base + 2, 0), (base + 1, 2**64 - 1)):
                sent, data, source = echo_round_trip(peer, port, seq)
                self.assertEqual(source, ("127.0.0.1", port))
                self.assertEqual(len(data), 28)
                self.assertEqual(data[:24], sent[:24], seq)
                self.assertEqual(unpack(data)[3:], (base, base + 2))
            expected = dict.fromkeys(SERVER_COUNTS, 0) | {"pkts_rcvd": 3, "pkts_sent": 3}
            self.assertEqual(wait_server_sums(server, lambda sums: sums == expected), expected)

    def test_top_of_the_port_range_is_served_and_reported(self):
        base = 65530
        if not ports_free(base, 5):
            self.skipTest("ports 65530-65534 are not free")
        with start_server(base, 5, rust_log="off") as server, UdpPeer() as peer:
            _, data, source = echo_round_trip(peer, 65534)
            self.assertEqual(source[1], 65534)
            self.assertEqual(unpack(data)[3:], (65530, 65534))
            server.interrupt()
            self.assertEqual(server.wait(), 0)


class BadDatagrams(unittest.TestCase):
    def test_each_kind_is_counted_logged_and_never_answered(self):
        bad = [
            (b"", "decode_error", "ERROR", r"deserialization failed on packet from 127\.0\.0\.1:{peer}, error: "
                                           r"Invalid size"),
            (b"\x00" * 27, "decode_error", "ERROR", r"deserialization failed on packet from 127\.0\.0\.1:{peer}, "
                                                    r"error: Invalid size"),
            (b"\x00" * 29, "recv_error", "ERROR", r"error on recv_from\(\): Message too long"),
            (b"\x01" * 1500, "recv_error", "ERROR", r"error on recv_from\(\): Message too long"),
            (packet(5, KEY + 1, 0), "invalid_key", "DEBUG", rf"invalid key {KEY + 1} expected key {KEY}"),
            (packet(5, 0, 0), "invalid_key", "DEBUG", rf"invalid key 0 expected key {KEY}"),
            # The key with a port range: another server's echo, or a forged one.
            (packet(5, KEY, 0, 4000, 4009), "invalid_key", "DEBUG",
             r"packet from 127\.0\.0\.1:{peer} carries port range 4000 to 4009, not answered"),
            (packet(5, KEY, 0, 0, 1), "invalid_key", "DEBUG",
             r"packet from 127\.0\.0\.1:{peer} carries port range 0 to 1, not answered"),
        ]
        with start_server() as server, UdpPeer() as peer:
            base = server.base
            for data, counter, level, message in bad:
                peer.send(data, base)
                # The next datagram back is the echo of the valid one: nothing answered the bad datagram.
                sent, echo, _ = echo_round_trip(peer, base)
                self.assertEqual(echo[:24], sent[:24], counter)
                event = wait_log(server, level, r"Bouncer id \d+ " + message.format(peer=peer.port))
                self.assertEqual(list(event), ["timestamp", "level", "message", "target"])

            expected = dict.fromkeys(SERVER_COUNTS, 0) | {"decode_error": 2, "recv_error": 2, "invalid_key": 4,
                                                           "pkts_sent": len(bad)}
            # Every datagram received ends as exactly one of wrong length, wrong key or echo.
            expected["pkts_rcvd"] = expected["decode_error"] + expected["invalid_key"] + expected["pkts_sent"]
            self.assertEqual(wait_server_sums(server, lambda sums: sums == expected), expected)

    def test_default_filter_shows_errors_only_and_counts_the_same(self):
        with start_server(rust_log=None) as server, UdpPeer() as peer:
            base = server.base
            peer.send(packet(1, KEY + 1, 0), base)
            peer.send(b"x", base)
            echo_round_trip(peer, base)
            expected = dict.fromkeys(SERVER_COUNTS, 0) | {"pkts_rcvd": 3, "pkts_sent": 1, "invalid_key": 1,
                                                           "decode_error": 1}
            self.assertEqual(wait_server_sums(server, lambda sums: sums == expected), expected)
            server.interrupt()
            self.assertEqual(server.wait(), 0)
        levels = [json.loads(line)["level"] for line in server.stderr().splitlines()]
        self.assertEqual(levels, ["INFO", "ERROR", "INFO"], server.stderr())


class ForgedEcho(unittest.TestCase):
    """A keyed datagram whose source is forged to be another server port gets one echo, which that port refuses:
    two ports never echo each other on and on."""

    def test_one_forged_datagram_is_echoed_once_and_the_echo_is_refused(self):
        base = free_udp_ports(3)
        # One server's two ports, and two servers of one port each: (server ports, the port the forged datagram
        # comes from, the port it goes to).
        layouts = [([(base, 2)], base + 1, base), ([(base, 1), (base + 2, 1)], base + 2, base)]
        for servers, forged_source, target in layouts:
            with self.subTest(servers=servers), contextlib.ExitStack() as stack:
                started = [stack.enter_context(start_server(first, count)) for first, count in servers]
                try:
                    harness.send_from_forged_port(packet(1, KEY, 0xABCD), forged_source, target)
                except PermissionError as error:
                    self.skipTest(f"a forged source address needs a raw socket (root or CAP_NET_RAW): {error}")
                refused_by = started[-1]
                wait_server_sums(refused_by, lambda sums: sums["pkts_rcvd"] >= 1)
                # Ten more intervals on every server: a loop would have added thousands of echoes by now.
                for server in started:
                    server.wait_stdout_count(lambda line: True, 10, after=len(server.stdout_lines))
                sums = [wait_server_sums(server, lambda _: True) for server in started]
                totals = {name: sum(s[name] for s in sums) for name in SERVER_COUNTS}
                expected = dict.fromkeys(SERVER_COUNTS, 0) | {"pkts_rcvd": 2, "pkts_sent": 1, "invalid_key": 1}
                self.assertEqual(totals, expected)
                first_port, count = servers[0]
                wait_log(refused_by, "DEBUG", rf"Bouncer id \d+ packet from 127\.0\.0\.1:{target} carries port "
                                              rf"range {first_port} to {first_port + count - 1}, not answered")


class ResultLines(unittest.TestCase):
    def test_interval_lines_and_the_ctrl_c_summary_in_each_mode(self):
        verbose_items = (" pkts_rcvd: {r} pkts_sent: {s} send_error: 0 invalid_key: 0 decode_error: 0 ("
                         " icmp_port_unreachable: 0 icmp_host_unreachable: 0 icmp_network_unreachable: 0"
                         " recv_error: 0 ) tag: ")
        cases = [
            ("standard", ["-t", 'lab "1"'], " pkts_rcvd: {r} pkts_sent: {s} tag: lab \"1\""),
            ("standard", [], " pkts_rcvd: {r} pkts_sent: {s}"),
            ("verbose", [], verbose_items),
            ("verbose", ["-t", "x"], verbose_items + "x"),
            ("json", ["-t", 'lab "1"'], None),
        ]
        for mode, extra, shape in cases:
            with self.subTest(mode=mode, extra=extra):
                with start_server(mode=mode, extra=extra, rust_log=None) as server, UdpPeer() as peer:
                    base = server.base
                    first = server.wait_stdout(lambda line: True)
                    echo_round_trip(peer, base)
                    server.interrupt()
                    self.assertEqual(server.wait(), 0)
                    lines = server.stdout().splitlines()
                    if shape is None:
                        record = json.loads(first)
                        self.assertEqual(list(record), ["timestamp", "tag", *SERVER_COUNTS])
                        self.assertEqual(record["tag"], 'lab "1"')
                        self.assertRegex(record["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3,9})?Z$")
                        self.assertTrue(all(json.loads(line)["pkts_rcvd"] in (0, 1) for line in lines), lines)
                        continue
                    self.assertRegex(first, "^" + TIME + re.escape(shape.format(r=0, s=0)) + "\n$")
                    # The summary covers everything since the start, also what came after the last tick.
                    self.assertEqual(lines[-2], "Server summary:")
                    # The echo came back, but the port task counts it as sent only once its send has returned:
                    # a Ctrl+C right after may find it received and not yet sent.
                    sent = re.escape(shape.format(r=1, s="\0")).replace("\0", "[01]")
                    self.assertRegex(lines[-1], "^" + TIME + sent + "$")
                    interval_lines = lines[:-2]
                    self.assertTrue(interval_lines)
                    for line in interval_lines:
                        self.assertRegex(line, "^" + TIME + " pkts_rcvd: [01] pkts_sent: [01]")
                self.assertIn("CTRL+C, exiting", server.stderr())

    def test_summary_without_any_tick_after_the_start(self):
        with start_server(count=2, interval=3_600_000, mode="standard", rust_log=None) as server:
            server.interrupt()
            self.assertEqual(server.wait(), 0)
        self.assertRegex(server.stdout(), r"^Server summary:\n" + TIME + " pkts_rcvd: 0 pkts_sent: 0\n$")

    def test_interval_beyond_the_nanosecond_range_still_serves(self):
        with start_server(interval=2**64 - 1, mode="standard", rust_log=None) as server, UdpPeer() as peer:
            echo_round_trip(peer, server.base)
            server.interrupt()
            self.assertEqual(server.wait(), 0)
        # The echo came back; a Ctrl+C right after may find it not yet counted as sent.
        self.assertRegex(server.stdout(), r"^Server summary:\n" + TIME + " pkts_rcvd: 1 pkts_sent: [01]\n$")


class Ends(unittest.TestCase):
    def test_empty_range_ends_at_once_with_status_0(self):
        for base, count in ((4000, 0), (65535, 1), (65000, 1000)):
            status, out, err = run(server_args(base, count, mode="standard"),
                                   env=clean_env(RUST_LOG="debug", NO_COLOR="1"))
            text = err.decode()
            self.assertEqual(status, 0, (base, count))
            self.assertEqual(out, b"", (base, count))
            self.assertRegex(text, rf"Starting server listen_addr=\"127\.0\.0\.1\" base_port={base} "
                                   rf"num_sessions={count} output_mode=standard\n")
            key_line = text.index(f"DEBUG brindlemoor::bouncer: key={KEY}\n")
            # The aggregator may still log its start around the end; the main task's end follows the start lines.
            self.assertGreater(text.index(" INFO brindlemoor: A main task closed\n"), key_line, text)
            self.assertNotIn("Actor handle received bouncer counters", text)
            self.assertNotIn("Starting bouncer", text)

    def test_port_in_use_ends_the_run_with_status_1_whatever_the_filter(self):
        base = free_udp_ports(3)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("127.0.0.1", base + 1))
            in_use = re.compile(LOG_PREFIX + r"ERROR brindlemoor::bouncer: Bouncer id \d+ failed to listen on "
                                rf"127\.0\.0\.1:{base + 1}, error: Address already in use\n", re.M)
            assert_run_ends(self, server_args(base, 3, mode="standard"), 1, in_use, log_filter=None)

    def test_closed_standard_output_ends_the_run_with_status_1(self):
        base = free_udp_ports(1)
        status, err = run_with_stdout_closed(server_args(base, interval=50, mode="standard"), clean_env(NO_COLOR="1"))
        self.assertEqual(status, 1)
        # One ERROR line, and it is the last thing the run wrote.
        self.assertRegex(err.decode(), re.compile(LOG_PREFIX + r"ERROR brindlemoor::bouncer_aggregator: "
                                                  r"Standard output cannot be written: Broken pipe\n\Z", re.M))
        self.assertEqual(err.decode().count("ERROR"), 1)


class OpenFileLimit(unittest.TestCase):
    def test_a_thousand_ports_run_under_a_soft_limit_of_1024(self):
        ports = 1000
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and hard < ports + 100:
            self.skipTest(f"the hard open-file limit {hard} leaves no room for {ports} ports")
        namespace = harness.private_network()
        if namespace is None:
            self.skipTest(f"{ports} ports that are surely free need a network namespace of their own (unshare -n, "
                          "as root)")

        def soft_limit_1024():
            resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
        args = [*namespace[1:], harness.binary(), *server_args(10000, ports, interval=200, listen="0.0.0.0")]
        with Program(args, env=clean_env(NO_COLOR="1"), executable=namespace[0], preexec_fn=soft_limit_1024) as server:
            deadline = time.monotonic() + harness.TIMEOUT
            bound = 0
            while bound < ports and time.monotonic() < deadline:
                try:
                    bound = harness.udp_sockets_in_network_of(server.proc.pid)
                except FileNotFoundError:  # the process has ended
                    break
                time.sleep(0.05)
            self.assertEqual(bound, ports, server.stderr())
            # A port registers its counters before it binds: the next lines sum all of them.
            server.wait_stdout_count(lambda line: line.startswith("{"), 2, after=len(server.stdout_lines))
            server.interrupt()
            self.assertEqual(server.wait(), 0, server.stderr())
        self.assertNotIn("ERROR", server.stderr())


class ListenAddresses(unittest.TestCase):
    def test_ipv6_and_host_names(self):
        # Without brackets "::1" is no numeric socket address: it goes through the lookup, like a host name.
        cases = [("::1", "::1"), ("[::1]", "::1"), ("localhost", None)] if ipv6_available() else [("localhost", None)]
        for listen, host in cases:
            with self.subTest(listen=listen):
                base = free_udp_ports(1, host or "127.0.0.1")
                with Program(server_args(base, listen=listen, mode="standard"),
                             env=clean_env(RUST_LOG="debug", NO_COLOR="1")) as server:
                    family = wait_until_bound(base, server.proc)
                    host = host or ("::1" if family == "udp6" else "127.0.0.1")
                    server.wait_stderr(lambda line, l=listen: f'listen_addr="{l}:{base}"' in line)
                    with UdpPeer(host) as peer:
                        sent, data, source = echo_round_trip(peer, base, host=host)
                        self.assertEqual(data[:24], sent[:24])
                        self.assertEqual(source[:2], (host, base))
                        if host == "::1":
                            peer.send(b"short", base)
                            server.wait_stderr(lambda line, p=peer.port: line.endswith(
                                f"deserialization failed on packet from [::1]:{p}, error: Invalid size\n"))


if __name__ == "__main__":
    unittest.main()

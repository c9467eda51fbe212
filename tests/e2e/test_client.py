"""Client mode end to end: against the real server, against a scripted reflector that misbehaves, without any
server, and the runs it refuses or cannot set up."""

import functools
import itertools
import json
import re
import unittest

import harness
from harness import (CLIENT_TEXT_ROUND, assert_run_ends, clean_env, client_args, conservation_failures,
                     free_udp_ports, run, run_with_stdout_closed, start_server, text_items, text_rounds_and_summary,
                     unpack)
from reflector import Reflector, echo

KEY = 0x1122334455667788
start_client = functools.partial(harness.start_client, KEY)


def json_rounds(program, count):
    return [json.loads(line) for line in program.wait_stdout_count(lambda line: line.startswith("{"), count)]


def first_datagrams_by_session(received):
    """(port, first datagram) of each client socket, in the order the sockets first sent."""
    firsts = {}
    for port, address, data in received:
        firsts.setdefault(address, (port, data))
    return list(firsts.values())


class AgainstServer(unittest.TestCase):
    """The client measuring the real server on loopback."""

    def start_server(self, count):
        """A server on ports of its own, at the program's default interval (only the client's output is read)."""
        server = start_server(KEY, count=count, interval=1000)
        self.addCleanup(server.stop)
        return server

    def test_json_rounds_hold_every_send_and_ctrl_c_prints_no_summary(self):
        base = self.start_server(2).base
        # The last send of an interval comes 20 ms before the report tick: room for late timers.
        with start_client(base, sessions=2, rate=4, interval=400) as client:
            rounds = json_rounds(client, 6)
            # Each session's first report carries its empty initial window.
            self.assertEqual(rounds[0]["pkts_sent"], 0)
            # Each interval holds every session's 4 sends. On a loaded machine a send tick that comes due together
            # with the report tick may be taken after it (the fair wait takes either first), so that send counts
            # in the next round: the running total may be off by one send per session, never more.
            sent = [record["pkts_sent"] for record in rounds[1:]]
            for count, total in enumerate(itertools.accumulate(sent), 1):
                self.assertLessEqual(abs(total - count * 2 * 4), 2, sent)
            for record in rounds[1:]:
                self.assertEqual(record["pkts_lost"], 0, record)
                # Every send is answered once or lost.
                self.assertEqual(record["pkts_sent"], record["pkts_rcvd"] - record["pkts_dups"] + record["pkts_lost"])
                self.assertGreater(record["rtt_min"], 0, record)
                self.assertLessEqual(record["rtt_min"], record["rtt_avg"])
                self.assertLessEqual(record["rtt_avg"], record["rtt_max"])
            client.interrupt()
            self.assertEqual(client.wait(), 0)
            self.assertTrue(all(line.startswith(b"{") for line in client.stdout_lines), client.stdout())
            # Also the rounds after the ones looked at, up to Ctrl+C.
            self.assertEqual(conservation_failures(client.stdout()), [])
            # The start line holds the field "target" and then the event's own target.
            self.assertRegex(client.stderr(), r'"message":"Starting client","target":"127\.0\.0\.1",.*'
                                              r'"no_probe":false,"target":"brindlemoor::launcher"}')
            events = [json.loads(line) for line in client.stderr_lines]
            self.assertIn({"level": "INFO", "message": "CTRL+C, exiting",
                           "target": "brindlemoor::launcher_aggregator"},
                          [{k: e[k] for k in ("level", "message", "target")} for e in events])

    def test_text_modes_print_rounds_that_sent_and_a_summary_of_them(self):
        for mode, extra in (("standard", ("-t", "e2e")), ("verbose", ())):
            with self.subTest(mode=mode):
                server = self.start_server(2)
                base = server.base
                with start_client(base, sessions=2, rate=5, interval=200, mode=mode, extra=extra,
                                  rust_log="debug") as client:
                    client.wait_stdout_count(CLIENT_TEXT_ROUND.match, 3)
                    client.interrupt()
                    self.assertEqual(client.wait(), 0)
                    rounds, summary = text_rounds_and_summary(client.stdout())
                    for line in rounds + [summary]:
                        self.assertRegex(line, CLIENT_TEXT_ROUND)
                        if mode == "standard":
                            # Nothing lost, no errors: only the six leading items and the tag.
                            self.assertRegex(line, r"rcvd: \d+ tag: e2e$")
                        else:
                            self.assertEqual(len(text_items(line)), 5 + 3 + 14, line)
                            self.assertTrue(line.endswith(" send_error: 0 ) tag: "), line)
                    # The round with nothing sent has no line; the summary sums the rounds that were printed.
                    self.assertEqual(conservation_failures(client.stdout()), [])
                    tag_field = ' tag="e2e"' if extra else ""
                    self.assertIn(f' INFO brindlemoor::launcher: Starting client target="127.0.0.1" base_port={base} '
                                  f'num_sessions=2 interval=200 rate=5 output_mode={mode} no_probe=false{tag_field}\n',
                                  client.stderr())
                    self.assertIn(f"DEBUG brindlemoor::launcher: key={KEY}\n", client.stderr())
                server.stop()


class AgainstReflector(unittest.TestCase):
    """The client against a scripted reflector: port assignment, and the replies a real server never sends."""

    def test_without_probe_the_sessions_take_consecutive_ports_from_the_base(self):
        with Reflector(count=4) as reflector:
            with start_client(reflector.base, sessions=3, no_probe=True):
                received = reflector.wait_received(lambda got: len({address for _, address, _ in got}) == 3)
            firsts = first_datagrams_by_session(received)
            self.assertEqual([port for port, _ in firsts], [reflector.base, reflector.base + 1, reflector.base + 2])
            for _, data in firsts:
                self.assertEqual(unpack(data)[0:2], (1, KEY))
                self.assertEqual(unpack(data)[3:], (0, 0))
            # Each session numbers its datagrams 1, 2, 3, ... with one payload of its own.
            by_session = {}
            for _, address, data in received:
                by_session.setdefault(address, []).append(unpack(data))
            for fields in by_session.values():
                self.assertEqual([f[0] for f in fields], list(range(1, len(fields) + 1)))
                self.assertEqual(len({f[2] for f in fields}), 1)
            self.assertEqual(len({fields[0][2] for fields in by_session.values()}), 3, "payloads are drawn anew")

    def test_probe_range_spreads_the_sessions_cyclically_from_a_port_inside_it(self):
        with Reflector(count=3) as reflector:
            with start_client(reflector.base, sessions=5, interval=500):
                received = reflector.wait_received(lambda got: len({address for _, address, _ in got}) == 6)
            probe_port, probe = first_datagrams_by_session(received)[0]
            self.assertEqual(probe_port, reflector.base)
            seq, key, _, port_lo, port_hi = unpack(probe)
            self.assertEqual((seq, key, port_lo, port_hi), (0, KEY, 0, 0))
            ports = [port for port, _ in first_datagrams_by_session(received)[1:]]
            offsets = [port - reflector.base for port in ports]
            self.assertEqual(offsets, [(offsets[0] + k) % 3 for k in range(5)], ports)

    def test_probe_tests_every_reply_and_goes_on_until_a_valid_one(self):
        def respond(data, port):
            seq, key, payload, _, _ = unpack(data)
            answer = echo(data, reflector.port_range)
            if seq != 0:
                return [(0.0, answer)]
            probes.append(data)
            if len(probes) > 1:
                return [(0.0, answer)]
            wrong_key = data[:8] + (key + 1).to_bytes(8, "big") + (payload + 1).to_bytes(8, "big") + answer[24:]
            wrong_payload = data[:16] + (payload ^ 1).to_bytes(8, "big") + answer[24:]
            empty_range = data[:24] + (reflector.base + 2).to_bytes(2, "big") + reflector.base.to_bytes(2, "big")
            return [(0.0, reply) for reply in (answer[:27], answer + b"!", wrong_key, wrong_payload, empty_range)]

        probes = []
        with Reflector(count=3, respond=respond) as reflector:
            with start_client(reflector.base, sessions=1) as client:
                client.wait_stdout(lambda line: line.startswith("{"))
                client.interrupt()
                self.assertEqual(client.wait(), 0)
            messages = [json.loads(line)["message"] for line in client.stderr_lines]
        base = reflector.base
        first_probe = messages.index("Probe sent 28 bytes")
        expected = ["Decode failed: Invalid size", "Probe receive error: Message too long",
                    "Invalid key in probe response", "Invalid payload in probe response",
                    f"Invalid port range in probe response: {base + 2} to {base}",
                    "Probe sent 28 bytes", f"Probe response ports {base} to {base + 2}"]
        self.assertEqual(messages[first_probe + 1:first_probe + 1 + len(expected)], expected)
        self.assertEqual(len(probes), 2)
        self.assertEqual(probes[0], probes[1], "every probe of an exchange carries the same bytes")
        sent_lines = [json.loads(line) for line in client.stderr_lines if b"Probe sent" in line]
        self.assertEqual(sent_lines[0]["target_addr"], f"127.0.0.1:{base}")

    def test_faulty_replies_are_counted_by_kind_and_logged(self):
        # One session at 10 per 500 ms sends 11 to 20 in its second interval: misanswer some of them.
        held = {}

        def respond(data, port):
            seq = unpack(data)[0]
            answer = echo(data, reflector.port_range)
            if seq == 12:
                return [(0.0, answer[:8] + (KEY + 1).to_bytes(8, "big") + answer[16:])]
            if seq == 13:
                return [(0.0, answer[:16] + bytes(b ^ 0xFF for b in answer[16:24]) + answer[24:])]
            if seq == 14:
                return [(0.0, answer[:20])]
            if seq == 15:
                return [(0.0, answer + bytes(12))]
            if seq == 16:
                return [(0.0, answer), (0.0, answer)]
            if seq == 17:
                held[17] = answer
                return []
            if seq == 18:
                return [(0.0, answer), (0.0, held.pop(17))]
            if seq == 19:
                return [(1.2, answer)]  # after its window has been reported
            return [(0.0, answer)]

        with Reflector(count=1, respond=respond) as reflector:
            with start_client(reflector.base, rate=10, interval=500, mode="verbose", no_probe=True) as client:
                client.wait_stdout_count(CLIENT_TEXT_ROUND.match, 6)
                client.interrupt()
                self.assertEqual(client.wait(), 0)
        _, summary = text_rounds_and_summary(client.stdout())
        totals = {label: value for label, value in text_items(summary).items() if not label.startswith("rtt")}
        sent = int(totals.pop("sent"))
        self.assertEqual(totals, {"rcvd": str(sent - 4), "lost": "5", "reords": "1", "dups": "1",
                                  "decode error": "1", "err_rcvd_seq_high": "0", "err_rcvd_between_windows": "0",
                                  "icmp_port_unreachable": "0", "icmp_host_unreachable": "0",
                                  "icmp_network_unreachable": "0", "invalid_key": "1", "invalid_payload": "1",
                                  "late_packets": "1", "recv_error": "1", "err_skipped_interval": "0",
                                  "err_sent_seq_high": "0", "err_sent_seq_low": "0", "send_error": "0"})
        errors = client.stderr()
        session = re.search(r"Launcher id (\d+) invalid key (\d+) received", errors)
        self.assertIsNotNone(session, errors)
        self.assertEqual(int(session.group(2)), KEY + 1)
        for message in (f"Launcher id {session.group(1)} invalid payload", "Error deserializing: Invalid size",
                        f"Launcher id {session.group(1)} error on recv(): Message too long"):
            self.assertEqual(errors.count(message), 1, message)


class WithoutServer(unittest.TestCase):
    def test_probe_logs_every_refused_probe_and_ctrl_c_before_any_send_prints_nothing(self):
        port = free_udp_ports(1)
        with start_client(port, mode="standard") as client:
            client.wait_stderr(lambda _: client.stderr().count("Probe receive error: Connection refused") >= 2)
            client.interrupt()
            self.assertEqual(client.wait(), 0)
        self.assertEqual(client.stdout(), "")
        self.assertIn("CTRL+C, exiting", client.stderr())
        self.assertGreaterEqual(client.stderr().count("Probe sent 28 bytes"), 2)

    def test_sessions_count_port_unreachable_and_lose_every_send(self):
        port = free_udp_ports(1)
        with start_client(port, rust_log="debug", no_probe=True) as client:
            rounds = json_rounds(client, 4)
        for record in rounds[1:]:
            self.assertEqual(record["pkts_rcvd"], 0, record)
            self.assertEqual(record["pkts_lost"], record["pkts_sent"], record)
        self.assertGreater(sum(record["icmp_port_unreachable"] for record in rounds), 0, rounds)
        self.assertRegex(client.stderr(), r"Launcher id \d+ port unreachable on (recv|send)\(\): Connection refused")


class SetupFailures(unittest.TestCase):
    def test_a_socket_that_cannot_be_set_up_ends_the_run_with_status_1(self):
        cases = [
            ("nonexistent.invalid", (), "Probe error: failed to lookup address information"),
            ("nonexistent.invalid", ("--no_probe",), "Client error: failed to lookup address information"),
            # Resolves to IPv6 only; the client's sockets are IPv4.
            ("::1", (), "Probe error: Address family not supported by protocol"),
            ("[::1]", ("--no_probe",), "Client error: Address family not supported by protocol"),
        ]
        for target, extra, message in cases:
            with self.subTest(target=target, extra=extra):
                assert_run_ends(self, ["-k", "1", "-p", "4000", *extra, target], 1,
                                f"ERROR brindlemoor::launcher: {re.escape(message)}")

    def test_runs_that_cannot_work_are_refused_with_status_2_before_anything_is_sent(self):
        cases = [
            (["-n", "0"], "Invalid number of sessions 0"),
            (["-r", "0"], "Invalid rate 0"),
            (["-i", "1000", "-r", "1000000001"], "Invalid rate 1000000001"),
            (["-i", "18446744073710"], "Invalid interval 18446744073710 ms"),
        ]
        with Reflector(count=1) as reflector:
            for extra, message in cases:
                with self.subTest(extra=extra):
                    assert_run_ends(self, ["-k", "1", "-p", str(reflector.base), *extra, "127.0.0.1"], 2,
                                    f"ERROR brindlemoor::launcher: {re.escape(message)}")
            self.assertEqual(reflector.received, [])

    def test_a_rate_whose_windows_cannot_be_allocated_ends_with_status_1(self):
        with Reflector(count=1) as reflector:
            args = ["-k", "1", "-p", str(reflector.base), "-i", "10000000000000", "-r", "1000000000000000000",
                    "--no_probe", "127.0.0.1"]
            status, out, err = run(args, env=clean_env(NO_COLOR="1"))
            self.assertEqual(status, 1, err)
            self.assertEqual(out, b"")
            self.assertRegex(err.decode(), r"ERROR brindlemoor::launcher: Client error: rate 1000000000000000000 "
                                           r"needs more sequence slots than can be allocated")
            self.assertEqual(reflector.received, [])

    def test_closed_standard_output_ends_the_run_with_status_1(self):
        with Reflector(count=1) as reflector:
            status, err = run_with_stdout_closed(client_args(KEY, reflector.base, no_probe=True),
                                                 clean_env(NO_COLOR="1"))
        self.assertEqual(status, 1)
        errors = [event for event in map(json.loads, err.splitlines()) if event["level"] == "ERROR"]
        self.assertEqual([(event["target"], event["message"]) for event in errors],
                         [("brindlemoor::launcher_aggregator", "Standard output cannot be written: Broken pipe")])


if __name__ == "__main__":
    unittest.main()

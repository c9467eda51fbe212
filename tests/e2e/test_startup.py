"""Start-up: help, version, usage errors, the worker-count variable, the missing client target, log set-up and
the log filter."""

import re
import unittest

from harness import LOG_PREFIX, clean_env, run

LOG_LINE = re.compile(LOG_PREFIX + "(TRACE|DEBUG| INFO| WARN|ERROR) ")


class HelpAndVersion(unittest.TestCase):
    def test_help_forms_go_to_stdout_with_status_0_without_key(self):
        for flag, first_line in (("-h", "Network monitoring probe and server"),
                                 ("--help", "Multi-session constant rate network probe and server")):
            status, out, err = run([flag], env=clean_env(RUST_LOG="trace"))
            self.assertEqual(status, 0, flag)
            self.assertEqual(err, b"", flag)
            text = out.decode()
            self.assertEqual(text.splitlines()[0], first_line)
            self.assertIn("Usage: brindlemoor [OPTIONS] --key <KEY> [TARGET]", text)
            self.assertIn("[possible values: standard,", text)

    def test_help_acts_before_a_later_argument_that_is_not_utf8(self):
        status, out, err = run([b"-h", b"\xff"])
        self.assertEqual((status, err), (0, b""))
        self.assertTrue(out.startswith(b"Network monitoring probe and server\n"), out)

    def test_version(self):
        for flag in ("-V", "--version"):
            status, out, err = run([flag])
            self.assertEqual(status, 0)
            self.assertRegex(out.decode(), r"^brindlemoor 1\.0\.5-[0-9a-f]{7}\n$")
            self.assertEqual(err, b"")


class UsageErrors(unittest.TestCase):
    def test_refused_command_lines_exit_2_with_error_text_and_no_log(self):
        cases = [
            ([], "the following required arguments were not provided:"),
            (["--server"], "the following required arguments were not provided:"),
            (["-k", "x"], "invalid value 'x' for '--key <KEY>': invalid digit found in string"),
            (["-k", "1", "-i", "5"], "Interval must be larger than 5ms"),
            (["-k", "1", "-p", "65536"], "65536 is not in 0..=65535"),
            (["-k", "1", "-m", "JSON"], "[possible values: standard, verbose, json]"),
            (["-k", "1", "-s", "-s"], "cannot be used multiple times"),
            (["-k", "1", "a", "b"], "unexpected argument 'b' found"),
            (["-k"], "a value is required for '--key <KEY>' but none was supplied"),
            (["-k", "5", "-t", "-s"], "a value is required for '--tag <TAG>' but none was supplied"),
            (["-k", "5", "-5"], "unexpected argument '-5' found"),
        ]
        for args, expected in cases:
            status, out, err = run(args, env=clean_env(RUST_LOG="trace,bad=level"))
            text = err.decode()
            self.assertEqual(status, 2, args)
            self.assertEqual(out, b"", args)
            self.assertTrue(text.startswith("error: "), (args, text))
            self.assertIn(expected, text, args)
            self.assertTrue(text.endswith("For more information, try '--help'.\n"), (args, text))
            self.assertNotIn("ignoring", text, args)

    def test_argument_that_is_not_utf8_is_refused(self):
        status, _, err = run([b"-k", b"1", b"-t", b"\xff\xfe"])
        self.assertEqual(status, 2)
        self.assertIn(b"invalid UTF-8", err)


class WorkerThreads(unittest.TestCase):
    def test_unusable_value_stops_with_101_before_the_command_line_is_read(self):
        for value, reason in (("0", "cannot be set to 0"), ("x", "invalid digit found in string"),
                              ("", "cannot parse integer from empty string")):
            status, out, err = run(["-h"], env=clean_env(TOKIO_WORKER_THREADS=value))
            self.assertEqual(status, 101, value)
            self.assertEqual(out, b"", value)
            self.assertIn("TOKIO_WORKER_THREADS", err.decode())
            self.assertIn(reason, err.decode())

    def test_usable_value_runs(self):
        status, out, _ = run(["-V"], env=clean_env(TOKIO_WORKER_THREADS="3"))
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(b"brindlemoor "))


class MissingClientTarget(unittest.TestCase):
    WARNING = "brindlemoor: Target must be specifed for client mode"

    def test_default_filter_writes_one_warning(self):
        status, out, err = run(["-k", "7"], env=clean_env(NO_COLOR="1"))
        lines = err.decode().splitlines()
        self.assertEqual(status, 2)
        self.assertEqual(out, b"")
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], LOG_LINE)
        self.assertTrue(lines[0].endswith(" WARN " + self.WARNING), lines[0])

    def test_error_filter_writes_nothing(self):
        status, out, err = run(["-k", "7"], env=clean_env(RUST_LOG="error"))
        self.assertEqual((status, out, err), (2, b"", b""))

    def test_debug_filter_dumps_arguments_first(self):
        status, _, err = run(["-k", "7", "-t", 'a"b'], env=clean_env(RUST_LOG="debug", NO_COLOR="1"))
        lines = err.decode().splitlines()
        self.assertEqual(status, 2)
        self.assertEqual(len(lines), 2, lines)
        self.assertTrue(lines[0].endswith(
            "DEBUG brindlemoor: Args { server: false, key: 7, base_port: 4000, output_mode: Standard, "
            "num_sessions: 10, interval: 1000, rate: 10, no_probe: false, tag: Some(\"a\\\"b\"), target: None }"),
            lines[0])
        self.assertIn(self.WARNING, lines[1])

    def test_unusable_filter_entries_are_reported_then_info_applies(self):
        status, _, err = run(["-k", "7"], env=clean_env(RUST_LOG=",foo=nolevel,", NO_COLOR="1"))
        lines = err.decode().splitlines()
        self.assertEqual(status, 2)
        self.assertTrue(lines[0].startswith("ignoring `foo=nolevel`: error parsing level filter"), lines)
        self.assertIn(self.WARNING, lines[1])

    def test_colours_unless_no_color_is_set_and_not_empty(self):
        for no_color, coloured in ((None, True), ("", True), ("1", False)):
            _, _, err = run(["-k", "7"], env=clean_env(NO_COLOR=no_color))
            self.assertEqual(b"\x1b[" in err, coloured, no_color)
            if coloured:
                self.assertIn(b"\x1b[33m WARN\x1b[0m", err)

    def test_json_log_format(self):
        _, _, err = run(["-k", "7", "-m", "json"], env=clean_env())
        self.assertRegex(err.decode(), r'^\{"timestamp":"[^"]+Z","level":"WARN","message":"Target must be '
                                       r'specifed for client mode","target":"brindlemoor"\}\n$')


class LogFilterDirectives(unittest.TestCase):
    def test_filter_directives_by_target_and_by_field(self):
        # A server without ports ends at once; its key event is the only one with a field "key".
        key_line = re.compile(LOG_PREFIX + "DEBUG brindlemoor::bouncer: key=5$")
        for rust_log, key_only in (("brindlemoor[{key}]=debug", True), ("brindlemoor=", False)):
            status, out, err = run(["-s", "-n", "0", "-k", "5"], env=clean_env(RUST_LOG=rust_log, NO_COLOR="1"))
            lines = err.decode().splitlines()
            self.assertEqual((status, out), (0, b""), rust_log)
            self.assertEqual(sum(1 for line in lines if key_line.match(line)), 1, (rust_log, lines))
            self.assertEqual(len(lines) == 1, key_only, (rust_log, lines))
            self.assertFalse(any(line.startswith("ignoring") for line in lines), (rust_log, lines))

    def test_empty_field_list_is_refused(self):
        status, _, err = run(["-s", "-n", "0", "-k", "5"], env=clean_env(RUST_LOG="[{}]", NO_COLOR="1"))
        lines = err.decode().splitlines()
        self.assertEqual(status, 0)
        self.assertEqual(lines[0], "ignoring `[{}]`: invalid filter directive")
        self.assertTrue(lines[-1].endswith(" INFO brindlemoor: A main task closed"), lines)


if __name__ == "__main__":
    unittest.main()

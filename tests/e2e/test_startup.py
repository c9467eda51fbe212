"""Start-up: help, version, usage errors, the worker count, the missing client target, log set-up and the log
filter."""

import os
import re
import subprocess
import tempfile
import unittest

from harness import LOG_PREFIX, Program, binary, clean_env, free_udp_ports, run, server_args

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


def worker_count(env=None, preexec_fn=None, wrapper=()):
    """Runs a server of one port and returns its worker count, read from the task id of its port task: the workers
    draw ids 1 to N at start, then come the main task, the aggregator and the port task. `wrapper` is a command
    that runs the program, followed by its arguments before the program's path."""
    base = free_udp_ports(1)
    command = [*wrapper[1:], binary(), *server_args(7, base)] if wrapper else server_args(7, base)
    with Program(command, env=clean_env(RUST_LOG="debug", NO_COLOR="1", **(env or {})),
                 executable=wrapper[0] if wrapper else None, preexec_fn=preexec_fn) as server:
        line = server.wait_stderr(lambda line: "Starting bouncer id" in line)
        server.interrupt()
        if server.wait() != 0:
            raise AssertionError(server.stderr())
    return int(re.search(r"Starting bouncer id (\d+)", line).group(1)) - 3


def cgroup_directory(version):
    """The directory of this process's cgroup in the hierarchy of `version` (1: the "cpu" controller's, 2: the
    unified one), when that hierarchy is mounted from its root; else None."""
    with open("/proc/self/cgroup") as membership:
        paths = [line.rstrip("\n").split(":", 2) for line in membership]
    path = next((p for i, controllers, p in paths if (version == 2 and (i, controllers) == ("0", "")) or
                 (version == 1 and "cpu" in controllers.split(","))), None)
    with open("/proc/self/mountinfo") as mounts:
        for line in mounts:
            fields = line.split()
            after = fields[fields.index("-") + 1:]
            matches = after[0] == "cgroup2" if version == 2 else after[0] == "cgroup" and "cpu" in after[2].split(",")
            if path is not None and matches and fields[3] == "/":
                return fields[4] + path.rstrip("/")
    return None


class WorkerCount(unittest.TestCase):
    def test_the_affinity_mask_sets_the_worker_count_unless_the_variable_does(self):
        available = sorted(os.sched_getaffinity(0))
        cases = [(available[:1], None, 1), (available[:2], None, min(2, len(available))), (available[:1], "3", 3)]
        for cpus, variable, expected in cases:
            with self.subTest(cpus=cpus, variable=variable):
                count = worker_count(env={"TOKIO_WORKER_THREADS": variable},
                                     preexec_fn=lambda cpus=cpus: os.sched_setaffinity(0, cpus))
                self.assertEqual(count, expected)

    def test_a_cgroup_cpu_quota_of_one_and_a_half_processors_leaves_two(self):
        # The quota files are replaced in a mount namespace of the program's own, so nothing else sees them.
        if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
            self.skipTest("a mount namespace of its own needs unshare -m (root)")
        unlimited = worker_count()
        with tempfile.TemporaryDirectory() as fake:
            with open(os.path.join(fake, "cpu.max"), "w") as cpu_max:
                cpu_max.write("150000 100000\n")
            with open(os.path.join(fake, "cpu.cfs_quota_us"), "w") as quota:
                quota.write("150000\n")
            with open(os.path.join(fake, "cpu.cfs_period_us"), "w") as period:
                period.write("100000\n")
            cases = [(1, [(f"{fake}/cpu.cfs_quota_us", "cpu.cfs_quota_us"),
                          (f"{fake}/cpu.cfs_period_us", "cpu.cfs_period_us")]),
                     (2, [(fake, "")])]
            for version, binds in cases:
                with self.subTest(version=version):
                    directory = cgroup_directory(version)
                    if directory is None or not all(os.path.exists(os.path.join(directory, name)) for _, name in binds):
                        self.skipTest(f"no cgroup v{version} directory of this process with CPU quota files")
                    script = " && ".join(f"mount --bind '{source}' '{os.path.join(directory, name)}'"
                                         for source, name in binds) + ' && exec "$@"'
                    count = worker_count(wrapper=["unshare", "-m", "sh", "-c", script, "sh"])
                    self.assertEqual(count, min(2, unlimited))


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

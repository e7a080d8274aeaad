#!/usr/bin/env python3
"""tools/demo ends the simulator and Tavrel with itself, whatever signal ends it.

Usage: demo_test.py SOURCE_FOLDER BIN_FOLDER
"""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import free_port  # noqa: E402

SOURCE = BIN = None


def stat(pid):
    """The fields of /proc/PID/stat after the program's name (state, parent, ...); [] once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return []


def children(pid):
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit() and stat(entry)[1:2] == [str(pid)]]


def alive(pid):
    return stat(pid)[:1] not in ([], ["Z"])


class Demo(unittest.TestCase):
    def run_and_end_with(self, signal_number, while_starting):
        """Ends the demo with a signal while it starts (the simulator up, Tavrel not yet) or once it runs."""
        with tempfile.TemporaryDirectory(prefix="tavrel-demo-") as build:
            os.symlink(BIN, os.path.join(build, "bin"))
            demo = subprocess.Popen([f"{SOURCE}/tools/demo", build], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, env=dict(os.environ, DEMO_PORT=str(free_port()), DEMO_OPCUA_PORT=str(free_port())),
                                    start_new_session=True)
            seen = set()
            try:
                deadline = time.time() + 30
                if while_starting:
                    # The simulator is up; Tavrel follows once the demo project is written.
                    log = os.path.join(build, "demo", "plcsim.log")
                    while time.time() < deadline and not (os.path.exists(log) and "listening" in open(log).read()):
                        seen.update(children(demo.pid))
                        time.sleep(0.01)
                    self.assertIsNone(demo.poll(), "the demo ended before its simulator listened")
                else:
                    output = []
                    while time.time() < deadline:
                        line = demo.stdout.readline()
                        output.append(line)
                        if not line or "Press Ctrl-C" in line:
                            break
                    self.assertIn("Press Ctrl-C", "".join(output))
                    seen.update(children(demo.pid))
                    self.assertGreaterEqual(len(seen), 2, "the simulator and Tavrel run under the demo")
                demo.send_signal(signal_number)
                deadline = time.time() + 20
                while time.time() < deadline and demo.poll() is None:
                    seen.update(children(demo.pid))
                    time.sleep(0.05)
                self.assertIsNotNone(demo.poll(), "the demo went on after the signal")
                deadline = time.time() + 10
                while time.time() < deadline and any(alive(pid) for pid in seen):
                    time.sleep(0.1)
                self.assertEqual([pid for pid in seen if alive(pid)], [], "left running after the demo")
            finally:
                try:
                    os.killpg(demo.pid, signal.SIGKILL)  # what the demo left of its own session, and nothing else
                except OSError:
                    pass
                demo.wait()
                demo.stdout.close()

    def test_signals_end_the_demo_and_its_programs(self):
        for signal_number, while_starting in [(signal.SIGTERM, False), (signal.SIGTERM, True), (signal.SIGHUP, False)]:
            with self.subTest(signal=signal_number.name, while_starting=while_starting):
                self.run_and_end_with(signal_number, while_starting)


if __name__ == "__main__":
    BIN = sys.argv.pop(2)
    SOURCE = sys.argv.pop(1)
    unittest.main(verbosity=2)

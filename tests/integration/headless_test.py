#!/usr/bin/env python3
"""End-to-end tests: tavrel --headless against tavrel-plcsim, reached with curl and a WebSocket client.

Usage: headless_test.py BIN_FOLDER
"""
import asyncio
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (DW, MB, MI, ML, READ, READ_WRITE, RUN_COIL, T_CURRENT, T_PRESET, WRITE, end,  # noqa: E402
                      eventually, free_port, make_project, modbus_read, modbus_write, start, start_simulator,
                      start_tavrel, wait_for_line)

BIN = None


def curl(*args):
    result = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code}", *args],
                            capture_output=True, text=True, timeout=15)
    body, _, status = result.stdout.rpartition("\n")
    return int(status), body


class Headless(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-headless-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.sim, self.plc_port = start_simulator(BIN)
        self.addCleanup(end, self.sim)
        self.project = os.path.join(self.dir, "p.tve")
        make_project(BIN, self.project, [("Line_1", self.plc_port, [
            (MI, 100, 1, READ_WRITE, 1),
            (MI, 0, 1, READ, 2),
            (MB, 0, 3, READ_WRITE, 3),     # lblDDE(3..5), a vector
            (ML, 7, 1, WRITE, 6),
            (MB, 10, 1, READ_WRITE, 7),
            (DW, 4, 1, READ_WRITE, 8),
            (T_PRESET, 3, 1, READ_WRITE, 9),
            (T_CURRENT, 0, 1, READ, 10)])])  # timer 0 runs by itself
        self.tavrel, port, self.lines = start_tavrel(BIN, self.dir, self.project)
        self.addCleanup(end, self.tavrel)
        self.base = f"http://127.0.0.1:{port}/dde/Tavrel/Items"
        self.system = f"http://127.0.0.1:{port}/dde/Tavrel/System"
        self.ws = f"ws://127.0.0.1:{port}/dde/Tavrel/Items"
        wait_for_line(self.tavrel, r"PLC 'Line_1' connected", self.lines)

    def read(self, item):
        return curl(f"{self.base}/{item}")[1]

    def poke(self, item, text):
        return curl("-X", "PUT", "--data", text, f"{self.base}/{item}")

    def hot_link(self):
        """A hot link sees the value at once and every change, until it is stopped."""
        async def conversation():
            async with websockets.connect(self.ws) as socket:
                await socket.send(json.dumps({"op": "advise", "item": "lblDDE(1)"}))
                first = json.loads(await asyncio.wait_for(socket.recv(), 5))
                self.assertEqual((first["item"], first["value"]), ("lblDDE(1)", "0"))
                await socket.send(json.dumps({"op": "poke", "item": "lblDDE(1)", "value": "77"}))
                seen = []
                while "77" not in seen:
                    message = json.loads(await asyncio.wait_for(socket.recv(), 5))
                    for update in message if isinstance(message, list) else [message]:
                        if update.get("item") == "lblDDE(1)" and "value" in update:
                            seen.append(update["value"])
                await socket.send(json.dumps({"op": "unadvise", "item": "lblDDE(1)"}))
                while json.loads(await asyncio.wait_for(socket.recv(), 5)).get("op") != "unadvise":
                    pass
                await socket.send(json.dumps({"op": "poke", "item": "lblDDE(1)", "value": "78"}))
                self.assertEqual(json.loads(await asyncio.wait_for(socket.recv(), 5)),
                                 {"op": "poke", "item": "lblDDE(1)", "ok": True})
                with self.assertRaises(asyncio.TimeoutError):
                    await asyncio.wait_for(socket.recv(), 0.5)
        asyncio.run(conversation())

    def test_links_pokes_executes_then_the_plc_lost_and_sigterm(self):
        self.hot_link()

        # A refused poke says why and changes nothing: one case for each stage that refuses (the tables of each
        # stage are the unit tests' business): the item table, the text, the operand's range, the timer text.
        for item, text, status, reason in [("lblDDE(2)", "5", 409, "read-only"),
                                           ("lblDDE(99)", "1", 404, "no item lblDDE(99)"),
                                           ("lblDDE(1)", "abc", 422, "not a number"),
                                           ("lblDDE(7)", "2", 422, "MB 10 is a bit: it takes 0 or 1, not 2"),
                                           ("lblDDE(8)", "4294967296", 422,
                                            "DW 4 takes a whole number from 0 to 4294967295, not 4294967296"),
                                           ("lblDDE(9)", "10", 422, "'10' is not a timer text (hh:mm:ss.cc")]:
            with self.subTest(item=item, text=text):
                before = self.read(item)
                got_status, body = self.poke(item, text)
                self.assertEqual(got_status, status)
                self.assertIn(reason, body)
                self.assertEqual(self.read(item), before)

        # Good pokes afterwards are in the simulator's registers within a second, read past Tavrel.
        started = time.monotonic()
        for item, text in [("lblDDE(4)", "1"), ("lblDDE(6)", "-5"), ("lblDDE(7)", "1"), ("lblDDE(8)", "4294967295"),
                           ("lblDDE(9)", "00:01:30.00")]:
            self.assertEqual(self.poke(item, text)[0], 204, item)
        # MB 1 (an element of the vector), ML 7, MB 10, DW 4, the preset of timer 3 in ticks
        expected = ([1], [0xFFFF, 0xFFFB], [1], [0xFFFF, 0xFFFF], [0, 9000])
        while True:
            got = (modbus_read(self.plc_port, 1, 1001), modbus_read(self.plc_port, 3, 7014, 2),
                   modbus_read(self.plc_port, 1, 1010), modbus_read(self.plc_port, 3, 9908, 2),
                   modbus_read(self.plc_port, 3, 12006, 2))
            elapsed = time.monotonic() - started
            if got == expected or elapsed > 1.0:
                break
            time.sleep(0.01)
        self.assertEqual(got, expected, f"after {elapsed:.3f} s")
        print(f"\ngood pokes in the simulator's registers {elapsed * 1000:.0f} ms after the first PUT", file=sys.stderr)
        eventually(lambda: self.read("lblDDE(4)") == "1", "the vector's element read back")
        timer = self.read("lblDDE(10)")
        eventually(lambda: self.read("lblDDE(10)") != timer, "the PLC is still read")

        modbus_write(self.plc_port, 15, RUN_COIL, [1])
        self.assertEqual(curl("-X", "POST", "--data", "Line_1_RESET", self.base)[0], 400)
        self.assertEqual(curl("-X", "POST", "--data", "Line_1_STOP", self.base)[0], 202)
        eventually(lambda: modbus_read(self.plc_port, 1, RUN_COIL) == [0], "Line_1_STOP cleared the run coil", 5)
        # The PLC's run state comes with the pass's read: a System item, and a line when it changes.
        running = f"{self.system}/Line_1.PlcRunning"
        eventually(lambda: curl(running) == (200, "0"), "Line_1.PlcRunning is 0 after Line_1_STOP", 5)
        wait_for_line(self.tavrel, r"PLC 'Line_1' in STOP", self.lines)
        self.assertEqual(curl("-X", "POST", "--data", "Line_1_RUN", self.base)[0], 202)
        eventually(lambda: curl(running) == (200, "1"), "Line_1.PlcRunning is 1 after Line_1_RUN", 5)
        wait_for_line(self.tavrel, r"PLC 'Line_1' running", self.lines)

        # The PLC lost: reported, and its items keep their last values.
        end(self.sim)
        wait_for_line(self.tavrel, r"PLC 'Line_1' not connected .*next attempt in 60 s", self.lines)
        self.assertEqual(self.read("lblDDE(1)"), "78")
        self.assertEqual(curl("-X", "POST", "--data", "Tavrel_RUN/STOP", self.base)[0], 202)
        self.assertEqual(json.loads(curl("-H", "Accept: application/json", self.base)[1])["running"], False)
        self.tavrel.send_signal(signal.SIGTERM)
        self.assertEqual(self.tavrel.wait(10), 0)
        output = "".join(self.lines) + self.tavrel.stdout.read()
        self.assertEqual(output.count("not connected"), 1, "only the lost PLC was: no refused poke cost the link")
        self.assertTrue(output.endswith("stopped\n"), output[-200:])


class ScanInterval(unittest.TestCase):
    def test_a_plc_with_a_scan_interval_is_read_at_its_rate_while_another_is_read_flat_out(self):
        folder = tempfile.mkdtemp(prefix="tavrel-scan-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        slow, slow_port = start_simulator(BIN)
        self.addCleanup(end, slow)
        fast, fast_port = start_simulator(BIN)
        self.addCleanup(end, fast)
        project = os.path.join(folder, "p.tve")
        make_project(BIN, project, [("Slow", slow_port, [(MI, 0, 1, READ, 1)]),
                                    ("Fast", fast_port, [(MI, 0, 1, READ, 2)])])
        with sqlite3.connect(project) as db:
            db.execute("UPDATE CommParams SET ScanMs = 200 WHERE PlcID = 1")

        started = time.monotonic()
        tavrel, _, lines = start_tavrel(BIN, folder, project)
        self.addCleanup(end, tavrel)
        wait_for_line(tavrel, r"PLC 'Fast' connected", lines)
        time.sleep(2)
        end(tavrel)
        seconds = time.monotonic() - started

        def answered(simulator):
            simulator.send_signal(signal.SIGTERM)
            return int(re.search(r"answered (\d+) requests", simulator.communicate(timeout=10)[0]).group(1))
        slow_requests, fast_requests = answered(slow), answered(fast)
        print(f"\nin {seconds:.1f} s: {slow_requests} requests at ScanMs 200, {fast_requests} without",
              file=sys.stderr)
        # A read is two requests (the word and the run coil); bounds wide enough for a loaded machine.
        self.assertGreaterEqual(slow_requests, 2)
        self.assertLessEqual(slow_requests, 2 * (seconds / 0.2 + 2))
        self.assertGreater(fast_requests, 3 * slow_requests)


class StartUp(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-start-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.project = os.path.join(self.dir, "p.tve")
        # A PLC nobody answers for: its items are listed all the same.
        make_project(BIN, self.project, [("Line_1", free_port(), [(MI, 0, 1, READ, 1)])])
        self.settings = os.path.join(self.dir, "t.ini")

    def runtime(self, name):
        folder = os.path.join(self.dir, name)
        os.makedirs(folder, mode=0o700, exist_ok=True)
        return dict(os.environ, XDG_RUNTIME_DIR=folder)

    def test_the_link_server_serves_nothing_before_the_start_up_project(self):
        port = free_port()
        window = subprocess.Popen([f"{BIN}/tavrel", "--settings", self.settings, "--listen", f"127.0.0.1:{port}",
                                   "--opcua", "127.0.0.1:0", self.project], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  env=dict(self.runtime("user"), QT_QPA_PLATFORM="offscreen"))
        self.addCleanup(end, window)
        answers = []
        deadline = time.time() + 20
        while time.time() < deadline and len(answers) < 3:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/dde/Tavrel/Items", timeout=2) as response:
                    answers.append(response.read().decode())
            except OSError:
                time.sleep(0.05)
        self.assertEqual(len(answers), 3, "the window never served its items")
        for answer in answers:
            self.assertIn("lblDDE(1)", answer, "served while the splash was up, before the project was loaded")

    def test_a_project_that_cannot_be_opened_ends_headless_mode_and_help_needs_no_display(self):
        bad = os.path.join(self.dir, "bad.tve")
        with open(bad, "w") as file:
            file.write("not a project")
        # A missing project in a folder that exists is made there (a service's first start); in one that does not,
        # it is a mistake.
        for project, reason in [(os.path.join(self.dir, "nowhere", "missing.tve"), "no such file"), (bad, "bad.tve")]:
            with self.subTest(project=project):
                run = subprocess.run([f"{BIN}/tavrel", "--headless", "--settings", self.settings, "--listen",
                                      "127.0.0.1:0", "--opcua", "127.0.0.1:0", project], capture_output=True, text=True, timeout=15,
                                     env=self.runtime("carol"))
                self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
                self.assertIn(reason, run.stderr)
                self.assertNotIn("link server on", run.stdout + run.stderr)
        bare = {k: v for k, v in self.runtime("dave").items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        for flag, text in [("--help", "--headless"), ("--version", "tavrel 1.")]:
            run = subprocess.run([f"{BIN}/tavrel", flag], capture_output=True, text=True, timeout=15, env=bare)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn(text, run.stdout)

    def test_the_lock_is_per_user_and_a_later_start_brings_the_first_forward(self):
        # Two users' instances side by side: neither takes the OPC UA port the other would need.
        args = [f"{BIN}/tavrel", "--headless", "--settings", self.settings, "--listen", "127.0.0.1:0", "--opcua",
                "127.0.0.1:0", self.project]
        first, _, lines = start(args, r"link server on", env=self.runtime("alice"))
        self.addCleanup(end, first)
        other, _, _ = start(args, r"link server on", env=self.runtime("bob"))
        self.addCleanup(end, other)
        again = subprocess.run(args, capture_output=True, text=True, timeout=15, env=self.runtime("alice"))
        self.assertEqual(again.returncode, 3)
        self.assertIn("This application is already running", again.stderr)
        wait_for_line(first, r"another start with these settings was refused", lines)


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

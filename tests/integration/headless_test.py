#!/usr/bin/env python3
"""End-to-end tests: tavrel --headless against tavrel-plcsim, reached with curl and a WebSocket client.

Usage: headless_test.py BIN_FOLDER
"""
import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (DW, MB, MI, ML, READ, READ_WRITE, RUN_COIL, T_CURRENT, T_PRESET, WRITE, end,  # noqa: E402
                      free_port, make_project, modbus_read, modbus_write, start, start_simulator, start_tavrel,
                      wait_for_line)

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
        self.ws = f"ws://127.0.0.1:{port}/dde/Tavrel/Items"
        wait_for_line(self.tavrel, r"PLC 'Line_1' connected", self.lines)

    def read(self, item):
        return curl(f"{self.base}/{item}")[1]

    def wait_value(self, item, value, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.read(item) == value:
                return
            time.sleep(0.05)
        self.fail(f"{item} never became {value!r}; it is {self.read(item)!r}")

    def test_poke_reaches_the_plc_and_comes_back(self):
        self.assertEqual(curl("-X", "PUT", "--data", "1234", f"{self.base}/lblDDE(1)")[0], 204)
        self.wait_value("lblDDE(1)", "1234")
        # Written to the PLC, so a second Tavrel-independent read of the simulator sees it too:
        # poke the vector and read the elements back through the batched read.
        self.assertEqual(curl("-X", "PUT", "--data", "1", f"{self.base}/lblDDE(4)")[0], 204)
        self.wait_value("lblDDE(4)", "1")
        self.assertEqual(curl("-X", "PUT", "--data", "-5", f"{self.base}/lblDDE(6)")[0], 204)

    def test_refused_pokes_say_why_change_nothing_and_the_plc_goes_on(self):
        # One case for each stage that refuses (the tables of each stage are the unit tests' business): the item
        # table, the text, the operand's range, the timer text.
        timer_before = self.read("lblDDE(10)")
        cases = [("lblDDE(2)", "5", 409, "read-only"),
                 ("lblDDE(99)", "1", 404, "no item lblDDE(99)"),
                 ("lblDDE(1)", "abc", 422, "not a number"),
                 ("lblDDE(7)", "2", 422, "MB 10 is a bit: it takes 0 or 1, not 2"),
                 ("lblDDE(8)", "4294967296", 422, "DW 4 takes a whole number from 0 to 4294967295, not 4294967296"),
                 ("lblDDE(9)", "10", 422, "'10' is not a timer text (hh:mm:ss.cc")]
        for item, text, status, reason in cases:
            with self.subTest(item=item, text=text):
                before = self.read(item)
                got_status, body = curl("-X", "PUT", "--data", text, f"{self.base}/{item}")
                self.assertEqual(got_status, status)
                self.assertIn(reason, body)
                self.assertEqual(self.read(item), before)

        # A good poke afterwards is in the simulator's registers within a second, read past Tavrel.
        started = time.monotonic()
        for item, text in [("lblDDE(7)", "1"), ("lblDDE(8)", "4294967295"), ("lblDDE(9)", "00:01:30.00")]:
            self.assertEqual(curl("-X", "PUT", "--data", text, f"{self.base}/{item}")[0], 204)
        expected = ([1], [0xFFFF, 0xFFFF], [0, 9000])  # coil 1010; DW at 9908; preset ticks at 12006
        while True:
            got = (modbus_read(self.plc_port, 1, 1010), modbus_read(self.plc_port, 3, 9908, 2),
                   modbus_read(self.plc_port, 3, 12006, 2))
            elapsed = time.monotonic() - started
            if got == expected or elapsed > 1.0:
                break
            time.sleep(0.01)
        self.assertEqual(got, expected, f"after {elapsed:.3f} s")
        print(f"\ngood pokes in the simulator's registers {elapsed * 1000:.0f} ms after the first PUT", file=sys.stderr)

        self.assertNotEqual(self.read("lblDDE(10)"), timer_before, "the other items kept updating")
        self.tavrel.send_signal(signal.SIGTERM)
        self.assertEqual(self.tavrel.wait(10), 0)
        output = "".join(self.lines) + self.tavrel.stdout.read()
        self.assertNotIn("not connected", output)

    def test_executes_stop_the_plc_and_the_run(self):
        modbus_write(self.plc_port, 15, RUN_COIL, [1])
        self.assertEqual(curl("-X", "POST", "--data", "Line_1_STOP", self.base)[0], 202)
        deadline = time.time() + 5
        while modbus_read(self.plc_port, 1, RUN_COIL) != [0] and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(modbus_read(self.plc_port, 1, RUN_COIL), [0], "Line_1_STOP cleared the run coil")
        self.assertEqual(curl("-X", "POST", "--data", "Tavrel_RUN/STOP", self.base)[0], 202)
        self.assertEqual(json.loads(curl("-H", "Accept: application/json", self.base)[1])["running"], False)

    def test_hot_links_see_the_value_at_once_and_every_change(self):
        async def conversation():
            async with websockets.connect(self.ws) as socket:
                await socket.send(json.dumps({"op": "advise", "item": "lblDDE(1)"}))
                first = json.loads(await asyncio.wait_for(socket.recv(), 5))
                self.assertEqual(first["item"], "lblDDE(1)")
                self.assertEqual(first["value"], "0")
                await socket.send(json.dumps({"op": "poke", "item": "lblDDE(1)", "value": "77"}))
                seen = []
                while "77" not in seen:
                    message = json.loads(await asyncio.wait_for(socket.recv(), 5))
                    for update in message if isinstance(message, list) else [message]:
                        if update.get("item") == "lblDDE(1)" and "value" in update:
                            seen.append(update["value"])
                await socket.send(json.dumps({"op": "unadvise", "item": "lblDDE(1)"}))
                while True:
                    message = json.loads(await asyncio.wait_for(socket.recv(), 5))
                    if message.get("op") == "unadvise":
                        break
                await socket.send(json.dumps({"op": "poke", "item": "lblDDE(1)", "value": "78"}))
                self.assertEqual(json.loads(await asyncio.wait_for(socket.recv(), 5)),
                                 {"op": "poke", "item": "lblDDE(1)", "ok": True})
                with self.assertRaises(asyncio.TimeoutError):
                    await asyncio.wait_for(socket.recv(), 0.5)
        asyncio.run(conversation())

    def test_lost_plc_is_reported_and_sigterm_ends_cleanly(self):
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(10)
        wait_for_line(self.tavrel, r"PLC 'Line_1' not connected .*next attempt in 60 s", self.lines)
        self.assertEqual(self.read("lblDDE(2)"), "0", "the items keep their last values")
        self.tavrel.send_signal(signal.SIGTERM)
        self.assertEqual(self.tavrel.wait(10), 0)
        self.assertIn("stopped", "".join(self.lines) + self.tavrel.stdout.read())


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
                                   self.project], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
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

    def test_the_lock_is_per_user_and_a_later_start_brings_the_first_forward(self):
        args = [f"{BIN}/tavrel", "--headless", "--settings", self.settings, "--listen", "127.0.0.1:0", self.project]
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

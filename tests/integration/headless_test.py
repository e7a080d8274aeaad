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
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import websockets

BIN = None


def start(args, pattern, timeout=15, env=None):
    """Starts a program and waits for a line of its output that matches `pattern`."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    deadline = time.time() + timeout
    lines = []
    while time.time() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        lines.append(line)
        match = re.search(pattern, line)
        if match:
            return process, match, lines
    process.kill()
    process.wait()
    raise AssertionError(f"{args[0]} never printed {pattern!r}: {''.join(lines)}")


def wait_for_line(process, pattern, lines, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        lines.append(line)
        if re.search(pattern, line):
            return line
    raise AssertionError(f"never saw {pattern!r} in: {''.join(lines)}")


def curl(*args):
    result = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code}", *args],
                            capture_output=True, text=True, timeout=15)
    body, _, status = result.stdout.rpartition("\n")
    return int(status), body


class Headless(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-headless-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.sim, match, _ = start([f"{BIN}/tavrel-plcsim", "--tcp", "127.0.0.1:0"],
                                   r"listening on tcp 127\.0\.0\.1:(\d+)")
        self.addCleanup(self.end, self.sim)
        self.plc_port = int(match.group(1))
        self.project = os.path.join(self.dir, "p.tve")
        shutil.copy(f"{BIN}/Templates/DDETemplate.tvb", self.project)
        with sqlite3.connect(self.project) as db:
            db.execute("INSERT INTO Plcs (Name) VALUES ('Line_1')")
            db.execute("INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,"
                       "TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits) "
                       "VALUES (1,2,?,'127.0.0.1',1,57600,500,1,0,0,8,0,1)", (self.plc_port,))
            db.executemany("INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex)"
                           " VALUES (1,?,?,?,?,-1,?)",
                           [(3, 100, 1, 2, 1),    # lblDDE(1): MI 100, read/write
                            (3, 0, 1, 0, 2),      # lblDDE(2): MI 0, read-only
                            (1, 0, 3, 2, 3),      # lblDDE(3..5): MB 0..2, read/write vector
                            (5, 7, 1, 1, 6),      # lblDDE(6): ML 7, write-only
                            (1, 10, 1, 2, 7),     # lblDDE(7): MB 10, read/write
                            (16, 4, 1, 2, 8),     # lblDDE(8): DW 4, read/write
                            (39, 3, 1, 2, 9),     # lblDDE(9): T (Preset) 3, read/write
                            (44, 0, 1, 0, 10)])   # lblDDE(10): T (Current) 0, read-only; timer 0 runs by itself
        self.tavrel, match, self.lines = start(
            [f"{BIN}/tavrel", "--headless", "--settings", os.path.join(self.dir, "t.ini"),
             "--listen", "127.0.0.1:0", self.project], r"link server on http://127\.0\.0\.1:(\d+)/")
        self.addCleanup(self.end, self.tavrel)
        self.base = f"http://127.0.0.1:{match.group(1)}/dde/Tavrel/Items"
        self.ws = f"ws://127.0.0.1:{match.group(1)}/dde/Tavrel/Items"
        wait_for_line(self.tavrel, r"PLC 'Line_1' connected", self.lines)

    @staticmethod
    def end(process):
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()

    @staticmethod
    def end_quietly(process):
        if process.poll() is None:
            process.kill()
        process.wait()

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

    def test_refused_pokes_say_why_and_change_nothing(self):
        cases = [("lblDDE(2)", "5", 409, "read-only"),
                 ("lblDDE(1)", "abc", 422, "not a number"),
                 ("lblDDE(3)", "300", 422, "out of range for MB (0 to 255)"),
                 ("lblDDE(99)", "1", 404, "no item lblDDE(99)")]
        for item, text, status, reason in cases:
            with self.subTest(item=item, text=text):
                before = self.read(item)
                got_status, body = curl("-X", "PUT", "--data", text, f"{self.base}/{item}")
                self.assertEqual(got_status, status)
                self.assertIn(reason, body)
                self.assertEqual(self.read(item), before)

    def test_pokes_the_plc_cannot_hold_are_refused_and_the_plc_goes_on(self):
        timer_before = self.read("lblDDE(10)")
        cases = [("lblDDE(7)", "2", "MB 10 is a bit: it takes 0 or 1, not 2"),
                 ("lblDDE(8)", "-1", "DW 4 takes a whole number from 0 to 4294967295, not -1"),
                 ("lblDDE(8)", "12.5", "DW 4 takes a whole number from 0 to 4294967295, not 12.5"),
                 ("lblDDE(8)", "4294967296", "DW 4 takes a whole number from 0 to 4294967295, not 4294967296"),
                 ("lblDDE(9)", "abc", "'abc' is not a timer text (hh:mm:ss.cc"),
                 ("lblDDE(9)", "", "an empty text is no value to write"),
                 ("lblDDE(9)", "10", "'10' is not a timer text (hh:mm:ss.cc")]
        for item, text, reason in cases:
            with self.subTest(item=item, text=text):
                before = self.read(item)
                status, body = curl("-X", "PUT", "--data", text, f"{self.base}/{item}")
                self.assertEqual(status, 422)
                self.assertIn(reason, body)
                self.assertEqual(self.read(item), before)

        # A good poke afterwards is in the simulator's registers within a second, read past Tavrel.
        from pymodbus.client import ModbusTcpClient
        plc = ModbusTcpClient("127.0.0.1", port=self.plc_port)
        self.assertTrue(plc.connect())
        self.addCleanup(plc.close)
        started = time.monotonic()
        for item, text in [("lblDDE(7)", "1"), ("lblDDE(8)", "4294967295"), ("lblDDE(9)", "00:01:30.00")]:
            self.assertEqual(curl("-X", "PUT", "--data", text, f"{self.base}/{item}")[0], 204)
        expected = ([True], [0xFFFF, 0xFFFF], [0, 9000])  # coil 1010; DW at 9908; preset ticks at 12006
        while True:
            got = (plc.read_coils(1010, 1, slave=255).bits[:1], plc.read_holding_registers(9908, 2, slave=255).registers,
                   plc.read_holding_registers(12006, 2, slave=255).registers)
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

    def test_execute_grammar_is_always_accepted(self):
        for command in ["Line_1_STOP", "line_1_run", "STOP", "", "Line_1_RESET", "_RUN"]:
            with self.subTest(command=command):
                self.assertEqual(curl("-X", "POST", "--data", command, self.base)[0], 202)
        self.assertEqual(curl("-X", "POST", "--data", "Tavrel_RUN/STOP", self.base)[0], 202)
        status, body = curl("-H", "Accept: application/json", self.base)
        self.assertEqual(json.loads(body)["running"], False)

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

    def test_second_instance_for_the_same_settings_is_refused(self):
        second = subprocess.run([f"{BIN}/tavrel", "--headless", "--settings", os.path.join(self.dir, "t.ini"),
                                 "--listen", "127.0.0.1:0"], capture_output=True, text=True, timeout=15)
        self.assertNotEqual(second.returncode, 0)
        self.assertIn("This application is already running", second.stderr)
        wait_for_line(self.tavrel, r"another start with these settings was refused", self.lines)


def make_project(path, plc_port):
    shutil.copy(f"{BIN}/Templates/DDETemplate.tvb", path)
    with sqlite3.connect(path) as db:
        db.execute("INSERT INTO Plcs (Name) VALUES ('Line_1')")
        db.execute("INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,"
                   "TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits) "
                   "VALUES (1,2,?,'127.0.0.1',1,57600,500,1,0,0,8,0,1)", (plc_port,))
        db.execute("INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex)"
                   " VALUES (1,3,0,1,0,-1,1)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class StartUp(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-start-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.project = os.path.join(self.dir, "p.tve")
        make_project(self.project, free_port())  # a PLC nobody answers for: its items are listed all the same
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
        self.addCleanup(Headless.end_quietly, window)
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
        self.addCleanup(Headless.end, first)
        other, _, _ = start(args, r"link server on", env=self.runtime("bob"))
        self.addCleanup(Headless.end, other)
        again = subprocess.run(args, capture_output=True, text=True, timeout=15, env=self.runtime("alice"))
        self.assertEqual(again.returncode, 3)
        self.assertIn("This application is already running", again.stderr)
        wait_for_line(first, r"another start with these settings was refused", lines)


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

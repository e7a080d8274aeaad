#!/usr/bin/env python3
"""tavrel-dde.exe under Wine, driven by our DDEML client, against tavrel --headless and tavrel-plcsim (or a
hostile link server). Every test class has its own Wine prefix and wineserver, ended at the end.

Usage: dde_gateway_test.py BIN_FOLDER WINDOWS_BUILD_FOLDER [unittest arguments, e.g. Transactions]
"""
import base64
import hashlib
import json
import os
import re
import shutil
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import winetools

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (C_CURRENT, DW, MB, MF, MI, ML, READ, READ_WRITE, RUN_COIL, T_CURRENT, drain,  # noqa: E402
                      end, eventually, http_call, make_project, modbus_read, modbus_write, start, start_simulator,
                      start_tavrel)

BIN = None
WINDOWS = None


class Plant:
    """tavrel-plcsim and tavrel --headless on a project of one PLC, Line_1, with an item of every kind."""

    # MI, ML, MF, MB, DW read/write; a vector of MB; timer and counter current values; a read-only MI.
    ITEMS = [(MI, 100, 1, READ_WRITE, 1), (ML, 7, 1, READ_WRITE, 2), (MF, 3, 1, READ_WRITE, 3),
             (MB, 5, 1, READ_WRITE, 4), (DW, 2, 1, READ_WRITE, 5), (MB, 10, 2, READ_WRITE, 6),
             (T_CURRENT, 0, 1, READ, 8), (C_CURRENT, 0, 1, READ, 9), (MI, 0, 1, READ, 10)]
    LABELS = range(1, 11)

    def __init__(self, folder):
        self.folder, self.plc_port, self.port, self.tavrel = folder, 0, 0, None
        self.start_sim()
        try:
            self.project = os.path.join(folder, "plant.tve")
            make_project(BIN, self.project, [("Line_1", self.plc_port, self.ITEMS)])
            self.start_tavrel()
        except BaseException:
            self.close()
            raise

    def start_sim(self):
        """Starts the simulated PLC, on the port it had before if it ran already."""
        self.sim, self.plc_port = start_simulator(BIN, self.plc_port)

    def start_tavrel(self):
        """Starts Tavrel, on the link server port it had before if it ran already."""
        self.tavrel, self.port, _ = start_tavrel(BIN, self.folder, self.project, "--reconnect-seconds", "1",
                                                 listen=f"127.0.0.1:{self.port}")
        drain(self.tavrel)

    def close(self):
        if self.tavrel is not None:
            end(self.tavrel)
        end(self.sim)

    def http(self, item=""):
        """An item's text, or the list of items as JSON."""
        path = "/dde/Tavrel/Items" + (f"/{item}" if item else "")
        return http_call(self.port, "GET", path, headers={} if item else {"Accept": "application/json"})[1]

    def register(self, address, function=3):
        return modbus_read(self.plc_port, function, address)[0]

    def set_register(self, address, value):
        modbus_write(self.plc_port, 16, address, [value])


class WineTest(unittest.TestCase):
    """One Wine prefix for the class; a fresh gateway and DDE client for every test."""

    @classmethod
    def setUpClass(cls):
        cls.wine = winetools.WinePrefix()
        cls.addClassCleanup(cls.wine.close)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-dde-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def start_gateway(self, port, *options, connected=True, log="gateway.log"):
        self.log = os.path.join(self.dir, log)
        self.gateway, _ = self.wine.start(f"{WINDOWS}/tavrel-dde.exe", "--server", f"127.0.0.1:{port}",
                                          "--log", self.wine.path(self.log), *options)
        self.addCleanup(self.end_wine_process, self.gateway)
        self.wait_log("DDE server Tavrel ready", 120)
        if connected:
            self.wait_log("connected to the link server")
        self.client = winetools.DdeClient(self.wine, f"{WINDOWS}/tavrel-dde-client.exe")
        self.addCleanup(self.end_wine_process, self.client.process)

    def assertRefused(self, command):
        """The DDE client's command fails, and fails at once rather than at its 10-second time-out (Wine's DDEML
        sets no error code for a transaction that the server turned down)."""
        started = time.monotonic()
        answer = self.client(command)
        self.assertTrue(answer.startswith("error"), f"{command}: {answer}")
        self.assertLess(time.monotonic() - started, 5, f"{command} failed only at the client's time-out")

    @staticmethod
    def end_wine_process(process):
        # Whatever outlives this ends with the prefix's wineserver at the end of the class.
        if process.poll() is None:
            process.kill()
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                pass

    def log_text(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as log:
                return log.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=20):
        deadline = time.time() + timeout
        while text not in self.log_text():
            if time.time() > deadline:
                self.fail(f"the gateway never logged {text!r}; its log:\n{self.log_text()}")
            if self.gateway.poll() is not None:
                self.fail(f"the gateway ended ({self.gateway.returncode}); its log:\n{self.log_text()}")
            time.sleep(0.05)


class Transactions(WineTest):
    def setUp(self):
        super().setUp()
        self.plant = Plant(self.dir)
        self.addCleanup(self.plant.close)
        self.plant.set_register(100, 1234)
        eventually(lambda: self.plant.http("lblDDE(1)") == "1234", "Tavrel read MI 100")
        self.start_gateway(self.plant.port)
        self.assertEqual(self.client("connect Items"), "ok")

    def test_requests_refusals_and_pokes(self):
        for text_format in ["text", "unicode"]:
            self.client(f"format {text_format}")
            for label in Plant.LABELS:
                item = f"lblDDE({label})"
                with self.subTest(format=text_format, item=item):
                    answer = self.client(f"request {item}")
                    # The timer and counter run: their value only has to be one the link server had.
                    self.assertTrue(answer.startswith("value "), answer)
                    if label not in (8, 9):
                        self.assertEqual(answer, "value " + self.plant.http(item))
        self.assertEqual(self.client("request LBLdde(1)"), "value 1234", "item names match without case")
        self.assertRefused("connect Nope")
        self.wait_log("conversation on unknown topic 'Nope' refused")
        self.assertEqual(self.client("connect Items"), "ok")
        cases = [("request lblDDE(99)", "request of lblDDE(99) refused: no item lblDDE(99)"),
                 ("request lblDDE(01)", "request of 'lblDDE(01)' refused"),
                 ("request Temperature", "request of 'Temperature' refused"),
                 ("advise lblDDE(99)", "link to lblDDE(99) refused"),
                 ("format 2", None),  # CF_BITMAP: the client should fall back to text
                 ("request lblDDE(1)", "in clipboard format 2 refused"),
                 ("advise lblDDE(1)", None),
                 ("format XlTable", None),
                 ("request lblDDE(1)", "(XlTable) refused")]
        for command, logged in cases:
            with self.subTest(command=command):
                if logged is None:
                    self.client(command)
                else:
                    self.assertRefused(command)
                    self.wait_log(logged)
        self.client("format text")
        self.assertEqual(self.client("request lblDDE(1)"), "value 1234", "the gateway still serves")
        self.assertEqual(self.client("poke lblDDE(1) 4321\\r\\n"), "ok", "a spreadsheet's line end is dropped")
        eventually(lambda: self.plant.register(100) == 4321, "MI 100 became 4321")
        self.client("format unicode")
        self.assertEqual(self.client("poke lbldde(4) 1"), "ok")
        eventually(lambda: self.plant.http("lblDDE(4)") == "1", "MB 5 became 1")

        before = self.plant.register(0)
        # Wine's DDEML reports a refused poke to the client as taken: the effect and the log tell.
        refused = [("poke lblDDE(10) 5", "poke of '5' into lblDDE(10) refused"),
                   ("poke lblDDE(1) abc", "poke of 'abc' into lblDDE(1) refused"),
                   ("pokesize lblDDE(1) 70000", "too long"),
                   ("poke lblDDE(77) 1", "refused: no item lblDDE(77)")]
        for command, logged in refused:
            with self.subTest(command=command):
                self.client(command)
                self.wait_log(logged)
        self.client("format 3")  # a format not refused yet: the gateway says so once per format
        self.client("poke lblDDE(1) 9")
        self.wait_log("poke of lblDDE(1) in clipboard format 3 refused")
        time.sleep(0.5)  # a pass or two, in which a wrongly taken poke would be written
        self.assertEqual(self.plant.register(0), before)
        self.assertEqual(self.plant.register(100), 4321)
        self.client("format text")
        self.assertEqual(self.client("request lblDDE(1)"), "value 4321", "the link outlived the long poke")

    def test_a_raw_client_then_links_of_every_kind(self):
        # A raw client talks as spreadsheets do: the DDE messages themselves, no DDEML on its side. It comes first:
        # its item atoms must all be back while no other link posts.
        raw = winetools.DdeClient(self.wine, f"{WINDOWS}/tavrel-dde-client.exe", "--raw")
        self.addCleanup(self.end_wine_process, raw.process)
        self.assertEqual(raw("connect Items"), "ok")
        self.assertEqual(raw("advise lblDDE(1)"), "ok")
        self.assertEqual(raw("advise lblDDE(10)"), "ok")
        for value in (601, 602, 603):  # a link's next change waits for the client's acknowledgement of the last
            self.plant.set_register(100, value)
            raw.wait_data("lblDDE(1)", value)
        self.assertEqual(raw("unadvise lblDDE(1)"), "ok")
        self.plant.set_register(100, 604)
        self.plant.set_register(0, 4320)
        raw.wait_data("lblDDE(10)", 4320)
        self.assertNotIn("lblDDE(1) 604", raw.data, "the stopped link got no more advises")
        self.assertEqual(raw("disconnect"), "ok", "the gateway answered the client's WM_DDE_TERMINATE")
        self.assertEqual(raw("atoms 1 10"), "atoms 0", "each advise's item atom was given back and deleted")

        # Hot links are posted by the gateway itself; a link that acknowledges each advise and a warm one, in another
        # conversation on the same items, go through DDEML.
        other = winetools.DdeClient(self.wine, f"{WINDOWS}/tavrel-dde-client.exe")
        self.addCleanup(self.end_wine_process, other.process)
        self.assertEqual(other("connect Items"), "ok")
        for client, text_format, item, kind in [(self.client, "text", "lblDDE(1)", ""),
                                                (self.client, "unicode", "lblDDE(10)", ""),
                                                (other, "unicode", "lblDDE(1)", "ack"),
                                                (other, "text", "lblDDE(10)", "warm")]:
            client(f"format {text_format}")
            self.assertEqual(client(f"advise {item} {kind}"), "ok", (text_format, item, kind))
        log = self.log_text()
        self.assertRegex(log, r"link to lblDDE\(1\) started\n")
        self.assertRegex(log, r"link to lblDDE\(10\) started\n")
        self.assertIn("link to lblDDE(1) started (through DDEML)", log)
        self.assertIn("link to lblDDE(10) started (through DDEML)", log)

        def settle(value):
            # Posts to one client window arrive in order: once lblDDE(10) shows a value changed in a later pass,
            # every advise of the earlier pass has arrived too.
            self.plant.set_register(0, value)
            self.client.wait_data("lblDDE(10)", value)

        settle(4321)  # UTF-16 read as text would give "4"
        other.wait_data("lblDDE(10)", "")  # the warm link hears of the change without the data
        self.plant.set_register(100, 555)
        other.wait_data("lblDDE(1)", "555")
        settle(4322)
        self.assertEqual(self.client.data.count("lblDDE(1) 555"), 1, "DDEML's advise did not reach it too")

        self.client("format text")
        self.assertEqual(self.client("unadvise lblDDE(1)"), "ok")
        self.plant.set_register(100, 556)
        other.wait_data("lblDDE(1)", "556")
        settle(4323)
        self.assertNotIn("lblDDE(1) 556", self.client.data, "the stopped link got no more advises")

    def test_the_system_topic_one_gateway_per_session_and_executes(self):
        self.assertEqual(self.client("connect System"), "ok")
        # The standard items, then the link server's diagnostics items.
        sys_items = "\\t".join(["Topics", "SysItems", "Formats", "Status", "Running", "PassCount", "PassMs",
                                 "HistorySizeMB", "HistoryOldestDay", "HistoryProblem", "Line_1.Connected", "Line_1.Answered",
                                 "Line_1.PlcRunning", "Line_1.LastError", "Line_1.Errors", "Line_1.PassMs"])
        for item, value in [("Topics", "Items\\tSystem"), ("SysItems", sys_items), ("Formats", "TEXT\\tUNICODETEXT"),
                            ("Status", "Ready"), ("line_1.CONNECTED", "1"), ("Running", "1"), ("Line_1.LastError", "")]:
            with self.subTest(item=item):
                self.assertEqual(self.client(f"request {item}"), f"value {value}")
        for command, logged in [("request Help", "request of System!Help refused: no System item 'Help'"),
                                ("advise Topics", "link to System!Topics refused"),
                                ("advise Line_9.Connected", "link to System!Line_9.Connected refused")]:
            with self.subTest(command=command):
                self.assertRefused(command)
                self.wait_log(logged)
        code, output = self.wine.run(f"{WINDOWS}/tavrel-dde.exe", "--help")
        self.assertEqual((code, output.startswith("usage: tavrel-dde")), (0, True), output)
        code, output = self.wine.run(f"{WINDOWS}/tavrel-dde.exe", "--server", f"127.0.0.1:{self.plant.port}")
        self.assertEqual(code, 3)
        self.assertIn("already running", output)
        self.assertEqual(self.client("connect Items"), "ok")
        modbus_write(self.plant.plc_port, 15, RUN_COIL, [1])
        self.assertEqual(self.client("execute Line_1_STOP\\r\\n"), "ok")
        eventually(lambda: not self.plant.register(RUN_COIL, 1), "Line_1_STOP cleared the run coil")
        self.assertEqual(self.client("execute Line_1_RUN"), "ok")
        eventually(lambda: self.plant.register(RUN_COIL, 1), "Line_1_RUN set the run coil")
        self.assertTrue(json.loads(self.plant.http())["running"])
        self.assertEqual(self.client("execute Tavrel_RUN/STOP"), "ok")
        eventually(lambda: not json.loads(self.plant.http())["running"], "Tavrel_RUN/STOP stopped the run")
        self.wait_log("execute 'Tavrel_RUN/STOP' delivered")
        # Acknowledged as every DDE execute is; what Tavrel does not know is logged with its reason.
        self.assertEqual(self.client("execute Line_9_RESET"), "ok")
        self.wait_log("execute 'Line_9_RESET' not recognised by Tavrel: 'Line_9_RESET' is no command")


class Reconnection(WineTest):
    def test_links_outlive_the_link_server_and_show_it_was_away(self):
        plant = Plant(self.dir)
        self.addCleanup(plant.close)
        self.start_gateway(plant.port)
        self.assertEqual(self.client("connect Items"), "ok")
        self.assertEqual(self.client("advise lblDDE(1)"), "ok")
        self.assertEqual(self.client("advise lblDDE(6)"), "ok")
        self.client.wait_data("lblDDE(1)", "0")
        plant.set_register(100, 555)
        self.client.wait_data("lblDDE(1)", "555")  # a change in the PLC reaches the spreadsheet
        system = winetools.DdeClient(self.wine, f"{WINDOWS}/tavrel-dde-client.exe")
        self.addCleanup(self.end_wine_process, system.process)
        self.assertEqual(system("connect System"), "ok")
        self.assertEqual(system("advise Line_1.Connected"), "ok")
        system.wait_data("Line_1.Connected", "1")

        # The PLC goes away and comes back: its diagnostics items tell both.
        end(plant.sim)
        system.wait_data("Line_1.Connected", "0")
        self.assertRegex(system("request line_1.errors"), "^value [1-9]")
        self.assertRegex(system("request Line_1.LastError"), "^value .")
        system.data.clear()
        plant.start_sim()
        system.wait_data("Line_1.Connected", "1")

        end(plant.tavrel)
        self.client.wait_data("lblDDE(1)", "#N/A")
        self.client.wait_data("lblDDE(6)", "#N/A")
        system.wait_data("Line_1.Connected", "#N/A")
        self.assertRefused("request lblDDE(1)")
        self.assertEqual(system("request Status"), "value Busy")
        plant.set_register(100, 777)
        system.data.clear()

        plant.start_tavrel()
        self.client.wait_data("lblDDE(1)", "777")
        self.client.wait_data("lblDDE(6)", "0")
        system.wait_data("Line_1.Connected", "1")  # the System links were advised again
        self.assertEqual(system("request Status"), "value Ready")


class FakeLinkServer(socketserver.ThreadingTCPServer):
    """A link server that misbehaves in one way: `mode` is
    http-garbage  answers the upgrade with bytes that are no HTTP
    json-garbage  completes the upgrade, then answers every message with text that is no JSON
    wrong-types   completes the upgrade, then answers every message with JSON whose members have the wrong types
    cut           completes the upgrade, then starts a long message and closes in its middle
    token         refuses the upgrade with 401 unless the token is 'right'"""

    daemon_threads = True
    ANSWERS = {"json-garbage": [b"<html>certainly not JSON"],
               "wrong-types": [b'{"op":"ended","item":7,"topic":[]}',
                               b'{"op":"request","ok":"yes","item":"lblDDE(1)","error":3}'],
               "token": [b'{"op":"request","item":"lblDDE(1)","value":"42"}']}

    def __init__(self, mode):
        super().__init__(("127.0.0.1", 0), FakeLinkServer.Talk)
        self.mode, self.port = mode, self.server_address[1]
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()

    class Talk(socketserver.BaseRequestHandler):
        def handle(self):
            connection, mode = self.request, self.server.mode
            connection.settimeout(10)
            try:
                request = b""
                while b"\r\n\r\n" not in request:
                    chunk = connection.recv(4096)
                    if not chunk:
                        return
                    request += chunk
                if mode == "http-garbage":
                    connection.sendall(b"\x00\xffnonsense\r\n\r\n")
                    return
                if mode == "token" and b"Authorization: Bearer right" not in request:
                    connection.sendall(b"HTTP/1.1 401 Unauthorized\r\nContent-Length: 19\r\n\r\nthe token is wrong\n")
                    return
                key = re.search(rb"Sec-WebSocket-Key: *(\S+)", request, re.I).group(1)
                accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
                connection.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                   b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
                while connection.recv(65536):
                    if mode == "cut":
                        connection.sendall(bytes([0x81, 126, 0x01, 0x00]) + b'{"item":"lblD')
                        return
                    for payload in FakeLinkServer.ANSWERS[mode]:
                        connection.sendall(bytes([0x81, len(payload)]) + payload)
            except OSError:
                return


class HostileLinkServers(WineTest):
    def test_every_misbehaviour_is_a_refusal_and_a_log_line(self):
        token_file = os.path.join(self.dir, "token")
        cases = [("http-garbage", [], "not reached"),
                 ("json-garbage", [], "sent something that is not JSON"),
                 ("wrong-types", [], "sent a request's answer without a value"),
                 ("cut", [], "connection lost"),
                 ("token", ["--token-file", self.wine.path(token_file)], "the token was refused")]
        with open(token_file, "w") as file:
            file.write("wrong\n")
        for mode, options, logged in cases:
            with self.subTest(mode=mode):
                server = FakeLinkServer(mode)
                try:
                    connected = mode in ("json-garbage", "wrong-types", "cut")
                    self.start_gateway(server.port, *options, connected=connected, log=f"{mode}.log")
                    self.assertEqual(self.client("connect Items"), "ok")
                    self.assertRefused("request lblDDE(1)")
                    self.assertRefused("execute Line_1_STOP")
                    self.assertEqual(self.client("advise lblDDE(1)"), "ok", "links wait for a server that works")
                    self.client.wait_data("lblDDE(1)", "#N/A")
                    self.wait_log(logged)
                    self.assertIsNone(self.gateway.poll(), "the gateway runs on")
                finally:
                    server.close()
                    self.end_wine_process(self.client.process)
                    self.end_wine_process(self.gateway)

        # The right token is sent as the link server asks for it.
        with open(token_file, "w") as file:
            file.write("right\n")
        server = FakeLinkServer("token")
        self.addCleanup(server.close)
        self.start_gateway(server.port, "--token-file", self.wine.path(token_file))
        self.assertEqual(self.client("connect Items"), "ok")
        self.assertEqual(self.client("request lblDDE(1)"), "value 42")


class Tls(WineTest):
    def test_over_wss_a_pinned_certificate_is_trusted_and_another_is_not_and_a_ca_file_will_do(self):
        cert, key = os.path.join(self.dir, "cert.pem"), os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert, "-days", "2"],
                       check=True, capture_output=True)
        os.chmod(key, 0o600)
        der = subprocess.run(["openssl", "x509", "-in", cert, "-outform", "der"], check=True,
                             capture_output=True).stdout
        settings = os.path.join(self.dir, "t.ini")
        with open(settings, "w") as file:
            file.write(f"[tavrel]\nLinkCertFile={cert}\nLinkKeyFile={key}\nLinkRequireToken=1\n")
        # The token goes only over a connection whose certificate was judged, so it is required here.
        token_file = os.path.join(self.dir, "token")
        with open(token_file, "w") as file:
            file.write(subprocess.run([f"{BIN}/tavrel", "--settings", settings, "--add-token", "dde", "operator"],
                                      check=True, capture_output=True, text=True).stdout)
        sim, plc_port = start_simulator(BIN)
        self.addCleanup(end, sim)
        project = os.path.join(self.dir, "plant.tve")
        make_project(BIN, project, [("Line_1", plc_port, [(MI, 100, 1, READ_WRITE, 1)])])
        modbus_write(plc_port, 16, 100, [4321])
        tavrel, match, _ = start([f"{BIN}/tavrel", "--headless", "--settings", os.path.join(self.dir, "t.ini"),
                                  "--listen", "127.0.0.1:0", "--opcua", "127.0.0.1:0", project],
                                 r"link server on https://127\.0\.0\.1:(\d+)/")
        self.addCleanup(end, tavrel)
        drain(tavrel)
        server = f"https://127.0.0.1:{match.group(1)}"

        # Another certificate's pin: the gateway never trusts the server, and says why.
        port = int(match.group(1))
        self.start_gateway(port, "--server", server, "--pin-sha256", "ab" * 32, connected=False, log="wrong.log")
        self.wait_log("the link server is not trusted: its certificate's SHA-256 is "
                      + hashlib.sha256(der).hexdigest())
        self.end_wine_process(self.gateway)
        self.end_wine_process(self.client.process)

        pin = ":".join(f"{byte:02X}" for byte in hashlib.sha256(der).digest())  # as a tool prints it
        self.start_gateway(port, "--server", server, "--pin-sha256", pin, "--token-file", self.wine.path(token_file))
        self.assertIn("wss://127.0.0.1:", self.log_text())
        self.assertEqual(self.client("connect Items"), "ok")
        self.assertEqual(self.client("request lblDDE(1)"), "value 4321")
        self.assertEqual(self.client("poke lblDDE(1) 77"), "ok")
        eventually(lambda: modbus_read(plc_port, 3, 100)[0] == 77, "the poke reached the PLC")
        # Both the poke taken and one refused are in the audit trail, under the gateway's token.
        self.client("poke lblDDE(1) abc")

        def audited():
            with open(os.path.join(self.dir, "tavrel-audit.jsonl")) as audit:
                return [{key: line.get(key) for key in ("surface", "user", "item", "old", "new", "outcome")}
                        | {"peer": line["peer"].rpartition(":")[0]} for line in map(json.loads, audit)]
        eventually(lambda: len(audited()) == 2, "two audit lines")
        line = {"surface": "link", "user": "dde", "peer": "127.0.0.1", "item": "lblDDE(1)", "old": "4321"}
        self.assertEqual(audited(), [dict(line, new="77", outcome="accepted"),
                                     dict(line, old="77", new="abc", outcome="refused")])
        self.end_wine_process(self.gateway)
        self.end_wine_process(self.client.process)

        # A self-signed certificate is its own CA.
        self.start_gateway(port, "--server", server, "--ca-file", self.wine.path(cert), "--token-file",
                           self.wine.path(token_file), log="ca.log")
        self.assertEqual(self.client("connect Items"), "ok")
        self.assertEqual(self.client("request lblDDE(1)"), "value 77")


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    WINDOWS = sys.argv.pop(1)
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""End-to-end test of users, tokens with roles, TLS and the audit trail: the users file's commands as a user types
them, then tavrel --headless serving HTTPS and WSS with a certificate the test makes, reached with curl and a
WebSocket client holding a reader's or an operator's token.

Usage: security_test.py BIN_FOLDER
"""
import asyncio
import hashlib
import json
import os
import shutil
import ssl
import stat
import subprocess
import sys
import tempfile
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (MI, READ_WRITE, end, make_project, start, start_simulator, wait_for_line)  # noqa: E402

BIN = None


def make_certificate(folder, name, days=2):
    """A self-signed certificate for 127.0.0.1 and its key (owner-only); `days` -1 for one that has expired."""
    cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + "-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert,
                    "-days", str(max(days, 1))], check=True, capture_output=True)
    os.chmod(key, 0o600)
    if days < 0:
        subprocess.run(["openssl", "x509", "-in", cert, "-signkey", key, "-days", str(days), "-out", cert],
                       check=True, capture_output=True)
    return cert, key


def curl(*args):
    """(curl's exit code, HTTP status, body)."""
    result = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code}", *args],
                            capture_output=True, text=True, timeout=15)
    body, _, status = result.stdout.rpartition("\n")
    return result.returncode, int(status or 0), body


class Security(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-security-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.settings = os.path.join(self.dir, "t.ini")
        self.users = os.path.join(self.dir, "tavrel.users")

    def tavrel(self, *args, stdin=""):
        """tavrel with the test's settings; (exit code, standard output, standard error)."""
        result = subprocess.run([f"{BIN}/tavrel", "--settings", self.settings, *args], input=stdin,
                                capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout, result.stderr

    def write_settings(self, **keys):
        with open(self.settings, "w") as file:
            file.write("[tavrel]\n" + "".join(f"{key}={value}\n" for key, value in keys.items()))

    def test_the_users_file_commands(self):
        code, token, said = self.tavrel("--add-token", "panel", "reader")
        self.assertEqual(code, 0, said)
        token = token.strip()
        self.assertRegex(token, r"^[0-9a-f]{64}$")
        self.assertIn("it is shown this once", said)
        code, _, said = self.tavrel("--add-user", "ann", "operator", stdin="pass word\n")
        self.assertEqual(code, 0, said)
        self.assertEqual(stat.S_IMODE(os.stat(self.users).st_mode), 0o600)
        with open(self.users) as file:
            lines = file.read().splitlines()
        self.assertEqual(lines[0], "token:panel:reader:" + hashlib.sha256(token.encode()).hexdigest())
        self.assertRegex(lines[1], r"^user:ann:operator:\$y\$")

        for args, stdin, reason in [(["--add-token", "panel", "operator"], "", "token 'panel' is there already"),
                                    (["--add-user", "bob", "admin"], "x\n", "'admin' is neither reader nor operator"),
                                    (["--add-user", "bob"], "x\n", "takes NAME ROLE"),
                                    (["--add-user", "bob", "reader"], "", "no password on standard input"),
                                    (["--add-user", "b:b", "reader"], "x\n", "letters, digits"),
                                    (["--remove-token", "nobody"], "", "token 'nobody' is not in"),
                                    (["--remove-user", "ann", "extra"], "", "takes NAME alone")]:
            with self.subTest(args=args):
                code, _, said = self.tavrel(*args, stdin=stdin)
                self.assertEqual(code, 2)
                self.assertIn(reason, said)
        code, _, said = self.tavrel("--remove-user", "ann")
        self.assertEqual(code, 0, said)
        with open(self.users) as file:
            self.assertEqual(file.read().splitlines(), lines[:1])

        os.chmod(self.users, 0o644)
        code, _, said = self.tavrel("--add-token", "other", "reader")
        self.assertEqual(code, 2)
        self.assertIn("may be read by others; make it its owner's alone", said)

    def start_headless(self, *options):
        """tavrel --headless on a free port; (process, the line that says where it serves)."""
        process, match, _ = start([f"{BIN}/tavrel", "--headless", "--settings", self.settings, "--listen",
                                   "127.0.0.1:0", "--opcua", "127.0.0.1:0", *options, self.project],
                                  r"link server on (https?)://127\.0\.0\.1:(\d+)/|tavrel: (.*)")
        self.addCleanup(end, process)
        return process, match

    def test_tls_roles_and_the_audit_trail_of_a_running_tavrel(self):
        sim, plc_port = start_simulator(BIN)
        self.addCleanup(end, sim)
        self.project = os.path.join(self.dir, "p.tve")
        make_project(BIN, self.project, [("Line_1", plc_port, [(MI, 100, 1, READ_WRITE, 1)])])
        tokens = {}
        for name, role in [("board", "reader"), ("boss", "operator")]:
            code, token, said = self.tavrel("--add-token", name, role)
            self.assertEqual(code, 0, said)
            tokens[name] = token.strip()
        cert, key = make_certificate(self.dir, "cert")

        # Files that cannot serve stop a headless start, with the reason.
        expired_cert, expired_key = make_certificate(self.dir, "expired", days=-1)
        for keys, reason in [({"LinkCertFile": expired_cert, "LinkKeyFile": expired_key}, "has expired"),
                             ({"LinkCertFile": cert, "LinkKeyFile": expired_key}, "is not the one of the certificate"),
                             ({"LinkCertFile": cert}, "LinkCertFile is set without LinkKeyFile")]:
            with self.subTest(reason=reason):
                self.write_settings(**keys)
                process, match = self.start_headless()
                self.assertIn(reason, match.group(0))
                self.assertEqual(process.wait(10), 2)
                end(process)
        os.chmod(self.users, 0o640)
        self.write_settings()
        process, match = self.start_headless()
        self.assertIn("may be read by others", match.group(0))
        self.assertEqual(process.wait(10), 2)
        os.chmod(self.users, 0o600)
        self.write_settings()
        process, match = self.start_headless("--listen", "0.0.0.0:0")
        self.assertIn("without TLS, where tokens would travel in clear", match.group(0))
        self.assertEqual(process.wait(10), 2)

        self.write_settings(LinkCertFile=cert, LinkKeyFile=key)
        process, match = self.start_headless()
        self.assertEqual(match.group(1), "https", match.group(0))
        port = match.group(2)
        lines = []
        wait_for_line(process, r"PLC 'Line_1' connected", lines)
        base = f"https://127.0.0.1:{port}/dde/Tavrel"

        def call(who, *args):
            auth = ["-H", f"Authorization: Bearer {tokens[who]}"] if who else []
            return curl("--cacert", cert, *auth, *args)

        self.assertEqual(call("board", f"{base}/Items/lblDDE(1)")[:2], (0, 200))
        code, status, body = call("board", "-X", "PUT", "--data", "5", f"{base}/Items/lblDDE(1)")
        self.assertEqual((status, body.strip()), (403, "lblDDE(1): a reader may not poke"))
        self.assertEqual(call("boss", "-X", "PUT", "--data", "6", f"{base}/Items/lblDDE(1)")[1], 204)
        self.assertEqual(call("board", f"{base}/Audit")[1], 403)
        # Plain HTTP to the TLS port is closed unanswered; the live page comes over HTTPS.
        code, status, _ = curl(f"http://127.0.0.1:{port}/dde/Tavrel/Items/lblDDE(1)")
        self.assertNotEqual(code, 0)
        self.assertEqual(status, 0)
        self.assertEqual(call("", f"https://127.0.0.1:{port}/")[1], 200)

        async def websocket_pokes():
            context = ssl.create_default_context(cafile=cert)
            answers = {}
            for who, value in [("board", "7"), ("boss", "8")]:
                async with websockets.connect(f"wss://127.0.0.1:{port}/dde/Tavrel/Items?token={tokens[who]}",
                                              ssl=context) as socket:
                    await socket.send(json.dumps({"op": "poke", "item": "lblDDE(1)", "value": value}))
                    answers[who] = json.loads(await asyncio.wait_for(socket.recv(), 5))
            return answers
        answers = asyncio.run(websocket_pokes())
        self.assertEqual(answers["board"].get("status"), 403, answers)
        self.assertEqual(answers["boss"], {"op": "poke", "item": "lblDDE(1)", "ok": True})

        code, status, body = call("boss", f"{base}/Audit?since=2000")
        self.assertEqual(status, 200, body)
        audit = [(line["user"], line["surface"], line["new"], line["outcome"]) for line in json.loads(body)]
        self.assertEqual(audit, [("board", "link", "5", "refused"), ("boss", "link", "6", "accepted"),
                                 ("board", "link", "7", "refused"), ("boss", "link", "8", "accepted")])
        with open(os.path.join(self.dir, "tavrel-audit.jsonl")) as file:
            self.assertEqual(len(file.read().splitlines()), 4)


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

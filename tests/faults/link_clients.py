#!/usr/bin/env python3
"""Hostile and broken link clients: tavrel --headless against tavrel-plcsim, with an access token in force.

Usage: link_clients.py BIN_FOLDER

  refusals     foreign origins, a rebound host name, missing and wrong tokens, on HTTP and on WebSocket upgrades:
               each answered with its status and reason, none reaching the PLC
  reset storm  rounds of WebSocket clients that advise on the changing items and reset their connections
               (SO_LINGER 0) while passes run
  half-open    connections that send half a request, or open a conversation and then neither send nor read
  slow         clients that never read while asking for more and more: they get only the newest values, then are
               closed with 1008 and a reason; a reading client meanwhile keeps getting every change

Tavrel must keep serving throughout, end cleanly on SIGTERM with no sanitizer report, and stay within a memory
bound. Prints the figures at the end.
"""
import base64
import os
import shutil
import socket
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from fault_injection import Simulator, check  # noqa: E402
from programs import (MI, READ, READ_WRITE, T_CURRENT, Failure, Program, ending_problems, report,  # noqa: E402
                      http_call, make_project)

TOKEN = "fault-suite-token-0123456789"
STALL_SECONDS = 3
STORM_ROUNDS, STORM_CLIENTS = 10, 50
HALF_OPEN = 40
SLOW_CLIENTS = 5
# The slow clients may hold up to 16 MiB unsent each before they are closed; the sanitizer's allocator pads every
# block and keeps pages it has freed, so RSS shows about twice that peak afterwards.
RSS_GROWTH_BOUND_MB = 2 * 16 * SLOW_CLIENTS + 16


def make_link_project(path, bin_folder, port):
    """One PLC: lblDDE(1) MI 100 Read/Write, lblDDE(2) the simulator's running timer, lblDDE(3..52) MI 0..49.
    A generous time-out: this suite loads the machine, and the PLC is not what it tests."""
    make_project(bin_folder, path, [("Line", port, [(MI, 100, 1, READ_WRITE, 1), (T_CURRENT, 0, 1, READ, 2),
                                                    (MI, 0, 50, READ_WRITE, 3)])], timeout_ms=3000)


def raw_exchange(port, request, wait=2.0):
    """Sends `request` as it is; everything that comes back until the server closes or `wait` passes."""
    with socket.create_connection(("127.0.0.1", port), timeout=wait) as connection:
        connection.sendall(request)
        received = b""
        try:
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                received += chunk
        except socket.timeout:
            pass
        return received


def upgrade_request(path="/dde/Tavrel/Items", headers=""):
    key = base64.b64encode(os.urandom(16)).decode()
    return (f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n{headers}\r\n").encode()


def frame(text):
    """One masked text frame, as a client sends it."""
    payload = text.encode()
    mask = os.urandom(4)
    head = b"\x81"
    if len(payload) < 126:
        head += bytes([0x80 | len(payload)])
    else:
        head += bytes([0x80 | 126]) + struct.pack(">H", len(payload))
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


class Conversation:
    """A WebSocket conversation on a bare socket, so that a test can stop reading or reset it."""

    def __init__(self, port, headers=f"Authorization: Bearer {TOKEN}\r\n", receive_buffer=None):
        self.socket = socket.socket()
        if receive_buffer:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.socket.settimeout(10)
        self.socket.connect(("127.0.0.1", port))
        self.socket.sendall(upgrade_request(headers=headers))
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.socket.recv(4096)
            check(chunk, "the server closed a conversation during the upgrade")
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        check(head.startswith(b"HTTP/1.1 101"), f"upgrade refused: {head[:200]!r}")

    def send(self, text):
        self.socket.sendall(frame(text))

    def messages(self, timeout=5.0, at_most=10.0):
        """Reads frames until `timeout` passes without one, or `at_most` seconds in all (changes may never pause);
        the text messages and the close frame's payload."""
        texts, close = [], None
        self.socket.settimeout(timeout)
        until = time.monotonic() + at_most
        while close is None and time.monotonic() < until:
            while True:
                parsed = self._parse()
                if parsed is None:
                    break
                opcode, payload = parsed
                if opcode == 1:
                    texts.append(payload.decode())
                elif opcode == 8:
                    close = payload
            if close is not None:
                break
            try:
                chunk = self.socket.recv(1 << 20)
            except (socket.timeout, ConnectionResetError):
                break
            if not chunk:
                break
            self.buffer += chunk
            self.socket.settimeout(0.3)
        return texts, close

    def _parse(self):
        if len(self.buffer) < 2:
            return None
        opcode, length, at = self.buffer[0] & 0x0F, self.buffer[1] & 0x7F, 2
        if length == 126:
            if len(self.buffer) < 4:
                return None
            length, at = struct.unpack(">H", self.buffer[2:4])[0], 4
        elif length == 127:
            if len(self.buffer) < 10:
                return None
            length, at = struct.unpack(">Q", self.buffer[2:10])[0], 10
        if len(self.buffer) < at + length:
            return None
        payload, self.buffer = self.buffer[at:at + length], self.buffer[at + length:]
        return opcode, payload

    def reset(self):
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.socket.close()


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def refusals(port, figures):
    post = "POST /dde/Tavrel/Items HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 8\r\n"
    token = f"Authorization: Bearer {TOKEN}\r\n"
    cases = [
        ("foreign origin", post + "Host: 127.0.0.1\r\n" + token + "Origin: http://evil.example\r\n\r\nLine_RUN",
         "403", "origin 'http://evil.example' are refused"),
        ("rebound host", post + "Host: attacker.example\r\n" + token + "\r\nLine_RUN", "421", "not 'attacker.example'"),
        ("no token", post + "Host: 127.0.0.1\r\n\r\nLine_RUN", "401", "needs its access token"),
        ("wrong token", post + "Host: 127.0.0.1\r\nAuthorization: Bearer nope\r\n\r\nLine_RUN", "401",
         "the access token is wrong"),
        ("upgrade, foreign origin", upgrade_request(headers=token + "Origin: http://evil.example\r\n").decode(), "403",
         "origin 'http://evil.example'"),
        ("upgrade, no token", upgrade_request().decode(), "401", "needs its access token"),
        ("upgrade, wrong token", upgrade_request("/dde/Tavrel/Items?token=nope").decode(), "401", "token is wrong"),
        ("with token", post + "Host: 127.0.0.1\r\n" + token + "\r\nLine_RUN", "202", ""),
        ("upgrade, token in query", upgrade_request(f"/dde/Tavrel/Items?token={TOKEN}").decode(), "101", ""),
    ]
    for name, request, status, reason in cases:
        answer = raw_exchange(port, request.encode(), wait=1.0).decode(errors="replace")
        check(answer.startswith(f"HTTP/1.1 {status}"), f"{name}: answered {answer[:120]!r}, not {status}")
        check(reason in answer, f"{name}: the answer lacks {reason!r}: {answer[:300]!r}")
    figures["refusals answered with their reason"] = len(cases) - 2


def reset_storm(port, figures):
    resets = 0
    for _ in range(STORM_ROUNDS):
        clients = [Conversation(port) for _ in range(STORM_CLIENTS)]
        for client in clients:
            for item in (1, 2, 3, 4):
                client.send(f'{{"op":"advise","item":"lblDDE({item})"}}')
        time.sleep(0.1)  # passes go on meanwhile; changes of lblDDE(2) are on their way
        for client in clients:
            client.reset()
            resets += 1
    figures["connections reset mid-pass"] = resets


def half_open(port, figures):
    dangling = []
    for i in range(HALF_OPEN):
        connection = socket.create_connection(("127.0.0.1", port), timeout=5)
        if i % 2:
            connection.sendall(b"GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthoriz")
        else:
            connection.sendall(upgrade_request(headers=f"Authorization: Bearer {TOKEN}\r\n"))
        dangling.append(connection)
    status, _ = http_call(port, "GET", "/dde/Tavrel/Items/lblDDE(2)", headers={"Authorization": f"Bearer {TOKEN}"})
    check(status == 200, f"with half-open connections about, a request was answered {status}")
    for connection in dangling:
        connection.close()
    figures["half-open connections"] = HALF_OPEN


def slow_clients(port, tavrel, figures):
    since = time.monotonic()
    watcher = Conversation(port)
    watcher.send('{"op":"advise","item":"lblDDE(2)"}')
    slow = [Conversation(port, receive_buffer=4096) for _ in range(SLOW_CLIENTS)]
    # Each of these is refused with a reason that quotes the name: some 60 kB to send back for 60 kB asked.
    request = frame('{"op":"request","item":"' + "x" * 60000 + '"}') * 20
    for client in slow:
        client.send('{"op":"advise","item":"lblDDE(2)"}')
    # Ask for far more than the kernel holds and never read: the answers pile up in the server, and the changes
    # of lblDDE(2) meet a client that is behind.
    deadline = time.monotonic() + 90
    pushed = 0
    open_clients = list(slow)
    while open_clients and time.monotonic() < deadline:
        for client in list(open_clients):
            try:
                client.socket.settimeout(20)
                client.socket.sendall(request)
            except OSError:
                open_clients.remove(client)  # cut by the server (or a frame left half sent: send no more)
        pushed += 20
        if len(tavrel.lines_between(r"closed \(1008\)", since, time.monotonic())) >= SLOW_CLIENTS:
            break
    # A client that took nothing more is closed once the stall time has passed.
    until = time.monotonic() + STALL_SECONDS + 10
    while time.monotonic() < until and len(tavrel.lines_between(r"closed \(1008\)", since, time.monotonic())) < SLOW_CLIENTS:
        time.sleep(0.2)
    conflated = len(tavrel.lines_between(r"is behind by", since, time.monotonic()))
    closed = tavrel.lines_between(r"closed \(1008\)", since, time.monotonic())
    check(len(closed) == SLOW_CLIENTS, f"{len(closed)} of {SLOW_CLIENTS} slow clients were closed: {closed}")
    figures["requests of 60 kB sent by each slow client, at most"] = pushed
    figures["slow clients that fell behind (newest values only)"] = conflated
    figures["slow clients closed with 1008"] = len(closed)
    figures["of them for taking nothing for the stall time"] = sum("taken nothing" in line for line in closed)
    # The reading client got the timer's changes all along.
    texts, close = watcher.messages(timeout=2)
    check(close is None, f"the reading client was closed: {close!r}")
    check(len(texts) > 5, f"the reading client got only {len(texts)} messages while others were slow")
    figures["changes the reading client got meanwhile"] = len(texts)
    for client in slow:
        client.socket.close()


def main():
    bin_folder = sys.argv[1]
    started = time.monotonic()
    folder = tempfile.mkdtemp(prefix="tavrel-link-faults-")
    problems, figures = [], {}
    simulator = tavrel = None
    code = None
    try:
        simulator = Simulator(bin_folder)
        project = os.path.join(folder, "link.tve")
        make_link_project(project, bin_folder, simulator.port)
        token_file = os.path.join(folder, "token")
        with open(token_file, "w") as file:
            file.write(TOKEN + "\n")
        os.chmod(token_file, 0o600)
        settings = os.path.join(folder, "t.ini")
        with open(settings, "w") as file:
            file.write("[tavrel]\nLinkTokenFile=token\n")
        # Freed memory goes back at once rather than into the sanitizer's quarantine, so RSS shows what is held.
        os.environ["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""), "quarantine_size_mb=4"]))
        tavrel = Program([f"{bin_folder}/tavrel", "--headless", "--settings", settings, "--listen", "127.0.0.1:0",
                          "--link-stall-seconds", str(STALL_SECONDS), "--reconnect-seconds", "1", project],
                         stderr_path=os.path.join(folder, "tavrel.stderr"))
        _, match = tavrel.wait_line(r"link server on http://127\.0\.0\.1:(\d+)/\S* \(access token required\)")
        port = int(match.group(1))
        tavrel.wait_line(r"PLC 'Line' connected")
        pid = tavrel.process.pid
        time.sleep(0.5)
        figures["RSS before (MB)"] = rss_mb(pid)

        for phase in (refusals, reset_storm, half_open, lambda p, f: slow_clients(p, tavrel, f)):
            phase_start = time.monotonic()
            phase(port, figures)
            print(f"phase {getattr(phase, '__name__', 'slow_clients')}: {time.monotonic() - phase_start:.1f} s", flush=True)
        time.sleep(1)
        figures["RSS after (MB)"] = rss_mb(pid)
        status, _ = http_call(port, "GET", "/dde/Tavrel/Items/lblDDE(2)", headers={"Authorization": f"Bearer {TOKEN}"})
        check(status == 200, f"after the faults, a request was answered {status}")
        growth = figures["RSS after (MB)"] - figures["RSS before (MB)"]
        check(growth < RSS_GROWTH_BOUND_MB, f"tavrel grew by {growth:.0f} MB")
    except Failure as failure:
        problems.append(str(failure))
    finally:
        if tavrel is not None:
            code = tavrel.stop()
        if simulator is not None:
            simulator.stop()
        stderr_path = os.path.join(folder, "tavrel.stderr")
        stderr = open(stderr_path).read() if os.path.exists(stderr_path) else ""
        lines = [line for _, line in tavrel.lines] if tavrel else []
        shutil.rmtree(folder, ignore_errors=True)

    problems += ending_problems(code, lines, stderr)
    return report(figures, code, started, problems)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Hostile and broken link clients: tavrel --headless against tavrel-plcsim, with an access token in force.

Usage: link_clients.py BIN_FOLDER

  token        the token file of the settings is in force: a request without it is refused, with it taken
  reset storm  rounds of WebSocket clients that advise on the changing items and reset their connections
               (SO_LINGER 0) while passes run
  half-open    connections that send half a request, or open a conversation and then neither send nor read
  slow         clients that never read while asking for more and more: they get only the newest values, then are
               closed with 1008 and a reason; a reading client meanwhile keeps getting every change

Tavrel must keep serving throughout, end cleanly on SIGTERM (its reading client told "going away", 1001) with no
sanitizer report, and stay within a memory bound. Prints the figures at the end.
"""
import asyncio
import base64
import os
import socket
import struct
import sys
import tempfile
import threading
import time

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (MI, READ, READ_WRITE, T_CURRENT, Failure, Simulator, check, finish, http_call,  # noqa: E402
                      make_project, start_tavrel_program)

TOKEN = "fault-suite-token-0123456789"
STALL_SECONDS = 3
STORM_ROUNDS, STORM_CLIENTS = 10, 50
HALF_OPEN = 40
SLOW_CLIENTS = 5
# The slow clients may hold up to 16 MiB unsent each before they are closed; the sanitizer's allocator pads every
# block and keeps pages it has freed, so RSS shows about twice that peak afterwards.
RSS_GROWTH_BOUND_MB = 2 * 16 * SLOW_CLIENTS + 16


def upgrade_request():
    key = base64.b64encode(os.urandom(16)).decode()
    return (f"GET /dde/Tavrel/Items HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\nAuthorization: Bearer {TOKEN}\r\n\r\n").encode()


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

    def __init__(self, port, receive_buffer=None):
        self.socket = socket.socket()
        if receive_buffer:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.socket.settimeout(10)
        self.socket.connect(("127.0.0.1", port))
        self.socket.sendall(upgrade_request())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.socket.recv(4096)
            check(chunk, "the server closed a conversation during the upgrade")
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        check(head.startswith(b"HTTP/1.1 101"), f"upgrade refused: {head[:200]!r}")

    def send(self, text):
        self.socket.sendall(frame(text))

    def reset(self):
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.socket.close()


class Watcher(threading.Thread):
    """A client that reads all along, advised on the running timer: the messages it got, and how it was closed."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.url, self.texts, self.closed = f"ws://127.0.0.1:{port}/dde/Tavrel/Items", [], None
        self.start()

    def run(self):
        async def watch():
            async with websockets.connect(self.url, extra_headers={"Authorization": f"Bearer {TOKEN}"},
                                          ping_interval=None) as socket:
                await socket.send('{"op":"advise","item":"lblDDE(2)"}')
                try:
                    async for text in socket:
                        self.texts.append(text)
                except websockets.ConnectionClosed:
                    pass
                self.closed = f"{socket.close_code} {socket.close_reason}"
        asyncio.run(watch())


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def token_in_force(port, figures):
    # Which requests are refused and why is the link server's unit tests' business; here: the settings' token file.
    for headers, status in [({}, 401), ({"Authorization": f"Bearer {TOKEN}"}, 202)]:
        got, text = http_call(port, "POST", "/dde/Tavrel/Items", "Line_RUN", headers)
        check(got == status, f"{headers or 'no token'}: answered {got}, not {status}: {text}")


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
            connection.sendall(upgrade_request())
        dangling.append(connection)
    status, _ = http_call(port, "GET", "/dde/Tavrel/Items/lblDDE(2)", headers={"Authorization": f"Bearer {TOKEN}"})
    check(status == 200, f"with half-open connections about, a request was answered {status}")
    for connection in dangling:
        connection.close()
    figures["half-open connections"] = HALF_OPEN


def slow_clients(port, tavrel, figures):
    since = time.monotonic()
    watcher = Watcher(port)
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
    check(watcher.closed is None, f"the reading client was closed: {watcher.closed}")
    check(len(watcher.texts) > 5, f"the reading client got only {len(watcher.texts)} messages while others were slow")
    figures["changes the reading client got meanwhile"] = len(watcher.texts)
    for client in slow:
        client.socket.close()
    return watcher


def main():
    started = time.monotonic()
    bin_folder, folder = sys.argv[1], tempfile.mkdtemp(prefix="tavrel-link-faults-")
    problems, figures = [], {}
    simulator = tavrel = None
    try:
        simulator = Simulator(bin_folder)
        project = os.path.join(folder, "link.tve")
        # lblDDE(1) MI 100 read/write, lblDDE(2) the simulator's running timer, lblDDE(3..52) MI 0..49. A generous
        # time-out: this suite loads the machine, and the PLC is not what it tests.
        make_project(bin_folder, project, [("Line", simulator.port, [(MI, 100, 1, READ_WRITE, 1),
                                                                     (T_CURRENT, 0, 1, READ, 2),
                                                                     (MI, 0, 50, READ_WRITE, 3)])], timeout_ms=3000)
        token_file = os.path.join(folder, "token")
        with open(token_file, "w") as file:
            file.write(TOKEN + "\n")
        os.chmod(token_file, 0o600)
        with open(os.path.join(folder, "t.ini"), "w") as file:
            file.write("[tavrel]\nLinkTokenFile=token\n")
        # Freed memory goes back at once rather than into the sanitizer's quarantine, so RSS shows what is held.
        os.environ["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""), "quarantine_size_mb=4"]))
        tavrel, port, line = start_tavrel_program(bin_folder, folder, project, "--link-stall-seconds",
                                                  str(STALL_SECONDS), "--reconnect-seconds", "1")
        check("(access token required)" in line, f"the link server asks for no token: {line}")
        tavrel.wait_line(r"PLC 'Line' connected")
        time.sleep(0.5)
        figures["RSS before (MB)"] = rss_mb(tavrel.process.pid)

        for phase in (token_in_force, reset_storm, half_open):
            phase_start = time.monotonic()
            phase(port, figures)
            print(f"phase {phase.__name__}: {time.monotonic() - phase_start:.1f} s", flush=True)
        watcher = slow_clients(port, tavrel, figures)
        time.sleep(1)
        figures["RSS after (MB)"] = rss_mb(tavrel.process.pid)
        status, _ = http_call(port, "GET", "/dde/Tavrel/Items/lblDDE(2)", headers={"Authorization": f"Bearer {TOKEN}"})
        check(status == 200, f"after the faults, a request was answered {status}")
        growth = figures["RSS after (MB)"] - figures["RSS before (MB)"]
        check(growth < RSS_GROWTH_BOUND_MB, f"tavrel grew by {growth:.0f} MB")
        # A client of a Tavrel that stops hears that it is going away rather than finding the connection gone.
        tavrel.stop()
        watcher.join(10)
        check(watcher.closed == "1001 Tavrel is stopping", f"at the end the reading client was closed: {watcher.closed}")
    except Failure as failure:
        problems.append(str(failure))
    finally:
        code = finish(tavrel, folder, figures, started, problems)
        if simulator is not None:
            simulator.stop()
    return code


if __name__ == "__main__":
    sys.exit(main())

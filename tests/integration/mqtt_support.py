"""What the MQTT end-to-end tests share: a mosquitto of their own, the simulator, a project, tavrel --headless
with the bridge on, a paho subscriber and plain Modbus reads of the simulator."""
import json
import os
import re
import shutil
import socket
import sqlite3
import struct
import subprocess
import tempfile
import threading
import time

import paho.mqtt.client as paho

MOSQUITTO = "/usr/sbin/mosquitto"

# lblDDE(1) MI 100 r/w, (2) MI 0 read-only, (3..5) MB 0..2 r/w vector, (6) ML 7 r/w, (7) MF 0, (8) T (Current) 0
# (runs from the start), (9) C (Current) 0 (counts each second), (10) DW 3.
ITEMS = [(3, 100, 1, 2, 1), (3, 0, 1, 0, 2), (1, 0, 3, 2, 3), (5, 7, 1, 2, 6), (7, 0, 1, 0, 7), (44, 0, 1, 0, 8),
         (45, 0, 1, 0, 9), (16, 3, 1, 0, 10)]
LABELS = list(range(1, 11))
RUN_COIL = 65000


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start(args, pattern, timeout=15):
    """Starts a program and waits for a line of its output that matches `pattern`."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = []
    if pattern is None:
        return process, None, lines
    return process, wait_for_line(process, pattern, lines, timeout), lines


def wait_for_line(process, pattern, lines, timeout=15):
    """The match of the first line (from now on) that matches `pattern`."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        lines.append(line)
        match = re.search(pattern, line)
        if match:
            return match
    raise AssertionError(f"never saw {pattern!r} in: {''.join(lines)}")


def end(process):
    if process.poll() is None:
        process.kill()
    process.wait()
    if process.stdout:
        process.stdout.close()


class Broker:
    """Debian's mosquitto on a loopback port with its own configuration; `extra` lines are added to it."""

    def __init__(self, folder, port=None, extra=""):
        self.folder, self.extra = folder, extra
        self.port = port or free_port()
        self.process = None
        self.start()

    def start(self):
        config = os.path.join(self.folder, "mosquitto.conf")
        with open(config, "w") as file:
            file.write(f"listener {self.port} 127.0.0.1\npersistence false\n"
                       + (self.extra or "allow_anonymous true\n"))
        self.process = subprocess.Popen([MOSQUITTO, "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    raise AssertionError(f"mosquitto would not start on port {self.port}")
                time.sleep(0.05)
        raise AssertionError("mosquitto never listened")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


class Subscriber:
    """A paho client subscribed to `pattern`, keeping every message: (topic, payload text, retained)."""

    def __init__(self, port, pattern, client_id="", auth=None):
        self.messages = []
        self.lock = threading.Lock()
        self.client = paho.Client(client_id=client_id, clean_session=True)
        self.client.on_message = self.on_message
        self.client.on_connect = lambda client, *_: client.subscribe(pattern, 1)
        if auth:
            self.client.username_pw_set(*auth)
        self.client.connect("127.0.0.1", port, 30)
        self.client.loop_start()

    def on_message(self, _client, _userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode("utf-8", "replace"), bool(message.retain)))

    def latest(self):
        """The last payload and retain flag per topic."""
        with self.lock:
            return {topic: (payload, retained) for topic, payload, retained in self.messages}

    def wait_for(self, predicate, timeout=15, what="a message", first=False):
        """The last message (or the first) that matches `predicate`, once there is one."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            with self.lock:
                found = [m for m in self.messages if predicate(*m)]
            if found:
                return found[0] if first else found[-1]
            time.sleep(0.02)
        with self.lock:
            raise AssertionError(f"never received {what}; got {self.messages[-20:]}")

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def modbus_read(port, function, address, count=1):
    """Holding registers (function 3) or coils (1) of the simulator, read over a plain socket."""
    request = struct.pack(">HHHBBHH", 1, 0, 6, 255, function, address, count)
    with socket.create_connection(("127.0.0.1", port), 5) as connection:
        connection.sendall(request)
        reply = b""
        while len(reply) < 9 or len(reply) < 6 + struct.unpack(">H", reply[4:6])[0]:
            chunk = connection.recv(260)
            if not chunk:
                raise AssertionError("the simulator closed the connection")
            reply += chunk
    if reply[7] != function:
        raise AssertionError(f"Modbus exception {reply[8]}")
    data = reply[9:]
    if function == 3:
        return list(struct.unpack(f">{count}H", data[:2 * count]))
    return [(data[i // 8] >> (i % 8)) & 1 for i in range(count)]


class Rig:
    """The simulator, a project on it and tavrel --headless publishing to a broker on `broker_port`."""

    def __init__(self, bin_folder, folder, broker_port, settings="", wait_connected=True):
        self.bin, self.folder = bin_folder, folder
        self.sim, match, _ = start([f"{bin_folder}/tavrel-plcsim", "--tcp", "127.0.0.1:0"],
                                   r"listening on tcp 127\.0\.0\.1:(\d+)")
        self.plc_port = int(match.group(1))
        self.project = os.path.join(folder, "p.tve")
        shutil.copy(f"{bin_folder}/Templates/DDETemplate.tvb", self.project)
        with sqlite3.connect(self.project) as db:
            db.execute("INSERT INTO Plcs (Name) VALUES ('Line_1')")
            db.execute("INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,"
                       "TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits) "
                       "VALUES (1,2,?,'127.0.0.1',1,57600,500,1,0,0,8,0,1)", (self.plc_port,))
            db.executemany("INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex)"
                           " VALUES (1,?,?,?,?,-1,?)", ITEMS)
        self.prefix = f"test/{os.getpid()}-{time.monotonic_ns()}"
        self.settings = os.path.join(folder, "t.ini")
        with open(self.settings, "w") as file:
            file.write(f"[tavrel]\nMqttTopicPrefix={self.prefix}\n{settings}")
        self.tavrel, _, self.lines = start(
            [f"{bin_folder}/tavrel", "--headless", "--settings", self.settings, "--listen", "127.0.0.1:0",
             "--mqtt", f"127.0.0.1:{broker_port}", self.project], r"link server on http://127\.0\.0\.1:(\d+)/")
        self.link = "http://127.0.0.1:" + re.search(r":(\d+)/", self.lines[-1]).group(1) + "/dde/Tavrel/Items"
        self.broker_line = rf"MQTT broker 127\.0\.0\.1:{broker_port}: "
        if wait_connected:
            self.wait_lines([self.broker_line + "connected$", r"PLC 'Line_1' connected"])

    def wait_line(self, pattern, timeout=15):
        return wait_for_line(self.tavrel, pattern, self.lines, timeout)

    def wait_lines(self, patterns, timeout=15):
        """Waits until every pattern has matched a line from now on, in any order."""
        waiting = list(patterns)
        deadline = time.time() + timeout
        while waiting:
            match = wait_for_line(self.tavrel, "|".join(f"(?:{p})" for p in waiting), self.lines,
                                  max(0.1, deadline - time.time()))
            waiting = [p for p in waiting if not re.search(p, match.string)]

    def topic(self, under):
        return f"{self.prefix}/{under}"

    def close(self):
        end(self.tavrel)
        end(self.sim)


def error_object(payload):
    return json.loads(payload)

"""What the MQTT end-to-end tests share: a mosquitto of their own, the simulator, a project, tavrel --headless
with the bridge on, a paho subscriber and plain Modbus reads of the simulator."""
import os
import re
import socket
import subprocess
import sys
import threading
import time

import paho.mqtt.client as paho

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from programs import (C_CURRENT, DW, MB, MF, MI, ML, READ, READ_WRITE, RUN_COIL, T_CURRENT, end,  # noqa: E402,F401
                      eventually, free_port, http_call, make_project, modbus_read, start_simulator, start_tavrel,
                      wait_for_line)

MOSQUITTO = "/usr/sbin/mosquitto"

# lblDDE(1) MI 100 r/w, (2) MI 0 read-only, (3..5) MB 0..2 r/w vector, (6) ML 7 r/w, (7) MF 0, (8) T (Current) 0
# (runs from the start), (9) C (Current) 0 (counts each second), (10) DW 3.
ITEMS = [(MI, 100, 1, READ_WRITE, 1), (MI, 0, 1, READ, 2), (MB, 0, 3, READ_WRITE, 3), (ML, 7, 1, READ_WRITE, 6),
         (MF, 0, 1, READ, 7), (T_CURRENT, 0, 1, READ, 8), (C_CURRENT, 0, 1, READ, 9), (DW, 3, 1, READ, 10)]
LABELS = list(range(1, 11))


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


class Rig:
    """The simulator, a project on it and tavrel --headless publishing to a broker on `broker_port`."""

    def __init__(self, bin_folder, folder, broker_port, settings="", wait_connected=True):
        self.sim, self.plc_port = start_simulator(bin_folder)
        project = os.path.join(folder, "p.tve")
        make_project(bin_folder, project, [("Line_1", self.plc_port, ITEMS)])
        self.prefix = f"test/{os.getpid()}-{time.monotonic_ns()}"
        with open(os.path.join(folder, "t.ini"), "w") as file:
            file.write(f"[tavrel]\nMqttTopicPrefix={self.prefix}\n{settings}")
        self.tavrel, self.port, self.lines = start_tavrel(bin_folder, folder, project, "--mqtt",
                                                          f"127.0.0.1:{broker_port}")
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

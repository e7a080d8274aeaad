#!/usr/bin/env python3
"""Faults of the MQTT broker while tavrel --headless publishes into it: the broker stopped and started again, a
broker that refuses the login, a broker that is not there at start. Peer: a paho client.

Usage: mqtt_faults.py BIN_FOLDER
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
import mqtt_support as support  # noqa: E402

BIN = None
# The items whose values only change by a poke: everything but the timer (8) and the counter (9).
STEADY = [1, 2, 3, 4, 5, 6, 7, 10]


def link(url, method="GET", data=None):
    request = urllib.request.Request(url, method=method, data=data, headers={"Accept": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as reply:
        return reply.status, reply.read().decode()


class MqttFaults(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-mqtt-faults-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def rig(self, broker_port, settings="", wait_connected=True, folder=None):
        rig = support.Rig(BIN, folder or self.dir, broker_port, settings, wait_connected)
        self.addCleanup(rig.close)
        return rig

    def subscriber(self, port, pattern, auth=None):
        peer = support.Subscriber(port, pattern, auth=auth)
        self.addCleanup(peer.close)
        return peer

    def assert_broker_holds_current_values(self, rig, port, auth=None):
        """A new subscriber finds every steady item retained with the value Tavrel holds now."""
        # Tavrel says "connected" before its publication of everything current has reached the broker: a first
        # subscriber waits until it has, so that the second one finds the values stored rather than in flight.
        settling = self.subscriber(port, rig.topic("items/#"), auth)
        for index in STEADY:
            settling.wait_for(lambda t, *_: t == rig.topic(f"items/lblDDE({index})"), what=f"lblDDE({index})")
        peer = self.subscriber(port, rig.topic("#"), auth)
        peer.wait_for(lambda t, p, r: t == rig.topic("status") and p == "online" and r, what="status online")
        values = {item["item"]: item["value"] for item in json.loads(link(rig.link)[1])["items"]}
        for index in STEADY:
            topic = rig.topic(f"items/lblDDE({index})")
            payload, retained = peer.wait_for(lambda t, *_: t == topic, what=topic, first=True)[1:]
            self.assertTrue(retained, topic)
            self.assertEqual(payload, values[f"lblDDE({index})"], topic)

    def test_broker_stopped_and_started_while_running(self):
        broker = support.Broker(self.dir)
        self.addCleanup(broker.stop)
        rig = self.rig(broker.port)
        broker.stop()
        rig.wait_line(rig.broker_line + r"not connected \(.*\); next attempt in 1 s")
        # A value that changes while the broker is away is published once it is back.
        self.assertEqual(link(f"{rig.link}/lblDDE(1)", "PUT", b"777")[0], 204)
        time.sleep(1.5)
        broker.start()
        rig.wait_line(rig.broker_line + "connected$", timeout=20)
        self.assertTrue(json.loads(link(rig.link)[1])["running"], "the run went on without the broker")
        self.assertNotIn("stopped\n", rig.lines)
        self.assert_broker_holds_current_values(rig, broker.port)
        self.assertEqual(support.modbus_read(rig.plc_port, 3, 100)[0], 777)

    def test_broker_that_refuses_the_login(self):
        passwords = os.path.join(self.dir, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "tavrel", "right-one"], check=True,
                       capture_output=True)
        # Started as root, mosquitto reads its password file as the user mosquitto.
        os.chmod(self.dir, 0o755)
        os.chmod(passwords, 0o644)
        broker = support.Broker(self.dir, extra=f"allow_anonymous false\npassword_file {passwords}\n")
        self.addCleanup(broker.stop)
        for folder, password, refused in [("wrong", "wr0ng-secret", True), ("right", "right-one", False)]:
            with self.subTest(password=folder):
                os.mkdir(os.path.join(self.dir, folder))
                password_file = os.path.join(self.dir, folder, "password")
                with open(password_file, "w") as file:
                    file.write(password + "\n")
                os.chmod(password_file, 0o600)
                rig = self.rig(broker.port, f"MqttUser=tavrel\nMqttPasswordFile={password_file}\n",
                               wait_connected=False, folder=os.path.join(self.dir, folder))
                if refused:
                    rig.wait_lines([rig.broker_line + r"refused the login \(.*\); next attempt in 1 s",
                                    r"PLC 'Line_1' connected"])
                    rig.wait_line(rig.broker_line + r"refused the login \(.*\); next attempt in 2 s")
                    self.assertEqual(link(f"{rig.link}/lblDDE(2)")[0], 200, "the items are served all the same")
                else:
                    rig.wait_lines([rig.broker_line + "connected$", r"PLC 'Line_1' connected"])
                    self.assert_broker_holds_current_values(rig, broker.port, ("tavrel", password))
                rig.tavrel.terminate()
                rig.tavrel.wait(10)
                output = "".join(rig.lines) + rig.tavrel.stdout.read()
                self.assertNotIn(password, output)

    def test_broker_not_there_at_start(self):
        port = support.free_port()
        rig = self.rig(port, wait_connected=False)
        rig.wait_lines([rig.broker_line + r"not connected \(.*\); next attempt in 1 s", r"PLC 'Line_1' connected"])
        rig.wait_line(rig.broker_line + r"not connected \(.*\); next attempt in 2 s")
        broker = support.Broker(self.dir, port=port)
        self.addCleanup(broker.stop)
        rig.wait_line(rig.broker_line + "connected$", timeout=20)
        self.assert_broker_holds_current_values(rig, port)


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

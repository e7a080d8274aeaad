#!/usr/bin/env python3
"""Faults of the MQTT broker while tavrel --headless publishes into it: a broker that is not there at start, then
stopped and started again; a broker that refuses the login; and Tavrel killed. Peer: a paho client.

Usage: mqtt_faults.py BIN_FOLDER
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
import mqtt_support as support  # noqa: E402

BIN = None
# The items whose values only change by a poke: everything but the timer (8) and the counter (9).
STEADY = [1, 2, 3, 4, 5, 6, 7, 10]
USER, PASSWORD = "tavrel", "right-one"


class MqttFaults(unittest.TestCase):
    def setUp(self):
        """A broker's configuration that lets only USER in, with PASSWORD."""
        self.dir = tempfile.mkdtemp(prefix="tavrel-mqtt-faults-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        passwords = os.path.join(self.dir, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, USER, PASSWORD], check=True, capture_output=True)
        # Started as root, mosquitto reads its password file as the user mosquitto.
        os.chmod(self.dir, 0o755)
        os.chmod(passwords, 0o644)
        self.secured = f"allow_anonymous false\npassword_file {passwords}\n"

    def rig(self, broker_port, password):
        """Tavrel logging in with `password`, not waiting for the broker."""
        password_file = os.path.join(self.dir, "password")
        with open(password_file, "w") as file:
            file.write(password + "\n")
        os.chmod(password_file, 0o600)
        rig = support.Rig(BIN, self.dir, broker_port, f"MqttUser={USER}\nMqttPasswordFile={password_file}\n",
                          wait_connected=False)
        self.addCleanup(rig.close)
        return rig

    def items(self, rig, method="GET", item="", body=None):
        return support.http_call(rig.port, method, "/dde/Tavrel/Items" + item, body, {"Accept": "application/json"})

    def subscriber(self, port, pattern):
        peer = support.Subscriber(port, pattern, auth=(USER, PASSWORD))
        self.addCleanup(peer.close)
        return peer

    def assert_broker_holds_current_values(self, rig, port):
        """A new subscriber finds every steady item retained with the value Tavrel holds now."""
        # Tavrel says "connected" before its publication of everything current has reached the broker: a first
        # subscriber waits until it has, so that the second one finds the values stored rather than in flight.
        settling = self.subscriber(port, rig.topic("items/#"))
        for index in STEADY:
            settling.wait_for(lambda t, *_: t == rig.topic(f"items/lblDDE({index})"), what=f"lblDDE({index})")
        peer = self.subscriber(port, rig.topic("#"))
        peer.wait_for(lambda t, p, r: t == rig.topic("status") and p == "online" and r, what="status online")
        values = {item["item"]: item["value"] for item in json.loads(self.items(rig)[1])["items"]}
        for index in STEADY:
            topic = rig.topic(f"items/lblDDE({index})")
            payload, retained = peer.wait_for(lambda t, *_: t == topic, what=topic, first=True)[1:]
            self.assertTrue(retained, topic)
            self.assertEqual(payload, values[f"lblDDE({index})"], topic)

    def test_broker_absent_at_start_then_stopped_and_started_then_tavrel_killed(self):
        port = support.free_port()
        rig = self.rig(port, PASSWORD)
        rig.wait_lines([rig.broker_line + r"not connected \(.*\); next attempt in 1 s", r"PLC 'Line_1' connected"])
        rig.wait_line(rig.broker_line + r"not connected \(.*\); next attempt in 2 s")
        broker = support.Broker(self.dir, port=port, extra=self.secured)
        self.addCleanup(broker.stop)
        rig.wait_line(rig.broker_line + "connected$", timeout=20)
        self.assert_broker_holds_current_values(rig, port)

        broker.stop()
        rig.wait_line(rig.broker_line + r"not connected \(.*\); next attempt in 1 s")
        # A value that changes while the broker is away is published once it is back.
        self.assertEqual(self.items(rig, "PUT", "/lblDDE(1)", "777")[0], 204)
        time.sleep(1.5)
        broker.start()
        rig.wait_line(rig.broker_line + "connected$", timeout=20)
        self.assertTrue(json.loads(self.items(rig)[1])["running"], "the run went on without the broker")
        self.assertNotIn("stopped\n", rig.lines)
        self.assert_broker_holds_current_values(rig, port)
        self.assertEqual(support.modbus_read(rig.plc_port, 3, 100)[0], 777)

        # Killed, Tavrel says nothing more: the broker publishes its will.
        peer = self.subscriber(port, rig.topic("status"))
        peer.wait_for(lambda t, p, r: p == "online", what="online")
        rig.tavrel.send_signal(signal.SIGKILL)
        rig.tavrel.wait(10)
        peer.wait_for(lambda t, p, r: p == "offline", what="the will")
        self.assertNotIn(PASSWORD, "".join(rig.lines) + rig.tavrel.stdout.read())

    def test_broker_that_refuses_the_login(self):
        broker = support.Broker(self.dir, extra=self.secured)
        self.addCleanup(broker.stop)
        rig = self.rig(broker.port, "wr0ng-secret")
        rig.wait_lines([rig.broker_line + r"refused the login \(.*\); next attempt in 1 s", r"PLC 'Line_1' connected"])
        rig.wait_line(rig.broker_line + r"refused the login \(.*\); next attempt in 2 s")
        self.assertEqual(self.items(rig, item="/lblDDE(2)")[0], 200, "the items are served all the same")
        rig.tavrel.terminate()
        rig.tavrel.wait(10)
        self.assertNotIn("wr0ng-secret", "".join(rig.lines) + rig.tavrel.stdout.read())


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""End-to-end tests of the MQTT bridge: tavrel --headless against tavrel-plcsim, publishing into a mosquitto of
the test's own, with a paho client as the peer.

Usage: mqtt_test.py BIN_FOLDER
"""
import json
import os
import shutil
import signal
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mqtt_support as support  # noqa: E402

BIN = None


class MqttEndToEnd(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tavrel-mqtt-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.broker = support.Broker(self.dir)
        self.addCleanup(self.broker.stop)
        self.rig = support.Rig(BIN, self.dir, self.broker.port)
        self.addCleanup(self.rig.close)
        self.peer = support.Subscriber(self.broker.port, self.rig.topic("#"))
        self.addCleanup(self.peer.close)

    def wait_register(self, address, value, function=3, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if support.modbus_read(self.rig.plc_port, function, address)[0] == value:
                return
            time.sleep(0.05)
        self.fail(f"register {address} (function {function}) never became {value}")

    def test_values_of_every_kind_arrive_retained(self):
        wanted = [self.rig.topic(f"items/lblDDE({i})") for i in support.LABELS]
        self.peer.wait_for(lambda topic, *_: topic == wanted[-1], what="the last item")
        time.sleep(0.3)
        # A subscriber that comes now gets every value from the broker's store, retained.
        late = support.Subscriber(self.broker.port, self.rig.topic("#"))
        self.addCleanup(late.close)
        late.wait_for(lambda topic, payload, retained: topic == self.rig.topic("status") and payload == "online"
                      and retained, what="status online")
        late.wait_for(lambda topic, payload, retained: topic == self.rig.topic("plcs/Line_1/connected")
                      and payload == "1" and retained, what="Line_1 connected")
        for topic in wanted:
            payload, retained = late.wait_for(lambda t, *_: t == topic, what=topic, first=True)[1:]
            self.assertTrue(retained, topic)
            self.assertRegex(payload, r"^-?[\d.:E+-]+$", topic)  # numbers, timer texts
        counter = late.latest()[self.rig.topic("items/lblDDE(9)")][0]
        # The counter counts once a second: its changes keep arriving, live.
        late.wait_for(lambda t, p, r: t == self.rig.topic("items/lblDDE(9)") and p != counter and not r,
                      what="a change of the counter")

    def test_poke_through_set_reaches_the_plc(self):
        self.peer.publish(self.rig.topic("items/lblDDE(1)/set"), "1234")
        self.wait_register(100, 1234)
        self.peer.publish(self.rig.topic("items/lblDDE(6)/set"), "-5")
        self.wait_register(7000 + 2 * 7 + 1, 0xFFFB)
        self.peer.wait_for(lambda t, p, r: t == self.rig.topic("items/lblDDE(1)") and p == "1234", what="echo")

    def test_refused_poke_goes_to_errors(self):
        self.peer.publish(self.rig.topic("items/lblDDE(2)/set"), "5")
        error = json.loads(self.peer.wait_for(lambda t, *_: t == self.rig.topic("errors"), what="an error")[1])
        self.assertEqual(error["item"], "lblDDE(2)")
        self.assertEqual(error["value"], "5")
        self.assertIn("read-only", error["reason"])
        self.assertEqual(support.modbus_read(self.rig.plc_port, 3, 0)[0], 0)

    def test_execute_stop_clears_the_run_coil(self):
        self.assertEqual(support.modbus_read(self.rig.plc_port, 1, support.RUN_COIL)[0], 1)
        self.peer.publish(self.rig.topic("execute"), "Line_1_STOP")
        self.wait_register(support.RUN_COIL, 0, function=1)
        self.peer.publish(self.rig.topic("execute"), "line_1_run")
        self.wait_register(support.RUN_COIL, 1, function=1)

    def test_status_goes_offline_when_tavrel_is_killed(self):
        self.peer.wait_for(lambda t, p, r: t == self.rig.topic("status") and p == "online", what="online")
        self.rig.tavrel.send_signal(signal.SIGKILL)
        self.rig.tavrel.wait(10)
        self.peer.wait_for(lambda t, p, r: t == self.rig.topic("status") and p == "offline", what="the will")

    def test_sigterm_says_offline_and_ends_cleanly(self):
        self.peer.wait_for(lambda t, p, r: t == self.rig.topic("status") and p == "online", what="online")
        self.rig.tavrel.send_signal(signal.SIGTERM)
        self.assertEqual(self.rig.tavrel.wait(10), 0)
        self.peer.wait_for(lambda t, p, r: t == self.rig.topic("status") and p == "offline", what="offline")


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""End-to-end test of the MQTT bridge: tavrel --headless against tavrel-plcsim, publishing into a mosquitto of
the test's own, with a paho client as the peer. Tavrel killed (the broker's will) is among the broker faults.

Usage: mqtt_test.py BIN_FOLDER
"""
import json
import os
import shutil
import signal
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mqtt_support as support  # noqa: E402

BIN = None


class MqttEndToEnd(unittest.TestCase):
    def test_values_pokes_executes_and_the_status(self):
        folder = tempfile.mkdtemp(prefix="tavrel-mqtt-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        broker = support.Broker(folder)
        self.addCleanup(broker.stop)
        rig = support.Rig(BIN, folder, broker.port)
        self.addCleanup(rig.close)
        peer = support.Subscriber(broker.port, rig.topic("#"))
        self.addCleanup(peer.close)

        def register(address, function=3):
            return support.modbus_read(rig.plc_port, function, address)[0]

        # Values of every kind: a subscriber that comes once they are out gets them from the broker's store.
        wanted = [rig.topic(f"items/lblDDE({i})") for i in support.LABELS]
        for topic in wanted:
            peer.wait_for(lambda t, *_: t == topic, what=topic)
        late = support.Subscriber(broker.port, rig.topic("#"))
        self.addCleanup(late.close)
        late.wait_for(lambda t, p, r: t == rig.topic("status") and p == "online" and r, what="status online")
        late.wait_for(lambda t, p, r: t == rig.topic("plcs/Line_1/connected") and p == "1" and r,
                      what="Line_1 connected")
        for topic in wanted:
            payload, retained = late.wait_for(lambda t, *_: t == topic, what=topic, first=True)[1:]
            self.assertTrue(retained, topic)
            self.assertRegex(payload, r"^-?[\d.:E+-]+$", topic)  # numbers, timer texts
        # The counter counts once a second: its changes keep arriving, live.
        counter = late.wait_for(lambda t, *_: t == rig.topic("items/lblDDE(9)"), what="the counter")[1]
        late.wait_for(lambda t, p, r: t == rig.topic("items/lblDDE(9)") and p != counter and not r,
                      what="a change of the counter")

        # Pokes through .../set reach the PLC and come back; a refused one goes to errors and changes nothing.
        peer.publish(rig.topic("items/lblDDE(1)/set"), "1234")
        peer.publish(rig.topic("items/lblDDE(6)/set"), "-5")
        peer.publish(rig.topic("items/lblDDE(2)/set"), "5")
        support.eventually(lambda: register(100) == 1234, "MI 100 became 1234")
        support.eventually(lambda: register(7000 + 2 * 7 + 1) == 0xFFFB, "ML 7 became -5")
        peer.wait_for(lambda t, p, r: t == rig.topic("items/lblDDE(1)") and p == "1234", what="the echo")
        error = json.loads(peer.wait_for(lambda t, *_: t == rig.topic("errors"), what="an error")[1])
        self.assertEqual((error["item"], error["value"]), ("lblDDE(2)", "5"))
        self.assertIn("read-only", error["reason"])
        self.assertEqual(register(0), 0)
        # Both are in the audit trail, as the bridge's: the taken poke and the refused one.
        with open(os.path.join(folder, "tavrel-audit.jsonl")) as file:
            audit = [json.loads(line) for line in file]
        pokes = {(line["surface"], line["item"], line["new"], line["outcome"]) for line in audit}
        self.assertLessEqual({("mqtt", "lblDDE(1)", "1234", "accepted"), ("mqtt", "lblDDE(2)", "5", "refused")}, pokes)

        self.assertEqual(register(support.RUN_COIL, 1), 1)
        peer.publish(rig.topic("execute"), "Line_1_STOP")
        support.eventually(lambda: register(support.RUN_COIL, 1) == 0, "Line_1_STOP cleared the run coil")
        peer.publish(rig.topic("execute"), "line_1_run")
        support.eventually(lambda: register(support.RUN_COIL, 1) == 1, "line_1_run set the run coil")

        rig.tavrel.send_signal(signal.SIGTERM)
        self.assertEqual(rig.tavrel.wait(10), 0)
        peer.wait_for(lambda t, p, r: t == rig.topic("status") and p == "offline", what="offline")


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

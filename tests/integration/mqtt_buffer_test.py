#!/usr/bin/env python3
"""End-to-end test of the MQTT bridge's json payloads: their fields and the heartbeat, and the changes kept while the
broker is away — published after it is back, in order and with their own times, then the current values, even when
Tavrel was killed meanwhile. tavrel --headless against tavrel-plcsim, mosquitto of the test's own, paho as the peer.

Usage: mqtt_buffer_test.py BIN_FOLDER
"""
import json
import os
import re
import shutil
import signal
import sqlite3
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mqtt_support as support  # noqa: E402

BIN = None
UTC_TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
# No OPC UA server: its fixed default port would clash with any other Tavrel on the machine.
JSON_SETTINGS = "MqttPayload=json\nOpcUaPort=0\n"
OUTAGE_SECONDS = 30


def utc_now():
    now = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + f".{int(now * 1000) % 1000:03d}Z"


class MqttBuffer(unittest.TestCase):
    def rig(self, settings):
        folder = tempfile.mkdtemp(prefix="tavrel-mqttq-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        broker = support.Broker(folder)
        self.addCleanup(broker.stop)
        rig = support.Rig(BIN, folder, broker.port, settings)
        self.addCleanup(rig.close)
        return folder, broker, rig

    def poke(self, rig, value):
        status, body = support.http_call(rig.port, "PUT", "/dde/Tavrel/Items/lblDDE(1)", str(value))
        self.assertEqual(status, 204, body)

    def system_item(self, rig, name):
        return support.http_call(rig.port, "GET", f"/dde/Tavrel/System/{name}")[1]

    def replayed(self, peer, topic):
        """The payloads on `topic` that were not retained, in the order they came, as objects."""
        with peer.lock:
            return [json.loads(p) for t, p, r in peer.messages if t == topic and not r]

    def replay_ended(self, peer, topic):
        with peer.lock:
            told = [p for t, p, _ in peer.messages if t == topic]
        return any(p != "" for p in told) and told[-1] == ""

    def test_json_payloads_and_the_heartbeat(self):
        _, broker, rig = self.rig(JSON_SETTINGS + "MqttRepublishSeconds=1\n")
        peer = support.Subscriber(broker.port, rig.topic("items/#"))
        self.addCleanup(peer.close)
        float_item = json.loads(peer.wait_for(lambda t, *_: t == rig.topic("items/lblDDE(7)"), what="MF 0")[1])
        self.assertIsInstance(float_item["value"], (int, float))
        self.assertRegex(float_item["ts"], UTC_TIME)
        self.assertEqual((float_item["quality"], float_item["plc"], float_item["units"]), ("good", "Line_1", ""))
        self.assertNotIn("name", float_item)
        timer = json.loads(peer.wait_for(lambda t, *_: t == rig.topic("items/lblDDE(8)"), what="the timer")[1])
        self.assertIsInstance(timer["value"], str, "a timer's text is no number")
        # MI 0 never changes: it comes again each second, with the time it was read.
        topic = rig.topic("items/lblDDE(2)")
        peer.wait_for(lambda t, *_: t == topic, what="MI 0")
        # Without the heartbeat, an unchanged value would come once only.
        support.eventually(lambda: len(self.replayed(peer, topic)) >= 3, "three heartbeats of MI 0", timeout=15)
        beats = self.replayed(peer, topic)
        self.assertEqual(len({b["ts"] for b in beats}), 1, "an unchanged value keeps the time it was read")

    def test_changes_while_the_broker_is_away_arrive_afterwards_in_order(self):
        _, broker, rig = self.rig(JSON_SETTINGS)
        counter_topic, poked_topic = rig.topic("items/lblDDE(9)"), rig.topic("items/lblDDE(1)")
        peer = support.Subscriber(broker.port, rig.topic("items/#"))
        peer.wait_for(lambda t, *_: t == counter_topic, what="the counter")
        peer.close()
        broker.stop()
        rig.wait_line(rig.broker_line + "not connected")
        stopped_at = utc_now()
        pokes = []
        deadline = time.time() + OUTAGE_SECONDS
        while time.time() < deadline:
            pokes.append(len(pokes) + 1)
            self.poke(rig, pokes[-1])
            time.sleep(0.5)
        self.assertGreaterEqual(int(self.system_item(rig, "MqttBuffered")), len(pokes) + OUTAGE_SECONDS - 2)
        self.assertGreaterEqual(int(self.system_item(rig, "Line_1.MqttBuffered")), len(pokes) + OUTAGE_SECONDS - 2,
                                "the PLC's share of the kept changes")
        back_at = utc_now()
        broker.start()
        peer = support.Subscriber(broker.port, rig.topic("#"))
        self.addCleanup(peer.close)
        rig.wait_line(rig.broker_line + "connected$", timeout=40)
        # The replay's progress, its end, and then the current values, retained by the broker again.
        progress = rig.topic("system/mqttReplay")
        peer.wait_for(lambda t, p, r: t == progress and p != "", what="the replay's progress")
        peer.wait_for(lambda t, p, r: t == rig.topic("plcs/Line_1/mqttReplay") and p != "", what="the PLC's part")
        support.eventually(lambda: self.replay_ended(peer, progress), "the replay's end", timeout=30)
        late = support.Subscriber(broker.port, poked_topic)
        self.addCleanup(late.close)
        late.wait_for(lambda t, p, r: json.loads(p)["value"] == pokes[-1] and r, what="the current value, retained")

        # Every change kept, then the current value once more.
        poked = [m for m in self.replayed(peer, poked_topic) if m["ts"] < back_at]
        self.assertEqual([m["value"] for m in poked][:len(pokes)], pokes, "every poke, in order")
        self.assertEqual({m["value"] for m in poked[len(pokes):]}, {pokes[-1]})
        counts = [m["value"] for m in self.replayed(peer, counter_topic) if m["ts"] < back_at]
        counts = [c for i, c in enumerate(counts) if i == 0 or c != counts[i - 1]]
        self.assertGreaterEqual(len(counts), OUTAGE_SECONDS - 2)
        self.assertEqual(counts, list(range(counts[0], counts[0] + len(counts))), "every count, in order")
        # Live changes flow while the kept ones are replayed: the order is that of the kept ones among themselves.
        for kept in (poked, [m for m in self.replayed(peer, counter_topic) if m["ts"] < back_at]):
            times = [m["ts"] for m in kept]
            self.assertEqual(times, sorted(times), "their own times, oldest first: " + json.dumps(kept))
        self.assertTrue(all(stopped_at[:16] <= m["ts"] for m in poked), "times of the outage, not of the replay")
        self.assertEqual(self.system_item(rig, "MqttBuffered"), "0")
        self.assertEqual(self.system_item(rig, "MqttDropped"), "0")
        self.assertEqual(self.system_item(rig, "Line_1.MqttBuffered"), "0")

    def test_changes_kept_survive_a_kill(self):
        folder, broker, rig = self.rig(JSON_SETTINGS)
        poked_topic = rig.topic("items/lblDDE(1)")
        broker.stop()
        rig.wait_line(rig.broker_line + "not connected")
        for value in (501, 502, 503):
            self.poke(rig, value)
            support.eventually(lambda: support.modbus_read(rig.plc_port, 3, 100)[0] == value, f"{value} written")
        support.eventually(lambda: int(self.system_item(rig, "MqttBuffered")) >= 3, "three changes kept")

        def on_disk():
            with sqlite3.connect(os.path.join(folder, "tavrel-mqtt-queue.sqlite")) as db:
                return [json.loads(p)["value"] for (p,) in
                        db.execute("SELECT Payload FROM Queue WHERE Topic = ? ORDER BY Sequence", (poked_topic,))]
        support.eventually(lambda: on_disk() == [501, 502, 503], "the three pokes written to the queue")
        killed_at = utc_now()
        rig.tavrel.send_signal(signal.SIGKILL)
        rig.tavrel.wait(10)
        rig.tavrel.stdout.close()

        broker.start()
        peer = support.Subscriber(broker.port, rig.topic("#"))
        self.addCleanup(peer.close)
        rig.tavrel, rig.port, rig.lines = support.start_tavrel(BIN, folder, os.path.join(folder, "p.tve"), "--mqtt",
                                                               f"127.0.0.1:{broker.port}")
        deadline = time.time() + 20
        while time.time() < deadline and not self.replay_ended(peer, rig.topic("system/mqttReplay")):
            time.sleep(0.05)
        kept = [m["value"] for m in self.replayed(peer, poked_topic) if m["ts"] < killed_at]
        self.assertEqual(kept, [501, 502, 503], f"{self.replayed(peer, poked_topic)}, killed at {killed_at}")


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main(verbosity=2)

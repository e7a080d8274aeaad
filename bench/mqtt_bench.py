#!/usr/bin/env python3
"""The MQTT benchmark: Tavrel instances (tavrel-bench-mqtt-instance, simulated PLCs whose values are the moment
they were read) publishing into one mosquitto, and one paho subscriber that times and counts every value.

  1. one instance, 1,000 items changing every pass, a pass every 100 ms: change -> subscriber p50/p99, beside
     the broker's floor: the same 1,000 messages from a publisher that costs nothing (built beforehand, written
     to the broker in one go), which no publisher can beat on this machine
  2. ten instances, each 5 PLCs x 200 items and its own prefix: every value of every instance must arrive;
     messages per second, the broker's CPU and each instance's CPU

Usage: mqtt_bench.py BIN_FOLDER [--seconds S] [--instances N] [--pass-ms-many M]
Exit status 1 when the p99 target is missed or a value of the many-instance case is lost.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as paho

WRAP = 1_000_000_000
TARGET_P99_MS = 20
TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class Subscriber:
    def __init__(self, port):
        self.lock = threading.Lock()
        self.latencies = []
        self.counts = {}
        self.raw = []
        self.measuring = False
        self.client = paho.Client(client_id="bench-subscriber", clean_session=True)
        self.client.on_message = self.on_message
        self.subscribed = threading.Event()
        self.client.on_connect = lambda client, *_: client.subscribe("bench/#", 1)
        self.client.on_subscribe = lambda *_: self.subscribed.set()
        self.client.connect("127.0.0.1", port, 60)
        self.client.loop_start()
        if not self.subscribed.wait(10):
            raise SystemExit("the subscriber could not subscribe")

    def on_message(self, _client, _userdata, message):
        # As little as can be done here: paho's own parsing is most of what a message costs.
        self.raw.append((time.monotonic_ns(), message.topic, message.payload, message.retain, self.measuring))

    def tally(self):
        """Folds the messages received so far into counts per prefix and latencies (of those measured)."""
        with self.lock:
            raw, self.raw = self.raw, []
        for stamp, topic, payload, retained, measured in raw:
            if retained or not payload or "/items/" not in topic:
                continue
            prefix = topic.split("/items/", 1)[0]
            try:
                value = int(payload)
            except ValueError:
                continue
            self.counts[prefix] = self.counts.get(prefix, 0) + 1
            if measured:
                self.latencies.append(((stamp // 1000 - value) % WRAP) / 1000.0)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def remaining_length(size):
    encoded = bytearray()
    while True:
        size, digit = size >> 7, size & 0x7F
        encoded.append(digit | (0x80 if size else 0))
        if not size:
            return bytes(encoded)


def floor_publisher(port, prefix, items, seconds):
    """Publishes what tavrel-bench-mqtt-instance does (retained QoS 0 messages to PREFIX/items/lblDDE(n), each the
    moment of the change) with no program in between: every 100 ms the messages are built and written in one go."""
    with socket.create_connection(("127.0.0.1", port), 5) as link:
        link.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connect = b"\x00\x04MQTT\x04\x02\x00\x3c\x00\x05floor"
        link.sendall(b"\x10" + remaining_length(len(connect)) + connect)
        if link.recv(4)[:1] != b"\x20":
            raise SystemExit("the broker refused the floor publisher")
        topics = [f"{prefix}/items/lblDDE({n})".encode() for n in range(items)]
        heads = [len(topic).to_bytes(2, "big") + topic for topic in topics]
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            payload = str(time.monotonic_ns() // 1000 % WRAP).encode()
            link.sendall(b"".join(b"\x31" + remaining_length(len(head) + len(payload)) + head + payload
                                  for head in heads))
            time.sleep(0.1)


def compiled_subscriber(bin_folder, port, pattern, seconds):
    """Starts tavrel-bench-mqtt-subscriber on PATTERN; the returned function waits for its (values, p50, p99)."""
    process = subprocess.Popen([f"{bin_folder}/tavrel-bench-mqtt-subscriber", "--port", str(port), "--pattern",
                                pattern, "--after", "2", "--seconds", str(seconds - 3)], stdout=subprocess.PIPE,
                               text=True)
    process.stdout.readline()

    def result():
        fields = process.communicate(timeout=60)[0].split()
        return int(fields[1]), float(fields[3]), float(fields[5])
    return result


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[int(fraction * (len(ordered) - 1))] if ordered else float("nan")


def run_case(bin_folder, broker, port, subscriber, instances, plcs, items_per_plc, pass_ms, seconds):
    processes = []
    for i in range(instances):
        processes.append(subprocess.Popen(
            [f"{bin_folder}/tavrel-bench-mqtt-instance", "--broker", f"127.0.0.1:{port}", "--prefix",
             f"bench/{len(subscriber.counts)}-{i}-{time.monotonic_ns()}", "--plcs", str(plcs), "--items-per-plc",
             str(items_per_plc), "--pass-ms", str(pass_ms // plcs), "--seconds", str(seconds)],
            stdout=subprocess.PIPE, text=True))
    for process in processes:
        if process.stdout.readline().strip() != "connected":
            raise SystemExit("an instance never reached the broker")
    time.sleep(1)  # the first passes settle
    subscriber.tally()
    subscriber.latencies.clear()
    subscriber.measuring = True
    cpu_before = [cpu_seconds(p.pid) for p in processes] + [cpu_seconds(broker.pid)]
    wall_before = time.monotonic()
    time.sleep(max(1, seconds - 2))
    cpu_after = [cpu_seconds(p.pid) for p in processes] + [cpu_seconds(broker.pid)]
    wall = time.monotonic() - wall_before
    subscriber.measuring = False
    published = []
    for process in processes:
        line = process.stdout.read().strip()
        process.wait(30)
        published.append(int(line.split()[-1]))
    # The last messages reach the subscriber, which may lag behind.
    total = -1
    while True:
        time.sleep(2)
        subscriber.tally()
        if sum(subscriber.counts.values()) == total:
            break
        total = sum(subscriber.counts.values())
    latencies = list(subscriber.latencies)
    cpu = [(after - before) / wall * 100 for before, after in zip(cpu_before, cpu_after)]
    return latencies, published, cpu, wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--instances", type=int, default=10)
    parser.add_argument("--pass-ms-many", type=int, default=1000)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="tavrel-bench-mqtt-")
    port = free_port()
    config = os.path.join(folder, "mosquitto.conf")
    with open(config, "w") as file:
        # No queue limit for the subscriber: a value the broker drops would count as lost.
        # Values go out at once rather than wait to fill a segment (the broker leaves Nagle on by default).
        file.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 0\n"
                   "set_tcp_nodelay true\n")
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    status = 0
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        subscriber = Subscriber(port)

        print(f"MQTT: 1,000 items changing every pass, a pass every 100 ms (simulated PLC), QoS 0, {args.seconds} s"
              f" (load average {os.getloadavg()[0]:.2f})")
        # Outside the paho subscriber's "bench/#": the broker serves the compiled subscriber alone meanwhile.
        floor = compiled_subscriber(args.bin, port, "solo/floor/#", args.seconds)
        floor_publisher(port, "solo/floor", 1000, args.seconds)
        values, p50, p99 = floor()
        print(f"  broker floor (change -> subscriber with nothing but the broker between): p50 {p50:.2f} ms, "
              f"p99 {p99:.2f} ms over {values} values")
        compiled = compiled_subscriber(args.bin, port, "solo/compiled/#", args.seconds)
        instance = subprocess.run([f"{args.bin}/tavrel-bench-mqtt-instance", "--broker", f"127.0.0.1:{port}",
                                   "--prefix", "solo/compiled", "--seconds", str(args.seconds)],
                                  capture_output=True, text=True)
        values, p50, p99 = compiled()
        print(f"  change -> libmosquitto subscriber: p50 {p50:.2f} ms, p99 {p99:.2f} ms over {values} values")
        met = p99 < TARGET_P99_MS
        status |= 0 if met and instance.returncode == 0 else 1

        latencies, published, cpu, _ = run_case(args.bin, broker, port, subscriber, 1, 1, 1000, 100, args.seconds)
        print(f"  change -> paho subscriber:         p50 {percentile(latencies, 0.5):.2f} ms, "
              f"p99 {percentile(latencies, 0.99):.2f} ms over {len(latencies)} values")
        print(f"  CPU: Tavrel {cpu[0]:.0f} %, mosquitto {cpu[1]:.0f} % of one core")
        print(f"  target: p99 under {TARGET_P99_MS} ms (compiled subscriber): {'met' if met else 'missed'}")

        if args.instances > 0:
            subscriber.tally()
            before = dict(subscriber.counts)
            latencies, published, cpu, wall = run_case(args.bin, broker, port, subscriber, args.instances, 5, 200,
                                                       args.pass_ms_many, args.seconds)
            received = {prefix: count - before.get(prefix, 0) for prefix, count in subscriber.counts.items()
                        if count - before.get(prefix, 0) > 0}
            total_received = sum(received.values())
            # The five PLCs of an instance are read side by side, each taking a fifth of --pass-ms-many.
            print(f"\nMQTT: {args.instances} instances x 5 PLCs x 200 items, a pass every {args.pass_ms_many // 5} ms, "
                  f"one broker, one subscriber, {args.seconds} s")
            print(f"  values published {sum(published)}, received {total_received}"
                  f" ({'every one' if total_received >= sum(published) else 'some LOST'})")
            print(f"  {sum(published) / args.seconds:.0f} values/s published; at the paho subscriber"
                  f" {len(latencies) / wall:.0f} messages/s, p50 {percentile(latencies, 0.5):.2f} ms,"
                  f" p99 {percentile(latencies, 0.99):.2f} ms")
            print(f"  CPU: mosquitto {cpu[-1]:.0f} %, each Tavrel " + ", ".join(f"{c:.0f}" for c in cpu[:-1])
                  + " % of one core")
            status |= 0 if total_received >= sum(published) else 1
        subscriber.close()
    finally:
        broker.terminate()
        broker.wait(10)
        shutil.rmtree(folder, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The MQTT queue benchmark: what the bridge keeps while the broker is away, and how it catches up.

  1. the queue alone (tavrel-bench-mqtt-queue): changes per second written to disk in batches of a pass of 1,000
     json payloads, the CPU it takes, and the rate they are read back and removed
  2. a Tavrel (tavrel-bench-mqtt-instance, 1,000 items changing every pass, a pass every 100 ms, json payloads)
     that starts with no broker: its CPU while it keeps 10,000 changes a second; then the broker comes, and a
     libmosquitto subscriber (tavrel-bench-mqtt-subscriber) counts the kept changes as they are published (the
     replay rate), times the live changes that arrive meanwhile (change -> subscriber), and Tavrel's CPU during
     the replay

Usage: mqtt_queue_bench.py BIN_FOLDER [--away S]
Exit status 1 when the queue writes fewer than 50,000 changes a second or a kept change is lost.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

WRAP = 1_000_000_000
TARGET_WRITES_PER_SECOND = 50_000
TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def now_micros():
    return time.monotonic_ns() // 1000


def queue_alone(bin_folder):
    run = subprocess.run([f"{bin_folder}/tavrel-bench-mqtt-queue"], capture_output=True, text=True, timeout=600)
    print("MQTT queue alone: 1,000,000 json changes in batches of 1,000 (a pass of 1,000 items)")
    for line in run.stdout.splitlines():
        print("  " + line)
    rate = float(run.stdout.split("changes/s")[0].split()[-1]) if "changes/s" in run.stdout else 0
    met = run.returncode == 0 and rate >= TARGET_WRITES_PER_SECOND
    print(f"  target: at least {TARGET_WRITES_PER_SECOND:,} changes/s written: {'met' if met else 'missed'}")
    return met


def start_broker(folder, port):
    config = os.path.join(folder, "mosquitto.conf")
    with open(config, "w") as file:
        file.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 0\n"
                   "set_tcp_nodelay true\n")
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return broker
        except OSError:
            time.sleep(0.05)
    raise SystemExit("mosquitto would not start")


def away_and_back(bin_folder, away_seconds):
    folder = tempfile.mkdtemp(prefix="tavrel-bench-mqttq-")
    port = free_port()
    broker = None
    status = 0
    try:
        instance = subprocess.Popen(
            [f"{bin_folder}/tavrel-bench-mqtt-instance", "--broker", f"127.0.0.1:{port}", "--prefix", "bench/q",
             "--payload", "json", "--queue", os.path.join(folder, "queue.sqlite"), "--seconds",
             str(away_seconds + 25)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if instance.stdout.readline().strip() != "running":
            raise SystemExit("the instance did not start")
        time.sleep(1)
        cpu_before, wall_before = cpu_seconds(instance.pid), time.monotonic()
        time.sleep(away_seconds - 1)
        away_cpu = (cpu_seconds(instance.pid) - cpu_before) / (time.monotonic() - wall_before) * 100

        broker = start_broker(folder, port)
        dump = os.path.join(folder, "arrivals")
        subscriber = subprocess.Popen([f"{bin_folder}/tavrel-bench-mqtt-subscriber", "--port", str(port), "--pattern",
                                       "bench/q/items/#", "--after", "0", "--seconds", "25", "--dump", dump],
                                      stdout=subprocess.PIPE, text=True)
        subscriber.stdout.readline()
        line = instance.stdout.readline().split()  # "connected BUFFERED", at the next attempt of its back-off
        connected_at = now_micros()
        buffered = int(line[1]) if len(line) == 2 and line[0] == "connected" else -1
        samples = []
        while subscriber.poll() is None and instance.poll() is None:
            samples.append((now_micros(), cpu_seconds(instance.pid)))
            time.sleep(0.25)
        subscriber.communicate(timeout=60)
        instance.communicate(timeout=60)

        replayed, live = [], []
        with open(dump) as arrivals:
            for line in arrivals:
                arrived, value = map(int, line.split())
                read_at = arrived - ((arrived - value) % WRAP)  # the clock's wrap undone: read before it arrived
                (replayed if read_at < connected_at else live).append((arrived, arrived - read_at))
        if len(replayed) > 1:
            first, last = replayed[0][0], replayed[-1][0]
            span = (last - first) / 1e6
            during = sorted(latency / 1000 for arrived, latency in live if arrived <= last)
            window = [(t, c) for t, c in samples if connected_at <= t <= last + 250_000]
            replay_cpu = ((window[-1][1] - window[0][1]) / ((window[-1][0] - window[0][0]) / 1e6) * 100
                          if len(window) > 1 else float("nan"))
        else:
            span, during, replay_cpu = float("nan"), [], float("nan")
        print(f"\nMQTT queue in Tavrel: 1,000 items changing every pass, a pass every 100 ms, json payloads, "
              f"broker away {away_seconds} s (load average {os.getloadavg()[0]:.2f})")
        print(f"  while away: Tavrel CPU {away_cpu:.0f} % of one core; {buffered} changes kept by the connection")
        print(f"  replay: {len(replayed)} kept changes published in {span:.1f} s ({len(replayed) / span:.0f}/s, "
              f"bounded at 20,000/s), Tavrel CPU {replay_cpu:.0f} %")
        if during:
            print(f"  live changes during the replay: {len(during)}, change -> libmosquitto subscriber p50 "
                  f"{during[len(during) // 2]:.1f} ms, p99 {during[int(0.99 * (len(during) - 1))]:.1f} ms")
        lost = buffered - len(replayed)
        print(f"  kept changes lost: {max(lost, 0)}")
        status = 0 if buffered > 0 and lost <= 0 else 1
    finally:
        if broker:
            broker.terminate()
            broker.wait(10)
        shutil.rmtree(folder, ignore_errors=True)
    return status


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--away", type=int, default=10)
    parser.add_argument("--skip-alone", action="store_true", help="only the Tavrel with its broker away")
    args = parser.parse_args()
    status = 0 if args.skip_alone or queue_alone(args.bin) else 1
    status |= away_and_back(args.bin, args.away)
    return status


if __name__ == "__main__":
    sys.exit(main())

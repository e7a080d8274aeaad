#!/usr/bin/env python3
"""The DDE gateway under load: a spreadsheet-like DDE client under Wine advises on N items of tavrel --headless
(through tavrel-dde.exe), while the PLC simulator's values change every period. Every value written is the time
of day in milliseconds (modulo 30,000), so the client knows how long each change took from the simulator to its
advise callback. Prints p50, p99 and the largest delay, and the share of changes that arrived.

Under Wine the figures are Wine's more than the gateway's: Wine's DdePostAdvise walks every link of the server
and compares item names as strings for each, so one advise costs in proportion to the number of links (Windows
compares atoms). Run it with --items 100 to see the gateway's own share.

Usage: dde_latency.py BIN_FOLDER WINDOWS_BUILD_FOLDER [--items N] [--seconds S] [--period-ms P]
"""
import argparse
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "windows"))
import winetools  # noqa: E402
from pymodbus.client import ModbusTcpClient  # noqa: E402

MODULUS_MS = 30000
TARGET_P99_MS = 50


def start(args, pattern, timeout=30):
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        match = re.search(pattern, line)
        if match:
            threading.Thread(target=process.stdout.read, daemon=True).start()
            return process, match
    process.kill()
    raise SystemExit(f"dde_latency: {args[0]} did not start")


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("windows")
    parser.add_argument("--items", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--period-ms", type=int, default=100)
    options = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="tavrel-dde-bench-")
    processes = []
    wine = None
    try:
        sim, match = start([f"{options.bin}/tavrel-plcsim", "--tcp", "127.0.0.1:0"], r"tcp 127\.0\.0\.1:(\d+)")
        processes.append(sim)
        plc_port = int(match.group(1))
        project = os.path.join(folder, "bench.tve")
        shutil.copy(f"{options.bin}/Templates/DDETemplate.tvb", project)
        with sqlite3.connect(project) as db:
            db.execute("INSERT INTO Plcs (Name) VALUES ('Line_1')")
            db.execute("INSERT INTO CommParams (PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,"
                       "TimeOut,NumRetries,UnitID,PlcType,DataBits,Parity,StopBits) "
                       "VALUES (1,2,?,'127.0.0.1',1,57600,500,1,0,0,8,0,1)", (plc_port,))
            # One read-only vector of N MI registers: labels 1 to N.
            db.execute("INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex)"
                       " VALUES (1,3,0,?,0,-1,1)", (options.items,))
        tavrel, match = start([f"{options.bin}/tavrel", "--headless", "--settings", os.path.join(folder, "t.ini"),
                               "--listen", "127.0.0.1:0", project], r"link server on http://127\.0\.0\.1:(\d+)/")
        processes.append(tavrel)
        link_port = int(match.group(1))

        wine = winetools.WinePrefix()
        log = os.path.join(folder, "gateway.log")
        wine.start(f"{options.windows}/tavrel-dde.exe", "--server", f"127.0.0.1:{link_port}", "--log", wine.path(log))
        deadline = time.time() + 60
        while "connected to the link server" not in (open(log).read() if os.path.exists(log) else ""):
            if time.time() > deadline:
                raise SystemExit("dde_latency: the gateway did not connect")
            time.sleep(0.1)
        client = winetools.DdeClient(wine, f"{options.windows}/tavrel-dde-client.exe")
        assert client("connect Items") == "ok"
        made = client(f"adviserange 1 {options.items}", timeout=600)
        if not made.startswith(f"ok {options.items} "):
            raise SystemExit(f"dde_latency: advising gave {made!r}")
        assert client(f"latency on {MODULUS_MS}") == "ok"

        modbus = ModbusTcpClient("127.0.0.1", port=plc_port)
        rounds = 0
        period = options.period_ms / 1000
        next_round = time.time()
        end = next_round + options.seconds
        while next_round < end:
            stamp = int(time.time() * 1000) % MODULUS_MS or 1
            for first in range(0, options.items, 120):
                modbus.write_registers(first, [stamp] * min(120, options.items - first), slave=1)
            rounds += 1
            next_round += period
            time.sleep(max(0, next_round - time.time()))
        time.sleep(1)  # the last changes arrive
        modbus.close()
        count, p50, p99, largest = client("latency report").split()[1:]
        expected = rounds * options.items
        print(f"DDE gateway (Wine): {options.items} advised items changing every {options.period_ms} ms, "
              f"{rounds} changes each")
        print(f"  simulator change -> DDE advise callback: p50 {p50} ms, p99 {p99} ms, max {largest} ms "
              f"(target p99 < {TARGET_P99_MS} ms)")
        print(f"  advise starts tried again: {made.split()[2]}")
        print(f"  advises received: {count} of {expected} changes ({100 * int(count) / expected:.1f} %; "
              "a change overtaken by the next one before a pass read it is not sent)")
        if int(count) < expected / 2:
            with open(log, encoding="utf-8", errors="replace") as text:
                print("  the gateway's log ends:\n    " + "\n    ".join(text.read().splitlines()[-15:]))
        return 0 if float(p99) < TARGET_P99_MS else 1
    finally:
        if wine is not None:
            wine.close()
        for process in processes:
            stop(process)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
